// Commands sent through IPortableDevice::SendCommand: setting an object's
// properties; every other command is unsupported.
#include "device_parts.h"

namespace sim {

using Microsoft::WRL::ComPtr;

namespace {

bool IsDateKey(REFPROPERTYKEY key) {
    return IsEqualPropertyKey(key, WPD_OBJECT_DATE_MODIFIED) || IsEqualPropertyKey(key, WPD_OBJECT_DATE_CREATED);
}

HRESULT SetDate(const Device &device, Object &object, REFPROPERTYKEY key, const PROPVARIANT &value) {
    if (value.vt != VT_DATE) return DISP_E_TYPEMISMATCH;
    if (device.traits.datesFixedAtUpload) return E_ACCESSDENIED;
    (IsEqualPropertyKey(key, WPD_OBJECT_DATE_MODIFIED) ? object.modified : object.created) = value.date;
    return S_OK;
}

HRESULT SetName(Device &device, Object &object, REFPROPERTYKEY key, const PROPVARIANT &value) {
    if (value.vt != VT_LPWSTR || !value.pwszVal) return DISP_E_TYPEMISMATCH;
    const bool fileName = IsEqualPropertyKey(key, WPD_OBJECT_ORIGINAL_FILE_NAME);
    if (!fileName && device.traits.renamesByFileNameOnly) return E_ACCESSDENIED;
    if (fileName) {
        const Object *folder = device.Find(object.parentId);
        if (HRESULT taken = folder ? CheckNameFree(device, *folder, value.pwszVal, object.id) : S_OK; FAILED(taken))
            return taken;
        object.originalFileName = value.pwszVal;
        if (device.traits.renamesByFileNameOnly) object.name = value.pwszVal;
    } else {
        object.name = value.pwszVal;
    }
    return S_OK;
}

HRESULT SetProperty(Device &device, Object &object, REFPROPERTYKEY key, const PROPVARIANT &value) {
    if (FAILED(CheckStorageWritable(device, object.id))) return E_ACCESSDENIED;
    if (IsDateKey(key)) return SetDate(device, object, key, value);
    if (IsEqualPropertyKey(key, WPD_OBJECT_ORIGINAL_FILE_NAME) || IsEqualPropertyKey(key, WPD_OBJECT_NAME))
        return SetName(device, object, key, value);
    return E_ACCESSDENIED;
}

}  // namespace

std::wstring CommandObjectId(IPortableDeviceValues *parameters) {
    return ReadString(parameters, WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID).value_or(std::wstring());
}

HRESULT RunCommand(Device &device, IPortableDeviceValues *parameters, IPortableDeviceValues *results,
                   const CommandOutcome &forced) {
    GUID category{};
    ULONG command = 0;
    if (FAILED(parameters->GetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, &category)) ||
        FAILED(parameters->GetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, &command)))
        return E_INVALIDARG;
    if (!IsEqualGUID(category, WPD_COMMAND_OBJECT_PROPERTIES_SET.fmtid) ||
        command != WPD_COMMAND_OBJECT_PROPERTIES_SET.pid)
        return E_NOTIMPL;
    // Both parameters are required; an absent object ID never means the
    // device object.
    std::wstring objectId = CommandObjectId(parameters);
    if (objectId.empty()) return E_INVALIDARG;
    Object *object = device.Find(objectId);
    if (!object) return kNotFound;
    ComPtr<IPortableDeviceValues> changes;
    if (FAILED(parameters->GetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES,
                                                         changes.GetAddressOf())))
        return E_INVALIDARG;
    ComPtr<IPortableDeviceValues> writeResults;
    NewValues(writeResults);
    HRESULT overall = S_OK;
    DWORD count = 0;
    changes->GetCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        PROPVARIANT value;
        PropVariantInit(&value);
        HRESULT one = E_INVALIDARG;
        if (SUCCEEDED(changes->GetAt(i, &key, &value)))
            one = forced.code ? (forced.InWrite() ? *forced.code : S_OK) : SetProperty(device, *object, key, value);
        PropVariantClear(&value);
        if (writeResults) writeResults->SetErrorValue(key, one);
        if (FAILED(one)) overall = S_FALSE;
    }
    if (writeResults)
        results->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS,
                                               writeResults.Get());
    if (forced.InCommon()) return *forced.code;
    return forced.code ? S_OK : overall;
}

}  // namespace sim

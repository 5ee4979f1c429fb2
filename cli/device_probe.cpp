#include "cli/device_probe.h"

#include <algorithm>
#include <cwctype>
#include <map>

namespace kivocli {

using Microsoft::WRL::ComPtr;

namespace {

std::wstring StringValue(IPortableDeviceValues *values, REFPROPERTYKEY key) {
    LPWSTR text = nullptr;
    if (FAILED(values->GetStringValue(key, &text)) || !text) return std::wstring();
    std::wstring copy(text);
    CoTaskMemFree(text);
    return copy;
}

bool SameIgnoringCase(const std::wstring &a, const std::wstring &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

// A value as text, type included, so two reads can be compared.
std::wstring ValueText(const PROPVARIANT &value) {
    std::wstring text = std::to_wstring(value.vt) + L":";
    switch (value.vt) {
    case VT_LPWSTR: return text + (value.pwszVal ? value.pwszVal : L"");
    case VT_UI8: return text + std::to_wstring(value.uhVal.QuadPart);
    case VT_UI4: return text + std::to_wstring(value.ulVal);
    case VT_BOOL: return text + (value.boolVal ? L"1" : L"0");
    case VT_DATE: return text + std::to_wstring(value.date);
    case VT_ERROR: return text + std::to_wstring(value.scode);
    case VT_CLSID: {
        wchar_t guid[40] = {};
        if (value.puuid) StringFromGUID2(*value.puuid, guid, 40);
        return text + guid;
    }
    default: return text;
    }
}

// The record keys of an object as text, WPD_OBJECT_ID aside.
std::map<std::wstring, std::wstring> ValuesText(IPortableDeviceValues *values) {
    std::map<std::wstring, std::wstring> out;
    DWORD count = 0;
    if (!values || FAILED(values->GetCount(&count))) return out;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(values->GetAt(i, &key, &value)) && !IsEqualPropertyKey(key, WPD_OBJECT_ID)) {
            wchar_t fmtid[40] = {};
            StringFromGUID2(key.fmtid, fmtid, 40);
            out[std::wstring(fmtid) + L"/" + std::to_wstring(key.pid)] = ValueText(value);
        }
        PropVariantClear(&value);
    }
    return out;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (to.QuadPart - from.QuadPart) * 1000.0 / frequency.QuadPart;
}

}  // namespace

bool DeviceProbe::Open(const std::wstring &name) {
    auto manager = kivoraw::Create<IPortableDeviceManager>(CLSID_PortableDeviceManager);
    if (!manager) return false;
    DWORD count = 0;
    if (FAILED(manager->GetDevices(nullptr, &count)) || count == 0) return false;
    std::vector<LPWSTR> ids(count);
    if (FAILED(manager->GetDevices(ids.data(), &count))) return false;
    std::wstring match;
    for (DWORD i = 0; i < count && i < ids.size(); ++i) {
        DWORD length = 0;
        if (match.empty() && SUCCEEDED(manager->GetDeviceFriendlyName(ids[i], nullptr, &length)) && length) {
            std::wstring friendly(length, L'\0');
            if (SUCCEEDED(manager->GetDeviceFriendlyName(ids[i], friendly.data(), &length))) {
                friendly.resize(std::min<size_t>(friendly.size(), wcsnlen(friendly.c_str(), friendly.size())));
                if (SameIgnoringCase(friendly, name)) match = ids[i];
            }
        }
        CoTaskMemFree(ids[i]);
    }
    return !match.empty() && kivoraw::OpenRawDevice(match.c_str(), raw_);
}

std::optional<std::wstring> DeviceProbe::Find(const std::vector<std::wstring> &components) {
    std::wstring folder = L"DEVICE";
    for (const auto &component : components) {
        std::wstring exact, folded;
        kivoraw::ForEachRawChild(raw_, folder.c_str(), [&](const wchar_t *id, IPortableDeviceValues *values) {
            if (!values) return;
            std::wstring name = StringValue(values, WPD_OBJECT_ORIGINAL_FILE_NAME);
            if (name.empty()) name = StringValue(values, WPD_OBJECT_NAME);
            if (exact.empty() && name == component) exact = id;
            if (folded.empty() && SameIgnoringCase(name, component)) folded = id;
        });
        folder = !exact.empty() ? exact : folded;
        if (folder.empty()) return std::nullopt;
    }
    return folder;
}

HRESULT DeviceProbe::MakeFolder(const std::wstring &parentId, const std::wstring &name) {
    auto values = kivoraw::Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    if (!values) return E_OUTOFMEMORY;
    values->SetStringValue(WPD_OBJECT_PARENT_ID, parentId.c_str());
    values->SetStringValue(WPD_OBJECT_NAME, name.c_str());
    values->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, name.c_str());
    values->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    values->SetGuidValue(WPD_OBJECT_FORMAT, WPD_OBJECT_FORMAT_PROPERTIES_ONLY);
    LPWSTR id = nullptr;
    HRESULT hr = raw_.content->CreateObjectWithPropertiesOnly(values.Get(), &id);
    CoTaskMemFree(id);
    return hr;
}

HRESULT DeviceProbe::SetModifiedDate(const std::wstring &id, double date) {
    auto parameters = kivoraw::Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    auto properties = kivoraw::Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    if (!parameters || !properties) return E_OUTOFMEMORY;
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_DATE;
    value.date = date;
    properties->SetValue(WPD_OBJECT_DATE_MODIFIED, &value);
    parameters->SetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, WPD_COMMAND_OBJECT_PROPERTIES_SET.fmtid);
    parameters->SetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, WPD_COMMAND_OBJECT_PROPERTIES_SET.pid);
    parameters->SetStringValue(WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID, id.c_str());
    parameters->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES, properties.Get());
    ComPtr<IPortableDeviceValues> results;
    HRESULT hr = raw_.device->SendCommand(0, parameters.Get(), results.GetAddressOf());
    if (FAILED(hr)) return hr;
    HRESULT common = E_FAIL;
    if (!results || FAILED(results->GetErrorValue(WPD_PROPERTY_COMMON_HRESULT, &common))) return E_UNEXPECTED;
    ComPtr<IPortableDeviceValues> writes;
    HRESULT written = common;
    if (SUCCEEDED(results->GetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS,
                                                         writes.GetAddressOf())))
        writes->GetErrorValue(WPD_OBJECT_DATE_MODIFIED, &written);
    return FAILED(common) ? common : written;
}

std::optional<DWORD> DeviceProbe::TransferSize(const std::wstring &fileId) {
    ComPtr<IPortableDeviceResources> resources;
    if (FAILED(raw_.content->Transfer(resources.GetAddressOf()))) return std::nullopt;
    DWORD optimal = 0;
    ComPtr<IStream> stream;
    if (FAILED(resources->GetStream(fileId.c_str(), WPD_RESOURCE_DEFAULT, STGM_READ, &optimal, stream.GetAddressOf())))
        return std::nullopt;
    return optimal;
}

std::optional<ULONGLONG> DeviceProbe::LargestObject(const std::wstring &storageId, std::wstring &fileSystem) {
    auto keys = kivoraw::Create<IPortableDeviceKeyCollection>(CLSID_PortableDeviceKeyCollection);
    if (!keys) return std::nullopt;
    keys->Add(WPD_STORAGE_MAX_OBJECT_SIZE);
    keys->Add(WPD_STORAGE_FILE_SYSTEM_TYPE);
    ComPtr<IPortableDeviceValues> values;
    if (FAILED(raw_.properties->GetValues(storageId.c_str(), keys.Get(), values.GetAddressOf()))) return std::nullopt;
    fileSystem = StringValue(values.Get(), WPD_STORAGE_FILE_SYSTEM_TYPE);
    ULONGLONG largest = 0;
    if (FAILED(values->GetUnsignedLargeIntegerValue(WPD_STORAGE_MAX_OBJECT_SIZE, &largest)) || largest == 0)
        return std::nullopt;
    return largest;
}

double DeviceProbe::PropertyReadMillis(const std::wstring &id) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        ComPtr<IPortableDeviceValues> values;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        raw_.properties->GetValues(id.c_str(), raw_.keys.Get(), values.GetAddressOf());
        QueryPerformanceCounter(&end);
        times.push_back(Milliseconds(start, end));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

DeviceProbe::BulkComparison DeviceProbe::CompareBulk(const std::wstring &folderId) {
    BulkComparison comparison;
    ComPtr<IPortableDevicePropertiesBulk> bulk;
    comparison.offered = SUCCEEDED(raw_.properties.As(&bulk));
    if (!comparison.offered) return comparison;

    // A device may deliver one object's values in several parts.
    std::map<std::wstring, std::map<std::wstring, std::wstring>> inBulk;
    comparison.read = kivoraw::ForEachRawChildInBulk(raw_, folderId.c_str(), [&](IPortableDeviceValues *values) {
        auto text = ValuesText(values);
        inBulk[StringValue(values, WPD_OBJECT_ID)].insert(text.begin(), text.end());
    });
    if (!comparison.read) return comparison;
    kivoraw::ForEachRawChild(raw_, folderId.c_str(), [&](const wchar_t *id, IPortableDeviceValues *values) {
        comparison.objects++;
        auto it = inBulk.find(id);
        if (!values || it == inBulk.end() || it->second != ValuesText(values)) comparison.differing.push_back(id);
    });
    return comparison;
}

}  // namespace kivocli

// Moving and renaming one file: a rename in place on a device, MoveFileW on
// disk, and a copy followed by a delete for everything else.
#include <cwchar>
#include <string>

#include "core/record.h"
#include "fileops/fileops.h"

namespace kivo {

namespace {

std::wstring FolderPart(const wchar_t *path) {
    const wchar_t *cut = std::wcsrchr(path, L'\\');
    return cut ? std::wstring(path, cut) : std::wstring(path);
}

// The command reached the driver; whether it did what was asked is in its
// results: the common HRESULT, and the write result of the name.
bool CommandSucceeded(IPortableDeviceValues *results) {
    if (!results) return false;
    HRESULT common = E_FAIL;
    if (FAILED(results->GetErrorValue(WPD_PROPERTY_COMMON_HRESULT, &common)) || common != S_OK) return false;
    ComPtr<IPortableDeviceValues> writes;
    if (FAILED(results->GetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS,
                                                      writes.GetAddressOf())))
        return true;
    HRESULT written = S_OK;
    if (FAILED(writes->GetErrorValue(WPD_OBJECT_ORIGINAL_FILE_NAME, &written))) return true;
    return written == S_OK;
}

}  // namespace

OpResult RenameDeviceObject(IPortableDevice *device, const wchar_t *objectId, const wchar_t *newName) {
    ComPtr<IPortableDeviceValues> parameters = MakeDeviceValues();
    ComPtr<IPortableDeviceValues> properties = MakeDeviceValues();
    if (!parameters || !properties) return Failed(ERROR_NOT_ENOUGH_MEMORY);
    if (FAILED(parameters->SetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, WPD_COMMAND_OBJECT_PROPERTIES_SET.fmtid)) ||
        FAILED(parameters->SetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, WPD_COMMAND_OBJECT_PROPERTIES_SET.pid)) ||
        FAILED(parameters->SetStringValue(WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID, objectId)) ||
        FAILED(properties->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, newName)) ||
        FAILED(parameters->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES, properties.Get())))
        return Failed(ERROR_NOT_ENOUGH_MEMORY);
    ComPtr<IPortableDeviceValues> results;
    if (FAILED(device->SendCommand(0, parameters.Get(), results.GetAddressOf()))) return Failed(ERROR_ACCESS_DENIED);
    return CommandSucceeded(results.Get()) ? Succeeded() : Failed(ERROR_ACCESS_DENIED);
}

namespace {

OpResult CopyThenDelete(const wchar_t *source, const wchar_t *destination) {
    OpResult copied = CopyFileEntry(source, destination, 0);
    if (!copied.ok) return copied;
    return DeleteFileEntry(source);
}

OpResult MoveDeviceObject(const wchar_t *source, const wchar_t *destination, DeviceSession &session) {
    if (!ResolveDevicePath(source, session)) return Failed(ERROR_PATH_NOT_FOUND);
    if (!IsSameFolder(source, destination)) {
        if (session.findData.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return Failed(ERROR_ACCESS_DENIED);
        return CopyThenDelete(source, destination);
    }
    const wchar_t *cut = std::wcsrchr(destination, L'\\');
    const wchar_t *newName = cut ? cut + 1 : L"";
    if (!FitsBuffer(newName, kPathChars)) return Failed(ERROR_FILENAME_EXCED_RANGE);
    if (!IsStorableName(newName)) return Failed(ERROR_INVALID_NAME);
    return RenameDeviceObject(session.device.Get(), session.findData.cAlternateFileName, newName);
}

}  // namespace

BOOL IsSameFolder(const wchar_t *a, const wchar_t *b) {
    return lstrcmpiW(FolderPart(a).c_str(), FolderPart(b).c_str()) == 0;
}

OpResult MoveFileEntry(const wchar_t *source, const wchar_t *destination) {
    if (!source || !destination || lstrcmpiW(source, destination) == 0) return Failed(ERROR_INVALID_PARAMETER);
    if (!FitsBuffer(source, kPathChars) || !FitsBuffer(destination, kPathChars))
        return Failed(ERROR_FILENAME_EXCED_RANGE);
    DeviceSession session;
    if (!InitSession(&session)) return FailedWithLastError();
    if (ProbeDevicePath(source, session)) return MoveDeviceObject(source, destination, session);
    // A device path whose device is not here is never taken for a file of
    // the current folder: that file would be moved away.
    if (!IsLocalPath(source)) return Failed(ERROR_INVALID_PARAMETER);
    if (IsLocalPath(destination)) {
        if (!MoveFileW(source, destination)) return FailedWithLastError();
        return {TRUE, GetLastError()};
    }
    return CopyThenDelete(source, destination);
}

bool ComponentsFit(const wchar_t *path) {
    size_t run = 0;
    for (const wchar_t *p = path; *p; ++p) {
        run = *p == L'\\' ? 0 : run + 1;
        if (run >= kPathChars) return false;
    }
    return true;
}

std::wstring DevicePnpId(IPortableDevice *device) {
    CoTaskMemString id;
    if (!device || FAILED(device->GetPnPDeviceID(id.Put())) || !id) return std::wstring();
    return id.Get();
}

}  // namespace kivo

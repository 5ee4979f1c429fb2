// Folder creation on devices and on disk: every missing level is made.
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "core/globals.h"
#include "core/record.h"
#include "fileops/fileops.h"

namespace kivo {

namespace {

constexpr size_t kLocalFolderChars = 264;

// Makes the missing level as a new folder, its ID and name in the
// session's findData.
DWORD MakeFolderLevel(const wchar_t *name, DeviceSession &session) {
    OpResult created = CreateFolderObject(session.content.Get(), session.findData.cAlternateFileName, name);
    if (!created.ok) return created.code;
    BoundedCopy(session.findData.cFileName, kPathChars, name);
    return ERROR_SUCCESS;
}

}  // namespace

OpResult CreateFolderObject(IPortableDeviceContent *content, wchar_t (&objectId)[kObjectIdChars], const wchar_t *name) {
    if (!IsStorableName(name)) return Failed(ERROR_INVALID_NAME);
    ComPtr<IPortableDeviceValues> values = MakeDeviceValues();
    if (!values) return Failed(ERROR_ACCESS_DENIED);
    values->SetStringValue(WPD_OBJECT_PARENT_ID, objectId);
    values->SetStringValue(WPD_OBJECT_NAME, name);
    values->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, name);
    values->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    CoTaskMemString newId;
    if (FAILED(content->CreateObjectWithPropertiesOnly(values.Get(), newId.Put())) || !newId)
        return Failed(ERROR_ACCESS_DENIED);
    // An ID that does not fit would be cut into one that may name another
    // object: the new level cannot be walked below.
    if (!FitsBuffer(newId.Get(), kObjectIdChars)) return Failed(ERROR_PATH_NOT_FOUND);
    BoundedCopy(objectId, kObjectIdChars, newId.Get());
    return Succeeded();
}

OpResult ResolveDevicePathCreating(const wchar_t *path, DeviceSession &session) {
    // Nothing is made at a path that does not fit MAX_PATH: no listing or
    // job of the library could name it afterwards.
    if (!FitsBuffer(path, kPathChars) || !ComponentsFit(path)) return Failed(ERROR_FILENAME_EXCED_RANGE);
    DWORD code = WalkDevicePath(path, session, MakeFolderLevel);
    return code == ERROR_SUCCESS ? Succeeded() : Failed(code);
}

OpResult CreateLocalFolderTree(const wchar_t *path) {
    if (!path) return Failed(ERROR_INVALID_PARAMETER);
    if (!FitsBuffer(path, kLocalFolderChars)) return Failed(ERROR_FILENAME_EXCED_RANGE);
    std::wstring ancestor;
    for (const wchar_t *p = path; *p; ++p) {
        if (*p == L'\\') CreateDirectoryW(ancestor.c_str(), nullptr);
        ancestor += *p;
    }
    CreateDirectoryW(path, nullptr);
    DWORD code = GetLastError();
    BOOL isDirectory = PathIsDirectoryW(path);
    return {isDirectory, isDirectory ? code : (code ? code : static_cast<DWORD>(ERROR_PATH_NOT_FOUND))};
}

OpResult CreateFolderEntry(const wchar_t *path) {
    if (!path) return Failed(ERROR_INVALID_PARAMETER);
    DeviceSession session;
    if (!InitSession(&session)) return FailedWithLastError();
    // A device folder that exists or was made leaves 0, as every device
    // operation that succeeds does.
    if (ProbeDevicePath(path, session)) return ResolveDevicePathCreating(path, session);
    if (IsLocalPath(path)) return CreateLocalFolderTree(path);
    return Failed(ERROR_INVALID_PARAMETER);
}

}  // namespace kivo

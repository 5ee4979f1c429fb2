// Deletion of files, empty folders and whole folder trees, on devices and
#include "core/globals.h"
// on disk.
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "core/record.h"
#include "fileops/fileops.h"

namespace kivo {

namespace {

constexpr size_t kLocalEntryChars = 264;

bool IsFolder(const WIN32_FIND_DATAW &record) { return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

bool IsDotEntry(const wchar_t *name) { return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0; }

enum class Want { File, Folder };

// The device branch of the single-object deletes: the object must be of the
// wanted kind, and the path must no longer lead to it after the device
// deleted it. It may lead to another object of the same name (a folder may
// hold two): that one was not asked for, and the deletion stands.
OpResult DeleteResolvedObject(const wchar_t *path, DeviceSession &session, Want want) {
    if (IsFolder(session.findData) != (want == Want::Folder)) return Failed(ERROR_ACCESS_DENIED);
    wchar_t id[kObjectIdChars];
    BoundedCopy(id, kObjectIdChars, session.findData.cAlternateFileName);
    if (!DeleteDeviceObject(session.content.Get(), id)) return Failed(ERROR_ACCESS_DENIED);
    if (ResolveDevicePath(path, session) && std::wcscmp(session.findData.cAlternateFileName, id) == 0)
        return Failed(ERROR_ACCESS_DENIED);
    return Succeeded();
}

template <class Device, class Disk>
OpResult DeleteFrame(const wchar_t *path, DWORD notFound, Device &&onDevice, Disk &&onDisk) {
    if (!path) return Failed(ERROR_INVALID_PARAMETER);
    DeviceSession session;
    if (!InitSession(&session)) return FailedWithLastError();
    if (ProbeDevicePath(path, session)) {
        if (!ResolveDevicePath(path, session)) return Failed(notFound);
        return onDevice(session);
    }
    if (IsLocalPath(path)) return onDisk();
    return Failed(ERROR_INVALID_PARAMETER);
}

OpResult DiskCall(BOOL ok) { return ok ? OpResult{TRUE, GetLastError()} : FailedWithLastError(); }

// Removes one entry of a folder being deleted. A directory that is a reparse
// point (a junction or a symbolic link) is removed as the link it is: what
// it points to is never descended into.
OpResult DeleteLocalEntry(const wchar_t *fullName, const WIN32_FIND_DATAW &entry) {
    bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (directory && link) return DiskCall(RemoveDirectoryW(fullName));
    if (directory) return DeleteLocalFolderTree(fullName);
    return DiskCall(DeleteFileW(fullName));
}

}  // namespace

BOOL DeleteDeviceObject(IPortableDeviceContent *content, const wchar_t *objectId) {
    PropVariant id;
    id.Ptr()->vt = VT_LPWSTR;
    if (FAILED(SHStrDupW(objectId, &id.Ptr()->pwszVal))) {
        id.Ptr()->vt = VT_EMPTY;
        return FALSE;
    }
    ComPtr<IPortableDevicePropVariantCollection> ids;
    if (FAILED(CreatePlatformObject(CLSID_PortableDevicePropVariantCollection, IID_IPortableDevicePropVariantCollection, reinterpret_cast<void **>(ids.GetAddressOf()))))
        return FALSE;
    if (FAILED(ids->Add(id.Ptr()))) return FALSE;
    // S_FALSE says the object was not deleted.
    return content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, ids.Get(), nullptr) == S_OK;
}

BOOL DeleteDeviceFolderTree(const wchar_t *folderId, DeviceSession &session) {
    wchar_t id[kObjectIdChars];
    if (!BoundedCopy(id, kObjectIdChars, folderId)) return FALSE;
    ForEachChildRecord(session.content.Get(), id, [&](const WIN32_FIND_DATAW &child) {
        if (IsFolder(child)) DeleteDeviceFolderTree(child.cAlternateFileName, session);
        else DeleteDeviceObject(session.content.Get(), child.cAlternateFileName);
        return false;
    });
    // A child that stayed makes this delete fail.
    return DeleteDeviceObject(session.content.Get(), id);
}

OpResult DeleteLocalFolderTree(const wchar_t *path) {
    if (!FitsBuffer(path, kLocalEntryChars - 2)) return Failed(ERROR_FILENAME_EXCED_RANGE);
    std::wstring pattern = std::wstring(path) + L"\\*";
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (IsDotEntry(entry.cFileName)) continue;
            std::wstring fullName = std::wstring(path) + L"\\" + entry.cFileName;
            OpResult removed = fullName.size() < kLocalEntryChars ? DeleteLocalEntry(fullName.c_str(), entry)
                                                                  : Failed(ERROR_FILENAME_EXCED_RANGE);
            if (!removed.ok) {
                FindClose(search);
                return removed;
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    return DiskCall(RemoveDirectoryW(path));
}

OpResult DeleteFileEntry(const wchar_t *path) {
    return DeleteFrame(
        path, ERROR_FILE_NOT_FOUND, [&](DeviceSession &session) { return DeleteResolvedObject(path, session, Want::File); },
        [&] { return DiskCall(DeleteFileW(path)); });
}

OpResult RemoveFolderEntry(const wchar_t *path) {
    return DeleteFrame(
        path, ERROR_PATH_NOT_FOUND,
        [&](DeviceSession &session) { return DeleteResolvedObject(path, session, Want::Folder); },
        [&] { return DiskCall(RemoveDirectoryW(path)); });
}

OpResult DeleteFolderEntry(const wchar_t *path) {
    return DeleteFrame(
        path, ERROR_PATH_NOT_FOUND,
        [&](DeviceSession &session) {
            return DeleteDeviceFolderTree(session.findData.cAlternateFileName, session) ? Succeeded()
                                                                                         : Failed(ERROR_ACCESS_DENIED);
        },
        [&] { return DeleteLocalFolderTree(path); });
}

}  // namespace kivo

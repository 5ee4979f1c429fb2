#include "status.h"

#include "core/paths.h"
#include "core/session.h"
#include "enum/wildcard.h"

namespace kivo {

namespace {

BOOL DeviceStatus(const wchar_t *path, DeviceSession &session, WIN32_FIND_DATAW &record) {
    if (!ResolveDevicePath(path, session)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    CopyFindData(record, session.findData);
    return TRUE;
}

BOOL FileSystemStatus(const wchar_t *path, WIN32_FIND_DATAW &record) {
    record = WIN32_FIND_DATAW{};
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return FALSE;
    record.dwFileAttributes = data.dwFileAttributes;
    record.ftCreationTime = data.ftCreationTime;
    record.ftLastAccessTime = data.ftLastAccessTime;
    record.ftLastWriteTime = data.ftLastWriteTime;
    record.nFileSizeHigh = data.nFileSizeHigh;
    record.nFileSizeLow = data.nFileSizeLow;
    return TRUE;
}

}  // namespace

BOOL GetStatus(const wchar_t *path, WIN32_FIND_DATAW *record) {
    if (!path || !record) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DeviceSession session;
    BOOL result = FALSE;
    if (InitSession(&session)) {
        if (ProbeDevicePath(path, session)) {
            result = DeviceStatus(path, session, *record);
        } else if (IsLocalPath(path)) {
            result = FileSystemStatus(path, *record);
        } else {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
    }
    ReleaseSession(session);
    if (result) SetLastError(ERROR_SUCCESS);
    return result;
}

}  // namespace kivo

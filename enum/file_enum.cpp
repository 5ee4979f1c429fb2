#include "file_enum.h"

#include <cwchar>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/session.h"
#include "enum/handle_table.h"
#include "enum/listing_path.h"
#include "enum/wildcard.h"

namespace kivo {

namespace {

RecordList<WIN32_FIND_DATAW> ReadMatchingChildren(IPortableDeviceContent *content, const wchar_t *folderId,
                                                   const wchar_t *pattern, bool &whole) {
    RecordList<WIN32_FIND_DATAW> records;
    BOOL read = ForEachChildRecord(
        content, folderId,
        [&](const WIN32_FIND_DATAW &child) {
            // A replacement still on its way in is no file of the folder's.
            if (!IsStagingName(child.cFileName) && MatchFindPattern(pattern, child.cFileName)) records.push_back(child);
            return false;
        },
        &whole);
    whole = read && whole;
    return records;
}

HANDLE ListDeviceFolder(const wchar_t *path, DeviceSession &session, WIN32_FIND_DATAW &findData,
                        FolderListing &listed) {
    ListingPath listing;
    if (!SplitListingPath(path, listing)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    if (!ResolveDevicePath(listing.folder.c_str(), session) ||
        !(session.findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    BoundedCopy(listed.folderId, kObjectIdChars, session.findData.cAlternateFileName);
    RecordList<WIN32_FIND_DATAW> records = ReadMatchingChildren(
        session.content.Get(), session.findData.cAlternateFileName, listing.pattern.c_str(), listed.whole);
    if (records.empty()) {
        // An empty or unmatched folder is no error; one that could not be
        // read (a device gone in the middle of it) must not look empty.
        SetLastError(listed.whole ? ERROR_SUCCESS : ERROR_READ_FAULT);
        return INVALID_HANDLE_VALUE;
    }
    CopyFindData(findData, records.front());
    auto handle = FileEnumTable().Add(std::move(records), 1);
    SetLastError(ERROR_SUCCESS);
    return KeyHandle(handle);
}

// A relative path that is not a device path goes to the file system only
// when its last component asks for a pattern.
bool LastComponentHasWildcard(const wchar_t *path) {
    const wchar_t *lastSeparator = std::wcsrchr(path, L'\\');
    const wchar_t *lastStar = std::wcsrchr(path, L'*');
    const wchar_t *lastQuestion = std::wcsrchr(path, L'?');
    auto position = [](const wchar_t *p, const wchar_t *base) { return p ? p - base : -1; };
    auto separator = position(lastSeparator, path);
    return separator < position(lastStar, path) || separator < position(lastQuestion, path);
}

HANDLE ListOnFileSystem(const wchar_t *path, WIN32_FIND_DATAW &findData) {
    if (IsLocalPath(path)) return FindFirstFileW(path, &findData);
    if (path[0] == L'\0' || !LastComponentHasWildcard(path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return FindFirstFileW(path, &findData);
}

// The library's listing handles are 1 to 65535; the file system's find
// handles are heap addresses, never in that range. A value there that names
// no listing (one already closed, say) must not reach the file system,
// which would read through it as a pointer.
bool IsFileSystemFindHandle(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && HandleKey(handle) > SixteenBitHandles::kLast;
}

}  // namespace

FolderListing OpenFolderListing(const wchar_t *path, WIN32_FIND_DATAW *findData) {
    FolderListing listed;
    if (!path || !findData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return listed;
    }
    DeviceSession session;
    if (!InitSession(&session)) return listed;
    listed.handle = ProbeDevicePath(path, session) ? ListDeviceFolder(path, session, *findData, listed)
                                                   : ListOnFileSystem(path, *findData);
    ReleaseSession(session);
    return listed;
}

HANDLE FindFirstEntry(const wchar_t *path, WIN32_FIND_DATAW *findData) {
    return OpenFolderListing(path, findData).handle;
}

BOOL FindNextEntry(HANDLE handle, WIN32_FIND_DATAW *findData) {
    if (!findData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WIN32_FIND_DATAW record;
    switch (FileEnumTable().Step(HandleKey(handle), record)) {
    case StepResult::Exhausted:
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    case StepResult::Copied:
        CopyFindData(*findData, record);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    case StepResult::Unknown:
        break;
    }
    if (IsFileSystemFindHandle(handle)) return FindNextFileW(handle, findData);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL CloseFind(HANDLE handle) {
    if (FileEnumTable().Remove(HandleKey(handle))) {
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    if (IsFileSystemFindHandle(handle)) return FindClose(handle);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // namespace kivo

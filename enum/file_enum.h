// Folder listings through find first / next / close, for device folders and,
// handed through, for the file system.
#pragma once

#include <windows.h>

#include "core/text.h"

namespace kivo {

HANDLE FindFirstEntry(const wchar_t *path, WIN32_FIND_DATAW *findData);
BOOL FindNextEntry(HANDLE handle, WIN32_FIND_DATAW *findData);
BOOL CloseFind(HANDLE handle);

// A listing opened for a caller that must not miss a file (the folder
// copy): the handle FindFirstEntry gives, whether every child of a device
// folder could be read (a child whose record the device refuses is left out
// of a listing without a word; a listing of the file system counts as
// whole), and the listed device folder's object ID (empty on disk).
struct FolderListing {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool whole = true;
    wchar_t folderId[kObjectIdChars] = {};
};
FolderListing OpenFolderListing(const wchar_t *path, WIN32_FIND_DATAW *findData);

}  // namespace kivo

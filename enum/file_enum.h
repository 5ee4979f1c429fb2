// Folder listings through find first / next / close, for device folders and,
// handed through, for the file system.
#pragma once

#include <windows.h>

namespace kivo {

HANDLE FindFirstEntry(const wchar_t *path, WIN32_FIND_DATAW *findData);
BOOL FindNextEntry(HANDLE handle, WIN32_FIND_DATAW *findData);
BOOL CloseFind(HANDLE handle);

// Whether the last listing this thread opened with FindFirstEntry read every
// child of its device folder. A child whose record the device refuses is
// left out of a listing without a word; a caller that must not miss a file
// (the folder copy) asks here. A listing of the file system counts as whole.
bool LastListingWasWhole();

}  // namespace kivo

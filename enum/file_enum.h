// Folder listings through find first / next / close, for device folders and,
// handed through, for the file system.
#pragma once

#include <windows.h>

namespace kivo {

HANDLE FindFirstEntry(const wchar_t *path, WIN32_FIND_DATAW *findData);
BOOL FindNextEntry(HANDLE handle, WIN32_FIND_DATAW *findData);
BOOL CloseFind(HANDLE handle);

}  // namespace kivo

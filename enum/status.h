// The status of one path: whether it names an existing object, and its record.
#pragma once

#include <windows.h>

namespace kivo {

BOOL GetStatus(const wchar_t *path, WIN32_FIND_DATAW *record);

}  // namespace kivo

// The list of connected devices, by the names device paths begin with.
#pragma once

#include <windows.h>

namespace kivo {

HANDLE FindDeviceFirst();
int FindDeviceNext(HANDLE handle, wchar_t *buffer, DWORD size);
int FindDeviceClose(HANDLE handle);

}  // namespace kivo

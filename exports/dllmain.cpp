// The library's process-attach hook: it records the module handle, which the
// version query reads its resource from.
#include <windows.h>

#include "core/globals.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) kivo::GlobalState().moduleHandle = instance;
    return TRUE;
}

// Start-up, shutdown and version of the library.
#include "include/kivo.h"

#include <objbase.h>

#include "core/globals.h"

extern "C" int KivoInitialize(void) {
    CoInitialize(nullptr);
    return kivo::PrepareGlobals() ? 1 : 0;
}

extern "C" void KivoCleanUp(void) { kivo::ReleaseGlobals(); }

extern "C" void KivoUninitialize(void) {
    KivoCleanUp();
    CoUninitialize();
}

extern "C" DWORD KivoGetVersion(void) { return kivo::ReadPackedVersion(); }

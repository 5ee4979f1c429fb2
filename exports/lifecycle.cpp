// Start-up, shutdown and version of the library.
#include "include/kivo.h"

#include <objbase.h>

#include "core/globals.h"
#include "exports/barrier.h"

using kivo::RunExport;

extern "C" int KivoInitialize(void) {
    return RunExport(0, [] {
        CoInitialize(nullptr);
        return kivo::PrepareGlobals() ? 1 : 0;
    });
}

extern "C" void KivoCleanUp(void) {
    RunExport([] { kivo::ReleaseGlobals(); });
}

extern "C" void KivoUninitialize(void) {
    RunExport([] {
        kivo::ReleaseGlobals();
        CoUninitialize();
    });
}

extern "C" DWORD KivoGetVersion(void) {
    return RunExport(DWORD{0}, [] { return kivo::ReadPackedVersion(); });
}

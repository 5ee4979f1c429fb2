// The path test: device path candidate or local path.
#include "include/kivo.h"

#include "core/paths.h"
#include "exports/barrier.h"

extern "C" int KivoCheckDevicePathName(const wchar_t *path) {
    return kivo::RunExport(0, [&] {
        if (!path) return 0;
        return kivo::IsLocalPath(path) ? 0 : 1;
    });
}

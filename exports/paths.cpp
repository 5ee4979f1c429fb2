// The path test: device path candidate or local path.
#include "include/kivo.h"

#include "core/paths.h"

extern "C" int KivoCheckDevicePathName(const wchar_t *path) {
    if (!path) return 0;
    return kivo::IsLocalPath(path) ? 0 : 1;
}

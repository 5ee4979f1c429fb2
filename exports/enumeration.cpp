// Listing, matching and status: folder and device enumeration, wildcard
// matching of names, and the status of a path.
#include "include/kivo.h"

#include "enum/device_enum.h"
#include "enum/file_enum.h"
#include "enum/status.h"
#include "enum/wildcard.h"
#include "exports/barrier.h"

using kivo::RunExport;

extern "C" HANDLE KivoFindFirstFile(const wchar_t *path, WIN32_FIND_DATAW *findData) {
    return RunExport(INVALID_HANDLE_VALUE, [&] { return kivo::FindFirstEntry(path, findData); });
}

extern "C" BOOL KivoFindNextFile(HANDLE handle, WIN32_FIND_DATAW *findData) {
    return RunExport(FALSE, [&] { return kivo::FindNextEntry(handle, findData); });
}

extern "C" BOOL KivoFindClose(HANDLE handle) {
    return RunExport(FALSE, [&] { return kivo::CloseFind(handle); });
}

extern "C" HANDLE KivoFindDeviceFirst(void) {
    return RunExport(INVALID_HANDLE_VALUE, [] { return kivo::FindDeviceFirst(); });
}

extern "C" int KivoFindDeviceNext(HANDLE handle, wchar_t *buffer, DWORD size) {
    return RunExport(0, [&] { return kivo::FindDeviceNext(handle, buffer, size); });
}

extern "C" int KivoFindDeviceClose(HANDLE handle) {
    return RunExport(0, [&] { return kivo::FindDeviceClose(handle); });
}

extern "C" BOOL KivoGetStatus(const wchar_t *path, WIN32_FIND_DATAW *record) {
    return RunExport(FALSE, [&] { return kivo::GetStatus(path, record); });
}

extern "C" int KivoWildcardMatch(const wchar_t *pattern, const wchar_t *name) {
    return RunExport(0, [&] {
        if (!pattern || !name) return 0;
        if (pattern[0] == L'\0') return name[0] == L'\0' ? 1 : 0;
        return kivo::MatchWildcard(pattern, name);
    });
}

// The folder copy job: one file per Next call, under the host's control.
#include "include/kivo.h"

#include "exports/barrier.h"
#include "foldercopy/folder_copy.h"

using kivo::RunExport;

extern "C" HANDLE KivoCopyFolderFirst(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    return RunExport(INVALID_HANDLE_VALUE, [&] { return kivo::FolderCopyFirst(source, destination, flags); });
}

extern "C" SIZE_T KivoCopyFolderCount(HANDLE handle) {
    return RunExport(static_cast<SIZE_T>(0), [&] { return static_cast<SIZE_T>(kivo::FolderCopyCount(handle)); });
}

extern "C" BOOL KivoCopyFolderNext(HANDLE handle, wchar_t *source, DWORD sourceSize, wchar_t *destination,
                                   DWORD destinationSize, INT32 *result, UINT32 *error) {
    return RunExport(FALSE, [&] {
        return kivo::FolderCopyNext(handle, source, sourceSize, destination, destinationSize, result, error);
    });
}

extern "C" BOOL KivoCopyFolderNextEx(HANDLE handle, wchar_t *source, DWORD sourceSize, wchar_t *destination,
                                     DWORD destinationSize, INT32 *result, UINT32 *error,
                                     LPPROGRESS_ROUTINE progress, void *data, BOOL *cancel) {
    return RunExport(FALSE, [&] {
        return kivo::FolderCopyNext(handle, source, sourceSize, destination, destinationSize, result, error,
                                    kivo::ProgressRequest{progress, data, cancel});
    });
}

extern "C" int KivoCopyFolderClose(HANDLE handle) {
    return RunExport(0, [&] { return kivo::FolderCopyClose(handle); });
}

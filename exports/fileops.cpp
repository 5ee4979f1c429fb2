// Copy, move and rename, folder creation and deletion. Each export sets the
// thread's last-error code last, after every interface of the call is gone.
#include "include/kivo.h"

#include "exports/barrier.h"
#include "fileops/fileops.h"
#include "fileops/space.h"

namespace {

template <class Operation>
BOOL Report(Operation &&operation) {
    return kivo::RunExport(FALSE, [&] {
        kivo::OpResult result = operation();
        SetLastError(result.code);
        return result.ok;
    });
}

}  // namespace

extern "C" BOOL KivoCopyFile(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    return Report([&] { return kivo::CopyFileEntry(source, destination, flags); });
}

extern "C" BOOL KivoCopyFileEx(const wchar_t *source, const wchar_t *destination, LPPROGRESS_ROUTINE progress,
                               void *data, BOOL *cancel, DWORD flags) {
    return Report([&] {
        kivo::TransferProgress reported(kivo::ProgressRequest{progress, data, cancel});
        kivo::CopyHints hints;
        hints.progress = &reported;
        return kivo::CopyFileEntry(source, destination, flags, hints);
    });
}

extern "C" BOOL KivoMoveFile(const wchar_t *source, const wchar_t *destination) {
    return Report([&] { return kivo::MoveFileEntry(source, destination); });
}

extern "C" BOOL KivoCreateFolder(const wchar_t *path) {
    return Report([&] { return kivo::CreateFolderEntry(path); });
}

extern "C" BOOL KivoDeleteFile(const wchar_t *path) {
    return Report([&] { return kivo::DeleteFileEntry(path); });
}

extern "C" BOOL KivoRemoveFolder(const wchar_t *path) {
    return Report([&] { return kivo::RemoveFolderEntry(path); });
}

extern "C" BOOL KivoDeleteFolder(const wchar_t *path) {
    return Report([&] { return kivo::DeleteFolderEntry(path); });
}

extern "C" BOOL KivoGetDiskFreeSpaceEx(const wchar_t *path, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                                       ULARGE_INTEGER *totalFree) {
    return Report([&] { return kivo::GetFreeSpaceEntry(path, freeToCaller, total, totalFree); });
}

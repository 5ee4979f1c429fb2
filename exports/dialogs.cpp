// The shell's file dialogs, whose choices come back as paths.
#include "include/kivo.h"

#include "dialogs/dialogs.h"
#include "exports/barrier.h"

using kivo::RunExport;

extern "C" INT32 KivoOpenDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, const wchar_t *fileName,
                                const wchar_t *filter, UINT32 filterIndex, const wchar_t *defaultExtension,
                                wchar_t *result, INT32 resultSize, UINT32 options) {
    return RunExport(0, [&] {
        return kivo::ShowOpenDialog(
            {owner, title, initialFolder, fileName, filter, filterIndex, defaultExtension, result, resultSize, options});
    });
}

extern "C" INT32 KivoSaveDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, const wchar_t *fileName,
                                const wchar_t *filter, UINT32 filterIndex, const wchar_t *defaultExtension,
                                wchar_t *result, INT32 resultSize, UINT32 options) {
    return RunExport(0, [&] {
        return kivo::ShowSaveDialog(
            {owner, title, initialFolder, fileName, filter, filterIndex, defaultExtension, result, resultSize, options});
    });
}

extern "C" INT32 KivoOpenFolderDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, wchar_t *result,
                                      INT32 resultSize, UINT32 options) {
    return RunExport(0, [&] { return kivo::ShowFolderDialog(owner, title, initialFolder, result, resultSize, options); });
}

extern "C" BOOL KivoOpenDialogNext(INT32 handle, wchar_t *buffer, UINT32 size) {
    return RunExport(FALSE, [&] { return kivo::NextDialogResult(handle, buffer, size); });
}

extern "C" INT32 KivoOpenDialogClose(INT32 handle) {
    return RunExport(0, [&] { return kivo::CloseDialogResult(handle); });
}

// The shell's open, save and folder dialogs, whose choices come back as
// paths the rest of the library takes, and the conversion of a shell item
// into such a path.
#pragma once

#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dialogs/filter.h"

namespace kivo {

// The library's own option bit: device paths start below the computer
// folder's name. It never reaches the dialog.
constexpr uint32_t kPathBelowComputer = 0x1;

// Converts the item (taken over and released) into a path in output, of
// size characters: a file-system path, or the in-folder display names from
// below the stop folder down to the item, joined with "\"; an item below a
// file-system folder keeps that folder's path before its names. FALSE when
// the item has no identifier list (output untouched), or when a level
// above it cannot be named or the path does not fit size with its
// terminator (output emptied: a path is never cut, at either end).
// The stop folder itself gives TRUE and writes nothing.
BOOL ShellItemToPath(Microsoft::WRL::ComPtr<IShellItem> item, wchar_t *output, int32_t size, uint32_t options);

struct FileDialogArguments {
    HWND owner;
    const wchar_t *title;
    const wchar_t *initialFolder;
    const wchar_t *fileName;
    const wchar_t *filter;
    uint32_t filterIndex;
    const wchar_t *defaultExtension;
    wchar_t *result;
    int32_t resultSize;
    uint32_t options;
};

int32_t ShowOpenDialog(const FileDialogArguments &arguments);
int32_t ShowSaveDialog(const FileDialogArguments &arguments);
int32_t ShowFolderDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, wchar_t *result,
                         int32_t resultSize, uint32_t options);

// Hands a multiple selection's paths out one by one; both set the
// thread's last-error code.
BOOL NextDialogResult(int32_t handle, wchar_t *buffer, uint32_t size);
int CloseDialogResult(int32_t handle);

}  // namespace kivo

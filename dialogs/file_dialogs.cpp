// The open, save and folder dialogs and the list of a multiple selection.
#include <shlobj.h>

#include <array>

#include "core/session.h"
#include "core/text.h"
#include "dialogs/dialogs.h"
#include "enum/handle_table.h"

using Microsoft::WRL::ComPtr;

namespace kivo {

namespace {

constexpr uint32_t kMultipleSelection = FOS_ALLOWMULTISELECT;

bool Given(const wchar_t *text) { return text && text[0]; }

ComPtr<IShellItem> ItemFromParsingName(const wchar_t *name) {
    ComPtr<IShellItem> item;
    if (Given(name))
        SHCreateItemFromParsingName(name, nullptr, IID_IShellItem, reinterpret_cast<void **>(item.GetAddressOf()));
    return item;
}

void ApplyFileTypes(IFileDialog *dialog, const wchar_t *filter, uint32_t index) {
    if (!filter) return;
    std::vector<FilterPair> pairs = ParseFilter(filter);
    if (!pairs.empty()) {
        std::vector<COMDLG_FILTERSPEC> specs;
        for (const FilterPair &pair : pairs) specs.push_back({pair.name.c_str(), pair.patterns.c_str()});
        dialog->SetFileTypes(static_cast<UINT>(specs.size()), specs.data());
    }
    dialog->SetFileTypeIndex(index);
}

// Steps 4 of the open and save dialogs, in the order the shell gets them.
void ApplyArguments(IFileDialog *dialog, const FileDialogArguments &arguments, IShellItem *folder) {
    if (folder) dialog->SetFolder(folder);
    if (Given(arguments.fileName)) dialog->SetFileName(arguments.fileName);
    if (Given(arguments.title)) dialog->SetTitle(arguments.title);
    ApplyFileTypes(dialog, arguments.filter, arguments.filterIndex);
    if (Given(arguments.defaultExtension)) dialog->SetDefaultExtension(arguments.defaultExtension);
    dialog->SetOptions(arguments.options & ~kPathBelowComputer);
}

// The single choice of a dialog already shown, converted into result.
int32_t TakeResult(IFileDialog *dialog, wchar_t *result, int32_t size, uint32_t options) {
    ComPtr<IShellItem> item;
    if (FAILED(dialog->GetResult(item.GetAddressOf()))) return 0;
    result[0] = L'\0';
    if (!item) return 0;
    return ShellItemToPath(std::move(item), result, size, options) ? 1 : 0;
}

// Every item of a multiple selection in order: the first path into result,
// the others into a list under a new handle. An item that cannot be had or
// whose path does not fit MAX_PATH is skipped; a first path too long for
// the host's buffer fails the call.
int32_t CollectSelection(IShellItemArray *selection, wchar_t *result, int32_t size, uint32_t options) {
    DWORD count = 0;
    if (FAILED(selection->GetCount(&count))) return 0;
    RecordList<PathRecord> rest;
    bool first = true;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IShellItem> item;
        if (FAILED(selection->GetItemAt(i, item.GetAddressOf())) || !item) continue;
        PathRecord scratch{};
        if (!ShellItemToPath(std::move(item), scratch.data(), MAX_PATH, options)) continue;
        if (first) {
            if (!BoundedCopy(result, static_cast<size_t>(size), scratch.data())) {
                result[0] = L'\0';
                return 0;
            }
            first = false;
        } else {
            rest.push_back(scratch);
        }
    }
    // Not one item could be had: nothing was chosen.
    if (first) return 0;
    return DialogResultTable().Add(std::move(rest), 0);
}

// Nothing can come back through a missing buffer or one of no size: no
// dialog is shown for it.
bool ResultBufferUsable(const wchar_t *result, int32_t size) { return result && size > 0; }

template <class Dialog>
ComPtr<Dialog> MakeFileDialog(REFCLSID clsid) {
    ComPtr<Dialog> dialog;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(Dialog),
                                reinterpret_cast<void **>(dialog.GetAddressOf()))))
        return nullptr;
    return dialog;
}

// Creates the dialog, applies the arguments and shows it; null when nothing
// can come back (no buffer, no globals, no dialog, cancelled or failed).
template <class Dialog>
ComPtr<Dialog> ShowFileDialog(REFCLSID clsid, const FileDialogArguments &arguments) {
    if (!ResultBufferUsable(arguments.result, arguments.resultSize) || !InitSession(nullptr)) return nullptr;
    ComPtr<Dialog> dialog = MakeFileDialog<Dialog>(clsid);
    if (!dialog) return nullptr;
    ComPtr<IShellItem> folder = ItemFromParsingName(arguments.initialFolder);
    ApplyArguments(dialog.Get(), arguments, folder.Get());
    if (FAILED(dialog->Show(arguments.owner))) return nullptr;
    return dialog;
}

}  // namespace

int32_t ShowOpenDialog(const FileDialogArguments &arguments) {
    ComPtr<IFileOpenDialog> dialog = ShowFileDialog<IFileOpenDialog>(CLSID_FileOpenDialog, arguments);
    if (!dialog) return 0;
    if (!(arguments.options & kMultipleSelection))
        return TakeResult(dialog.Get(), arguments.result, arguments.resultSize, arguments.options);
    ComPtr<IShellItemArray> selection;
    if (FAILED(dialog->GetResults(selection.GetAddressOf())) || !selection) return 0;
    return CollectSelection(selection.Get(), arguments.result, arguments.resultSize, arguments.options);
}

int32_t ShowSaveDialog(const FileDialogArguments &arguments) {
    ComPtr<IFileSaveDialog> dialog = ShowFileDialog<IFileSaveDialog>(CLSID_FileSaveDialog, arguments);
    if (!dialog) return 0;
    return TakeResult(dialog.Get(), arguments.result, arguments.resultSize, arguments.options);
}

int32_t ShowFolderDialog(HWND owner, const wchar_t *title, const wchar_t *initialFolder, wchar_t *result,
                         int32_t resultSize, uint32_t options) {
    if (!ResultBufferUsable(result, resultSize) || !InitSession(nullptr)) return 0;
    ComPtr<IFileOpenDialog> dialog = MakeFileDialog<IFileOpenDialog>(CLSID_FileOpenDialog);
    if (!dialog) return 0;
    ComPtr<IShellItem> folder = ItemFromParsingName(initialFolder);
    if (folder) {
        CoTaskMemString name;
        if (SUCCEEDED(folder->GetDisplayName(SIGDN_NORMALDISPLAY, name.Put())) && name)
            dialog->SetFileName(name.Get());
        dialog->SetFolder(folder.Get());
    }
    if (Given(title)) dialog->SetTitle(title);
    dialog->SetOptions((options & ~kPathBelowComputer) | FOS_PICKFOLDERS);
    if (FAILED(dialog->Show(owner))) return 0;
    return TakeResult(dialog.Get(), result, resultSize, options);
}

BOOL NextDialogResult(int32_t handle, wchar_t *buffer, uint32_t size) {
    enum class Outcome { Unknown, Exhausted, DoesNotFit, Copied } outcome = Outcome::Unknown;
    if (!buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DialogResultTable().With(handle, [&](DialogTable::Entry &entry) {
        if (entry.nextIndex >= entry.records.size()) {
            outcome = Outcome::Exhausted;
            return;
        }
        // A path that does not fit is never cut: the host may ask again
        // with a larger buffer.
        const PathRecord &path = entry.records[entry.nextIndex];
        if (!FitsBuffer(path.data(), size)) {
            outcome = Outcome::DoesNotFit;
            return;
        }
        BoundedCopy(buffer, size, path.data());
        ++entry.nextIndex;
        outcome = Outcome::Copied;
    });
    switch (outcome) {
    case Outcome::Copied: SetLastError(ERROR_SUCCESS); return TRUE;
    case Outcome::Exhausted: SetLastError(ERROR_NO_MORE_FILES); return FALSE;
    case Outcome::DoesNotFit: SetLastError(ERROR_INSUFFICIENT_BUFFER); return FALSE;
    case Outcome::Unknown: break;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

int CloseDialogResult(int32_t handle) {
    SetLastError(DialogResultTable().Remove(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return 0;
}

}  // namespace kivo

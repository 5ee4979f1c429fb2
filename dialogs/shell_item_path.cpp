// A shell item as a path the library takes: its file-system path, or the
// chain of in-folder display names below a stop folder.
#include <shlobj.h>
#include <shlwapi.h>

#include <list>

#include "core/globals.h"
#include "core/raii.h"
#include "dialogs/dialogs.h"

namespace kivo {

namespace {

bool IsStopFolder(LPCITEMIDLIST pidl, LPCITEMIDLIST stop) {
    IShellFolder *desktop = GlobalState().desktopFolder;
    if (!desktop || !stop) return false;
    HRESULT hr = desktop->CompareIDs(0, pidl, stop);
    return SUCCEEDED(hr) && static_cast<short>(HRESULT_CODE(hr)) == 0;
}

// The in-folder display name of the list's last element; false when the
// parent cannot be had or will not name it.
bool InFolderName(LPCITEMIDLIST pidl, std::wstring &name) {
    Microsoft::WRL::ComPtr<IShellFolder> parent;
    LPCITEMIDLIST last = nullptr;
    if (FAILED(SHBindToParent(pidl, IID_IShellFolder, reinterpret_cast<void **>(parent.GetAddressOf()), &last)) ||
        !parent)
        return false;
    STRRET text{};
    text.uType = STRRET_WSTR;
    if (FAILED(parent->GetDisplayNameOf(last, SHGDN_INFOLDER, &text))) return false;
    CoTaskMemString converted;
    if (FAILED(StrRetToStrW(&text, last, converted.Put())) || !converted) return false;
    name = converted.Get();
    return true;
}

// Walks up from the item to a file-system ancestor or the stop folder,
// gathering the names met on the way. False when a level cannot be named
// (or the list ends first): the names gathered would make a path that
// lacks its upper levels, and so names something else.
bool WalkUp(LPITEMIDLIST pidl, LPCITEMIDLIST stop, std::wstring &ancestor, std::list<std::wstring> &names) {
    for (;;) {
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(pidl, path) && path[0]) {
            ancestor = path;
            return true;
        }
        std::wstring name;
        if (!InFolderName(pidl, name)) return false;
        names.push_front(std::move(name));
        if (!ILRemoveLastID(pidl)) return false;
        if (IsStopFolder(pidl, stop)) return true;
    }
}

std::wstring JoinNames(const std::wstring &ancestor, const std::list<std::wstring> &names) {
    std::wstring joined = ancestor;
    for (const std::wstring &name : names) {
        if (!joined.empty() && joined.back() != L'\\') joined += L'\\';
        joined += name;
    }
    return joined;
}

}  // namespace

BOOL ShellItemToPath(Microsoft::WRL::ComPtr<IShellItem> item, wchar_t *output, int32_t size, uint32_t options) {
    Pidl pidl;
    if (!item || FAILED(SHGetIDListFromObject(item.Get(), pidl.Put())) || !pidl) return FALSE;
    item.Reset();
    const Globals &globals = GlobalState();
    LPCITEMIDLIST stop = (options & kPathBelowComputer) ? globals.computerPidl : globals.desktopPidl;
    if (IsStopFolder(pidl.Get(), stop)) return TRUE;

    std::wstring ancestor;
    std::list<std::wstring> names;
    bool whole = WalkUp(pidl.Get(), stop, ancestor, names);
    std::wstring path = JoinNames(ancestor, names);
    if (!whole || size <= 0 || path.size() >= static_cast<size_t>(size)) {
        if (size > 0) output[0] = L'\0';
        return FALSE;
    }
    path.copy(output, path.size());
    output[path.size()] = L'\0';
    return TRUE;
}

}  // namespace kivo

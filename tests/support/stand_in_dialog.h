// A scripted stand-in for the shell's item dialogs: registered in place of
// CLSID_FileOpenDialog and CLSID_FileSaveDialog for this process only, so
// the library's CoCreateInstance gets it unchanged. It records what the
// library asks of it and answers Show, GetResult and GetResults from a
// script; it never shows a window.
#pragma once

#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <string>
#include <utility>
#include <vector>

namespace kivotest {

struct DialogScript {
    HRESULT show = S_OK;  // HRESULT_FROM_WIN32(ERROR_CANCELLED) stands for the user's cancel
    HRESULT getResult = S_OK;
    HRESULT getResults = S_OK;
    HRESULT getCount = S_OK;
    std::vector<UINT> failItemAt;  // indexes of the selection whose GetItemAt fails
    std::vector<Microsoft::WRL::ComPtr<IShellItem>> items;  // the choice, in selection order
};

struct DialogRecord {
    std::string kind;  // "open" or "save"
    std::vector<std::string> calls;  // method names in call order
    FILEOPENDIALOGOPTIONS options = 0;
    std::vector<std::pair<std::wstring, std::wstring>> fileTypes;
    bool fileTypesSet = false;
    UINT fileTypeIndex = 0;
    std::wstring fileName, title, defaultExtension, folder;
    HWND owner = nullptr;
};

class StandInDialogs {
public:
    // Registers both classes in this process; COM must be up on the thread.
    bool Register();
    void Revoke();
    ~StandInDialogs() { Revoke(); }
    DialogScript script;
    std::vector<DialogRecord> records;  // one per dialog the library created
    long LiveObjects() const;  // dialogs and selections still alive

private:
    DWORD openCookie_ = 0, saveCookie_ = 0;
};

}  // namespace kivotest

#include "stand_in_dialog.h"

#include "class_factory.h"

#include <shlobj.h>

#include <algorithm>

namespace kivotest {

using Microsoft::WRL::ComPtr;

namespace {

long liveObjects = 0;
StandInDialogs *current = nullptr;
ShellCallFaults faults;

std::wstring FolderPath(IShellItem *item) {
    LPWSTR name = nullptr;
    if (!item || FAILED(item->GetDisplayName(SIGDN_DESKTOPABSOLUTEPARSING, &name))) return L"<none>";
    std::wstring text = name;
    CoTaskMemFree(name);
    return text;
}

class Selection : public IShellItemArray {
public:
    Selection(std::vector<ComPtr<IShellItem>> items, const DialogScript &script) : items_(std::move(items)), script_(script) {
        ++liveObjects;
    }
    virtual ~Selection() { --liveObjects; }
    STDMETHODIMP QueryInterface(REFIID riid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != IID_IUnknown && riid != IID_IShellItemArray) return E_NOINTERFACE;
        *out = static_cast<IShellItemArray *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (!left) delete this;
        return left;
    }
    STDMETHODIMP BindToHandler(IBindCtx *, REFGUID, REFIID, void **) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void **) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyDescriptionList(REFPROPERTYKEY, REFIID, void **) override { return E_NOTIMPL; }
    STDMETHODIMP GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF *) override { return E_NOTIMPL; }
    STDMETHODIMP GetCount(DWORD *count) override {
        if (faults.Fails()) return E_FAIL;
        if (FAILED(script_.getCount)) return script_.getCount;
        *count = static_cast<DWORD>(items_.size());
        return S_OK;
    }
    STDMETHODIMP GetItemAt(DWORD index, IShellItem **item) override {
        *item = nullptr;
        if (index >= items_.size()) return E_INVALIDARG;
        if (faults.Fails()) return E_FAIL;
        auto &fail = script_.failItemAt;
        if (std::find(fail.begin(), fail.end(), index) != fail.end()) return E_FAIL;
        return items_[index].CopyTo(item);
    }
    STDMETHODIMP EnumItems(IEnumShellItems **) override { return E_NOTIMPL; }

private:
    LONG refs_ = 1;
    std::vector<ComPtr<IShellItem>> items_;
    DialogScript script_;
};

// The methods both dialogs share, recorded; Base is IFileOpenDialog or
// IFileSaveDialog.
template <class Base>
class Dialog : public Base {
public:
    explicit Dialog(const char *kind) {
        ++liveObjects;
        current->records.push_back({});
        current->records.back().kind = kind;
        index_ = current->records.size() - 1;
    }
    virtual ~Dialog() { --liveObjects; }

    STDMETHODIMP QueryInterface(REFIID riid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != IID_IUnknown && riid != IID_IModalWindow && riid != IID_IFileDialog && riid != __uuidof(Base))
            return E_NOINTERFACE;
        *out = static_cast<Base *>(this);
        this->AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (!left) delete this;
        return left;
    }
    STDMETHODIMP Show(HWND owner) override {
        Record("Show").owner = owner;
        return faults.Fails() ? E_FAIL : current->script.show;
    }
    STDMETHODIMP SetFileTypes(UINT count, const COMDLG_FILTERSPEC *specs) override {
        DialogRecord &r = Record("SetFileTypes");
        r.fileTypesSet = true;
        for (UINT i = 0; i < count; ++i) r.fileTypes.push_back({specs[i].pszName, specs[i].pszSpec});
        return faults.Outcome();
    }
    STDMETHODIMP SetFileTypeIndex(UINT index) override {
        Record("SetFileTypeIndex").fileTypeIndex = index;
        return faults.Outcome();
    }
    STDMETHODIMP GetFileTypeIndex(UINT *) override { return E_NOTIMPL; }
    STDMETHODIMP Advise(IFileDialogEvents *, DWORD *) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP SetOptions(FILEOPENDIALOGOPTIONS options) override {
        Record("SetOptions").options = options;
        return faults.Outcome();
    }
    STDMETHODIMP GetOptions(FILEOPENDIALOGOPTIONS *) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultFolder(IShellItem *) override { return E_NOTIMPL; }
    STDMETHODIMP SetFolder(IShellItem *folder) override {
        Record("SetFolder").folder = FolderPath(folder);
        return faults.Outcome();
    }
    STDMETHODIMP GetFolder(IShellItem **) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurrentSelection(IShellItem **) override { return E_NOTIMPL; }
    STDMETHODIMP SetFileName(LPCWSTR name) override {
        Record("SetFileName").fileName = name;
        return faults.Outcome();
    }
    STDMETHODIMP GetFileName(LPWSTR *) override { return E_NOTIMPL; }
    STDMETHODIMP SetTitle(LPCWSTR title) override {
        Record("SetTitle").title = title;
        return faults.Outcome();
    }
    STDMETHODIMP SetOkButtonLabel(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP SetFileNameLabel(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetResult(IShellItem **item) override {
        Record("GetResult");
        *item = nullptr;
        if (faults.Fails()) return E_FAIL;
        const DialogScript &script = current->script;
        if (FAILED(script.getResult)) return script.getResult;
        if (!script.items.empty()) script.items.front().CopyTo(item);
        return S_OK;
    }
    STDMETHODIMP AddPlace(IShellItem *, FDAP) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultExtension(LPCWSTR extension) override {
        Record("SetDefaultExtension").defaultExtension = extension;
        return faults.Outcome();
    }
    STDMETHODIMP Close(HRESULT) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientGuid(REFGUID) override { return E_NOTIMPL; }
    STDMETHODIMP ClearClientData() override { return E_NOTIMPL; }
    STDMETHODIMP SetFilter(IShellItemFilter *) override { return E_NOTIMPL; }

protected:
    DialogRecord &Record(const char *call) {
        DialogRecord &r = current->records[index_];
        r.calls.push_back(call);
        return r;
    }

private:
    LONG refs_ = 1;
    size_t index_ = 0;
};

class OpenDialog : public Dialog<IFileOpenDialog> {
public:
    OpenDialog() : Dialog("open") {}
    STDMETHODIMP GetResults(IShellItemArray **selection) override {
        Record("GetResults");
        *selection = nullptr;
        if (faults.Fails()) return E_FAIL;
        const DialogScript &script = current->script;
        if (FAILED(script.getResults)) return script.getResults;
        *selection = new Selection(script.items, script);
        return S_OK;
    }
    STDMETHODIMP GetSelectedItems(IShellItemArray **) override { return E_NOTIMPL; }
};

class SaveDialog : public Dialog<IFileSaveDialog> {
public:
    SaveDialog() : Dialog("save") {}
    STDMETHODIMP SetSaveAsItem(IShellItem *) override { return E_NOTIMPL; }
    STDMETHODIMP SetProperties(IPropertyStore *) override { return E_NOTIMPL; }
    STDMETHODIMP SetCollectedProperties(IPropertyDescriptionList *, WINBOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetProperties(IPropertyStore **) override { return E_NOTIMPL; }
    STDMETHODIMP ApplyProperties(IShellItem *, IPropertyStore *, HWND, IFileOperationProgressSink *) override {
        return E_NOTIMPL;
    }
};

StaticClassFactory<OpenDialog> openFactory;
StaticClassFactory<SaveDialog> saveFactory;

}  // namespace

ShellCallFaults &StandInFaults() { return faults; }

bool StandInDialogs::Register() {
    current = this;
    return SUCCEEDED(CoRegisterClassObject(CLSID_FileOpenDialog, &openFactory, CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &openCookie_)) &&
           SUCCEEDED(CoRegisterClassObject(CLSID_FileSaveDialog, &saveFactory, CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &saveCookie_));
}

void StandInDialogs::Revoke() {
    if (openCookie_) CoRevokeClassObject(openCookie_);
    if (saveCookie_) CoRevokeClassObject(saveCookie_);
    openCookie_ = saveCookie_ = 0;
    if (current == this) current = nullptr;
}

long StandInDialogs::LiveObjects() const { return liveObjects; }

}  // namespace kivotest

#include "stand_in_namespace.h"

#include "class_factory.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstring>

namespace kivotest {

using Microsoft::WRL::ComPtr;

namespace {

// {6B1C5E2A-4F0D-4C67-9A1E-5D2B7C3A9E41}
const CLSID kClsid = {0x6b1c5e2a, 0x4f0d, 0x4c67, {0x9a, 0x1e, 0x5d, 0x2b, 0x7c, 0x3a, 0x9e, 0x41}};
const wchar_t kClsidText[] = L"{6B1C5E2A-4F0D-4C67-9A1E-5D2B7C3A9E41}";
const DWORD kMagic = 0x4f56494b;  // "KIVO"

long liveFolders = 0;

// One element of our identifier lists: its size, a mark, the name.
#pragma pack(push, 1)
struct Element {
    USHORT cb;
    DWORD magic;
    WCHAR name[1];
};
#pragma pack(pop)

LPITEMIDLIST MakeElement(const std::wstring &name) {
    size_t bytes = offsetof(Element, name) + (name.size() + 1) * sizeof(WCHAR);
    auto *pidl = static_cast<BYTE *>(CoTaskMemAlloc(bytes + sizeof(USHORT)));
    std::memset(pidl, 0, bytes + sizeof(USHORT));
    auto *element = reinterpret_cast<Element *>(pidl);
    element->cb = static_cast<USHORT>(bytes);
    element->magic = kMagic;
    std::memcpy(element->name, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return reinterpret_cast<LPITEMIDLIST>(pidl);
}

// The name of the first element, or empty when it is not ours.
std::wstring NameOf(LPCITEMIDLIST pidl) {
    if (!pidl || pidl->mkid.cb < offsetof(Element, name) + sizeof(WCHAR)) return std::wstring();
    auto *element = reinterpret_cast<const Element *>(pidl);
    if (element->magic != kMagic) return std::wstring();
    return element->name;
}

LPCITEMIDLIST NextOf(LPCITEMIDLIST pidl) {
    return reinterpret_cast<LPCITEMIDLIST>(reinterpret_cast<const BYTE *>(pidl) + pidl->mkid.cb);
}

bool IsFolderName(const std::wstring &name) { return name.find(L'.') == std::wstring::npos; }

class Folder : public IShellFolder, public IPersistFolder2 {
public:
    Folder() { ++liveFolders; }
    virtual ~Folder() {
        CoTaskMemFree(absolute_);
        --liveFolders;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IShellFolder) *out = static_cast<IShellFolder *>(this);
        else if (riid == IID_IPersist || riid == IID_IPersistFolder || riid == IID_IPersistFolder2)
            *out = static_cast<IPersistFolder2 *>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (!left) delete this;
        return left;
    }

    // IPersistFolder2
    STDMETHODIMP GetClassID(CLSID *clsid) override {
        *clsid = kClsid;
        return S_OK;
    }
    STDMETHODIMP Initialize(LPCITEMIDLIST pidl) override {
        if (StandInFaults().Fails()) return E_FAIL;
        CoTaskMemFree(absolute_);
        absolute_ = ILClone(pidl);
        return absolute_ ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetCurFolder(LPITEMIDLIST *pidl) override {
        *pidl = nullptr;
        if (StandInFaults().Fails()) return E_FAIL;
        *pidl = ILClone(absolute_);
        return *pidl ? S_OK : E_FAIL;
    }

    // IShellFolder
    STDMETHODIMP ParseDisplayName(HWND, IBindCtx *, LPWSTR, ULONG *, LPITEMIDLIST *, ULONG *) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP EnumObjects(HWND, SHCONTF, IEnumIDList **) override { return E_NOTIMPL; }
    STDMETHODIMP BindToObject(LPCITEMIDLIST pidl, IBindCtx *, REFIID riid, void **out) override {
        *out = nullptr;
        if (StandInFaults().Fails()) return E_FAIL;
        Folder *child = new Folder();
        child->absolute_ = ILCombine(absolute_, pidl);
        for (LPCITEMIDLIST at = pidl; at && at->mkid.cb; at = NextOf(at)) {
            std::wstring name = NameOf(at);
            if (name.empty() || !IsFolderName(name)) {
                child->Release();
                return E_INVALIDARG;
            }
        }
        HRESULT hr = child->QueryInterface(riid, out);
        child->Release();
        return hr;
    }
    STDMETHODIMP BindToStorage(LPCITEMIDLIST, IBindCtx *, REFIID, void **out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP CompareIDs(LPARAM, LPCITEMIDLIST a, LPCITEMIDLIST b) override {
        for (; a && b && a->mkid.cb && b->mkid.cb; a = NextOf(a), b = NextOf(b)) {
            int order = NameOf(a).compare(NameOf(b));
            if (order) return MAKE_HRESULT(SEVERITY_SUCCESS, 0, static_cast<USHORT>(order < 0 ? -1 : 1));
        }
        bool aEnds = !a || !a->mkid.cb, bEnds = !b || !b->mkid.cb;
        short order = aEnds == bEnds ? 0 : (aEnds ? -1 : 1);
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, static_cast<USHORT>(order));
    }
    STDMETHODIMP CreateViewObject(HWND, REFIID, void **out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetAttributesOf(UINT count, LPCITEMIDLIST *pidls, SFGAOF *attributes) override {
        // Never SFGAO_FILESYSTEM: these objects have no file-system path.
        if (StandInFaults().Fails()) return E_FAIL;
        SFGAOF all = SFGAO_FOLDER | SFGAO_HASSUBFOLDER | SFGAO_BROWSABLE;
        for (UINT i = 0; i < count; ++i)
            if (!IsFolderName(NameOf(pidls[i]))) all = 0;
        *attributes &= all | SFGAO_CANCOPY;
        return S_OK;
    }
    STDMETHODIMP GetUIObjectOf(HWND, UINT, LPCITEMIDLIST *, REFIID, UINT *, void **out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetDisplayNameOf(LPCITEMIDLIST pidl, SHGDNF, STRRET *name) override {
        if (StandInFaults().Fails()) return E_FAIL;
        std::wstring text = NameOf(pidl);
        if (text.empty() || text == StandInNamespace::kBrokenFolder) return E_FAIL;
        name->uType = STRRET_WSTR;
        return SHStrDupW(text.c_str(), &name->pOleStr);
    }
    STDMETHODIMP SetNameOf(HWND, LPCITEMIDLIST, LPCWSTR, SHGDNF, LPITEMIDLIST *) override { return E_NOTIMPL; }

private:
    LONG refs_ = 1;
    LPITEMIDLIST absolute_ = nullptr;
};

StaticClassFactory<Folder> factory;

std::wstring ClassKey() { return std::wstring(L"Software\\Classes\\CLSID\\") + kClsidText; }
std::wstring NamespaceKey() {
    return std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\") + kClsidText;
}

bool SetValue(const std::wstring &key, const wchar_t *name, DWORD type, const void *data, DWORD size) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr))
        return false;
    bool ok = RegSetValueExW(handle, name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return ok;
}

bool SetText(const std::wstring &key, const wchar_t *name, const wchar_t *text) {
    return SetValue(key, name, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

}  // namespace

bool StandInNamespace::Register() {
    DWORD attributes = SFGAO_FOLDER | SFGAO_HASSUBFOLDER | SFGAO_BROWSABLE;
    registryWritten_ = SetText(ClassKey(), nullptr, kDeviceName) &&
                       SetText(ClassKey() + L"\\InprocServer32", nullptr, L"kivo-test-stand-in.dll") &&
                       SetValue(ClassKey() + L"\\ShellFolder", L"Attributes", REG_DWORD, &attributes, sizeof attributes) &&
                       SetText(NamespaceKey(), nullptr, kDeviceName);
    return registryWritten_ && SUCCEEDED(CoRegisterClassObject(kClsid, &factory, CLSCTX_INPROC_SERVER,
                                                               REGCLS_MULTIPLEUSE, &cookie_));
}

void StandInNamespace::Revoke() {
    if (cookie_) CoRevokeClassObject(cookie_);
    cookie_ = 0;
    if (registryWritten_) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, NamespaceKey().c_str());
    }
    registryWritten_ = false;
}

ComPtr<IShellItem> StandInNamespace::Item(const std::vector<std::wstring> &names) const {
    std::wstring parsing = std::wstring(L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}\\::") + kClsidText;
    LPITEMIDLIST pidl = nullptr;
    if (FAILED(SHParseDisplayName(parsing.c_str(), nullptr, &pidl, 0, nullptr)) || !pidl) return nullptr;
    for (const std::wstring &name : names) {
        LPITEMIDLIST element = MakeElement(name);
        LPITEMIDLIST longer = ILCombine(pidl, element);
        CoTaskMemFree(element);
        CoTaskMemFree(pidl);
        pidl = longer;
        if (!pidl) return nullptr;
    }
    ComPtr<IShellItem> item;
    SHCreateItemFromIDList(pidl, IID_IShellItem, reinterpret_cast<void **>(item.GetAddressOf()));
    CoTaskMemFree(pidl);
    return item;
}

long StandInNamespace::LiveFolders() const { return liveFolders; }

}  // namespace kivotest

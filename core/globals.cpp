#include "globals.h"

#include <shlwapi.h>

#include "platform/wpd.h"
#include "raii.h"

namespace kivo {

Globals &GlobalState() {
    static Globals state;
    return state;
}

HRESULT GetPidlDisplayName(LPCITEMIDLIST pidl, wchar_t *buffer) {
    IShellFolder *parent = nullptr;
    LPCITEMIDLIST last = nullptr;
    HRESULT hr = SHBindToParent(pidl, IID_IShellFolder, reinterpret_cast<void **>(&parent), &last);
    if (FAILED(hr)) return hr;

    STRRET name{};
    hr = parent->GetDisplayNameOf(last, SHGDN_INFOLDER, &name);
    if (SUCCEEDED(hr)) {
        CoTaskMemString text;
        hr = StrRetToStrW(&name, last, text.Put());
        if (SUCCEEDED(hr) && text) BoundedCopy(buffer, kPathChars, text.Get());
    }
    parent->Release();
    return hr;
}

static BOOL PrepareShellFolders(Globals &g) {
    BOOL result = TRUE;
    HWND owner = GetDesktopWindow();
    // A desktop list left from an earlier, partly failed preparation is kept
    // rather than overwritten, so it is never leaked.
    if (!g.desktopPidl && FAILED(SHGetSpecialFolderLocation(owner, CSIDL_DESKTOP, &g.desktopPidl))) result = FALSE;
    if (FAILED(SHGetSpecialFolderLocation(owner, CSIDL_DRIVES, &g.computerPidl))) result = FALSE;
    if (!g.computerPidl || FAILED(GetPidlDisplayName(g.computerPidl, g.computerFolderName))) result = FALSE;
    return result;
}

BOOL PrepareGlobals() {
    Globals &g = GlobalState();
    BOOL result = TRUE;
    if (!g.libraryLockReady) g.libraryLockReady = InitializeCriticalSectionAndSpinCount(&g.libraryLock, 4000);
    // Once the lock exists, pieces missing after a partly failed preparation
    // are retried under it: two threads never both fetch (and one leak) the
    // same piece.
    LibraryLockHold hold;
    if (!g.shellAllocator && FAILED(SHGetMalloc(&g.shellAllocator))) result = FALSE;
    if (!g.computerPidl && !PrepareShellFolders(g)) result = FALSE;
    if (!g.desktopFolder && FAILED(SHGetDesktopFolder(&g.desktopFolder))) result = FALSE;
    return result;
}

static void FreePidl(Globals &g, LPITEMIDLIST &pidl) {
    if (pidl && g.shellAllocator) g.shellAllocator->Free(pidl);
    pidl = nullptr;
}

namespace {

// The classes whose class objects are kept, by their slot in classObjects.
const CLSID *const kKeptClasses[] = {&CLSID_PortableDeviceManager, &CLSID_PortableDeviceFTM,
                                     &CLSID_PortableDeviceValues, &CLSID_PortableDeviceKeyCollection,
                                     &CLSID_PortableDevicePropVariantCollection};
static_assert(sizeof kKeptClasses / sizeof kKeptClasses[0] == sizeof(Globals::classObjects) / sizeof(IClassFactory *),
              "one slot per kept class");

int KeptClassSlot(REFCLSID clsid) {
    for (int i = 0; i < static_cast<int>(sizeof kKeptClasses / sizeof kKeptClasses[0]); ++i)
        if (IsEqualCLSID(clsid, *kKeptClasses[i])) return i;
    return -1;
}

// The kept class object of the slot, fetched when missing, with a reference
// for the caller; null when the library is not prepared or the class
// cannot be had.
IClassFactory *TakeClassObject(int slot, HRESULT &hr) {
    Globals &g = GlobalState();
    LibraryLockHold hold;
    if (!g.libraryLockReady) return nullptr;
    IClassFactory *&kept = g.classObjects[slot];
    if (!kept) {
        hr = CoGetClassObject(*kKeptClasses[slot], CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                              reinterpret_cast<void **>(&kept));
        if (FAILED(hr)) {
            kept = nullptr;
            return nullptr;
        }
        // The module that holds the class object's code, by its vtable.
        const void *code = *reinterpret_cast<void *const *>(kept);
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(code),
                                &g.classModules[slot]))
            g.classModules[slot] = nullptr;
    }
    kept->AddRef();
    return kept;
}

void ReleaseClassObjects(Globals &g) {
    for (size_t i = 0; i < sizeof g.classObjects / sizeof g.classObjects[0]; ++i) {
        if (g.classObjects[i]) g.classObjects[i]->Release();
        g.classObjects[i] = nullptr;
        // Only once the class object is gone may its module go.
        if (g.classModules[i]) FreeLibrary(g.classModules[i]);
        g.classModules[i] = nullptr;
    }
}

}  // namespace

HRESULT CreatePlatformObject(REFCLSID clsid, REFIID iid, void **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    int slot = KeptClassSlot(clsid);
    HRESULT hr = S_OK;
    IClassFactory *factory = slot >= 0 && GlobalState().libraryLockReady ? TakeClassObject(slot, hr) : nullptr;
    if (FAILED(hr)) return hr;
    if (!factory) return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
    hr = factory->CreateInstance(nullptr, iid, out);
    factory->Release();
    return hr;
}

void ReleaseGlobals() {
    Globals &g = GlobalState();
    {
        LibraryLockHold hold;
        ReleaseClassObjects(g);
    }
    if (g.computerPidl) {
        FreePidl(g, g.computerPidl);
        FreePidl(g, g.desktopPidl);
    }
    if (g.desktopFolder) {
        g.desktopFolder->Release();
        g.desktopFolder = nullptr;
    }
    if (g.shellAllocator) {
        g.shellAllocator->Release();
        g.shellAllocator = nullptr;
    }
    if (g.libraryLockReady) EnterCriticalSection(&g.libraryLock);
    ClearAllHandleTables();
    if (g.libraryLockReady) {
        LeaveCriticalSection(&g.libraryLock);
        DeleteCriticalSection(&g.libraryLock);
        g.libraryLockReady = FALSE;
    }
}

LibraryLockHold::LibraryLockHold() : held_(GlobalState().libraryLockReady != FALSE) {
    if (held_) EnterCriticalSection(&GlobalState().libraryLock);
}

LibraryLockHold::~LibraryLockHold() {
    if (held_) LeaveCriticalSection(&GlobalState().libraryLock);
}

static DWORD PackVersion(const VS_FIXEDFILEINFO &info) {
    DWORD a = HIWORD(info.dwProductVersionMS), b = LOWORD(info.dwProductVersionMS);
    DWORD c = HIWORD(info.dwProductVersionLS), d = LOWORD(info.dwProductVersionLS);
    return a * 1000 + b * 100 + c * 10 + d;
}

DWORD ReadPackedVersion() {
    wchar_t path[kPathChars] = {};
    DWORD length = GetModuleFileNameW(GlobalState().moduleHandle, path, kPathChars);
    if (length == 0 || length >= kPathChars) return 0;

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return 0;
    HeapArray<BYTE> block(size);
    if (!block) return 0;
    if (!GetFileVersionInfoW(path, 0, size, block.Get())) return 0;

    VS_FIXEDFILEINFO *info = nullptr;
    UINT infoLength = 0;
    if (!VerQueryValueW(block.Get(), L"\\", reinterpret_cast<void **>(&info), &infoLength) || !info ||
        infoLength < sizeof(VS_FIXEDFILEINFO))
        return 0;
    return PackVersion(*info);
}

}  // namespace kivo

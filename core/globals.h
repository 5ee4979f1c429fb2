// Process-wide state of the library: its module handle, the one lock, and the
// shell objects shared by path resolution and the dialogs.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include "text.h"

namespace kivo {

// The globals are plain pointers, not smart ones: they are released by
// ReleaseGlobals while COM is still up, never by a static destructor at unload.
struct Globals {
    HMODULE moduleHandle = nullptr;
    CRITICAL_SECTION libraryLock{};
    BOOL libraryLockReady = FALSE;
    IMalloc *shellAllocator = nullptr;
    LPITEMIDLIST desktopPidl = nullptr;
    LPITEMIDLIST computerPidl = nullptr;
    wchar_t computerFolderName[kPathChars] = {};
    IShellFolder *desktopFolder = nullptr;
    // The class objects of the platform's in-process classes, fetched on
    // first use (see CreatePlatformObject), and a reference on the module
    // each lives in: a host thread that ends the COM apartment the class
    // was loaded in must not unload the code a kept class object runs.
    IClassFactory *classObjects[5] = {};
    HMODULE classModules[5] = {};
};

Globals &GlobalState();

// Creates whatever global piece is missing; TRUE when every step succeeded.
BOOL PrepareGlobals();

// Frees the shell objects and the lock, emptying the handle tables while the
// lock is held; the library returns to its unprepared state.
void ReleaseGlobals();

// The display name of the item that pidl names, as its parent folder shows
// it, into a buffer of kPathChars characters.
HRESULT GetPidlDisplayName(LPCITEMIDLIST pidl, wchar_t *buffer);

// The product version of the library's own version resource, packed as
// a*1000 + b*100 + c*10 + d; 0 when it cannot be read.
DWORD ReadPackedVersion();

// Scoped hold of the library lock; does nothing while the lock does not exist.
class LibraryLockHold {
public:
    LibraryLockHold();
    ~LibraryLockHold();
    LibraryLockHold(const LibraryLockHold &) = delete;
    LibraryLockHold &operator=(const LibraryLockHold &) = delete;

private:
    bool held_;
};

// Makes an object of one of the platform's in-process classes, as
// CoCreateInstance would. Each class object is fetched once and kept until
// the library is cleaned up: finding it costs registry reads, which under
// Wine take a quarter of a millisecond per object made, several per call.
HRESULT CreatePlatformObject(REFCLSID clsid, REFIID iid, void **out);

// Hook for the handle tables, which the lifecycle empties at clean-up.
void ClearAllHandleTables();

}  // namespace kivo

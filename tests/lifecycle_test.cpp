// Start-up, clean-up and version of the library: the globals are prepared
// lazily and once, released completely, and prepared again on next use.
#include "support/test_support.h"

#include <shlobj.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "core/globals.h"
#include "core/session.h"
#include "enum/handle_table.h"
#include "include/kivo.h"

using namespace kivotest;
using kivo::GlobalState;

namespace {

class Lifecycle : public SimTest {};


struct ExportEntry {
    std::string name;
    WORD ordinal;
};

// The names and ordinals a loaded module exports, read from its export
// directory.
std::vector<ExportEntry> ExportsOf(HMODULE module, DWORD lastOrdinal) {
    auto *base = reinterpret_cast<const BYTE *>(module);
    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const auto &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
    auto *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
    auto *ordinals = reinterpret_cast<const WORD *>(base + exports->AddressOfNameOrdinals);
    std::vector<ExportEntry> out;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        out.push_back({reinterpret_cast<const char *>(base + names[i]), static_cast<WORD>(ordinals[i] + exports->Base)});
    EXPECT_LE(exports->Base + exports->NumberOfFunctions - 1, lastOrdinal) << "no ordinal past the last name";
    return out;
}

}  // namespace

// Runs first: nothing has prepared the globals yet in this process.
TEST_F(Lifecycle, CleanUpWithNothingPreparedFreesNothing) {
    ASSERT_FALSE(GlobalState().libraryLockReady);
    ASSERT_EQ(GlobalState().shellAllocator, nullptr);
    KivoCleanUp();
    EXPECT_FALSE(GlobalState().libraryLockReady);
    EXPECT_EQ(GlobalState().computerPidl, nullptr);
    EXPECT_EQ(GlobalState().desktopFolder, nullptr);
    EXPECT_EQ(kivo::FileEnumTable().EntryCount(), 0u);
}

TEST_F(Lifecycle, SecondInitializeCreatesNothingNew) {
    ASSERT_EQ(KivoInitialize(), 1);
    auto &g = GlobalState();
    IMalloc *allocator = g.shellAllocator;
    LPITEMIDLIST computer = g.computerPidl, desktop = g.desktopPidl;
    IShellFolder *folder = g.desktopFolder;
    ASSERT_TRUE(allocator && computer && desktop && folder && g.libraryLockReady);
    EXPECT_EQ(KivoInitialize(), 1);
    EXPECT_EQ(g.shellAllocator, allocator);
    EXPECT_EQ(g.computerPidl, computer);
    EXPECT_EQ(g.desktopPidl, desktop);
    EXPECT_EQ(g.desktopFolder, folder);
    CoUninitialize();  // the second KivoInitialize's CoInitialize
    CoUninitialize();
}

TEST_F(Lifecycle, ComputerFolderNameIsWhatTheShellShows) {
    ASSERT_TRUE(kivo::InitSession(nullptr));
    std::wstring expected = ShellNameOfComputerFolder();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(std::wstring(GlobalState().computerFolderName), expected);
}

TEST_F(Lifecycle, CleanUpReleasesEverythingAndTheNextCallPreparesAgain) {
    {
        // A session makes its manager from the kept class object, which
        // holds the module it lives in until clean-up.
        kivo::DeviceSession first;
        ASSERT_TRUE(kivo::InitSession(&first));
        ASSERT_NE(GlobalState().classObjects[0], nullptr);
        EXPECT_EQ(GlobalState().classModules[0], GetModuleHandleW(L"kivosim.dll"));
    }
    WIN32_FIND_DATAW record{};
    auto handle = kivo::FileEnumTable().Add({record}, 1);
    ASSERT_TRUE(kivo::FileEnumTable().Contains(handle));

    KivoCleanUp();
    auto &g = GlobalState();
    EXPECT_FALSE(g.libraryLockReady);
    EXPECT_EQ(g.shellAllocator, nullptr);
    EXPECT_EQ(g.computerPidl, nullptr);
    EXPECT_EQ(g.desktopPidl, nullptr);
    EXPECT_EQ(g.desktopFolder, nullptr);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(g.classObjects[i], nullptr);
        EXPECT_EQ(g.classModules[i], nullptr);
    }
    EXPECT_FALSE(kivo::FileEnumTable().Contains(handle)) << "handles issued before clean-up are unknown";

    wcscpy(g.computerFolderName, L"stale");
    kivo::DeviceSession session;
    EXPECT_TRUE(kivo::InitSession(&session));
    EXPECT_TRUE(g.libraryLockReady);
    EXPECT_TRUE(g.shellAllocator && g.computerPidl && g.desktopPidl && g.desktopFolder);
    EXPECT_EQ(std::wstring(g.computerFolderName), ShellNameOfComputerFolder());
    kivo::ReleaseSession(session);
}

TEST_F(Lifecycle, UninitializeCleansUpAndEndsComUse) {
    ASSERT_EQ(KivoInitialize(), 1);
    KivoUninitialize();
    EXPECT_FALSE(GlobalState().libraryLockReady);
    EXPECT_EQ(GlobalState().shellAllocator, nullptr);
}

TEST(Version, TheBuiltLibraryReports1002) {
    HMODULE library = LoadLibraryW(L"kivo.dll");
    ASSERT_NE(library, nullptr);
    auto getVersion = reinterpret_cast<DWORD (*)()>(reinterpret_cast<void *>(GetProcAddress(library, "KivoGetVersion")));
    ASSERT_NE(getVersion, nullptr);
    EXPECT_EQ(getVersion(), 1002u);
    FreeLibrary(library);
}

TEST(Version, AModuleWithoutAVersionResourceReportsZero) {
    // Linked statically, the library's module is this test program, which
    // carries no version resource.
    EXPECT_EQ(KivoGetVersion(), 0u);
}

// The ordinal of every name the library exports: 1 to 28 in alphabetical
// order of the first 28, and the later ones from 29 in the order they came.
const char *const kAllExports[] = {
    "KivoCheckDevicePathName", "KivoCleanUp",        "KivoCopyFile",        "KivoCopyFolderClose",
    "KivoCopyFolderCount",     "KivoCopyFolderFirst", "KivoCopyFolderNext",  "KivoCreateFolder",
    "KivoDeleteFile",          "KivoDeleteFolder",    "KivoFindClose",       "KivoFindDeviceClose",
    "KivoFindDeviceFirst",     "KivoFindDeviceNext",  "KivoFindFirstFile",   "KivoFindNextFile",
    "KivoGetStatus",           "KivoGetVersion",      "KivoInitialize",      "KivoMoveFile",
    "KivoOpenDialog",          "KivoOpenDialogClose", "KivoOpenDialogNext",  "KivoOpenFolderDialog",
    "KivoRemoveFolder",        "KivoSaveDialog",      "KivoUninitialize",    "KivoWildcardMatch",
    "KivoGetDiskFreeSpaceEx",  "KivoCopyFileEx",     "KivoCopyFolderNextEx",
};

TEST(Exports, EveryNameCarriesItsFinalOrdinal) {
    std::vector<std::string> all(std::begin(kAllExports), std::end(kAllExports));
    ASSERT_EQ(all.size(), 31u);
    ASSERT_TRUE(std::is_sorted(all.begin(), all.begin() + 28));
    HMODULE library = LoadLibraryW(L"kivo.dll");
    ASSERT_NE(library, nullptr);
    auto exports = ExportsOf(library, static_cast<DWORD>(all.size()));
    EXPECT_EQ(exports.size(), all.size());
    for (const auto &e : exports) {
        auto it = std::find(all.begin(), all.end(), e.name);
        ASSERT_NE(it, all.end()) << e.name << " is not one of the library's names";
        EXPECT_EQ(e.ordinal, static_cast<WORD>(it - all.begin() + 1)) << e.name;
        EXPECT_EQ(GetProcAddress(library, MAKEINTRESOURCEA(e.ordinal)), GetProcAddress(library, e.name.c_str()))
            << e.name;
    }
    FreeLibrary(library);
}

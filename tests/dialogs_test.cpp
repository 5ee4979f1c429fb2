// The open, save and folder dialogs as a host calls them through kivo.dll,
// against the scripted stand-in dialogs and real shell items of Wine's
// shell: what reaches the dialog, what comes back, and what is left alive.
#include "support/shell_call_faults.h"
#include "support/stand_in_dialog.h"
#include "support/stand_in_namespace.h"
#include "support/test_support.h"

#include <shlobj.h>

#include <algorithm>
#include <functional>

#include "include/kivo.h"

using namespace kivotest;

namespace {

const HWND kOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234));

ComPtr<IShellItem> ItemOf(const std::wstring &path) {
    ComPtr<IShellItem> item;
    SHCreateItemFromParsingName(path.c_str(), nullptr, IID_IShellItem, reinterpret_cast<void **>(item.GetAddressOf()));
    return item;
}

ComPtr<IShellItem> ItemOfFolder(int csidl) {
    LPITEMIDLIST pidl = nullptr;
    ComPtr<IShellItem> item;
    if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, csidl, &pidl)))
        SHCreateItemFromIDList(pidl, IID_IShellItem, reinterpret_cast<void **>(item.GetAddressOf()));
    CoTaskMemFree(pidl);
    return item;
}

ULONG References(IUnknown *object) {
    object->AddRef();
    return object->Release();
}

class Dialogs : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        KivoInitialize();
        ASSERT_TRUE(stand.Register()) << "the stand-in dialogs need COM on the test's thread";
        for (const wchar_t *name : {L"one.jpg", L"two.jpg", L"three.jpg"}) {
            ASSERT_TRUE(WriteFileText(disk.File(name), "x"));
            items.push_back(ItemOf(disk.File(name)));
            ASSERT_TRUE(items.back()) << Narrow(name);
        }
    }
    void TearDown() override {
        stand.script.items.clear();
        for (auto &item : items) EXPECT_EQ(References(item.Get()), 1u) << "a shell item left referenced";
        items.clear();
        EXPECT_EQ(stand.LiveObjects(), 0) << "a dialog or selection left alive";
        stand.Revoke();
        SimTest::TearDown();
    }
    INT32 Open(const wchar_t *filter, UINT32 options, wchar_t *buffer, INT32 size) {
        return KivoOpenDialog(kOwner, L"Pick", disk.Path().c_str(), L"start.jpg", filter, 2, L"jpg", buffer, size,
                              options);
    }
    const DialogRecord &Last() {
        static const DialogRecord none;
        return stand.records.empty() ? none : stand.records.back();
    }
    TempFolder disk;
    std::vector<ComPtr<IShellItem>> items;
    StandInDialogs stand;
};

}  // namespace

TEST_F(Dialogs, AMultipleSelectionIsHandedOutInOrderUnderHandlesFromTwo) {
    stand.script.items = items;
    wchar_t buffer[MAX_PATH] = L"";
    INT32 handle = Open(nullptr, FOS_ALLOWMULTISELECT, buffer, MAX_PATH);
    EXPECT_EQ(handle, 2) << "the first selection after the library is loaded";
    EXPECT_EQ(buffer, disk.File(L"one.jpg"));
    std::vector<std::string> expected{"SetFolder", "SetFileName", "SetTitle", "SetDefaultExtension", "SetOptions",
                                      "Show", "GetResults"};
    EXPECT_EQ(Last().calls, expected);
    SetLastError(77);
    ASSERT_TRUE(KivoOpenDialogNext(handle, buffer, MAX_PATH));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(buffer, disk.File(L"two.jpg"));
    ASSERT_TRUE(KivoOpenDialogNext(handle, buffer, MAX_PATH));
    EXPECT_EQ(buffer, disk.File(L"three.jpg"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(KivoOpenDialogNext(handle, buffer, MAX_PATH));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    }
    EXPECT_EQ(buffer, disk.File(L"three.jpg")) << "untouched after the end";
    SetLastError(77);
    EXPECT_EQ(KivoOpenDialogClose(handle), 0);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(KivoOpenDialogClose(handle), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(KivoOpenDialogNext(handle, buffer, MAX_PATH));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    stand.script.items = {items[1]};
    INT32 single = Open(nullptr, FOS_ALLOWMULTISELECT, buffer, MAX_PATH);
    EXPECT_EQ(single, 3) << "a selection of one still gets a handle";
    EXPECT_EQ(buffer, disk.File(L"two.jpg"));
    EXPECT_FALSE(KivoOpenDialogNext(single, buffer, MAX_PATH));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    KivoOpenDialogClose(single);
}

TEST_F(Dialogs, OneFileComesBackAsItsPathWithEveryArgumentApplied) {
    stand.script.items = {items[0]};
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_EQ(Open(L"Pictures|*.jpg;*.png|All|*.*", FOS_FILEMUSTEXIST | KIVO_PATH_BELOW_COMPUTER, buffer, MAX_PATH), 1);
    EXPECT_EQ(buffer, disk.File(L"one.jpg"));
    const DialogRecord &r = Last();
    EXPECT_EQ(r.kind, "open");
    EXPECT_EQ(r.calls, (std::vector<std::string>{"SetFolder", "SetFileName", "SetTitle", "SetFileTypes",
                                                 "SetFileTypeIndex", "SetDefaultExtension", "SetOptions", "Show",
                                                 "GetResult"}));
    EXPECT_EQ(r.options, static_cast<FILEOPENDIALOGOPTIONS>(FOS_FILEMUSTEXIST)) << "bit 0x1 never reaches the dialog";
    EXPECT_EQ(r.owner, kOwner);
    EXPECT_EQ(r.title, L"Pick");
    EXPECT_EQ(r.fileName, L"start.jpg");
    EXPECT_EQ(r.defaultExtension, L"jpg");
    EXPECT_EQ(r.fileTypeIndex, 2u);
    EXPECT_EQ(r.folder, disk.Path());
    ASSERT_EQ(r.fileTypes.size(), 2u);
    EXPECT_EQ(r.fileTypes[0], std::make_pair(std::wstring(L"Pictures"), std::wstring(L"*.jpg;*.png")));

    EXPECT_EQ(KivoSaveDialog(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, buffer, MAX_PATH, 0), 1);
    EXPECT_EQ(Last().kind, "save");
    EXPECT_EQ(Last().calls, (std::vector<std::string>{"SetOptions", "Show", "GetResult"}))
        << "absent arguments are not applied";
}

TEST_F(Dialogs, FiltersArePairedWholeAndSeparatorRunsCountAsOne) {
    std::wstring longSpec;
    for (int i = 0; i < 50; ++i) longSpec += L"*.ext" + std::to_wstring(i) + L";";
    ASSERT_GT(longSpec.size(), 300u);
    struct Case {
        std::wstring filter;
        std::vector<std::pair<std::wstring, std::wstring>> pairs;
        bool typesSet;
    };
    const Case cases[] = {
        {L"Pictures|*.jpg|Dangling", {{L"Pictures", L"*.jpg"}}, true},
        {L"", {}, false},
        {L"||Music||*.mp3|||Video|*.mp4||", {{L"Music", L"*.mp3"}, {L"Video", L"*.mp4"}}, true},
        {L"All pictures|" + longSpec + L"|Text|*.txt", {{L"All pictures", longSpec}, {L"Text", L"*.txt"}}, true},
    };
    stand.script.show = HRESULT_FROM_WIN32(ERROR_CANCELLED);
    wchar_t buffer[MAX_PATH] = L"kept";
    for (const Case &c : cases) {
        EXPECT_EQ(Open(c.filter.c_str(), 0, buffer, MAX_PATH), 0);
        EXPECT_EQ(Last().fileTypes, c.pairs) << Narrow(c.filter);
        EXPECT_EQ(Last().fileTypesSet, c.typesSet) << Narrow(c.filter);
        EXPECT_EQ(Last().fileTypeIndex, 2u) << "the index is applied whenever a filter is given";
    }
    EXPECT_STREQ(buffer, L"kept") << "a cancelled dialog leaves the buffer as it was";
}

TEST_F(Dialogs, CancelAndFailuresReturnZeroAndLeaveTheBuffer) {
    stand.script.items = items;
    wchar_t buffer[MAX_PATH] = L"kept";
    stand.script.show = HRESULT_FROM_WIN32(ERROR_CANCELLED);
    EXPECT_EQ(Open(nullptr, 0, buffer, MAX_PATH), 0);
    EXPECT_EQ(KivoSaveDialog(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, buffer, MAX_PATH, 0), 0);
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, 0), 0);
    EXPECT_STREQ(buffer, L"kept");
    stand.script.show = S_OK;
    stand.script.getResults = E_FAIL;
    EXPECT_EQ(Open(nullptr, FOS_ALLOWMULTISELECT, buffer, MAX_PATH), 0);
    stand.script.getResults = S_OK;
    stand.script.getCount = E_FAIL;
    EXPECT_EQ(Open(nullptr, FOS_ALLOWMULTISELECT, buffer, MAX_PATH), 0);
    stand.script.getResult = E_FAIL;
    EXPECT_EQ(Open(nullptr, 0, buffer, MAX_PATH), 0);
    EXPECT_STREQ(buffer, L"kept");
    stand.script.getResult = S_OK;
    stand.script.items.clear();
    EXPECT_EQ(Open(nullptr, 0, buffer, MAX_PATH), 0) << "no item chosen";
    EXPECT_STREQ(buffer, L"");

    size_t dialogs = stand.records.size();
    EXPECT_EQ(Open(nullptr, 0, nullptr, MAX_PATH), 0);
    EXPECT_EQ(Open(nullptr, 0, buffer, 0), 0);
    EXPECT_EQ(Open(nullptr, 0, buffer, -5), 0);
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, nullptr, MAX_PATH, 0), 0);
    EXPECT_EQ(stand.records.size(), dialogs) << "no dialog is made for a buffer nothing can come back through";
}

TEST_F(Dialogs, APathThatDoesNotFitFailsTheCallAndIsNeverCut) {
    std::wstring path = disk.File(L"one.jpg");
    stand.script.items = {items[0]};
    std::vector<wchar_t> buffer(path.size() + 2, L'#');
    EXPECT_EQ(Open(nullptr, 0, buffer.data(), static_cast<INT32>(path.size())), 0);
    EXPECT_EQ(buffer[0], L'\0') << "emptied, not cut";
    EXPECT_EQ(buffer[path.size()], L'#') << "nothing past the size";
    EXPECT_EQ(Open(nullptr, 0, buffer.data(), static_cast<INT32>(path.size() + 1)), 1);
    EXPECT_EQ(std::wstring(buffer.data()), path);

    stand.script.items = {items[0], items[1], items[2]};
    EXPECT_EQ(Open(nullptr, FOS_ALLOWMULTISELECT, buffer.data(), static_cast<INT32>(path.size())), 0)
        << "a first path that does not fit fails the selection";
    EXPECT_EQ(buffer[0], L'\0');

    INT32 handle = Open(nullptr, FOS_ALLOWMULTISELECT, buffer.data(), static_cast<INT32>(buffer.size()));
    ASSERT_GE(handle, 2);
    std::wstring second = disk.File(L"two.jpg");
    std::vector<wchar_t> small(second.size() + 1, L'#');
    EXPECT_FALSE(KivoOpenDialogNext(handle, small.data(), static_cast<UINT32>(second.size())));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small[0], L'#') << "nothing written";
    EXPECT_FALSE(KivoOpenDialogNext(handle, nullptr, MAX_PATH));
    EXPECT_FALSE(KivoOpenDialogNext(handle, small.data(), 0));
    EXPECT_EQ(small[0], L'#');
    ASSERT_TRUE(KivoOpenDialogNext(handle, small.data(), static_cast<UINT32>(small.size())))
        << "the path waits for a larger buffer";
    EXPECT_EQ(std::wstring(small.data()), second);
    KivoOpenDialogClose(handle);
}

TEST_F(Dialogs, ItemsThatCannotBeHadAreSkippedInASelection) {
    stand.script.items = items;
    stand.script.failItemAt = {0, 2};
    wchar_t buffer[MAX_PATH] = L"";
    INT32 handle = Open(nullptr, FOS_ALLOWMULTISELECT, buffer, MAX_PATH);
    ASSERT_GE(handle, 2);
    EXPECT_EQ(buffer, disk.File(L"two.jpg"));
    EXPECT_FALSE(KivoOpenDialogNext(handle, buffer, MAX_PATH));
    KivoOpenDialogClose(handle);

    stand.script.failItemAt = {0, 1, 2};
    wcscpy(buffer, L"kept");
    // A handle says the buffer holds the first path: with none to give, the
    // call fails rather than pass the buffer's old text off as the choice.
    EXPECT_EQ(Open(nullptr, FOS_ALLOWMULTISELECT, buffer, MAX_PATH), 0);
    EXPECT_STREQ(buffer, L"kept");
}

TEST_F(Dialogs, TheFolderDialogPicksFoldersAndNamesItsStartingFolder) {
    stand.script.items = {ItemOf(disk.Path())};
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_EQ(KivoOpenFolderDialog(kOwner, L"Where", disk.Path().c_str(), buffer, MAX_PATH, KIVO_PATH_BELOW_COMPUTER), 1);
    EXPECT_EQ(buffer, disk.Path());
    const DialogRecord &r = Last();
    EXPECT_EQ(r.calls, (std::vector<std::string>{"SetFileName", "SetFolder", "SetTitle", "SetOptions", "Show",
                                                 "GetResult"}));
    EXPECT_EQ(r.options, static_cast<FILEOPENDIALOGOPTIONS>(FOS_PICKFOLDERS));
    std::wstring leaf = disk.Path().substr(disk.Path().find_last_of(L'\\') + 1);
    EXPECT_EQ(r.fileName, leaf) << "the starting folder's display name in the name box";
    EXPECT_EQ(r.folder, disk.Path());
    stand.script.items.clear();
}

TEST_F(Dialogs, StopFoldersGiveNothingAndTheComputerFolderGivesItsName) {
    wchar_t buffer[MAX_PATH] = L"kept";
    stand.script.items = {ItemOfFolder(CSIDL_DRIVES)};
    ASSERT_TRUE(stand.script.items[0]);
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, KIVO_PATH_BELOW_COMPUTER), 1);
    EXPECT_STREQ(buffer, L"") << "the computer folder is the stop folder";
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, 0), 1);
    EXPECT_EQ(buffer, ShellNameOfComputerFolder()) << "below the desktop it is a name of its own";

    stand.script.items = {ItemOfFolder(CSIDL_DESKTOP)};
    ASSERT_TRUE(stand.script.items[0]);
    wcscpy(buffer, L"kept");
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, 0), 1);
    EXPECT_STREQ(buffer, L"") << "the desktop is the stop folder";

    stand.script.items = {ItemOf(L"C:\\")};
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, 0), 1);
    EXPECT_STREQ(buffer, L"C:\\");
    stand.script.items.clear();
}

namespace {

// Device objects as Wine's real shell walks them, under the computer folder.
class DeviceItems : public Dialogs {
protected:
    void SetUp() override {
        Dialogs::SetUp();
        ASSERT_TRUE(device.Register()) << "the stand-in device could not be registered";
    }
    void TearDown() override {
        stand.script.items.clear();
        EXPECT_EQ(device.LiveFolders(), 0) << "a shell folder of the device left alive";
        device.Revoke();
        Dialogs::TearDown();
    }
    StandInNamespace device;
};

}  // namespace

TEST_F(DeviceItems, ADeviceFileComesBackAsADevicePathLedOrNotByTheComputerName) {
    ComPtr<IShellItem> photo = device.Item({L"Card", L"DCIM", L"photo.jpg"});
    ASSERT_TRUE(photo);
    stand.script.items = {photo};
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_EQ(Open(nullptr, 0, buffer, MAX_PATH), 1);
    EXPECT_EQ(buffer, ShellNameOfComputerFolder() + L"\\Test Phone\\Card\\DCIM\\photo.jpg");
    EXPECT_EQ(Open(nullptr, KIVO_PATH_BELOW_COMPUTER, buffer, MAX_PATH), 1);
    EXPECT_STREQ(buffer, L"Test Phone\\Card\\DCIM\\photo.jpg");
    EXPECT_EQ(KivoCheckDevicePathName(buffer), 1) << "a path the library's own calls take";
    stand.script.items.clear();
    EXPECT_EQ(References(photo.Get()), 1u) << "the library released the item";
}

TEST_F(DeviceItems, TheDeviceItselfIsItsNameAlone) {
    stand.script.items = {device.Item({})};
    ASSERT_TRUE(stand.script.items[0]);
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, KIVO_PATH_BELOW_COMPUTER), 1);
    EXPECT_STREQ(buffer, L"Test Phone");
}

// "inside.jpg" alone would name another object (or none): the choice fails.
TEST_F(DeviceItems, ALevelWithoutANameFailsTheChoiceRatherThanDropTheLevelsAboveIt) {
    stand.script.items = {device.Item({L"Card", StandInNamespace::kBrokenFolder, L"inside.jpg"})};
    ASSERT_TRUE(stand.script.items[0]);
    wchar_t buffer[MAX_PATH] = L"untouched";
    EXPECT_EQ(Open(nullptr, KIVO_PATH_BELOW_COMPUTER, buffer, MAX_PATH), 0);
    EXPECT_STREQ(buffer, L"");
    stand.script.items.push_back(device.Item({L"Card", L"DCIM", L"photo.jpg"}));
    INT32 handle = Open(nullptr, KIVO_PATH_BELOW_COMPUTER | FOS_ALLOWMULTISELECT, buffer, MAX_PATH);
    EXPECT_GE(handle, 2) << "the other item of a selection is still handed out";
    EXPECT_STREQ(buffer, L"Test Phone\\Card\\DCIM\\photo.jpg");
    EXPECT_FALSE(KivoOpenDialogNext(handle, buffer, MAX_PATH));
    KivoOpenDialogClose(handle);
}

TEST_F(DeviceItems, AJoinedPathOneCharacterTooLongFailsAndIsNeverCut) {
    stand.script.items = {device.Item({L"Card", L"DCIM", L"photo.jpg"})};
    std::wstring path = L"Test Phone\\Card\\DCIM\\photo.jpg";
    std::vector<wchar_t> buffer(path.size() + 2, L'#');
    EXPECT_EQ(Open(nullptr, KIVO_PATH_BELOW_COMPUTER, buffer.data(), static_cast<INT32>(path.size())), 0);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[path.size()], L'#');
    stand.script.items = {device.Item({L"Card", L"DCIM", L"photo.jpg"}), device.Item({L"Card", L"DCIM"})};
    INT32 handle = Open(nullptr, FOS_ALLOWMULTISELECT | KIVO_PATH_BELOW_COMPUTER, buffer.data(),
                        static_cast<INT32>(buffer.size()));
    ASSERT_GE(handle, 2);
    EXPECT_EQ(std::wstring(buffer.data()), path);
    wchar_t next[MAX_PATH];
    ASSERT_TRUE(KivoOpenDialogNext(handle, next, MAX_PATH));
    EXPECT_STREQ(next, L"Test Phone\\Card\\DCIM");
    KivoOpenDialogClose(handle);
}

TEST_F(Dialogs, AnItemBelowAFileSystemFolderKeepsThatFolderBeforeItsNames) {
    // With the stop folder at the computer folder, the trash on the desktop
    // climbs to the desktop, whose folder is in the file system.
    LPITEMIDLIST pidl = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_BITBUCKET, &pidl)));
    PWSTR name = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetNameFromIDList(pidl, SIGDN_PARENTRELATIVE, &name)));
    std::wstring trash = name;
    CoTaskMemFree(name);
    CoTaskMemFree(pidl);
    wchar_t desktop[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, desktop)));
    stand.script.items = {ItemOfFolder(CSIDL_BITBUCKET)};
    ASSERT_TRUE(stand.script.items[0]);
    wchar_t buffer[MAX_PATH] = L"";
    EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer, MAX_PATH, KIVO_PATH_BELOW_COMPUTER), 1);
    EXPECT_EQ(buffer, std::wstring(desktop) + L"\\" + trash);
    stand.script.items.clear();
}

namespace {

// One dialog call of the sweep: the paths it must give when nothing fails.
struct DialogRun {
    const char *name;
    std::function<std::vector<ComPtr<IShellItem>>()> choice;
    std::function<INT32(wchar_t *, INT32)> show;
    std::vector<std::wstring> paths;
};

// The paths a call handed out: the first in the buffer, the rest read from
// its selection handle, which is closed.
std::vector<std::wstring> PathsHandedOut(INT32 result, const wchar_t *buffer) {
    std::vector<std::wstring> paths;
    if (result == 0) return paths;
    paths.push_back(buffer);
    if (result < 2) return paths;
    wchar_t next[MAX_PATH];
    while (KivoOpenDialogNext(result, next, MAX_PATH)) paths.push_back(next);
    KivoOpenDialogClose(result);
    return paths;
}

// True when got keeps the order of want and leaves out at most what could
// not be had.
bool InOrderWithin(const std::vector<std::wstring> &got, const std::vector<std::wstring> &want) {
    size_t at = 0;
    for (const std::wstring &path : got) {
        while (at < want.size() && want[at] != path) ++at;
        if (at++ == want.size()) return false;
    }
    return true;
}

}  // namespace

// Every call the library makes on the shell's objects (the dialog, its
// selection, the device's shell folders, their class factories) fails once
// in turn: the dialog gives the right paths or fails cleanly, with nothing
// cut, nothing left alive and every item released.
TEST_F(DeviceItems, EveryShellCallOfEveryDialogFailsOnce) {
    const std::wstring computer = ShellNameOfComputerFolder();
    std::vector<DialogRun> runs{
        {"open one file", [&] { return std::vector<ComPtr<IShellItem>>{items[0]}; },
         [&](wchar_t *b, INT32 n) { return Open(L"Pictures|*.jpg|All|*.*", 0, b, n); }, {disk.File(L"one.jpg")}},
        {"open three files", [&] { return items; },
         [&](wchar_t *b, INT32 n) { return Open(nullptr, FOS_ALLOWMULTISELECT, b, n); },
         {disk.File(L"one.jpg"), disk.File(L"two.jpg"), disk.File(L"three.jpg")}},
        {"save", [&] { return std::vector<ComPtr<IShellItem>>{items[1]}; },
         [&](wchar_t *b, INT32 n) {
             return KivoSaveDialog(kOwner, L"Save", disk.Path().c_str(), L"two.jpg", L"Pictures|*.jpg", 1, L"jpg", b, n, 0);
         },
         {disk.File(L"two.jpg")}},
        {"open a device file", [&] { return std::vector<ComPtr<IShellItem>>{device.Item({L"Card", L"DCIM", L"photo.jpg"})}; },
         [&](wchar_t *b, INT32 n) { return Open(nullptr, 0, b, n); }, {computer + L"\\Test Phone\\Card\\DCIM\\photo.jpg"}},
        {"pick the device", [&] { return std::vector<ComPtr<IShellItem>>{device.Item({})}; },
         [&](wchar_t *b, INT32 n) { return KivoOpenFolderDialog(nullptr, L"Folder", nullptr, b, n, KIVO_PATH_BELOW_COMPUTER); },
         {L"Test Phone"}},
    };
    size_t sweeps = 0;
    for (const DialogRun &run : runs) {
        stand.script.items = run.choice();
        for (auto &item : stand.script.items) ASSERT_TRUE(item) << run.name;
        wchar_t buffer[MAX_PATH] = L"";
        StandInFaults().Arm(0);
        ASSERT_EQ(PathsHandedOut(run.show(buffer, MAX_PATH), buffer), run.paths) << run.name;
        unsigned calls = StandInFaults().calls;
        ASSERT_GT(calls, 3u) << run.name;
        for (unsigned k = 1; k <= calls; ++k) {
            std::string where = std::string(run.name) + ", shell call " + std::to_string(k) + " failing";
            wcscpy(buffer, L"untouched");
            StandInFaults().Arm(k);
            INT32 result = run.show(buffer, MAX_PATH);
            std::wstring first = buffer;
            std::vector<std::wstring> paths = PathsHandedOut(result, buffer);
            StandInFaults().Arm(0);
            ++sweeps;
            if (result == 0) EXPECT_TRUE(first == L"untouched" || first.empty()) << where << ": " << Narrow(first);
            else EXPECT_TRUE(InOrderWithin(paths, run.paths)) << where << ": " << Narrow(first);
            EXPECT_EQ(stand.LiveObjects(), 0) << where;
            EXPECT_EQ(device.LiveFolders(), 0) << where;
        }
        std::vector<ComPtr<IShellItem>> choice = stand.script.items;
        stand.script.items.clear();
        for (auto &item : choice) EXPECT_LE(References(item.Get()), 2u) << run.name << ": an item left referenced";
    }
    std::printf("dialog failure sweep: %zu runs\n", sweeps);
}

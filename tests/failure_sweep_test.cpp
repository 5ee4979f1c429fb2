// The failure sweep: every file operation is run once to count its calls
// into the device service, then once more for every k with the k-th call
// failing, and once more for every k with the device unplugged after its
// k-th call. Whatever fails, nothing crashes, nothing is left alive, no
// partial file stands under a target's name, no temporary file is left, the
// source is intact and a failed move leaves its source.
#include "support/test_support.h"

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "include/kivo.h"

using namespace kivotest;

namespace {

const wchar_t kPhone[] = L"usb#phone-1";

struct Scenario {
    const char *name;
    std::function<BOOL(const TempFolder &)> run;
    // After a run: true when the outcome is whole (the target complete), for
    // runs that report success.
    std::function<bool(const TempFolder &)> complete;
    // What must hold after every run, success or failure.
    std::function<bool(const TempFolder &)> intact;
};

std::string DeviceData(const wchar_t *path) {
    std::wstring id = kivosim::FindObject(kPhone, path);
    if (id.empty()) return "<none>";
    std::string out(1 << 16, '\0');
    out.resize(KivoSimReadData(kPhone, id.c_str(), 0, out.data(), out.size()));
    return out;
}

std::string DeviceHash(const wchar_t *path) {
    std::wstring id = kivosim::FindObject(kPhone, path);
    return id.empty() ? std::string() : kivosim::Object(kPhone, id.c_str()).value("sha256", std::string());
}

std::wstring TempPath() {
    wchar_t folder[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, folder);
    if (n && folder[n - 1] == L'\\') folder[n - 1] = 0;
    return folder;
}

// What the sweep counts over all its runs.
struct Tally {
    size_t lostTargets = 0;     // a replaced target with neither its old nor its new data anywhere
    size_t partialObjects = 0;  // an object holding data no whole source holds
};
Tally tally;
// True in the unplug sweep: a phone pulled after a replace staged its new
// data may keep that whole object beside the old one, since nothing can
// reach the device to remove it.
bool phoneMayVanish = false;

// The old target of a replace is untouched or wholly replaced; after a
// failure past its delete, the new data waits whole under a staging name.
bool ReplaceKeptOrDone(const wchar_t *folder, const wchar_t *name, const std::string &before,
                       const std::string &after) {
    std::string now = DeviceData((std::wstring(folder) + L"\\" + name).c_str());
    std::vector<json> staged = StagedObjects(kPhone, folder);
    size_t whole = 0;
    for (const json &object : staged) whole += object.value("data", std::string()) == after;
    if (whole != staged.size()) return false;  // counted as partial by the folder check
    if (now == before || now == after) return staged.empty() || phoneMayVanish;
    if (now == "<none>" && whole == 1) return true;
    ++tally.lostTargets;
    return false;
}

// The folders the scenarios write to.
const wchar_t *const kFolders[] = {L"Card\\DCIM", L"Card\\Music", L"Card\\Empty", L"Card\\New"};

// The hashes of every file in those folders.
std::set<std::string> FileHashes() {
    std::set<std::string> hashes;
    for (const wchar_t *folder : kFolders)
        for (const json &child : ChildObjects(kPhone, folder))
            if (child.value("kind", std::string()) == "file") hashes.insert(child.value("sha256", std::string()));
    return hashes;
}

bool NoTemporaryFiles(const TempFolder &disk) {
    return CountEntries(TempPath(), L"KIV*.tmp") == 0 && CountEntries(disk.Path(), L"kdl*.tmp") == 0;
}

// A deferred job over DCIM's pictures, driven to its end: the first entry
// by Next, the others by NextEx with a progress routine and cancel flag. It
// succeeds when First did and every entry was copied; the code it leaves is
// that of the first failure, and an entry that failed without a code
// leaves 0.
BOOL RunFolderCopyJob(const TempFolder &disk) {
    std::wstring target = disk.File(L"job");
    for (const wchar_t *name : {L"a.jpg", L"b.jpg"}) DeleteFileW((target + L"\\" + name).c_str());
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", target.c_str(), 0);
    if (job == INVALID_HANDLE_VALUE) return FALSE;
    BOOL all = TRUE;
    DWORD firstError = ERROR_SUCCESS;
    INT32 result = 0;
    UINT32 error = 0;
    auto routine = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                      LPVOID) -> DWORD { return PROGRESS_CONTINUE; };
    BOOL cancel = FALSE;
    for (bool first = true;; first = false) {
        BOOL next = first ? KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error)
                          : KivoCopyFolderNextEx(job, nullptr, 0, nullptr, 0, &result, &error, routine, nullptr, &cancel);
        if (!next) break;
        if (result) continue;
        if (all) firstError = error;
        all = FALSE;
    }
    KivoCopyFolderClose(job);
    SetLastError(firstError);
    return all;
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> all;
    // A listing is a snapshot of what could be read: a device gone in the
    // middle of it may leave names out, never add or garble one.
    // What the listing and the status query of the last run saw.
    auto listed = std::make_shared<std::vector<std::wstring>>();
    auto status = std::make_shared<WIN32_FIND_DATAW>();
    auto readsLeaveThePhone = [](const TempFolder &) {
        return DeviceData(L"Card\\DCIM\\a.jpg") == "hello" && DeviceData(L"Card\\DCIM\\b.jpg") == "world!" &&
               ChildObjects(kPhone, L"Card\\DCIM").size() == 3;
    };
    all.push_back({"listing",
                   [listed](const TempFolder &) {
                       listed->clear();
                       WIN32_FIND_DATAW data;
                       HANDLE find = KivoFindFirstFile(L"Phone\\Card\\DCIM\\*.jpg", &data);
                       if (find == INVALID_HANDLE_VALUE) return FALSE;
                       do listed->push_back(data.cFileName);
                       while (KivoFindNextFile(find, &data));
                       DWORD code = GetLastError();
                       KivoFindClose(find);
                       SetLastError(code);
                       return code == ERROR_NO_MORE_FILES ? TRUE : FALSE;
                   },
                   // Success lists the pictures in the device's order, each
                   // once. A child the device would not describe is left out
                   // silently, so a success may list one or none of them.
                   [listed](const TempFolder &) {
                       const std::vector<std::wstring> order{L"a.jpg", L"b.jpg"};
                       size_t next = 0;
                       for (const std::wstring &name : *listed) {
                           while (next < order.size() && order[next] != name) ++next;
                           if (next++ == order.size()) return false;
                       }
                       return true;
                   },
                   // A listing a fault cut short may leave names out, never
                   // add or garble one.
                   [listed, readsLeaveThePhone](const TempFolder &d) {
                       for (const std::wstring &name : *listed)
                           if (name != L"a.jpg" && name != L"b.jpg") return false;
                       return readsLeaveThePhone(d);
                   }});
    all.push_back({"status",
                   [status](const TempFolder &) {
                       *status = WIN32_FIND_DATAW{};
                       return KivoGetStatus(L"Phone\\Card\\DCIM\\b.jpg", status.get());
                   },
                   [status](const TempFolder &) {
                       return std::wstring(status->cFileName) == L"b.jpg" && status->nFileSizeLow == 6 &&
                              status->nFileSizeHigh == 0 && !(status->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
                   },
                   readsLeaveThePhone});
    auto space = std::make_shared<std::pair<ULARGE_INTEGER, ULARGE_INTEGER>>();
    all.push_back({"free space",
                   [space](const TempFolder &) {
                       *space = {};
                       return KivoGetDiskFreeSpaceEx(L"Phone\\Card\\DCIM", &space->first, &space->second, nullptr);
                   },
                   [space](const TempFolder &) {
                       return space->first.QuadPart == (1ull << 31) && space->second.QuadPart == (1ull << 32);
                   },
                   readsLeaveThePhone});
    all.push_back({"upload",
                   [](const TempFolder &d) { return KivoCopyFile(d.File(L"up.txt").c_str(), L"Phone\\Card\\Empty\\up.txt", 0); },
                   [](const TempFolder &) { return DeviceData(L"Card\\Empty\\up.txt") == "uploaded data"; },
                   [](const TempFolder &d) { return ReadFileText(d.File(L"up.txt")) == "uploaded data"; }});
    all.push_back({"download with progress",
                   [](const TempFolder &d) {
                       auto count = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                                       HANDLE, LPVOID) -> DWORD { return PROGRESS_CONTINUE; };
                       BOOL cancel = FALSE;
                       return KivoCopyFileEx(L"Phone\\Card\\DCIM\\b.jpg", d.File(L"b.jpg").c_str(), count, nullptr,
                                             &cancel, 0);
                   },
                   [](const TempFolder &d) { return ReadFileText(d.File(L"b.jpg")) == "world!"; },
                   [](const TempFolder &d) {
                       std::string text = ReadFileText(d.File(L"b.jpg"));
                       return DeviceData(L"Card\\DCIM\\b.jpg") == "world!" && (text.empty() || text == "world!");
                   }});
    all.push_back({"download",
                   [](const TempFolder &d) { return KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", d.File(L"a.jpg").c_str(), 0); },
                   [](const TempFolder &d) { return ReadFileText(d.File(L"a.jpg")) == "hello"; },
                   [](const TempFolder &d) {
                       std::string text = ReadFileText(d.File(L"a.jpg"));
                       return DeviceData(L"Card\\DCIM\\a.jpg") == "hello" && (text.empty() || text == "hello");
                   }});
    all.push_back({"replace on disk",
                   [](const TempFolder &d) { return KivoCopyFile(L"Phone\\Card\\DCIM\\b.jpg", d.File(L"old.jpg").c_str(), 0); },
                   [](const TempFolder &d) { return ReadFileText(d.File(L"old.jpg")) == "world!"; },
                   [](const TempFolder &d) {
                       std::string text = ReadFileText(d.File(L"old.jpg"));
                       return text == "old" || text == "world!";
                   }});
    all.push_back({"replace on device",
                   [](const TempFolder &d) { return KivoCopyFile(d.File(L"up.txt").c_str(), L"Phone\\Card\\DCIM\\b.jpg", 0); },
                   [](const TempFolder &) { return DeviceData(L"Card\\DCIM\\b.jpg") == "uploaded data"; },
                   [](const TempFolder &d) {
                       return ReadFileText(d.File(L"up.txt")) == "uploaded data" &&
                              ReplaceKeptOrDone(L"Card\\DCIM", L"b.jpg", "world!", "uploaded data");
                   }});
    all.push_back({"replace device to device",
                   [](const TempFolder &) { return KivoCopyFile(L"Phone\\Card\\Music\\song.mp3", L"Phone\\Card\\DCIM\\b.jpg", 0); },
                   [](const TempFolder &) { return DeviceData(L"Card\\DCIM\\b.jpg") == "la"; },
                   [](const TempFolder &) {
                       return DeviceData(L"Card\\Music\\song.mp3") == "la" &&
                              ReplaceKeptOrDone(L"Card\\DCIM", L"b.jpg", "world!", "la");
                   }});
    all.push_back({"small device to device",
                   [](const TempFolder &) { return KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\Music\\a.jpg", 0); },
                   [](const TempFolder &) { return DeviceData(L"Card\\Music\\a.jpg") == "hello"; },
                   [](const TempFolder &) { return DeviceData(L"Card\\DCIM\\a.jpg") == "hello"; }});
    all.push_back({"large device to device",
                   [](const TempFolder &) {
                       return KivoCopyFile(L"Phone\\Card\\DCIM\\big.mp4", L"Phone\\Card\\Music\\big.mp4", 0);
                   },
                   [](const TempFolder &) { return DeviceHash(L"Card\\Music\\big.mp4") == DeviceHash(L"Card\\DCIM\\big.mp4"); },
                   [](const TempFolder &) { return !DeviceHash(L"Card\\DCIM\\big.mp4").empty(); }});
    all.push_back({"rename",
                   [](const TempFolder &) { return KivoMoveFile(L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\DCIM\\z.jpg"); },
                   [](const TempFolder &) { return DeviceData(L"Card\\DCIM\\z.jpg") == "hello"; },
                   [](const TempFolder &) {
                       return DeviceData(L"Card\\DCIM\\a.jpg") == "hello" || DeviceData(L"Card\\DCIM\\z.jpg") == "hello";
                   }});
    all.push_back({"move across folders",
                   [](const TempFolder &) { return KivoMoveFile(L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\New\\a.jpg"); },
                   [](const TempFolder &) {
                       return DeviceData(L"Card\\New\\a.jpg") == "hello" && DeviceData(L"Card\\DCIM\\a.jpg") == "<none>";
                   },
                   [](const TempFolder &) {
                       return DeviceData(L"Card\\DCIM\\a.jpg") == "hello" || DeviceData(L"Card\\New\\a.jpg") == "hello";
                   }});
    all.push_back({"folder chain",
                   [](const TempFolder &) { return KivoCreateFolder(L"Phone\\Card\\X\\Y\\Z"); },
                   [](const TempFolder &) { return !kivosim::FindObject(kPhone, L"Card\\X\\Y\\Z").empty(); },
                   [](const TempFolder &) { return true; }});
    all.push_back({"delete tree",
                   [](const TempFolder &) { return KivoDeleteFolder(L"Phone\\Card\\DCIM"); },
                   [](const TempFolder &) { return kivosim::FindObject(kPhone, L"Card\\DCIM").empty(); },
                   [](const TempFolder &) { return true; }});
    all.push_back({"folder copy job", RunFolderCopyJob,
                   [](const TempFolder &d) {
                       return ReadFileText(d.File(L"job\\a.jpg")) == "hello" &&
                              ReadFileText(d.File(L"job\\b.jpg")) == "world!";
                   },
                   [](const TempFolder &d) {
                       std::string a = ReadFileText(d.File(L"job\\a.jpg")), b = ReadFileText(d.File(L"job\\b.jpg"));
                       return (a.empty() || a == "hello") && (b.empty() || b == "world!") &&
                              CountEntries(d.File(L"job"), L"*", true) <= 2;
                   }});
    return all;
}

class FailureSweep : public SimTest {
protected:
    void Prepare(const TempFolder &disk) {
        KivoSimReset();
        json fixture = PhoneFixture();
        fixture["devices"][0]["transferSize"] = 16 << 20;  // few chunks for the large object
        // Room for every upload, which each checks first.
        fixture["devices"][0]["objects"][0]["capacity"] = 1ull << 32;
        fixture["devices"][0]["objects"][0]["freeSpace"] = 1ull << 31;
        json tablet = {{"kind", "storage"},
                       {"name", "Card"},
                       {"children", {{{"kind", "file"}, {"name", "t.txt"}, {"originalFileName", "t.txt"}, {"data", "tab"}}}}};
        fixture["devices"].push_back(DeviceJson("usb#tablet-1", "Tablet", "Tablet", {tablet}));
        Load(fixture);
        WriteFileText(disk.File(L"up.txt"), "uploaded data");
        WriteFileText(disk.File(L"old.jpg"), "old");
        DeleteFileW(disk.File(L"a.jpg").c_str());
    }
    // Runs the scenario once from a fresh state with a fault armed, then checks
    // that nothing is alive, no temporary file is left, the source is intact,
    // and that a success is complete and a failure carries a code.
    // The data any object may hold: what the files hold before a run and
    // after one that nothing disturbed.
    std::set<std::string> WholeData(const Scenario &scenario, const TempFolder &disk) {
        Prepare(disk);
        std::set<std::string> whole = FileHashes();
        EXPECT_TRUE(scenario.run(disk)) << scenario.name;
        std::set<std::string> after = FileHashes();
        whole.insert(after.begin(), after.end());
        return whole;
    }
    void RunArmed(const Scenario &scenario, const TempFolder &disk, const std::string &where,
                  const std::set<std::string> &whole, const std::function<bool()> &arm) {
        Prepare(disk);
        ASSERT_TRUE(arm()) << where;
        SetLastError(0);
        BOOL ok = scenario.run(disk);
        DWORD code = GetLastError();
        EXPECT_EQ(KivoSimLiveObjects(), 0) << where;
        EXPECT_TRUE(NoTemporaryFiles(disk)) << where;
        EXPECT_TRUE(scenario.intact(disk)) << where;
        for (const std::string &hash : FileHashes()) {
            if (whole.count(hash)) continue;
            ++tally.partialObjects;
            ADD_FAILURE() << where << ": an object holds data no whole source holds";
        }
        if (ok) EXPECT_TRUE(scenario.complete(disk)) << where << ": success for an incomplete result";
        else EXPECT_NE(code, 0u) << where << ": a failure without a code";
    }
};

}  // namespace

TEST_F(FailureSweep, EveryCallOfEveryOperationFailsOnce) {
    size_t runs = 0;
    tally = Tally{};
    phoneMayVanish = false;
    for (const Scenario &scenario : Scenarios()) {
        TempFolder disk;
        std::set<std::string> whole = WholeData(scenario, disk);
        Prepare(disk);
        ASSERT_TRUE(scenario.run(disk)) << scenario.name;
        ASSERT_TRUE(scenario.complete(disk)) << scenario.name;
        json log = kivosim::Log();
        uint64_t calls = log.size();
        ASSERT_GT(calls, 0u) << scenario.name;
        for (uint64_t k = 1; k <= calls; ++k) {
            std::string where = std::string(scenario.name) + ", call " + std::to_string(k) + " (" +
                                log[k - 1].value("method", std::string("?")) + ") failing";
            RunArmed(scenario, disk, where, whole, [k] {
                return kivosim::AddFault(nullptr, {{"method", "*"}, {"skip", k - 1}, {"times", 1}, {"hr", "0x8007001F"}});
            });
            ++runs;
        }
    }
    std::printf("failure sweep: %zu runs, %zu lost targets, %zu partial objects\n", runs, tally.lostTargets,
                tally.partialObjects);
}

// A phone pulled out after any of its calls: the call fails with a code (or
// had finished its work), and the tablet beside it still answers.
TEST_F(FailureSweep, APhoneUnpluggedAfterAnyOfItsCallsFailsCleanly) {
    size_t runs = 0;
    tally = Tally{};
    phoneMayVanish = true;
    for (const Scenario &scenario : Scenarios()) {
        TempFolder disk;
        std::set<std::string> whole = WholeData(scenario, disk);
        Prepare(disk);
        ASSERT_TRUE(scenario.run(disk)) << scenario.name;
        uint64_t phoneCalls = 0;
        for (auto &entry : kivosim::Log()) phoneCalls += entry.value("device", std::string()) == Narrow(kPhone);
        ASSERT_GT(phoneCalls, 0u) << scenario.name;
        for (uint64_t k = 0; k < phoneCalls; ++k) {
            std::string where = std::string(scenario.name) + ", unplugged after call " + std::to_string(k);
            RunArmed(scenario, disk, where, whole,
                     [k] { return kivosim::SetDevice(kPhone, {{"unplugAfterCalls", k}}); });
            ++runs;
            WIN32_FIND_DATAW record;
            EXPECT_TRUE(KivoGetStatus(L"Tablet\\Card\\t.txt", &record)) << where << ": the other device";
            EXPECT_EQ(KivoSimLiveObjects(), 0) << where;
        }
    }
    std::printf("unplug sweep: %zu runs, %zu lost targets, %zu partial objects\n", runs, tally.lostTargets,
                tally.partialObjects);
}

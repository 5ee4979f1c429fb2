// The failure sweep: every file operation is run once to count its calls
// into the device service, then once more for every k with the k-th call
// failing, and once more for every k with the device unplugged after its
// k-th call. Whatever fails, nothing crashes, nothing is left alive, no
// partial file stands under a target's name, no temporary file is left, the
// source is intact and a failed move leaves its source.
#include "support/test_support.h"

#include <functional>

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

bool NoTemporaryFiles(const TempFolder &disk) {
    return CountEntries(TempPath(), L"KIV*.tmp") == 0 && CountEntries(disk.Path(), L"kdl*.tmp") == 0;
}

// A deferred job over DCIM's pictures, driven to its end. It succeeds when
// First did and every entry was copied; the code it leaves is that of the
// first failure, and an entry that failed without a code leaves 0.
BOOL RunFolderCopyJob(const TempFolder &disk) {
    std::wstring target = disk.File(L"job");
    for (const wchar_t *name : {L"a.jpg", L"b.jpg"}) DeleteFileW((target + L"\\" + name).c_str());
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", target.c_str(), 0);
    if (job == INVALID_HANDLE_VALUE) return FALSE;
    BOOL all = TRUE;
    DWORD firstError = ERROR_SUCCESS;
    INT32 result = 0;
    UINT32 error = 0;
    while (KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error)) {
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
    all.push_back({"listing",
                   [](const TempFolder &) {
                       WIN32_FIND_DATAW data;
                       HANDLE find = KivoFindFirstFile(L"Phone\\Card\\DCIM\\*.jpg", &data);
                       if (find == INVALID_HANDLE_VALUE) return FALSE;
                       BOOL known = TRUE;
                       do known = known && (!wcscmp(data.cFileName, L"a.jpg") || !wcscmp(data.cFileName, L"b.jpg"));
                       while (KivoFindNextFile(find, &data));
                       KivoFindClose(find);
                       return known;
                   },
                   [](const TempFolder &) { return true; }, [](const TempFolder &) { return true; }});
    all.push_back({"status",
                   [](const TempFolder &) {
                       WIN32_FIND_DATAW record;
                       return KivoGetStatus(L"Phone\\Card\\DCIM\\b.jpg", &record) && record.nFileSizeLow == 6;
                   },
                   [](const TempFolder &) { return true; }, [](const TempFolder &) { return true; }});
    all.push_back({"upload",
                   [](const TempFolder &d) { return KivoCopyFile(d.File(L"up.txt").c_str(), L"Phone\\Card\\Empty\\up.txt", 0); },
                   [](const TempFolder &) { return DeviceData(L"Card\\Empty\\up.txt") == "uploaded data"; },
                   [](const TempFolder &d) { return ReadFileText(d.File(L"up.txt")) == "uploaded data"; }});
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
                   [](const TempFolder &d) { return ReadFileText(d.File(L"up.txt")) == "uploaded data"; }});
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
    void RunArmed(const Scenario &scenario, const TempFolder &disk, const std::string &where,
                  const std::function<bool()> &arm) {
        Prepare(disk);
        ASSERT_TRUE(arm()) << where;
        SetLastError(0);
        BOOL ok = scenario.run(disk);
        DWORD code = GetLastError();
        EXPECT_EQ(KivoSimLiveObjects(), 0) << where;
        EXPECT_TRUE(NoTemporaryFiles(disk)) << where;
        EXPECT_TRUE(scenario.intact(disk)) << where;
        if (ok) EXPECT_TRUE(scenario.complete(disk)) << where << ": success for an incomplete result";
        else EXPECT_NE(code, 0u) << where << ": a failure without a code";
    }
};

}  // namespace

TEST_F(FailureSweep, EveryCallOfEveryOperationFailsOnce) {
    size_t runs = 0;
    for (const Scenario &scenario : Scenarios()) {
        TempFolder disk;
        Prepare(disk);
        ASSERT_TRUE(scenario.run(disk)) << scenario.name;
        ASSERT_TRUE(scenario.complete(disk)) << scenario.name;
        json log = kivosim::Log();
        uint64_t calls = log.size();
        ASSERT_GT(calls, 0u) << scenario.name;
        for (uint64_t k = 1; k <= calls; ++k) {
            std::string where = std::string(scenario.name) + ", call " + std::to_string(k) + " (" +
                                log[k - 1].value("method", std::string("?")) + ") failing";
            RunArmed(scenario, disk, where, [k] {
                return kivosim::AddFault(nullptr, {{"method", "*"}, {"skip", k - 1}, {"times", 1}, {"hr", "0x8007001F"}});
            });
            ++runs;
        }
    }
    std::printf("failure sweep: %zu runs\n", runs);
}

// A phone pulled out after any of its calls: the call fails with a code (or
// had finished its work), and the tablet beside it still answers.
TEST_F(FailureSweep, APhoneUnpluggedAfterAnyOfItsCallsFailsCleanly) {
    size_t runs = 0;
    for (const Scenario &scenario : Scenarios()) {
        TempFolder disk;
        Prepare(disk);
        ASSERT_TRUE(scenario.run(disk)) << scenario.name;
        uint64_t phoneCalls = 0;
        for (auto &entry : kivosim::Log()) phoneCalls += entry.value("device", std::string()) == Narrow(kPhone);
        ASSERT_GT(phoneCalls, 0u) << scenario.name;
        for (uint64_t k = 0; k < phoneCalls; ++k) {
            std::string where = std::string(scenario.name) + ", unplugged after call " + std::to_string(k);
            RunArmed(scenario, disk, where, [k] { return kivosim::SetDevice(kPhone, {{"unplugAfterCalls", k}}); });
            ++runs;
            WIN32_FIND_DATAW record;
            EXPECT_TRUE(KivoGetStatus(L"Tablet\\Card\\t.txt", &record)) << where << ": the other device";
            EXPECT_EQ(KivoSimLiveObjects(), 0) << where;
        }
    }
    std::printf("unplug sweep: %zu runs\n", runs);
}

// Eight threads of mixed calls on two devices and the disk, each on files of
// its own, for KIVO_STRESS_SECONDS (5 by default): every result checked, no
// deadlock (a watchdog ends the process), no sim object left alive.
#include "support/test_support.h"

#include <atomic>
#include <thread>

#include "include/kivo.h"

using namespace kivotest;

namespace {

constexpr int kThreads = 8;

json TwoDevices() {
    json phone = PhoneFixture()["devices"][0];
    json camera = DeviceJson("usb#camera-1", "Camera", "Camera",
                             {{{"kind", "storage"}, {"name", "Card"}, {"children", json::array()}}});
    return {{"devices", {phone, camera}}};
}

int Seconds() {
    wchar_t text[16] = {};
    if (!GetEnvironmentVariableW(L"KIVO_STRESS_SECONDS", text, 16)) return 5;
    int value = _wtoi(text);
    return value > 0 ? value : 5;
}

class Worker {
public:
    Worker(int index, const std::wstring &disk) : index_(index), disk_(disk) {}

    void Run(double deadline) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::wstring tag = L"T" + std::to_wstring(index_);
        phone_ = L"Phone\\Card\\" + tag;
        camera_ = L"Camera\\Card\\" + tag;
        Check(KivoCreateFolder(phone_.c_str()), "create phone folder");
        Check(KivoCreateFolder(camera_.c_str()), "create camera folder");
        for (int i = 0; Now() < deadline && failures_.size() < 5; ++i) Round(i);
        CoUninitialize();
    }
    const std::vector<std::string> &Failures() const { return failures_; }
    uint64_t Calls() const { return calls_; }

private:
    static double Now() { return GetTickCount64() / 1000.0; }

    void Check(bool ok, const std::string &what) {
        ++calls_;
        if (!ok) failures_.push_back("thread " + std::to_string(index_) + ": " + what + " (error " +
                                     std::to_string(GetLastError()) + ")");
    }

    void Round(int i) {
        std::string text = "thread " + std::to_string(index_) + " round " + std::to_string(i);
        std::wstring local = disk_ + L"\\f.txt", back = disk_ + L"\\back.txt";
        std::wstring onPhone = phone_ + L"\\f.txt", onCamera = camera_ + L"\\g.txt", renamed = camera_ + L"\\h.txt";
        WriteFileText(local, text);
        Check(KivoCopyFile(local.c_str(), onPhone.c_str(), 0), "upload");
        WIN32_FIND_DATAW record{};
        Check(KivoGetStatus(onPhone.c_str(), &record) && record.nFileSizeLow == text.size(), "status of the upload");
        Check(KivoCopyFile(onPhone.c_str(), onCamera.c_str(), 0), "device to device");
        Check(KivoMoveFile(onCamera.c_str(), renamed.c_str()), "rename");
        Check(KivoCopyFile(renamed.c_str(), back.c_str(), 0), "download");
        ++calls_;
        if (ReadFileText(back) != text) failures_.push_back("thread " + std::to_string(index_) + ": wrong data back");
        Check(ListsOnly(phone_ + L"\\*", L"f.txt"), "listing");
        Check(KivoDeleteFile(renamed.c_str()), "delete");
        Check(ListsOnly(camera_ + L"\\*", nullptr), "listing after the delete");
        Check(FolderJob(), "folder copy job");
        Check(TwoDevicesListed(), "device list");
    }

    // The listing holds exactly the one name, or nothing for null.
    bool ListsOnly(const std::wstring &pattern, const wchar_t *name) {
        WIN32_FIND_DATAW record{};
        HANDLE find = KivoFindFirstFile(pattern.c_str(), &record);
        if (find == INVALID_HANDLE_VALUE) return !name && GetLastError() == ERROR_SUCCESS;
        bool ok = name && std::wstring(record.cFileName) == name && !KivoFindNextFile(find, &record) &&
                  GetLastError() == ERROR_NO_MORE_FILES;
        KivoFindClose(find);
        return ok;
    }

    bool FolderJob() {
        std::wstring target = disk_ + L"\\job";
        HANDLE job = KivoCopyFolderFirst(phone_.c_str(), target.c_str(), 0);
        if (job == INVALID_HANDLE_VALUE) return false;
        INT32 result = 0;
        UINT32 error = 0;
        wchar_t source[MAX_PATH];
        bool ok = KivoCopyFolderCount(job) == 1 &&
                  KivoCopyFolderNext(job, source, MAX_PATH, nullptr, 0, &result, &error) && result == 1 &&
                  std::wstring(source) == phone_ + L"\\f.txt" &&
                  !KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr);
        KivoCopyFolderClose(job);
        return ok;
    }

    bool TwoDevicesListed() {
        HANDLE list = KivoFindDeviceFirst();
        if (list == INVALID_HANDLE_VALUE) return false;
        wchar_t name[MAX_PATH];
        int count = 0;
        while (KivoFindDeviceNext(list, name, MAX_PATH)) ++count;
        KivoFindDeviceClose(list);
        return count == 2;
    }

    int index_;
    std::wstring disk_, phone_, camera_;
    std::vector<std::string> failures_;
    uint64_t calls_ = 0;
};

class Stress : public SimTest {};

}  // namespace

TEST_F(Stress, EightThreadsOfMixedCallsStayCorrect) {
    KivoInitialize();
    Load(TwoDevices());
    KivoSimSetLogging(0);
    int seconds = Seconds();
    std::vector<TempFolder> folders(kThreads);
    std::vector<Worker> workers;
    for (int t = 0; t < kThreads; ++t) workers.emplace_back(t, folders[t].Path());
    double start = GetTickCount64() / 1000.0, deadline = start + seconds;
    std::atomic<int> finished{0};
    std::thread watchdog([&] {
        for (int waited = 0; finished < kThreads; ++waited) {
            if (waited > (seconds + 120) * 10) {
                std::printf("watchdog: the threads did not finish; a deadlock\n");
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            Sleep(100);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            workers[t].Run(deadline);
            ++finished;
        });
    for (auto &thread : threads) thread.join();
    watchdog.join();
    double elapsed = GetTickCount64() / 1000.0 - start;
    uint64_t calls = 0;
    for (const Worker &worker : workers) {
        calls += worker.Calls();
        for (const std::string &failure : worker.Failures()) ADD_FAILURE() << failure;
    }
    EXPECT_GT(calls, static_cast<uint64_t>(kThreads * 12));
    std::printf("stress: %d threads, %llu calls in %.1f s, %.0f calls per second\n", kThreads,
                static_cast<unsigned long long>(calls), elapsed, static_cast<double>(calls) / elapsed);
    KivoSimSetLogging(1);
}

// A soak: KIVO_SOAK_CALLS (10,000 by default; scripts/long-run.sh soak runs
// 100,000) mixed calls in one process, with the heap in use, the process's
// handle count and the sim's live objects sampled every tenth of the run.
// None may grow after the first sample by more than noise, and every call
// must give the result it gave the first time.
#include "support/test_support.h"

#include "include/kivo.h"
#include "support/heap_usage.h"

using namespace kivotest;

namespace {

uint64_t Calls() {
    wchar_t text[24] = {};
    if (!GetEnvironmentVariableW(L"KIVO_SOAK_CALLS", text, 24)) return 10000;
    uint64_t value = _wcstoui64(text, nullptr, 10);
    return value >= 1000 ? value : 10000;
}


// The handles open in the process, counted by asking each possible value
// (GetProcessHandleCount is not available everywhere).
DWORD OpenHandles() {
    DWORD count = 0, flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    return count;
}

struct Sample {
    uint64_t calls;
    SIZE_T heap;
    DWORD handles;
    long live;
};

class Soak : public SimTest {
protected:
    // One round of mixed calls; false when any result differs from the
    // expected one. Adds the calls made to count.
    bool Round(uint64_t round, uint64_t &count) {
        bool ok = true;
        WIN32_FIND_DATAW record{};
        ok &= KivoGetStatus(L"Phone\\Card\\DCIM\\b.jpg", &record) && record.nFileSizeLow == 6;
        ok &= !KivoGetStatus(L"Phone\\Card\\DCIM\\missing.jpg", &record);
        ok &= KivoCheckDevicePathName(L"Phone\\Card") == 1 && KivoWildcardMatch(L"*.JPG", L"a.jpg") == 1;
        count += 4;
        HANDLE find = KivoFindFirstFile(L"Phone\\Card\\DCIM\\*.jpg", &record);
        ok &= find != INVALID_HANDLE_VALUE;
        int listed = find != INVALID_HANDLE_VALUE;
        while (find != INVALID_HANDLE_VALUE && KivoFindNextFile(find, &record)) ++listed, ++count;
        if (find != INVALID_HANDLE_VALUE) KivoFindClose(find);
        ok &= listed == 2;
        count += 3;
        if (round % 10 == 0) {
            ok &= KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", disk.File(L"a.jpg").c_str(), 0) != FALSE;
            ok &= KivoCopyFile(disk.File(L"a.jpg").c_str(), L"Phone\\Card\\Music\\a.jpg", 0) != FALSE;
            ok &= KivoDeleteFile(L"Phone\\Card\\Music\\a.jpg") != FALSE;
            HANDLE devices = KivoFindDeviceFirst();
            wchar_t name[MAX_PATH];
            ok &= devices != INVALID_HANDLE_VALUE && KivoFindDeviceNext(devices, name, MAX_PATH) &&
                  !KivoFindDeviceNext(devices, name, MAX_PATH);
            KivoFindDeviceClose(devices);
            count += 7;
        }
        if (round % 50 == 0) {
            HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", disk.File(L"job").c_str(), 0);
            ok &= job != INVALID_HANDLE_VALUE && KivoCopyFolderCount(job) == 2;
            while (KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr)) ++count;
            KivoCopyFolderClose(job);
            count += 4;
        }
        return ok;
    }
    TempFolder disk;
};

}  // namespace

TEST_F(Soak, NothingGrowsAndNothingChangesOverManyCalls) {
    KivoInitialize();
    Load(PhoneFixture());
    KivoSimSetLogging(0);
    const uint64_t total = Calls(), every = total / 10;
    std::vector<Sample> samples;
    uint64_t calls = 0, next = every, wrong = 0;
    for (uint64_t round = 0; calls < total; ++round) {
        if (!Round(round, calls)) ++wrong;
        if (calls >= next) {
            samples.push_back({calls, HeapBytesInUse(), OpenHandles(), KivoSimLiveObjects()});
            next += every;
        }
    }
    EXPECT_EQ(wrong, 0u) << "rounds whose results differed";
    ASSERT_GE(samples.size(), 2u);
    for (const Sample &s : samples) {
        std::printf("soak: %8llu calls  heap %8zu bytes  handles %4lu  live sim objects %ld\n",
                    static_cast<unsigned long long>(s.calls), s.heap, static_cast<unsigned long>(s.handles), s.live);
        EXPECT_EQ(s.live, 0) << "at call " << s.calls;
        EXPECT_LE(s.handles, samples.front().handles + 16) << "handles grow, at call " << s.calls;
        EXPECT_LE(s.heap, samples.front().heap + 512 * 1024) << "the heap grows, at call " << s.calls;
    }
    KivoSimSetLogging(1);
}

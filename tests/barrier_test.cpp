// No C++ exception crosses an export: an allocation that fails anywhere in a
// call ends that call with ERROR_NOT_ENOUGH_MEMORY, nothing left alive. And a
// retry of the shell globals runs under the library lock.
#include "support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "core/globals.h"
#include "include/kivo.h"

namespace {

// The allocation that fails: -1 for none, else how many succeed first.
std::atomic<long> g_allocationsBeforeFailure{-1};
std::atomic<bool> g_allocationFailed{false};

void *Allocate(size_t size) {
    long left = g_allocationsBeforeFailure.load();
    if (left == 0) {
        g_allocationsBeforeFailure = -1;
        g_allocationFailed = true;
        throw std::bad_alloc();
    }
    if (left > 0) g_allocationsBeforeFailure = left - 1;
    void *block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    return block;
}

}  // namespace

void *operator new(size_t size) { return Allocate(size); }
void *operator new[](size_t size) { return Allocate(size); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, size_t) noexcept { std::free(block); }
void operator delete[](void *block, size_t) noexcept { std::free(block); }

using namespace kivotest;

namespace {

class Barrier : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(PhoneFixture());
    }
    void TearDown() override {
        KivoCleanUp();
        SimTest::TearDown();
    }

    // Runs call once with the k-th allocation failing, for every k until a
    // run meets no failure; call reports whether it failed with the code.
    template <class Call>
    int SweepAllocations(Call &&call) {
        int failedRuns = 0;
        for (long k = 0; k < 100000; ++k) {
            g_allocationFailed = false;
            g_allocationsBeforeFailure = k;
            bool reportedFailure = false;
            EXPECT_NO_THROW(reportedFailure = call());
            DWORD code = GetLastError();
            g_allocationsBeforeFailure = -1;
            if (!g_allocationFailed) {
                EXPECT_FALSE(reportedFailure) << "the run without a failure succeeds";
                break;
            }
            // A failure the standard library absorbs (shrink_to_fit) may
            // let the call succeed; a call that fails says why.
            if (reportedFailure) {
                ++failedRuns;
                EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << "allocation " << k;
            }
            EXPECT_EQ(KivoSimLiveObjects(), 0) << "allocation " << k;
        }
        return failedRuns;
    }
};

}  // namespace

TEST_F(Barrier, AFailedAllocationInAFolderListingIsReportedNotThrown) {
    int runs = SweepAllocations([] {
        WIN32_FIND_DATAW record{};
        HANDLE handle = KivoFindFirstFile(L"Phone\\Card\\DCIM\\*", &record);
        if (handle == INVALID_HANDLE_VALUE) return true;
        KivoFindClose(handle);
        return false;
    });
    EXPECT_GT(runs, 0);
}

TEST_F(Barrier, AFailedAllocationInADeviceListingIsReportedNotThrown) {
    int runs = SweepAllocations([] {
        HANDLE handle = KivoFindDeviceFirst();
        if (handle == INVALID_HANDLE_VALUE) return true;
        KivoFindDeviceClose(handle);
        return false;
    });
    EXPECT_GT(runs, 0);
}

TEST_F(Barrier, ARetryOfMissingShellPiecesWaitsForTheLock) {
    kivo::Globals &g = kivo::GlobalState();
    ASSERT_TRUE(kivo::PrepareGlobals());
    ASSERT_TRUE(g.libraryLockReady);
    // As after a preparation whose computer-folder step failed.
    g.shellAllocator->Free(g.computerPidl);
    g.computerPidl = nullptr;
    std::atomic<bool> done{false};
    EnterCriticalSection(&g.libraryLock);
    std::thread other([&] {
        CoInitialize(nullptr);
        kivo::PrepareGlobals();
        CoUninitialize();
        done = true;
    });
    Sleep(300);
    EXPECT_FALSE(done) << "the retry ran without the lock";
    EXPECT_EQ(g.computerPidl, nullptr);
    LeaveCriticalSection(&g.libraryLock);
    other.join();
    EXPECT_NE(g.computerPidl, nullptr);
}

// The handle tables: handle values, stepping, removal, clean-up, and many
// threads at once.
#include "support/test_support.h"

#include <set>
#include <thread>

#include "core/globals.h"
#include "enum/handle_table.h"
#include "foldercopy/folder_copy_entry.h"
#include "include/kivo.h"

using namespace kivotest;
using kivo::StepResult;

namespace {

WIN32_FIND_DATAW Named(const std::wstring &name) {
    WIN32_FIND_DATAW record{};
    wcsncpy(record.cFileName, name.c_str(), MAX_PATH - 1);
    return record;
}

class HandleTables : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(kivo::PrepareGlobals() || kivo::GlobalState().libraryLockReady); }
};

}  // namespace

TEST_F(HandleTables, SixteenBitHandlesRunFromOneTo65535ThenOneAgain) {
    kivo::FindDataTable table;
    EXPECT_EQ(table.Add({Named(L"first")}, 0), 1u);
    for (uint64_t expected = 2; expected <= 65535; ++expected) ASSERT_EQ(table.AllocateHandle(), expected);
    EXPECT_EQ(table.Add({Named(L"again")}, 0), 1u) << "0 is never a handle";
    WIN32_FIND_DATAW out{};
    ASSERT_EQ(table.Step(1, out), StepResult::Copied);
    EXPECT_STREQ(out.cFileName, L"again") << "a wrapped handle takes over the entry never closed";
    EXPECT_EQ(table.EntryCount(), 1u);
}

TEST_F(HandleTables, DialogHandlesStartAtTwo) {
    kivo::DialogTable table;
    kivo::PathRecord path{};
    EXPECT_EQ(table.Add({path}, 0), 2);
    EXPECT_EQ(table.Add({path}, 0), 3);
}

TEST_F(HandleTables, StepHandsOutRecordsInOrderAndNeverWraps) {
    kivo::FindDataTable table;
    auto handle = table.Add({Named(L"a"), Named(L"b"), Named(L"c")}, 1);
    EXPECT_EQ(table.Count(handle), 3u);
    WIN32_FIND_DATAW out{};
    ASSERT_EQ(table.Step(handle, out), StepResult::Copied);
    EXPECT_STREQ(out.cFileName, L"b");
    ASSERT_EQ(table.Step(handle, out), StepResult::Copied);
    EXPECT_STREQ(out.cFileName, L"c");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(table.Step(handle, out), StepResult::Exhausted);
    EXPECT_STREQ(out.cFileName, L"c") << "an exhausted step writes nothing";
    EXPECT_EQ(table.Step(handle + 1, out), StepResult::Unknown);
    EXPECT_EQ(table.Count(handle + 1), 0u);
    EXPECT_EQ(table.Remove(handle), 1u);
    EXPECT_EQ(table.Remove(handle), 0u);
    EXPECT_EQ(table.Step(handle, out), StepResult::Unknown);
}

TEST_F(HandleTables, CleanUpForgetsHandlesWhileTheCounterGoesOn) {
    auto first = kivo::FileEnumTable().Add({Named(L"x")}, 0);
    auto device = kivo::DeviceEnumTable().Add({Named(L"Phone")}, 0);
    auto job = kivo::FolderCopyTable().Add({kivo::FolderCopyEntry{}}, 0, kivo::FolderCopyJob{0x100});
    auto dialog = kivo::DialogResultTable().Add({kivo::PathRecord{}}, 0);
    KivoCleanUp();
    EXPECT_FALSE(kivo::FileEnumTable().Contains(first));
    EXPECT_FALSE(kivo::DeviceEnumTable().Contains(device));
    EXPECT_FALSE(kivo::FolderCopyTable().Contains(job));
    EXPECT_FALSE(kivo::DialogResultTable().Contains(dialog));
    ASSERT_TRUE(kivo::PrepareGlobals() || kivo::GlobalState().libraryLockReady);
    EXPECT_EQ(kivo::FileEnumTable().Add({Named(L"y")}, 0), first + 1);
    KivoCleanUp();
}

TEST_F(HandleTables, ThreadsAddStepAndRemoveWithoutLosingOrSharingAHandle) {
    constexpr int kThreads = 4, kRounds = 1500;
    kivo::FindDataTable table;
    std::vector<std::vector<uint64_t>> seen(kThreads);
    std::vector<int> errors(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                std::wstring tag = std::to_wstring(t) + L":" + std::to_wstring(round);
                auto handle = table.Add({Named(tag + L"a"), Named(tag + L"b")}, 0);
                seen[t].push_back(handle);
                WIN32_FIND_DATAW out{};
                if (table.Step(handle, out) != StepResult::Copied || tag + L"a" != out.cFileName) ++errors[t];
                if (table.Step(handle, out) != StepResult::Copied || tag + L"b" != out.cFileName) ++errors[t];
                if (table.Step(handle, out) != StepResult::Exhausted) ++errors[t];
                if (table.Remove(handle) != 1) ++errors[t];
            }
        });
    }
    for (auto &thread : threads) thread.join();
    std::set<uint64_t> all;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(errors[t], 0) << "thread " << t;
        all.insert(seen[t].begin(), seen[t].end());
    }
    EXPECT_EQ(all.size(), size_t(kThreads) * kRounds) << "every handle drawn once";
    EXPECT_EQ(table.EntryCount(), 0u);
}

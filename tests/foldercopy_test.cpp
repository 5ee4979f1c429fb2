// Folder copy jobs as a host drives them through kivo.dll: the walk, the
// three modes, failures reported per entry, and names from a device that
// must never steer a copy out of its destination.
#include "support/test_support.h"

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "include/kivo.h"

using namespace kivotest;

namespace {

const wchar_t kPhone[] = L"usb#phone-1";

json File(const std::string &name, const std::string &data) {
    return {{"kind", "file"}, {"name", name}, {"originalFileName", name}, {"data", data}};
}
json Folder(const std::string &name, json children = json::array()) {
    return {{"kind", "folder"}, {"name", name}, {"children", std::move(children)}};
}

// Card\DCIM holds files, a subtree, a dot-folder, an empty folder and a
// folder whose name fits "*.jpg".
json TreeFixture(json extraInDcim = json::array()) {
    json dcim = json::array({File("a.jpg", "hello"), File("b.JPG", "world!"), File("notes.txt", "text"),
                             File("plain", "no dot"),
                             Folder("Sub", {File("x.jpg", "x"), Folder("Deep", {File("y.jpg", "y")})}),
                             Folder(".thumbs", {File("t.jpg", "thumb")}), Folder("Nothing"),
                             Folder("pics.jpg", {File("z.txt", "z")})});
    for (auto &extra : extraInDcim) dcim.push_back(extra);
    json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", {Folder("DCIM", dcim), Folder("Empty")}}};
    return {{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}};
}

struct Step {
    std::wstring source;
    std::wstring destination;
    INT32 result;
    UINT32 error;
};

// Next until FALSE, every step's paths and outcome.
std::vector<Step> Drain(HANDLE job) {
    std::vector<Step> steps;
    wchar_t source[MAX_PATH], destination[MAX_PATH];
    INT32 result = -1;
    UINT32 error = 99;
    while (KivoCopyFolderNext(job, source, MAX_PATH, destination, MAX_PATH, &result, &error)) {
        steps.push_back({source, destination, result, error});
        if (steps.size() > 1000) break;
    }
    return steps;
}

std::vector<std::wstring> Sources(const std::vector<Step> &steps) {
    std::vector<std::wstring> out;
    for (auto &s : steps) out.push_back(s.source);
    return out;
}

class FolderCopy : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(TreeFixture());
    }
    std::string DeviceText(const wchar_t *path) {
        std::wstring id = kivosim::FindObject(kPhone, path);
        if (id.empty()) return "<none>";
        std::string out(4096, '\0');
        out.resize(KivoSimReadData(kPhone, id.c_str(), 0, out.data(), out.size()));
        return out;
    }
    std::wstring Out() const { return disk.File(L"out"); }
    TempFolder disk;
};

}  // namespace

TEST_F(FolderCopy, WithoutSubfoldersOnlyTheFolderOwnFilesAreCopiedOnePerNext) {
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    ASSERT_EQ(KivoCopyFolderCount(job), 4u);
    EXPECT_EQ(CountEntries(Out(), L"*", true), 0u) << "a deferred job copies nothing in First";

    wchar_t source[MAX_PATH], destination[MAX_PATH];
    INT32 result = -1;
    UINT32 error = 99;
    ASSERT_TRUE(KivoCopyFolderNext(job, source, MAX_PATH, destination, MAX_PATH, &result, &error));
    EXPECT_STREQ(source, L"Phone\\Card\\DCIM\\a.jpg");
    EXPECT_EQ(destination, Out() + L"\\a.jpg");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(ReadFileText(Out() + L"\\a.jpg"), "hello");
    EXPECT_EQ(CountEntries(Out(), L"*", true), 1u) << "one file per Next";
    EXPECT_EQ(KivoCopyFolderCount(job), 4u) << "Count stays while Next advances";

    auto rest = Drain(job);
    EXPECT_EQ(Sources(rest), (std::vector<std::wstring>{L"Phone\\Card\\DCIM\\b.JPG", L"Phone\\Card\\DCIM\\notes.txt",
                                                        L"Phone\\Card\\DCIM\\plain"}));
    EXPECT_EQ(ReadFileText(Out() + L"\\plain"), "no dot");
    EXPECT_EQ(CountEntries(Out(), L"*", false), 6u) << "four files, . and ..: no subfolder made";
    EXPECT_FALSE(KivoCopyFolderNext(job, source, MAX_PATH, destination, MAX_PATH, &result, &error));
    EXPECT_EQ(KivoCopyFolderCount(job), 4u);
    EXPECT_EQ(KivoCopyFolderClose(job), 0);
    EXPECT_EQ(KivoCopyFolderCount(job), 0u);
    EXPECT_FALSE(KivoCopyFolderNext(job, source, MAX_PATH, destination, MAX_PATH, &result, &error));
    EXPECT_EQ(KivoCopyFolderClose(job), 0) << "a second Close does nothing";
}

TEST_F(FolderCopy, SubfoldersAreWalkedDepthFirstWithMirroredPathsAndDotFoldersLeftOut) {
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM", Out().c_str(), KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    EXPECT_EQ(Sources(steps),
              (std::vector<std::wstring>{L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\DCIM\\b.JPG",
                                         L"Phone\\Card\\DCIM\\notes.txt", L"Phone\\Card\\DCIM\\plain",
                                         L"Phone\\Card\\DCIM\\Sub\\x.jpg", L"Phone\\Card\\DCIM\\Sub\\Deep\\y.jpg",
                                         L"Phone\\Card\\DCIM\\pics.jpg\\z.txt"}));
    ASSERT_EQ(steps.size(), 7u);
    EXPECT_EQ(steps[5].destination, Out() + L"\\Sub\\Deep\\y.jpg");
    for (auto &s : steps) EXPECT_EQ(s.result, 1) << Narrow(s.source);
    EXPECT_EQ(ReadFileText(Out() + L"\\Sub\\Deep\\y.jpg"), "y");
    EXPECT_EQ(GetFileAttributesW((Out() + L"\\.thumbs").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((Out() + L"\\Nothing").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a folder that gives no file leaves no trace";
}

TEST_F(FolderCopy, MasksPickFilesAtEveryLevelAndNeverFolders) {
    struct Case {
        const wchar_t *source;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {L"Phone\\Card\\DCIM\\*.jpg",
         {L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\DCIM\\b.JPG", L"Phone\\Card\\DCIM\\Sub\\x.jpg",
          L"Phone\\Card\\DCIM\\Sub\\Deep\\y.jpg"}},
        {L"Phone\\Card\\DCIM\\*.", {L"Phone\\Card\\DCIM\\plain"}},
        {L"Phone\\Card\\DCIM\\*.*",
         {L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\DCIM\\b.JPG", L"Phone\\Card\\DCIM\\notes.txt",
          L"Phone\\Card\\DCIM\\plain", L"Phone\\Card\\DCIM\\Sub\\x.jpg", L"Phone\\Card\\DCIM\\Sub\\Deep\\y.jpg",
          L"Phone\\Card\\DCIM\\pics.jpg\\z.txt"}},
    };
    for (const Case &c : cases) {
        HANDLE job = KivoCopyFolderFirst(c.source, Out().c_str(), KIVO_COPY_SUBFOLDERS);
        ASSERT_NE(job, INVALID_HANDLE_VALUE) << Narrow(c.source);
        EXPECT_EQ(KivoCopyFolderCount(job), c.expected.size()) << Narrow(c.source);
        EXPECT_EQ(Sources(Drain(job)), c.expected) << Narrow(c.source);
        KivoCopyFolderClose(job);
    }
    EXPECT_EQ(GetFileAttributesW((Out() + L"\\pics.jpg").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY))
        << "the folder named like the mask was descended, not copied as a file";
}

TEST_F(FolderCopy, FirstRefusesBadArgumentsAndMissingPathsWithoutATrace) {
    std::wstring out = Out();
    HANDLE before = KivoCopyFolderFirst(L"Phone\\Card\\Empty", out.c_str(), KIVO_COPY_NO_LIST);
    struct Case {
        const wchar_t *source;
        const wchar_t *destination;
        DWORD flags;
        DWORD code;
    };
    std::wstring file = disk.File(L"a-file");
    ASSERT_TRUE(WriteFileText(file, "x"));
    const Case cases[] = {
        {nullptr, out.c_str(), 0, ERROR_INVALID_PARAMETER},
        {L"Phone\\Card\\DCIM", nullptr, 0, ERROR_INVALID_PARAMETER},
        {L"Phone\\Card\\DCIM", out.c_str(), KIVO_COPY_FAIL_IF_EXISTS | KIVO_COPY_NEWER_ONLY, ERROR_INVALID_PARAMETER},
        {L"Phone\\Card\\Nowhere", out.c_str(), 0, ERROR_PATH_NOT_FOUND},
        {L"Phone\\Card\\Nowhere\\*.jpg", out.c_str(), 0, ERROR_PATH_NOT_FOUND},
        {L"Phone\\Card\\DCIM\\a.jpg\\*", out.c_str(), 0, ERROR_PATH_NOT_FOUND},
        {L"Phone", out.c_str(), 0, ERROR_PATH_NOT_FOUND},
        {L"Phone\\*", out.c_str(), 0, ERROR_PATH_NOT_FOUND},
        {L"Phone\\Card\\DCIM", L"Phone", 0, ERROR_PATH_NOT_FOUND},
        {L"Phone\\Card\\DCIM", file.c_str(), 0, ERROR_PATH_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SetLastError(77);
        EXPECT_EQ(KivoCopyFolderFirst(c.source, c.destination, c.flags), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.code) << (c.source ? Narrow(c.source) : "null") << " to "
                                          << (c.destination ? Narrow(c.destination) : "null");
    }
    SetLastError(77);
    EXPECT_EQ(KivoCopyFolderFirst(L"Phone\\Card\\DCIM", (out + L"\\*").c_str(), 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << "a wildcard destination is refused with a code";
    EXPECT_EQ(ReadFileText(file), "x");

    HANDLE after = KivoCopyFolderFirst(L"Phone\\Card\\Empty", out.c_str(), KIVO_COPY_NO_LIST);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(after), reinterpret_cast<uintptr_t>(before) + 1)
        << "failed Firsts draw no handle";
}

TEST_F(FolderCopy, AnEmptyFolderGivesAJobOfNoEntriesAndAMissingDestinationIsCreated) {
    std::wstring out = Out() + L"\\made\\here";
    SetLastError(77);
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\Empty", out.c_str(), KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(KivoCopyFolderCount(job), 0u);
    EXPECT_FALSE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_NE(GetFileAttributesW(out.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    KivoCopyFolderClose(job);

    job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM", L"Phone\\Card\\New\\Place", 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(kivosim::FindObject(kPhone, L"Card\\New\\Place").empty());
    KivoCopyFolderClose(job);
}

TEST_F(FolderCopy, AtFirstCopiesEverythingInFirstAndNextOnlyReports) {
    ASSERT_TRUE(KivoCreateFolder(Out().c_str()));
    ASSERT_TRUE(WriteFileText(Out() + L"\\b.JPG", "kept"));
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(),
                                     KIVO_COPY_AT_FIRST | KIVO_COPY_FAIL_IF_EXISTS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadFileText(Out() + L"\\a.jpg"), "hello") << "copied during First";
    EXPECT_EQ(ReadFileText(Out() + L"\\b.JPG"), "kept");
    ASSERT_TRUE(DeleteFileW((Out() + L"\\a.jpg").c_str()));
    uint64_t streams = KivoSimCallCount("IPortableDeviceResources::GetStream");
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].result, 1);
    EXPECT_EQ(steps[0].error, 0u);
    EXPECT_EQ(steps[1].result, 0);
    EXPECT_EQ(steps[1].error, static_cast<UINT32>(ERROR_FILE_EXISTS)) << "the recorded outcome";
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceResources::GetStream"), streams) << "Next copies nothing";
    EXPECT_EQ(GetFileAttributesW((Out() + L"\\a.jpg").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FolderCopy, NoListCopiesInFirstAndKeepsNoJob) {
    HANDLE first = KivoCopyFolderFirst(L"Phone\\Card\\DCIM", Out().c_str(), KIVO_COPY_NO_LIST);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadFileText(Out() + L"\\notes.txt"), "text");
    EXPECT_EQ(KivoCopyFolderCount(first), 0u);
    EXPECT_FALSE(KivoCopyFolderNext(first, nullptr, 0, nullptr, 0, nullptr, nullptr));
    HANDLE second = KivoCopyFolderFirst(L"Phone\\Card\\Empty", Out().c_str(), KIVO_COPY_NO_LIST);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second), reinterpret_cast<uintptr_t>(first) + 1)
        << "the handle counter advances though nothing is stored";
}

// With no job kept, the code First leaves is the host's only word on the
// copies: 0 only when every file was copied, else the first failure's code,
// though later copies succeeded.
TEST_F(FolderCopy, NoListLeavesTheCodeOfTheFirstFailedCopy) {
    ASSERT_TRUE(KivoCreateFolder(Out().c_str()));
    SetLastError(ERROR_GEN_FAILURE);
    ASSERT_NE(KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(), KIVO_COPY_NO_LIST), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u) << "every file copied";
    ASSERT_TRUE(WriteFileText(Out() + L"\\a.jpg", "mine"));
    ASSERT_TRUE(DeleteFileW((Out() + L"\\b.JPG").c_str()));
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(),
                                     KIVO_COPY_NO_LIST | KIVO_COPY_FAIL_IF_EXISTS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadFileText(Out() + L"\\a.jpg"), "mine");
    EXPECT_EQ(ReadFileText(Out() + L"\\b.JPG"), "world!") << "the job went on";
}

// A device may hold two objects of one name in a folder: the second (in
// any case) is a failed entry, never copied over the first, in every mode.
// A second folder of a taken name is one failed entry.
TEST_F(FolderCopy, ASecondObjectOfATakenNameIsAFailedEntry) {
    KivoSimReset();
    json twins = json::array({File("a.jpg", "first"), File("A.JPG", "second"), File("a.jpg", "third"),
                              File("b.jpg", "b"), Folder("Sub", {File("s.jpg", "s1")}),
                              Folder("Sub", {File("s.jpg", "s2"), File("t.jpg", "t")})});
    json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", {Folder("Twins", twins)}}};
    Load({{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}});
    for (DWORD mode : {DWORD{0}, DWORD{KIVO_COPY_AT_FIRST}}) {
        std::wstring out = disk.File(mode ? L"at-first" : L"deferred");
        HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\Twins", out.c_str(), mode | KIVO_COPY_SUBFOLDERS);
        ASSERT_NE(job, INVALID_HANDLE_VALUE);
        std::vector<Step> steps = Drain(job);
        KivoCopyFolderClose(job);
        ASSERT_EQ(steps.size(), 6u);
        const INT32 results[] = {1, 0, 0, 1, 1, 0};
        for (size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(steps[i].result, results[i]) << i;
            EXPECT_EQ(steps[i].error, results[i] ? 0u : static_cast<UINT32>(ERROR_FILE_EXISTS)) << i;
        }
        EXPECT_EQ(ReadFileText(out + L"\\a.jpg"), "first") << mode;
        EXPECT_EQ(ReadFileText(out + L"\\Sub\\s.jpg"), "s1") << mode;
        EXPECT_EQ(steps[5].destination, out + L"\\Sub") << mode;
        EXPECT_EQ(CountEntries(out, L"*", true), 2u) << mode;
    }
}

// A job copies each device file by the object ID its listing found, so a
// copy costs as many property reads in a folder of 60 as in one of 5. When
// the ID no longer names the listed object (its name reused by a new
// object, the object renamed or gone), the copy goes by the path as a
// direct copy would.
TEST_F(FolderCopy, ACopyTakesItsSourceByTheIdItsListingFound) {
    uint64_t lastCopyReads[2] = {};
    for (int width : {5, 60}) {
        json files = json::array();
        for (int i = 0; i < width; ++i) files.push_back(File("f" + std::to_string(100 + i) + ".jpg", "x"));
        json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", {Folder("Wide", files)}}};
        KivoSimReset();
        Load({{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}});
        HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\Wide", disk.File(L"w" + std::to_wstring(width)).c_str(), 0);
        ASSERT_NE(job, INVALID_HANDLE_VALUE);
        INT32 result = 0;
        for (int i = 1; i < width; ++i) ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, nullptr));
        KivoSimClearLog();
        ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, nullptr));
        EXPECT_EQ(result, 1);
        lastCopyReads[width == 60] = KivoSimCallCount("IPortableDeviceProperties::GetValues");
        KivoCopyFolderClose(job);
    }
    EXPECT_EQ(lastCopyReads[1], lastCopyReads[0]) << "the last file of 60 costs what the last of 5 does";

    KivoSimReset();
    Load(TreeFixture());
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(), KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(KivoDeleteFile(L"Phone\\Card\\DCIM\\a.jpg"));
    ASSERT_TRUE(KivoSimAddObject(kPhone, kivosim::FindObject(kPhone, L"Card\\DCIM").c_str(),
                                 File("a.jpg", "new a").dump().c_str(), nullptr, 0));
    ASSERT_TRUE(KivoMoveFile(L"Phone\\Card\\DCIM\\b.JPG", L"Phone\\Card\\DCIM\\c.JPG"));
    ASSERT_TRUE(KivoDeleteFile(L"Phone\\Card\\DCIM\\Sub\\x.jpg"));
    std::vector<Step> steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].result, 1);
    EXPECT_EQ(ReadFileText(Out() + L"\\a.jpg"), "new a") << "a name taken by a new object: the path's object";
    EXPECT_EQ(steps[1].result, 0) << "renamed: nothing at the path";
    EXPECT_EQ(steps[1].error, static_cast<UINT32>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(steps[2].error, static_cast<UINT32>(ERROR_FILE_NOT_FOUND)) << "gone";
    EXPECT_EQ(ReadFileText(Out() + L"\\Sub\\Deep\\y.jpg"), "y");
    EXPECT_EQ(KivoSimLiveObjects(), 0);
}

// An upload job learns its device destination folder's names with its
// first file there and keeps them current, so the last upload into a
// folder it filled with 60 files costs what the last of 5 does; a target
// that was there before is still found and replaced, one the job made is
// never made twice.
TEST_F(FolderCopy, AnUploadJobLearnsItsDestinationFolderOnce) {
    uint64_t lastCopyReads[2] = {};
    for (int width : {5, 60}) {
        KivoSimReset();
        Load(TreeFixture());
        std::wstring from = disk.File(L"up" + std::to_wstring(width));
        ASSERT_TRUE(KivoCreateFolder(from.c_str()));
        for (int i = 0; i < width; ++i)
            ASSERT_TRUE(WriteFileText(from + L"\\f" + std::to_wstring(100 + i) + L".jpg", "new " + std::to_string(i)));
        ASSERT_TRUE(WriteFileText(from + L"\\A.JPG", "replaces a.jpg"));
        HANDLE job = KivoCopyFolderFirst(from.c_str(), L"Phone\\Card\\DCIM", 0);
        ASSERT_NE(job, INVALID_HANDLE_VALUE);
        INT32 result = 0;
        UINT32 error = 0;
        for (int i = 0; i < width; ++i) {
            ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error));
            EXPECT_EQ(result, 1) << i << ": " << error;
        }
        KivoSimClearLog();
        ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error));
        EXPECT_EQ(result, 1) << error;
        lastCopyReads[width == 60] = KivoSimCallCount("IPortableDeviceProperties::GetValues") +
                                     KivoSimCallCount("IEnumPortableDeviceObjectIDs::Next");
        for (auto &read : kivosim::Calls("IPortableDeviceProperties::GetValues"))
            EXPECT_EQ(read["keys"].dump().find("WPD_STORAGE_CAPACITY"), std::string::npos)
                << "the storage's figures were read with the job's first upload, reported or not";
        KivoCopyFolderClose(job);
        EXPECT_EQ(ChildObjects(kPhone, L"Card\\DCIM").size(), 8u + width) << "nothing made twice";
        EXPECT_EQ(DeviceText(L"Card\\DCIM\\A.JPG"), "replaces a.jpg") << "the old target found and replaced";
        EXPECT_EQ(DeviceText(L"Card\\DCIM\\f104.jpg"), "new 4");
        EXPECT_EQ(KivoSimLiveObjects(), 0);
    }
    EXPECT_EQ(lastCopyReads[1], lastCopyReads[0]) << "the last upload into 60 new files costs what it does into 5";
}

// An upload job reads its storage's figures once and counts what it puts
// there: the file that no longer fits fails up front, the job goes on, and
// a smaller file after it still fits.
TEST_F(FolderCopy, AnUploadJobStopsFillingAStorageWhenItIsFull) {
    json fixture = TreeFixture();
    fixture["devices"][0]["objects"][0]["freeSpace"] = 25;
    KivoSimReset();
    Load(fixture);
    std::wstring from = disk.File(L"up");
    ASSERT_TRUE(KivoCreateFolder(from.c_str()));
    for (const char *name : {"f1", "f2", "f3"}) ASSERT_TRUE(WriteFileText(from + L"\\" + Widen(name), "ten bytes!"));
    ASSERT_TRUE(WriteFileText(from + L"\\f4", "four"));
    HANDLE job = KivoCopyFolderFirst(from.c_str(), L"Phone\\Card\\Empty", 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    KivoSimClearLog();
    std::vector<Step> steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 4u);
    std::map<std::wstring, UINT32> errors;
    for (const Step &step : steps) errors[step.source.substr(step.source.size() - 2)] = step.result ? 0 : step.error;
    EXPECT_EQ(errors, (std::map<std::wstring, UINT32>{{L"f1", 0}, {L"f2", 0}, {L"f3", ERROR_DISK_FULL}, {L"f4", 0}}));
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceContent::CreateObjectWithPropertiesAndData"), 3u);
    auto reads = kivosim::Calls("IPortableDeviceProperties::GetValues");
    EXPECT_EQ(std::count_if(reads.begin(), reads.end(),
                            [](const json &read) {
                                return read["objectId"] == "s10001" &&
                                       read["keys"].dump().find("WPD_STORAGE_FREE_SPACE_IN_BYTES") != std::string::npos;
                            }),
              1)
        << "the storage's figures are read once for the job";
    EXPECT_EQ(ChildObjects(kPhone, L"Card\\Empty").size(), 3u);
    EXPECT_EQ(KivoSimLiveObjects(), 0);
}

// NextEx reports the copy of the file it hands out; a file its host stops
// is a failed entry with ERROR_REQUEST_ABORTED and nothing of it left, and
// the job goes on.
TEST_F(FolderCopy, NextExReportsEachFileAndAStoppedFileLeavesNothing) {
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    ASSERT_EQ(KivoCopyFolderCount(job), 4u);
    struct Heard {
        std::vector<ULONGLONG> done;
        bool stop = false;
    } heard;
    auto routine = [](LARGE_INTEGER, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                      LPVOID data) -> DWORD {
        auto *h = static_cast<Heard *>(data);
        h->done.push_back(static_cast<ULONGLONG>(done.QuadPart));
        return h->stop ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
    };
    wchar_t source[MAX_PATH], destination[MAX_PATH];
    INT32 result = -1;
    UINT32 error = 0;
    ASSERT_TRUE(KivoCopyFolderNextEx(job, source, MAX_PATH, destination, MAX_PATH, &result, &error, routine, &heard,
                                     nullptr));
    EXPECT_EQ(result, 1) << error;
    EXPECT_EQ(heard.done, (std::vector<ULONGLONG>{0, 5})) << "a.jpg: its start and its one chunk";
    heard.stop = true;
    ASSERT_TRUE(KivoCopyFolderNextEx(job, source, MAX_PATH, destination, MAX_PATH, &result, &error, routine, &heard,
                                     nullptr));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, static_cast<UINT32>(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(GetFileAttributesW(destination), INVALID_FILE_ATTRIBUTES) << "nothing of the stopped file";
    EXPECT_EQ(CountEntries(Out(), L"*", true), 1u) << "and no partial file";
    BOOL cancel = TRUE;
    size_t stopped = 0;
    while (KivoCopyFolderNextEx(job, nullptr, 0, nullptr, 0, &result, &error, nullptr, nullptr, &cancel))
        stopped += !result && error == ERROR_REQUEST_ABORTED;
    EXPECT_EQ(stopped, 2u) << "the flag alone stops a copy";
    EXPECT_EQ(CountEntries(Out(), L"*", true), 1u);
    KivoCopyFolderClose(job);
    EXPECT_EQ(KivoSimLiveObjects(), 0);
}

TEST_F(FolderCopy, AFailedCopyIsReportedInItsEntryAndTheJobGoesOn) {
    ASSERT_TRUE(KivoCreateFolder(Out().c_str()));
    ASSERT_TRUE(WriteFileText(Out() + L"\\a.jpg", "mine"));
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(), KIVO_COPY_FAIL_IF_EXISTS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    INT32 result = -1;
    UINT32 error = 0;
    SetLastError(0);
    ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, static_cast<UINT32>(ERROR_FILE_EXISTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS)) << "the copy's code stays the thread's";
    EXPECT_EQ(ReadFileText(Out() + L"\\a.jpg"), "mine");
    ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr)) << "null pointers still advance";
    EXPECT_EQ(ReadFileText(Out() + L"\\b.JPG"), "world!");
    EXPECT_FALSE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error));
    KivoCopyFolderClose(job);
}

TEST_F(FolderCopy, JobsRunDiskToDeviceAndDeviceToDevice) {
    std::wstring tree = disk.File(L"tree");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(tree + L"\\one.txt", "1"));
    ASSERT_TRUE(WriteFileText(tree + L"\\inner\\two.txt", "22"));
    HANDLE job = KivoCopyFolderFirst(tree.c_str(), L"Phone\\Card\\Backup", KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 2u) << "the . and .. entries of a disk folder are never descended";
    for (auto &s : steps) EXPECT_EQ(s.result, 1) << Narrow(s.source) << " error " << s.error;
    EXPECT_EQ(DeviceText(L"Card\\Backup\\one.txt"), "1");
    EXPECT_EQ(DeviceText(L"Card\\Backup\\inner\\two.txt"), "22");

    job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\Sub", L"Phone\\Card\\Empty", KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[1].destination, L"Phone\\Card\\Empty\\Deep\\y.jpg");
    EXPECT_EQ(DeviceText(L"Card\\Empty\\Deep\\y.jpg"), "y");
}

TEST_F(FolderCopy, ASourceThatNamesAFileCopiesJustThatFile) {
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\DCIM\\Sub\\a.jpg", 0));
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\a.jpg", Out().c_str(), KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Sources(Drain(job)), std::vector<std::wstring>{L"Phone\\Card\\DCIM\\a.jpg"});
    KivoCopyFolderClose(job);
    EXPECT_EQ(CountEntries(Out(), L"*", false), 3u) << "a.jpg, . and ..";
}

TEST_F(FolderCopy, NamesThatWouldLeaveTheDestinationAreFailedEntriesNeverCopied) {
    KivoSimReset();
    json hostile = json::array({File("..", "up"), File("a\\..\\..\\x.jpg", "escape"), File("x:y", "stream"),
                                File("C:\\evil.jpg", "drive"), File("CON", "device"), File("nul.txt", "device"),
                                File("photo.jpg.", "dot"), File("trail ", "space"), File("a<b", "lt"),
                                File("", "empty"), Folder("..\\up", {File("deep.jpg", "escape")}),
                                Folder("s\\..\\..\\up", {File("deep.jpg", "escape")}),
                                File("honest.jpg", "fine")});
    json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", {Folder("Bad", hostile)}}};
    Load({{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}});

    std::wstring out = Out() + L"\\inside";
    uint64_t streams = KivoSimCallCount("IPortableDeviceResources::GetStream");
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\Bad", out.c_str(), KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 12u);
    for (auto &s : steps) {
        if (s.source == L"Phone\\Card\\Bad\\honest.jpg") {
            EXPECT_EQ(s.result, 1);
            continue;
        }
        EXPECT_EQ(s.result, 0) << Narrow(s.source);
        EXPECT_EQ(s.error, static_cast<UINT32>(ERROR_INVALID_NAME)) << Narrow(s.source);
    }
    EXPECT_EQ(ReadFileText(out + L"\\honest.jpg"), "fine");
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceResources::GetStream"), streams + 1) << "only the honest file is read";
    job = KivoCopyFolderFirst(L"Phone\\Card\\Bad\\CON", out.c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    SetLastError(0);
    ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << "a refused entry's code is the thread's";
    KivoCopyFolderClose(job);
    EXPECT_EQ(CountEntries(out, L"*", false), 3u) << "honest.jpg, . and ..";
    EXPECT_EQ(CountEntries(Out(), L"*", false), 3u) << "inside, . and ..: nothing beside the destination";
    EXPECT_EQ(CountEntries(disk.Path(), L"*", false), 3u) << "out, . and ..: nothing above it";
    EXPECT_EQ(GetFileAttributesW(L"C:\\evil.jpg"), INVALID_FILE_ATTRIBUTES);

    // On a device the file system's own rules do not apply: only names that
    // would address another object are refused.
    job = KivoCopyFolderFirst(L"Phone\\Card\\Bad", L"Phone\\Card\\Copy", 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    steps = Drain(job);
    KivoCopyFolderClose(job);
    size_t copied = 0;
    for (auto &s : steps) copied += s.result == 1;
    EXPECT_EQ(copied, 6u) << "CON, nul.txt, photo.jpg., trail , a<b and honest.jpg";
    EXPECT_EQ(DeviceText(L"Card\\Copy\\CON"), "device");
    EXPECT_EQ(DeviceText(L"Card\\x.jpg"), "<none>");
}

TEST_F(FolderCopy, PathsTooLongForTheBuffersAreFailedEntriesNeverCut) {
    std::wstring out = Out();
    while (out.size() < 240) out += L"\\dddddddddd";
    out.resize(240);
    ASSERT_TRUE(KivoCreateFolder(out.c_str()));
    KivoSimReset();
    std::string longName(30, 'n');
    json storage = {{"kind", "storage"},
                    {"name", "Card"},
                    {"children", {Folder("F", {File("ok.jpg", "ok"), File(longName + ".jpg", "long")})}}};
    Load({{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}});
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\F", out.c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].result, 1);
    EXPECT_EQ(steps[1].result, 0);
    EXPECT_EQ(steps[1].error, static_cast<UINT32>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(CountEntries(out, L"*", true), 1u) << "no file under a cut name";
}

TEST_F(FolderCopy, SmallHostBuffersGetCutPathsAndTheJobStillAdvances) {
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    wchar_t source[8], destination[6];
    std::fill(std::begin(source), std::end(source), L'#');
    std::fill(std::begin(destination), std::end(destination), L'#');
    ASSERT_TRUE(KivoCopyFolderNext(job, source, 6, destination, 0, nullptr, nullptr));
    EXPECT_STREQ(source, L"Phone");
    EXPECT_EQ(source[6], L'#') << "nothing past the size";
    EXPECT_EQ(destination[0], L'#') << "a size of 0 writes nothing";
    ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, MAX_PATH, destination, 4, nullptr, nullptr));
    EXPECT_EQ(std::wstring(destination), Out().substr(0, 3));
    EXPECT_EQ(destination[4], L'#');
    EXPECT_FALSE(KivoCopyFolderNext(job, source, 8, destination, 4, nullptr, nullptr));
    KivoCopyFolderClose(job);
    EXPECT_EQ(ReadFileText(Out() + L"\\b.JPG"), "world!");
}

TEST_F(FolderCopy, AFolderThatCannotBeListedIsAFailedEntryNotAnEmptyOne) {
    // The second enumeration of DCIM is the lookup of Sub when Sub is
    // listed; failing it makes Sub vanish between its record and its listing.
    std::wstring dcim = kivosim::FindObject(kPhone, L"Card\\DCIM");
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceContent::EnumObjects"},
                                           {"objectId", Narrow(dcim)},
                                           {"skip", 1},
                                           {"times", 1},
                                           {"hr", "0x8007001F"}}));
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(), KIVO_COPY_SUBFOLDERS);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2].source, L"Phone\\Card\\DCIM\\Sub");
    EXPECT_EQ(steps[2].result, 0);
    EXPECT_NE(steps[2].error, 0u);
}

TEST_F(FolderCopy, AJobClosedFromAnotherThreadBetweenTwoNextsEndsCleanly) {
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr));
    std::thread closer([job] { KivoCopyFolderClose(job); });
    closer.join();
    EXPECT_FALSE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(KivoCopyFolderCount(job), 0u);
    EXPECT_EQ(CountEntries(Out(), L"*", true), 1u);
}

TEST_F(FolderCopy, CleanUpDiscardsEveryJob) {
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    KivoCleanUp();
    EXPECT_EQ(KivoCopyFolderCount(job), 0u);
    EXPECT_FALSE(KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, nullptr, nullptr));
}

TEST_F(FolderCopy, AChildTheDeviceWillNotDescribeMakesItsFolderAFailedEntry) {
    std::wstring a = kivosim::FindObject(kPhone, L"Card\\DCIM\\a.jpg");
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceProperties::GetValues"},
                                           {"objectId", Narrow(a)},
                                           {"hr", "0x8007001F"}}));
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\*.jpg", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    auto steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].source, L"Phone\\Card\\DCIM\\b.JPG");
    EXPECT_EQ(steps[0].result, 1);
    EXPECT_EQ(steps[1].source, L"Phone\\Card\\DCIM");
    EXPECT_EQ(steps[1].result, 0);
    EXPECT_EQ(steps[1].error, static_cast<UINT32>(ERROR_READ_FAULT)) << "a.jpg is missing, and the job says so";

    // A folder where every child is refused is not passed over as empty.
    std::wstring y = kivosim::FindObject(kPhone, L"Card\\DCIM\\Sub\\Deep\\y.jpg");
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceProperties::GetValues"},
                                           {"objectId", Narrow(y)},
                                           {"hr", "0x8007001F"}}));
    job = KivoCopyFolderFirst(L"Phone\\Card\\DCIM\\Sub\\Deep", Out().c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    steps = Drain(job);
    KivoCopyFolderClose(job);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].source, L"Phone\\Card\\DCIM\\Sub\\Deep");
    EXPECT_EQ(steps[0].error, static_cast<UINT32>(ERROR_READ_FAULT));
}

// Devices that answer with odd but legal data (empty names, names of 259
// characters, 10,000 children in one folder, a tree 64 levels deep, dates
// of 1601 and 9999, sizes of 0 and 2^63 - 1, duplicate names in a folder)
// and a device that answers slowly: every export works or fails cleanly.
#include "support/test_support.h"

#include <set>

#include "include/kivo.h"

using namespace kivotest;

namespace {

const wchar_t kOdd[] = L"usb#odd-1";
const std::string kLongName(259, 'n');

json File(const std::string &name, const std::string &data) {
    return {{"kind", "file"}, {"name", name}, {"originalFileName", name}, {"data", data}};
}

json Folder(const std::string &name, json children = json::array()) {
    return {{"kind", "folder"}, {"name", name}, {"children", std::move(children)}};
}

json OddFixture() {
    json many = json::array();
    for (int i = 0; i < 10000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%05d.jpg", i);
        many.push_back(File(name, "x"));
    }
    json deep = json::array({File("leaf.txt", "at the bottom")});
    for (int level = 0; level < 64; ++level) deep = json::array({Folder("d", deep)});
    json old = File("old.jpg", "old");
    old["created"] = old["modified"] = "1601-01-01T00:00:00";
    json future = File("future.jpg", "future");
    future["created"] = future["modified"] = "9999-12-31T23:59:59";
    json huge = File("huge.bin", "tiny");
    huge["reportedSize"] = 9223372036854775807ull;
    json card = {{"kind", "storage"},
                 {"name", "Card"},
                 {"children",
                  {File("", "no name"), File(kLongName, "long"), Folder("Many", many), deep[0], old, future,
                   File("zero.bin", ""), huge, Folder("Dups", {File("dup.jpg", "one"), File("dup.jpg", "two!")}),
                   Folder("Cases", {File("Song.mp3", "first"), File("song.mp3", "second!")})}}};
    return {{"devices",
             {DeviceJson("usb#odd-1", "Odd", "Odd", {card}), DeviceJson("usb#blank-1", "", "", json::array()),
              DeviceJson("usb#drive-1", "C:", "C:", json::array()), DeviceJson("usb#dot-1", ".", ".", json::array()),
              DeviceJson("usb#split-1", "A\\B", "A\\B", json::array())}}};
}

std::wstring OddPath(const std::wstring &below) { return L"Odd\\Card\\" + below; }

std::vector<std::wstring> List(const std::wstring &path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = KivoFindFirstFile(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do names.push_back(data.cFileName);
    while (KivoFindNextFile(find, &data));
    KivoFindClose(find);
    return names;
}

struct JobEntry {
    std::wstring source;
    INT32 result;
    UINT32 error;
};

std::vector<JobEntry> RunJob(const std::wstring &source, const std::wstring &target, DWORD flags) {
    std::vector<JobEntry> entries;
    HANDLE job = KivoCopyFolderFirst(source.c_str(), target.c_str(), flags);
    if (job == INVALID_HANDLE_VALUE) return entries;
    wchar_t from[MAX_PATH], to[MAX_PATH];
    INT32 result = 0;
    UINT32 error = 0;
    while (KivoCopyFolderNext(job, from, MAX_PATH, to, MAX_PATH, &result, &error)) entries.push_back({from, result, error});
    KivoCopyFolderClose(job);
    return entries;
}

class OddDevice : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(OddFixture());
    }
    TempFolder disk;
};

}  // namespace

TEST_F(OddDevice, EmptyAndLongNamesAreListedAndNeverCopiedUnderAnotherName) {
    std::vector<std::wstring> names = List(OddPath(L"*"));
    std::set<std::wstring> seen(names.begin(), names.end());
    for (const wchar_t *name : {L"Many", L"d", L"old.jpg", L"future.jpg", L"zero.bin", L"huge.bin", L"Dups"})
        EXPECT_TRUE(seen.count(name)) << Narrow(name);
    EXPECT_TRUE(seen.count(Widen(kLongName))) << "a name of 259 characters is listed whole";

    WIN32_FIND_DATAW record;
    ASSERT_TRUE(KivoGetStatus(OddPath(Widen(kLongName)).c_str(), &record)) << "each component fits";
    EXPECT_EQ(record.cFileName, Widen(kLongName));

    std::vector<JobEntry> entries = RunJob(OddPath(L"*"), disk.File(L"card"), 0);
    ASSERT_FALSE(entries.empty());
    size_t copied = 0;
    std::multiset<UINT32> failures;
    for (const JobEntry &entry : entries) {
        if (entry.result) ++copied;
        else failures.insert(entry.error);
    }
    EXPECT_EQ(copied, 4u) << "old, future, zero and huge";
    EXPECT_EQ(failures, (std::multiset<UINT32>{ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE}))
        << "the nameless file, and the one whose disk path would pass MAX_PATH";
    EXPECT_EQ(ReadFileText(disk.File(L"card\\old.jpg")), "old");
    EXPECT_EQ(CountEntries(disk.File(L"card"), L"*", true), copied) << "nothing but the copies, none under another name";
}

TEST_F(OddDevice, TenThousandChildrenAreListedCountedAndDeleted) {
    std::vector<std::wstring> names = List(OddPath(L"Many\\*"));
    EXPECT_EQ(names.size(), 10000u);
    EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()).size(), 10000u) << "no name twice";
    EXPECT_EQ(List(OddPath(L"Many\\f09*.jpg")).size(), 1000u);
    WIN32_FIND_DATAW record;
    EXPECT_TRUE(KivoGetStatus(OddPath(L"Many\\f09999.jpg").c_str(), &record));
    HANDLE job = KivoCopyFolderFirst(OddPath(L"Many").c_str(), disk.File(L"many").c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KivoCopyFolderCount(job), 10000u);
    KivoCopyFolderClose(job);
    EXPECT_TRUE(KivoDeleteFolder(OddPath(L"Many").c_str()));
    EXPECT_TRUE(kivosim::FindObject(kOdd, L"Card\\Many").empty());
}

TEST_F(OddDevice, ATreeSixtyFourLevelsDeepIsReachedCopiedAndDeleted) {
    std::wstring below;
    for (int level = 0; level < 64; ++level) below += L"d\\";
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(KivoGetStatus(OddPath(below + L"leaf.txt").c_str(), &record));
    EXPECT_EQ(record.nFileSizeLow, 13u);

    std::vector<JobEntry> entries = RunJob(OddPath(L"d"), disk.File(L"tree"), KIVO_COPY_SUBFOLDERS);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].result, 1) << entries[0].error;
    EXPECT_EQ(ReadFileText(disk.File(L"tree\\" + below.substr(2) + L"leaf.txt")), "at the bottom");

    ASSERT_TRUE(KivoCopyFile(disk.File(L"tree\\" + below.substr(2) + L"leaf.txt").c_str(),
                             OddPath(below + L"back.txt").c_str(), 0));
    EXPECT_TRUE(KivoDeleteFolder(OddPath(L"d").c_str()));
    EXPECT_TRUE(kivosim::FindObject(kOdd, L"Card\\d").empty());
    EXPECT_TRUE(KivoDeleteFolder(disk.File(L"tree").c_str())) << GetLastError();
}

TEST_F(OddDevice, DatesOf1601And9999AreReadAndCarriedToDisk) {
    for (const wchar_t *name : {L"old.jpg", L"future.jpg"}) {
        WIN32_FIND_DATAW record;
        ASSERT_TRUE(KivoGetStatus(OddPath(name).c_str(), &record)) << Narrow(name);
        ASSERT_TRUE(KivoCopyFile(OddPath(name).c_str(), disk.File(name).c_str(), 0)) << GetLastError();
        // The disk's own times are not compared: the Linux file system
        // beneath Wine holds only the years 1901 to 2446.
        EXPECT_EQ(ReadFileText(disk.File(name)), name == std::wstring(L"old.jpg") ? "old" : "future");
    }
    WIN32_FIND_DATAW future;
    ASSERT_TRUE(KivoGetStatus(OddPath(L"future.jpg").c_str(), &future));
    SYSTEMTIME when;
    ASSERT_TRUE(FileTimeToSystemTime(&future.ftLastWriteTime, &when));
    EXPECT_GE(when.wYear, 9999) << "the year 9999 is kept (in UTC it may be the first hours of 10000)";
}

TEST_F(OddDevice, SizesOfZeroAndOfTwoToTheSixtyThreeMinusOne) {
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(KivoGetStatus(OddPath(L"zero.bin").c_str(), &record));
    EXPECT_EQ(record.nFileSizeLow, 0u);
    ASSERT_TRUE(KivoCopyFile(OddPath(L"zero.bin").c_str(), disk.File(L"zero.bin").c_str(), 0)) << GetLastError();
    EXPECT_EQ(CountEntries(disk.Path(), L"zero.bin", true), 1u);
    EXPECT_EQ(ReadFileText(disk.File(L"zero.bin")), "");
    ASSERT_TRUE(KivoCopyFile(disk.File(L"zero.bin").c_str(), OddPath(L"Dups\\empty.bin").c_str(), 0)) << GetLastError();
    EXPECT_EQ(kivosim::Object(kOdd, kivosim::FindObject(kOdd, L"Card\\Dups\\empty.bin").c_str()).value("size", -1), 0);

    ASSERT_TRUE(KivoGetStatus(OddPath(L"huge.bin").c_str(), &record));
    EXPECT_EQ(record.nFileSizeHigh, 0x7FFFFFFFu);
    EXPECT_EQ(record.nFileSizeLow, 0xFFFFFFFFu);
    // The stream is the truth: a record may overstate the data, which is
    // copied whole, both to disk and (through the temporary file, since the
    // record says it is large) to the device.
    ASSERT_TRUE(KivoCopyFile(OddPath(L"huge.bin").c_str(), disk.File(L"huge.bin").c_str(), 0)) << GetLastError();
    EXPECT_EQ(ReadFileText(disk.File(L"huge.bin")), "tiny");
    EXPECT_EQ(CountEntries(disk.Path(), L"*", true), 2u) << "no temporary file beside the copies";
    if (SuiteProfile() == "android") {
        // The record's size is past what a FAT storage takes: refused up front.
        EXPECT_FALSE(KivoCopyFile(OddPath(L"huge.bin").c_str(), OddPath(L"Dups\\huge.bin").c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
        return;
    }
    ASSERT_TRUE(KivoCopyFile(OddPath(L"huge.bin").c_str(), OddPath(L"Dups\\huge.bin").c_str(), 0)) << GetLastError();
    std::wstring copy = kivosim::FindObject(kOdd, L"Card\\Dups\\huge.bin");
    char data[8] = {};
    EXPECT_EQ(KivoSimReadData(kOdd, copy.c_str(), 0, data, sizeof data), 4u);
    EXPECT_STREQ(data, "tiny");
    wchar_t temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    EXPECT_EQ(CountEntries(temporary, L"KIV*.tmp"), 0u);
}

TEST_F(OddDevice, DuplicateNamesInOneFolder) {
    EXPECT_EQ(List(OddPath(L"Dups\\*")), (std::vector<std::wstring>{L"dup.jpg", L"dup.jpg"}));
    WIN32_FIND_DATAW record;
    ASSERT_TRUE(KivoGetStatus(OddPath(L"Dups\\dup.jpg").c_str(), &record));
    EXPECT_EQ(record.nFileSizeLow, 3u) << "the first of the two";
    std::vector<JobEntry> entries = RunJob(OddPath(L"Dups"), disk.File(L"dups"), KIVO_COPY_FAIL_IF_EXISTS);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].result, 1);
    EXPECT_EQ(entries[1].result, 0) << "the second lands on the first's copy";
    EXPECT_EQ(entries[1].error, static_cast<UINT32>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadFileText(disk.File(L"dups\\dup.jpg")), "one");
    ASSERT_TRUE(KivoDeleteFile(OddPath(L"Dups\\dup.jpg").c_str()));
    EXPECT_EQ(List(OddPath(L"Dups\\*")).size(), 1u) << "one deleted, the other kept";

    // Names that differ only in case, as a device that tells case apart
    // keeps them: a path names the object of exactly its name, and only
    // when there is none the first that differs in case.
    for (auto [path, size] : {std::pair{L"Cases\\song.mp3", 7u}, std::pair{L"Cases\\Song.mp3", 5u},
                              std::pair{L"Cases\\SONG.MP3", 5u}}) {
        ASSERT_TRUE(KivoGetStatus(OddPath(path).c_str(), &record)) << Narrow(path);
        EXPECT_EQ(record.nFileSizeLow, size) << Narrow(path);
    }
    ASSERT_TRUE(KivoDeleteFile(OddPath(L"Cases\\song.mp3").c_str()));
    EXPECT_EQ(List(OddPath(L"Cases\\*")), (std::vector<std::wstring>{L"Song.mp3"})) << "the other one is kept";
}

// "", "C:", "." and "A\B" would lead a host's paths to the disk or to
// another device.
TEST_F(OddDevice, ADeviceNameNoPathCanLeadToIsLeftOutOfTheList) {
    HANDLE devices = KivoFindDeviceFirst();
    ASSERT_NE(devices, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> names;
    wchar_t name[MAX_PATH];
    while (KivoFindDeviceNext(devices, name, MAX_PATH)) names.push_back(name);
    KivoFindDeviceClose(devices);
    EXPECT_EQ(names, std::vector<std::wstring>{L"Odd"});
}

// Every method of the device takes 2 ms and its streams move 2 MB/s.
TEST_F(OddDevice, ASlowDeviceStillAnswersEveryCall) {
    json latency = json::object();
    for (const char *method :
         {"IPortableDevice::Open", "IPortableDevice::Content", "IPortableDevice::SendCommand",
          "IPortableDeviceContent::EnumObjects", "IPortableDeviceContent::Properties", "IPortableDeviceContent::Transfer",
          "IPortableDeviceContent::CreateObjectWithPropertiesOnly", "IPortableDeviceContent::CreateObjectWithPropertiesAndData",
          "IPortableDeviceContent::Delete", "IEnumPortableDeviceObjectIDs::Next", "IPortableDeviceProperties::GetValues",
          "IPortableDeviceResources::GetStream", "IStream::Read", "IStream::Write", "IStream::Commit", "IStream::Stat"})
        latency[method] = 2000;
    ASSERT_TRUE(kivosim::SetDevice(kOdd, {{"latency", latency}, {"bandwidth", 2000000}}));
    std::string photo(300000, 'p');
    ASSERT_TRUE(WriteFileText(disk.File(L"photo.jpg"), photo));
    EXPECT_EQ(List(OddPath(L"Dups\\*")).size(), 2u);
    ASSERT_TRUE(KivoCopyFile(disk.File(L"photo.jpg").c_str(), OddPath(L"Dups\\photo.jpg").c_str(), 0)) << GetLastError();
    ASSERT_TRUE(KivoCopyFile(OddPath(L"Dups\\photo.jpg").c_str(), disk.File(L"back.jpg").c_str(), 0)) << GetLastError();
    EXPECT_EQ(ReadFileText(disk.File(L"back.jpg")), photo);
    ASSERT_TRUE(KivoMoveFile(OddPath(L"Dups\\photo.jpg").c_str(), OddPath(L"Dups\\renamed.jpg").c_str()));
    ASSERT_TRUE(KivoCreateFolder(OddPath(L"Slow\\Deeper").c_str()));
    std::vector<JobEntry> entries = RunJob(OddPath(L"Dups"), disk.File(L"slow"), 0);
    ASSERT_EQ(entries.size(), 3u);
    // The second dup.jpg would land on the first's copy: a failed entry.
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].result, i == 1 ? 0 : 1) << Narrow(entries[i].source) << ": " << entries[i].error;
    EXPECT_TRUE(KivoDeleteFolder(OddPath(L"Slow").c_str()));
}

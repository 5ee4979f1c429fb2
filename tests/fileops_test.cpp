// Copy, move, rename, folder creation and deletion as a host calls them
// through kivo.dll, in every direction, checked against the sim's state.
#include "support/test_support.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "include/kivo.h"

using namespace kivotest;

namespace {

const wchar_t kPhone[] = L"usb#phone-1";


class FileOps : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(PhoneFixture());
    }
    std::wstring Id(const wchar_t *path) { return kivosim::FindObject(kPhone, path); }
    json Object(const wchar_t *path) { return kivosim::Object(kPhone, Id(path).c_str()); }
    std::string Data(const wchar_t *path) {
        std::string out(1 << 16, '\0');
        out.resize(KivoSimReadData(kPhone, Id(path).c_str(), 0, out.data(), out.size()));
        return out;
    }
    // The values of the last creation call, as key names in order.
    std::vector<std::string> CreatedKeys() {
        std::vector<std::string> keys;
        auto calls = kivosim::Calls("IPortableDeviceContent::CreateObjectWithPropertiesAndData");
        if (calls.empty()) return keys;
        for (auto &v : calls.back()["values"]) keys.push_back(v["key"]);
        return keys;
    }
    json CreatedValue(const std::string &key) {
        auto calls = kivosim::Calls("IPortableDeviceContent::CreateObjectWithPropertiesAndData");
        if (calls.empty()) return nullptr;
        for (auto &v : calls.back()["values"])
            if (v["key"] == key) return v["value"];
        return nullptr;
    }
    static size_t FilesIn(const std::wstring &folder) { return CountEntries(folder, L"*", true); }
    static size_t KivoTemporaryFiles() {
        wchar_t folder[MAX_PATH];
        DWORD n = GetTempPathW(MAX_PATH, folder);
        if (n && folder[n - 1] == L'\\') folder[n - 1] = L'\0';
        return CountEntries(folder, L"KIV*.tmp");
    }
    TempFolder disk;
};

}  // namespace

TEST_F(FileOps, UploadSendsTheEightPropertiesInOrder) {
    ASSERT_TRUE(WriteFileText(disk.File(L"SONG.MP3"), "music"));
    SetLastError(77);
    ASSERT_TRUE(KivoCopyFile(disk.File(L"SONG.MP3").c_str(), L"Phone\\Card\\Music\\SONG.MP3", 0));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(CreatedKeys(), (std::vector<std::string>{"WPD_OBJECT_PARENT_ID", "WPD_OBJECT_SIZE",
                                                       "WPD_OBJECT_ORIGINAL_FILE_NAME", "WPD_OBJECT_DATE_MODIFIED",
                                                       "WPD_OBJECT_DATE_CREATED", "WPD_OBJECT_NAME",
                                                       "WPD_OBJECT_CONTENT_TYPE", "WPD_OBJECT_FORMAT"}));
    EXPECT_EQ(CreatedValue("WPD_OBJECT_SIZE"), 5);
    EXPECT_EQ(CreatedValue("WPD_OBJECT_NAME"), "SONG");
    EXPECT_EQ(CreatedValue("WPD_OBJECT_CONTENT_TYPE"), "audio");
    EXPECT_EQ(Data(L"Card\\Music\\SONG.MP3"), "music");
    json object = Object(L"Card\\Music\\SONG.MP3");
    EXPECT_EQ(object["format"], "mp3");
    EXPECT_FALSE(object.contains("modifiedType")) << "dates are sent as VT_DATE";
}

TEST_F(FileOps, TheExtensionTableDecidesTypeAndFormat) {
    struct Case {
        const wchar_t *file;
        const char *name, *contentType, *format;
    } cases[] = {
        {L"photo.2020.jpg", "photo", "document", nullptr}, {L"README", "README", "document", nullptr},
        {L".nomedia", "", "document", nullptr},             {L"clip.3gp", "clip", "audio", "3gp"},
        {L"movie.mp4", "movie", "video", "mp4"},            {L"a.JPEG", "a", "image", "exif"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(WriteFileText(disk.File(c.file), "x"));
        ASSERT_TRUE(KivoCopyFile(disk.File(c.file).c_str(), (std::wstring(L"Phone\\Card\\Empty\\") + c.file).c_str(), 0))
            << Narrow(c.file);
        json object = Object((std::wstring(L"Card\\Empty\\") + c.file).c_str());
        // The name sent is the file name's stem; a device that names objects
        // by their file names keeps the file name instead.
        EXPECT_EQ(object["name"], SuiteProfile() == "android" ? Narrow(c.file) : std::string(c.name)) << Narrow(c.file);
        EXPECT_EQ(object["contentType"], c.contentType) << Narrow(c.file);
        if (c.format) EXPECT_EQ(object["format"], c.format) << Narrow(c.file);
        else EXPECT_FALSE(object.contains("format")) << Narrow(c.file);
    }
}

TEST_F(FileOps, DownloadKeepsTheObjectsTimesAndReplacesAnExistingFile) {
    std::wstring target = disk.File(L"sub\\a.jpg");
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", target.c_str(), 0));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(ReadFileText(target), "hello");
    WIN32_FIND_DATAW record{}, file{};
    ASSERT_TRUE(KivoGetStatus(L"Phone\\Card\\DCIM\\a.jpg", &record));
    ASSERT_TRUE(KivoGetStatus(target.c_str(), &file));
    EXPECT_EQ(CompareFileTime(&record.ftLastWriteTime, &file.ftLastWriteTime), 0);
    // (Wine's file systems keep no creation time that can be set.)

    ASSERT_TRUE(WriteFileText(target, "older and longer"));
    EXPECT_FALSE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", target.c_str(), KIVO_COPY_FAIL_IF_EXISTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", target.c_str(), 0));
    EXPECT_EQ(ReadFileText(target), "hello");
    EXPECT_FALSE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", target.c_str(), KIVO_COPY_NEWER_ONLY))
        << "equal times are not newer";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

TEST_F(FileOps, AFailedDownloadLeavesTheTargetAsItWasAndNoPartialFile) {
    std::wstring target = disk.File(L"big.mp4");
    ASSERT_TRUE(WriteFileText(target, "keep me"));
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IStream::Read"}, {"afterBytes", 1000000}, {"hr", "0x8007001F"}}));
    EXPECT_FALSE(KivoCopyFile(L"Phone\\Card\\DCIM\\big.mp4", target.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
    EXPECT_EQ(ReadFileText(target), "keep me");
    EXPECT_EQ(FilesIn(disk.Path()), 1u) << "the partial download is removed";

}

TEST_F(FileOps, DeviceToDeviceInMemoryKeepsDataAndDates) {
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\Music\\a.jpg", 0));
    EXPECT_EQ(Data(L"Card\\Music\\a.jpg"), "hello");
    json copy = Object(L"Card\\Music\\a.jpg"), original = Object(L"Card\\DCIM\\a.jpg");
    EXPECT_EQ(copy["modified"], original["modified"]);
    EXPECT_EQ(copy["created"], original["created"]);
    EXPECT_EQ(KivoTemporaryFiles(), 0u);
}

TEST_F(FileOps, ALargeDeviceToDeviceCopyGoesThroughATemporaryFileThatIsDeleted) {
    size_t before = KivoTemporaryFiles();
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\big.mp4", L"Phone\\Card\\Music\\big.mp4", 0));
    EXPECT_EQ(GetLastError(), 0u);
    json copy = Object(L"Card\\Music\\big.mp4"), original = Object(L"Card\\DCIM\\big.mp4");
    EXPECT_EQ(copy["size"], 70000000);
    EXPECT_EQ(copy["sha256"], original["sha256"]);
    EXPECT_EQ(KivoTemporaryFiles(), before);
    EXPECT_GE(kivosim::Calls("IPortableDevice::Open").size(), 3u) << "two nested copies";
}

TEST_F(FileOps, ACopyOntoItselfInAnySpellingTouchesNothing) {
    std::wstring id = Id(L"Card\\DCIM\\a.jpg");
    std::wstring computer = ShellNameOfComputerFolder();
    ASSERT_FALSE(computer.empty());
    for (const std::wstring &other : {std::wstring(L"PHONE\\CARD\\DCIM\\A.JPG"),
                                      computer + L"\\Phone\\Card\\DCIM\\a.jpg", std::wstring(L"Phone\\Card\\dcim\\A.JPG")}) {
        EXPECT_FALSE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", other.c_str(), 0)) << Narrow(other);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << Narrow(other);
        EXPECT_FALSE(KivoMoveFile((computer + L"\\Phone\\Card\\DCIM\\a.jpg").c_str(), L"Phone\\Card\\dcim\\a.jpg"));
    }
    EXPECT_FALSE(KivoMoveFile(L"Phone\\Card\\DCIM\\a.jpg", (computer + L"\\Phone\\Card\\DCIM\\a.jpg").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Id(L"Card\\DCIM\\a.jpg"), id);
    EXPECT_EQ(Data(L"Card\\DCIM\\a.jpg"), "hello");
}

TEST_F(FileOps, AMissingDiskSourceNeverDeletesTheDeviceTarget) {
    EXPECT_FALSE(KivoCopyFile(disk.File(L"missing.jpg").c_str(), L"Phone\\Card\\DCIM\\a.jpg", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Data(L"Card\\DCIM\\a.jpg"), "hello");
}

TEST_F(FileOps, AShortWriteIsAFailureAndNothingIsCommitted) {
    ASSERT_TRUE(WriteFileText(disk.File(L"c.txt"), std::string(1000, 'c')));
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IStream::Write"}, {"afterBytes", 10}, {"short", true}}));
    EXPECT_FALSE(KivoCopyFile(disk.File(L"c.txt").c_str(), L"Phone\\Card\\Empty\\c.txt", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_TRUE(kivosim::Calls("IStream::Commit").empty());
    EXPECT_TRUE(Id(L"Card\\Empty\\c.txt").empty());
}

TEST_F(FileOps, ReplacingADeviceTargetFollowsTheFlags) {
    ASSERT_TRUE(WriteFileText(disk.File(L"a.jpg"), "new"));
    EXPECT_FALSE(KivoCopyFile(disk.File(L"a.jpg").c_str(), L"Phone\\Card\\DCIM\\a.jpg", KIVO_COPY_FAIL_IF_EXISTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_TRUE(KivoCopyFile(disk.File(L"a.jpg").c_str(), L"Phone\\Card\\DCIM\\a.jpg", KIVO_COPY_NEWER_ONLY))
        << "the disk file is newer than 2024";
    EXPECT_EQ(Data(L"Card\\DCIM\\a.jpg"), "new");
    EXPECT_TRUE(KivoCopyFile(disk.File(L"a.jpg").c_str(), L"Phone\\Card\\DCIM\\A.JPG", 0));
    EXPECT_EQ(Object(L"Card\\DCIM\\A.JPG")["originalFileName"], "A.JPG") << "found ignoring case, replaced";
    EXPECT_TRUE(Id(L"Card\\DCIM\\a.jpg").empty());
    // A target the device keeps (S_FALSE) is not replaced beside itself.
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceContent::Delete"}, {"hr", "0x00000001"}, {"times", 1}}));
    EXPECT_FALSE(KivoCopyFile(disk.File(L"a.jpg").c_str(), L"Phone\\Card\\DCIM\\b.jpg", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(kivosim::Object(kPhone, Id(L"Card\\DCIM").c_str())["childIds"].size(), 3u);
}

// Every way a replace of a device object can fail before the old object is
// deleted: the old object stays as it was, nothing is staged beside it, and
// the call fails with the step's code.
TEST_F(FileOps, AReplaceThatFailsBeforeTheDeleteKeepsTheOldObject) {
    struct Case {
        const char *what;
        std::wstring source;
        json fault;
        DWORD code;
    };
    const std::wstring upload = disk.File(L"up.txt");
    const Case cases[] = {
        {"a device folder as the source", L"Phone\\Card\\Music", nullptr, ERROR_ACCESS_DENIED},
        {"a disk folder as the source", disk.Path(), nullptr, ERROR_ACCESS_DENIED},
        {"a source stream that will not open", L"Phone\\Card\\Music\\song.mp3",
         {{"method", "IPortableDeviceResources::GetStream"}, {"hr", "0x8007001F"}}, ERROR_READ_FAULT},
        {"a device source failing midway", L"Phone\\Card\\Music\\song.mp3",
         {{"method", "IStream::Read"}, {"afterBytes", 1}, {"hr", "0x8007001F"}}, ERROR_READ_FAULT},
        {"an upload failing midway", upload, {{"method", "IStream::Write"}, {"afterBytes", 3}, {"hr", "0x8007001F"}},
         ERROR_WRITE_FAULT},
        {"a refused commit", upload, {{"method", "IStream::Commit"}, {"hr", "0x8007001F"}}, ERROR_WRITE_FAULT},
        {"an old object the device keeps", upload, {{"method", "IPortableDeviceContent::Delete"}, {"hr", "0x00000001"}, {"times", 1}},
         ERROR_ACCESS_DENIED},
        {"an old object the device refuses to delete", L"Phone\\Card\\Music\\song.mp3",
         {{"method", "IPortableDeviceContent::Delete"}, {"hr", "0x80070005"}, {"times", 1}}, ERROR_ACCESS_DENIED},
    };
    for (const Case &c : cases) {
        KivoSimReset();
        Load(PhoneFixture());
        ASSERT_TRUE(WriteFileText(upload, "uploaded data"));
        std::wstring oldId = Id(L"Card\\DCIM\\b.jpg");
        if (!c.fault.is_null()) {
            ASSERT_TRUE(kivosim::AddFault(kPhone, c.fault)) << c.what;
        }
        SetLastError(0);
        EXPECT_FALSE(KivoCopyFile(c.source.c_str(), L"Phone\\Card\\DCIM\\b.jpg", 0)) << c.what;
        EXPECT_EQ(GetLastError(), c.code) << c.what;
        KivoSimClearFaults();
        EXPECT_EQ(Id(L"Card\\DCIM\\b.jpg"), oldId) << c.what;
        EXPECT_EQ(Data(L"Card\\DCIM\\b.jpg"), "world!") << c.what;
        EXPECT_EQ(ChildObjects(kPhone, L"Card\\DCIM").size(), 3u) << c.what << ": nothing staged beside it";
        EXPECT_EQ(KivoSimLiveObjects(), 0) << c.what;
    }
    // A move replaces through the same copy: a failed one keeps both sides.
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceResources::GetStream"}, {"hr", "0x8007001F"}}));
    EXPECT_FALSE(KivoMoveFile(L"Phone\\Card\\Music\\song.mp3", L"Phone\\Card\\DCIM\\b.jpg"));
    EXPECT_EQ(Data(L"Card\\DCIM\\b.jpg"), "world!");
    EXPECT_EQ(Data(L"Card\\Music\\song.mp3"), "la");
}

TEST_F(FileOps, AReplaceFailingAfterTheDeleteLeavesTheNewDataStaged) {
    ASSERT_TRUE(WriteFileText(disk.File(L"up.txt"), "uploaded data"));
    ASSERT_TRUE(kivosim::AddFault(
        kPhone, {{"method", "IPortableDevice::SendCommand"}, {"hr", "0x80070005"}, {"inResults", "both"}}));
    EXPECT_FALSE(KivoCopyFile(disk.File(L"up.txt").c_str(), L"Phone\\Card\\DCIM\\b.jpg", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::vector<json> staged = StagedObjects(kPhone, L"Card\\DCIM");
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_EQ(staged[0]["data"], "uploaded data") << "nothing lost";
    EXPECT_TRUE(Id(L"Card\\DCIM\\b.jpg").empty());
    // The listing never shows the staged object as a file of the folder.
    WIN32_FIND_DATAW found;
    std::vector<std::wstring> names;
    HANDLE list = KivoFindFirstFile(L"Phone\\Card\\DCIM\\*", &found);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    do names.push_back(found.cFileName);
    while (KivoFindNextFile(list, &found));
    KivoFindClose(list);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a.jpg", L"big.mp4"}));
}

// After a replace the object is exactly what a fresh upload of the same
// source makes, in every direction that writes to a device.
TEST_F(FileOps, AReplacedObjectIsExactlyAFreshCopy) {
    ASSERT_TRUE(WriteFileText(disk.File(L"photo.jpg"), "fresh picture"));
    struct Case {
        const char *what;
        std::wstring source;
    };
    const Case cases[] = {{"upload", disk.File(L"photo.jpg")}, {"device to device", L"Phone\\Card\\DCIM\\a.jpg"}};
    for (const Case &c : cases) {
        ASSERT_TRUE(KivoCopyFile(c.source.c_str(), L"Phone\\Card\\Empty\\photo.jpg", 0)) << c.what;
        json fresh = Object(L"Card\\Empty\\photo.jpg");
        // The device does not tell the new object's ID: it is found by its
        // staged name.
        ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceDataStream::GetObjectID"},
                                               {"hr", "0x8007001F"}, {"times", 1}}));
        ASSERT_TRUE(KivoCopyFile(c.source.c_str(), L"Phone\\Card\\Empty\\photo.jpg", 0)) << c.what;
        EXPECT_EQ(GetLastError(), 0u) << c.what;
        json replaced = Object(L"Card\\Empty\\photo.jpg");
        EXPECT_NE(replaced["id"], fresh["id"]) << c.what;
        for (const char *key : {"name", "originalFileName", "contentType", "format", "size", "sha256", "created",
                                "modified"})
            EXPECT_EQ(replaced[key], fresh[key]) << c.what << ": " << key;
        EXPECT_EQ(ChildObjects(kPhone, L"Card\\Empty").size(), 1u) << c.what;
        ASSERT_TRUE(KivoDeleteFile(L"Phone\\Card\\Empty\\photo.jpg"));
    }
}

// A device-to-device copy holds the source's data, read to its end, however
// far the object's record is from it.
TEST_F(FileOps, ADeviceCopyHoldsTheDataWhateverTheRecordSays) {
    struct Case {
        const char *name;
        json object;
    };
    const Case cases[] = {
        {"under.txt", {{"data", "hello world"}, {"reportedSize", 3}}},
        {"over.txt", {{"data", "abc"}, {"reportedSize", 100}}},
        {"huge.bin", {{"size", 67108865}, {"seed", 3}, {"reportedSize", 10}}},
    };
    std::wstring empty = Id(L"Card\\Empty");
    for (const Case &c : cases) {
        json object = c.object;
        object["kind"] = "file";
        object["name"] = c.name;
        object["originalFileName"] = c.name;
        ASSERT_TRUE(KivoSimAddObject(kPhone, empty.c_str(), object.dump().c_str(), nullptr, 0)) << c.name;
        std::wstring from = L"Phone\\Card\\Empty\\" + Widen(c.name), to = L"Phone\\Card\\Music\\" + Widen(c.name);
        EXPECT_TRUE(KivoCopyFile(from.c_str(), to.c_str(), 0)) << c.name;
        json source = Object((L"Card\\Empty\\" + Widen(c.name)).c_str());
        json copy = Object((L"Card\\Music\\" + Widen(c.name)).c_str());
        EXPECT_EQ(copy["sha256"], source["sha256"]) << c.name;
        EXPECT_EQ(copy["size"], source["size"]) << c.name;
    }
    EXPECT_EQ(KivoTemporaryFiles(), 0u);
}

TEST_F(FileOps, PathsThatAreNotDevicePathsOrDoNotFit) {
    ASSERT_TRUE(WriteFileText(disk.File(L"x.txt"), "x"));
    EXPECT_FALSE(KivoCopyFile(disk.File(L"x.txt").c_str(), L"Phone\\x.txt", 0)) << "the device root";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(KivoCopyFile(disk.File(L"x.txt").c_str(), L"Phone\\NoCard\\x.txt", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(KivoCopyFile(L"Phone\\Card\\DCIM\\none.jpg", disk.File(L"y").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::wstring longName = L"Phone\\Card\\DCIM\\" + std::wstring(240, L'n') + L".jpg";
    EXPECT_FALSE(KivoCopyFile(disk.File(L"x.txt").c_str(), longName.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_FALSE(KivoCopyFile(nullptr, L"a", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A path shaped like a device path never names a file of the current
// folder, even when its device is absent and such a file exists there.
TEST_F(FileOps, AnAbsentDevicesPathNeverReachesTheCurrentFolder) {
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(disk.Path().c_str()));
    ASSERT_TRUE(WriteFileText(disk.File(L"y.txt"), "y"));
    struct Case {
        const char *what;
        std::function<BOOL()> call;
    };
    const std::wstring moved = disk.File(L"moved.txt"), local = disk.File(L"y.txt");
    const Case cases[] = {
        {"move from", [&] { return KivoMoveFile(L"Gone\\Card\\x.txt", moved.c_str()); }},
        {"move onto", [&] { return KivoMoveFile(local.c_str(), L"Gone\\Card\\x.txt"); }},
        {"copy onto", [&] { return KivoCopyFile(local.c_str(), L"Gone\\Card\\x.txt", 0); }},
        {"delete", [&] { return KivoDeleteFile(L"Gone\\Card\\x.txt"); }},
        {"remove folder", [&] { return KivoRemoveFolder(L"Gone\\Card\\Sub"); }},
        {"delete folder", [&] { return KivoDeleteFolder(L"Gone\\Card"); }},
        {"create folder", [&] { return KivoCreateFolder(L"Gone\\Card\\New"); }},
    };
    for (const Case &c : cases) {
        CreateDirectoryW(L"Gone", nullptr);
        CreateDirectoryW(L"Gone\\Card", nullptr);
        CreateDirectoryW(L"Gone\\Card\\Sub", nullptr);
        ASSERT_TRUE(WriteFileText(L"Gone\\Card\\x.txt", "keep")) << c.what;
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
        EXPECT_EQ(ReadFileText(L"Gone\\Card\\x.txt"), "keep") << c.what;
        EXPECT_TRUE(PathIsDirectoryW(L"Gone\\Card\\Sub")) << c.what;
        EXPECT_FALSE(PathFileExistsW(L"Gone\\Card\\New")) << c.what;
        EXPECT_FALSE(PathFileExistsW(moved.c_str())) << c.what;
        EXPECT_EQ(ReadFileText(local), "y") << c.what;
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(FileOps, FoldersAreMadeLevelByLevel) {
    ASSERT_TRUE(KivoCreateFolder(L"Phone\\Card\\DCIM\\B\\C"));
    EXPECT_EQ(GetLastError(), 0u);
    std::wstring b = Id(L"Card\\DCIM\\B");
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(kivosim::Object(kPhone, Id(L"Card\\DCIM\\B\\C").c_str())["parentId"], Narrow(b));
    EXPECT_EQ(Object(L"Card\\DCIM\\B")["contentType"], "folder");
    KivoSimClearLog();
    EXPECT_TRUE(KivoCreateFolder(L"Phone\\Card\\DCIM\\B\\C")) << "an existing folder";
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceContent::CreateObjectWithPropertiesOnly"), 0u);
    auto listed = kivosim::Calls("IPortableDeviceContent::EnumObjects");
    EXPECT_EQ(std::count_if(listed.begin(), listed.end(), [](const json &call) { return call["objectId"] == "DEVICE"; }), 1)
        << "the storage the probe found is not looked up again";
    EXPECT_EQ(listed.size(), 4u) << "the device, Card, DCIM and B, each listed once";
    EXPECT_FALSE(KivoCreateFolder(L"Phone\\Nowhere\\A"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    std::wstring deep = disk.File(L"x\\y\\z");
    EXPECT_EQ(KivoCreateFolder(deep.c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(PathIsDirectoryW(deep.c_str()));
    ASSERT_TRUE(WriteFileText(disk.File(L"file"), "f"));
    EXPECT_FALSE(KivoCreateFolder(disk.File(L"file").c_str()));
}

TEST_F(FileOps, AFolderWithALongNewIdCannotBeWalkedBelow) {
    ASSERT_TRUE(kivosim::SetDevice(kPhone, {{"idPrefix", "a-very-long-object-id-"}}));
    EXPECT_FALSE(KivoCreateFolder(L"Phone\\Card\\Long\\Below"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(Id(L"Card\\Long\\Below").empty());
}

TEST_F(FileOps, DeletionOnADevice) {
    EXPECT_FALSE(KivoDeleteFile(L"Phone\\Card\\DCIM"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(KivoRemoveFolder(L"Phone\\Card\\DCIM\\a.jpg"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(KivoRemoveFolder(L"Phone\\Card\\DCIM")) << "not empty";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(KivoDeleteFile(L"Phone\\Card\\DCIM\\a.jpg"));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(Id(L"Card\\DCIM\\a.jpg").empty());
    EXPECT_FALSE(KivoDeleteFile(L"Phone\\Card\\DCIM\\a.jpg"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(KivoRemoveFolder(L"Phone\\Card\\Empty"));
    EXPECT_TRUE(KivoDeleteFolder(L"Phone\\Card\\DCIM"));
    EXPECT_TRUE(Id(L"Card\\DCIM").empty());
    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceContent::Delete"}, {"hr", "0x00000001"}}));
    EXPECT_FALSE(KivoDeleteFile(L"Phone\\Card\\Music\\song.mp3")) << "S_FALSE: not deleted";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Id(L"Card\\Music\\song.mp3").empty());
}

TEST_F(FileOps, ADiskTreeIsDeletedWholeDotNamesIncluded) {
    std::wstring root = disk.File(L"tree");
    ASSERT_TRUE(KivoCreateFolder((root + L"\\.git\\objects").c_str()));
    ASSERT_TRUE(WriteFileText(root + L"\\.nomedia", ""));
    ASSERT_TRUE(WriteFileText(root + L"\\.git\\objects\\x", "x"));
    ASSERT_TRUE(WriteFileText(root + L"\\photo.jpg", "p"));
    EXPECT_TRUE(KivoDeleteFolder(root.c_str()));
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileOps, RenameInPlaceKeepsTheObjectId) {
    std::wstring id = Id(L"Card\\DCIM\\a.jpg");
    ASSERT_TRUE(KivoMoveFile(L"Phone\\Card\\dcim\\a.jpg", L"Phone\\Card\\DCIM\\b2.jpg"));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(Id(L"Card\\DCIM\\b2.jpg"), id);
    // A rename sets the file name; a device that names objects by their
    // file names renames them too.
    EXPECT_EQ(Object(L"Card\\DCIM\\b2.jpg")["name"], SuiteProfile() == "android" ? "b2.jpg" : "a");
    EXPECT_FALSE(KivoMoveFile(L"Phone\\Card\\DCIM\\b2.jpg", L"Phone\\Card\\DCIM\\B2.JPG"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (const char *where : {"both", "common", "write"}) {
        ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDevice::SendCommand"}, {"hr", "0x80070005"},
                                               {"inResults", where}, {"times", 1}}));
        EXPECT_FALSE(KivoMoveFile(L"Phone\\Card\\DCIM\\b2.jpg", L"Phone\\Card\\DCIM\\c.jpg")) << where;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << where;
        EXPECT_EQ(Id(L"Card\\DCIM\\b2.jpg"), id) << where;
    }
}

TEST_F(FileOps, MovesAcrossFolders) {
    std::wstring card = Id(L"Card");
    ASSERT_TRUE(KivoSimAddObject(kPhone, card.c_str(),
                                 R"({"kind": "file", "name": "locked.txt", "data": "l", "canDelete": false})", nullptr, 0));
    KivoSimClearLog();
    EXPECT_FALSE(KivoMoveFile(L"Phone\\Card\\locked.txt", L"Phone\\Card\\Music\\locked.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(kivosim::Calls("IPortableDeviceContent::CreateObjectWithPropertiesAndData").empty());

    ASSERT_TRUE(KivoMoveFile(L"Phone\\Card\\DCIM\\b.jpg", L"Phone\\Card\\New\\b.jpg"));
    EXPECT_TRUE(Id(L"Card\\DCIM\\b.jpg").empty());
    EXPECT_EQ(Data(L"Card\\New\\b.jpg"), "world!");

    ASSERT_TRUE(kivosim::AddFault(kPhone, {{"method", "IPortableDeviceContent::Delete"}, {"hr", "0x80070005"}}));
    EXPECT_FALSE(KivoMoveFile(L"Phone\\Card\\DCIM\\a.jpg", disk.File(L"a.jpg").c_str()));
    EXPECT_EQ(ReadFileText(disk.File(L"a.jpg")), "hello") << "both copies stay";
    EXPECT_FALSE(Id(L"Card\\DCIM\\a.jpg").empty());
}

TEST_F(FileOps, SixtyFourMebibytesGoThroughTheTemporaryFileOneByteLessInMemory) {
    std::wstring empty = Id(L"Card\\Empty");
    ASSERT_TRUE(KivoSimAddObject(kPhone, empty.c_str(),
                                 R"({"kind": "file", "name": "below.bin", "size": 67108863, "seed": 1})", nullptr, 0));
    ASSERT_TRUE(KivoSimAddObject(kPhone, empty.c_str(),
                                 R"({"kind": "file", "name": "exact.bin", "size": 67108864, "seed": 2})", nullptr, 0));
    KivoSimClearLog();
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\Empty\\below.bin", L"Phone\\Card\\Music\\below.bin", 0));
    EXPECT_EQ(kivosim::Calls("IPortableDevice::Open").size(), 2u) << "one session a side, in memory";
    KivoSimClearLog();
    // Through the disk, with progress: the download and the upload are the
    // two streams of one total.
    struct Heard {
        ULONGLONG total = 0, done = 0;
        DWORD streams = 0, calls = 0;
    } heard;
    auto routine = [](LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER, DWORD stream, DWORD reason,
                      HANDLE, HANDLE, LPVOID data) -> DWORD {
        auto *h = static_cast<Heard *>(data);
        if (h->calls++ && static_cast<ULONGLONG>(total.QuadPart) != h->total) h->total = ~0ull;  // the total moved
        if (h->calls == 1) h->total = static_cast<ULONGLONG>(total.QuadPart);
        h->done = static_cast<ULONGLONG>(done.QuadPart);
        if (reason == CALLBACK_STREAM_SWITCH) h->streams = stream;
        return PROGRESS_CONTINUE;
    };
    ASSERT_TRUE(KivoCopyFileEx(L"Phone\\Card\\Empty\\exact.bin", L"Phone\\Card\\Music\\exact.bin", routine, &heard,
                               nullptr, 0));
    EXPECT_GT(kivosim::Calls("IPortableDevice::Open").size(), 2u) << "two nested copies through the disk";
    EXPECT_EQ(heard.total, 2 * 67108864ull);
    EXPECT_EQ(heard.done, 2 * 67108864ull);
    EXPECT_EQ(heard.streams, 2u);
    EXPECT_EQ(Object(L"Card\\Music\\below.bin")["sha256"], Object(L"Card\\Empty\\below.bin")["sha256"]);
    EXPECT_EQ(Object(L"Card\\Music\\exact.bin")["sha256"], Object(L"Card\\Empty\\exact.bin")["sha256"]);
    EXPECT_EQ(KivoTemporaryFiles(), 0u);
}

TEST_F(FileOps, AnObjectWhoseRecordSaysSizeZeroIsMeasured) {
    std::wstring empty = Id(L"Card\\Empty");
    ASSERT_TRUE(KivoSimAddObject(kPhone, empty.c_str(),
                                 R"({"kind": "file", "name": "nosize.txt", "data": "measured", "reportedSize": 0})",
                                 nullptr, 0));
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\Empty\\nosize.txt", L"Phone\\Card\\Music\\nosize.txt", 0));
    EXPECT_EQ(CreatedValue("WPD_OBJECT_SIZE"), 8);
    EXPECT_EQ(Data(L"Card\\Music\\nosize.txt"), "measured");
    ASSERT_TRUE(WriteFileText(disk.File(L"empty.txt"), ""));
    ASSERT_TRUE(KivoCopyFile(disk.File(L"empty.txt").c_str(), L"Phone\\Card\\Music\\empty.txt", 0));
    EXPECT_EQ(CreatedValue("WPD_OBJECT_SIZE"), 0);
    EXPECT_EQ(Object(L"Card\\Music\\empty.txt")["size"], 0);
}

namespace {

FILETIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME system{};
    system.wYear = year, system.wMonth = month, system.wDay = day;
    system.wHour = hour, system.wMinute = minute, system.wSecond = second;
    FILETIME time{};
    SystemTimeToFileTime(&system, &time);
    return time;
}

bool SetLastWriteTime(const std::wstring &path, const FILETIME &time) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    return ok != FALSE;
}

FILETIME LastWriteTime(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

// A UTC time as the device shows it: local wall-clock time.
std::string AsDeviceDate(const FILETIME &utc) {
    FILETIME local{};
    SYSTEMTIME system{};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &system);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", system.wYear, system.wMonth, system.wDay,
                  system.wHour, system.wMinute, system.wSecond);
    return text;
}

}  // namespace

TEST_F(FileOps, TimesSurviveARoundTrip) {
    std::wstring source = disk.File(L"dated.txt"), back = disk.File(L"back\\dated.txt");
    ASSERT_TRUE(WriteFileText(source, "dated"));
    FILETIME written = Utc(2023, 6, 1, 10, 20, 30);
    ASSERT_TRUE(SetLastWriteTime(source, written));
    ASSERT_TRUE(KivoCopyFile(source.c_str(), L"Phone\\Card\\Empty\\dated.txt", 0));
    EXPECT_EQ(Object(L"Card\\Empty\\dated.txt")["modified"], AsDeviceDate(written)) << "local time on the device";
    ASSERT_TRUE(KivoCopyFile(L"Phone\\Card\\Empty\\dated.txt", back.c_str(), 0));
    FILETIME returned = LastWriteTime(back);
    EXPECT_EQ(CompareFileTime(&written, &returned), 0) << AsDeviceDate(returned);
}

TEST_F(FileOps, DiskToDiskFollowsTheFlags) {
    std::wstring older = disk.File(L"older.txt"), newer = disk.File(L"newer.txt");
    ASSERT_TRUE(WriteFileText(older, "older"));
    ASSERT_TRUE(WriteFileText(newer, "newer"));
    ASSERT_TRUE(SetLastWriteTime(older, Utc(2020, 1, 1, 0, 0, 0)));
    ASSERT_TRUE(SetLastWriteTime(newer, Utc(2021, 1, 1, 0, 0, 0)));
    EXPECT_FALSE(KivoCopyFile(newer.c_str(), older.c_str(), KIVO_COPY_FAIL_IF_EXISTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_FALSE(KivoCopyFile(older.c_str(), newer.c_str(), KIVO_COPY_NEWER_ONLY));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(ReadFileText(newer), "newer");
    EXPECT_TRUE(KivoCopyFile(newer.c_str(), older.c_str(), KIVO_COPY_NEWER_ONLY));
    EXPECT_EQ(ReadFileText(older), "newer");
    EXPECT_TRUE(KivoCopyFile(newer.c_str(), disk.File(L"made\\here.txt").c_str(), KIVO_COPY_NEWER_ONLY))
        << "no target: copied, its folder made";
}

TEST_F(FileOps, NewerOnlyWithNoTargetCopiesInEveryDirection) {
    ASSERT_TRUE(WriteFileText(disk.File(L"up.txt"), "up"));
    EXPECT_TRUE(KivoCopyFile(disk.File(L"up.txt").c_str(), L"Phone\\Card\\Empty\\up.txt", KIVO_COPY_NEWER_ONLY));
    EXPECT_EQ(Data(L"Card\\Empty\\up.txt"), "up");
    EXPECT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", disk.File(L"down.jpg").c_str(), KIVO_COPY_NEWER_ONLY));
    EXPECT_EQ(ReadFileText(disk.File(L"down.jpg")), "hello");
    EXPECT_TRUE(KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", L"Phone\\Card\\Music\\a.jpg", KIVO_COPY_NEWER_ONLY));
    EXPECT_EQ(Data(L"Card\\Music\\a.jpg"), "hello");
}

TEST_F(FileOps, AReadOnlyFileStopsADiskTreeDelete) {
    std::wstring root = disk.File(L"tree");
    ASSERT_TRUE(KivoCreateFolder(root.c_str()));
    ASSERT_TRUE(WriteFileText(root + L"\\locked.txt", "l"));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(KivoDeleteFolder(root.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(GetFileAttributesW((root + L"\\locked.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    SetFileAttributesW((root + L"\\locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FileOps, AFileAnotherProgramHoldsOpenKeepsItsRealTimes) {
    std::wstring source = disk.File(L"held.txt");
    ASSERT_TRUE(WriteFileText(source, "held"));
    FILETIME written = Utc(2022, 3, 4, 5, 6, 7);
    ASSERT_TRUE(SetLastWriteTime(source, written));
    // Another program writes the file and lets others read it.
    HANDLE holder = CreateFileW(source.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(KivoCopyFile(source.c_str(), L"Phone\\Card\\Empty\\held.txt", 0));
    CloseHandle(holder);
    EXPECT_EQ(Object(L"Card\\Empty\\held.txt")["modified"], AsDeviceDate(written));
    EXPECT_EQ(Data(L"Card\\Empty\\held.txt"), "held");
}

// A storage's figures come from the device as GetDiskFreeSpaceExW gives a
// disk's, follow uploads and deletes, and refuse an upload that cannot fit
// before anything is created; a device that runs out of room mid-stream
// leaves no object and says so.
TEST_F(FileOps, StorageSpaceIsReportedAndUploadsThatCannotFitAreRefused) {
    json fixture = PhoneFixture();
    json &card = fixture["devices"][0]["objects"][0];
    card["capacity"] = 1000000;
    card["freeSpace"] = 5000;
    card["maxObjectSize"] = 3000;
    KivoSimReset();
    Load(fixture);
    ASSERT_TRUE(KivoSimAddObject(kPhone, L"DEVICE", R"({"kind": "storage", "name": "Spare", "capacity": 800})", nullptr, 0));
    ASSERT_TRUE(KivoSimAddObject(kPhone, L"DEVICE", R"({"kind": "storage", "name": "Odd", "freeSpace": 70})", nullptr, 0));
    auto space = [](const wchar_t *path, ULONGLONG *free, ULONGLONG *total, DWORD *code) {
        ULARGE_INTEGER toCaller{}, all{}, allFree{};
        BOOL ok = KivoGetDiskFreeSpaceEx(path, &toCaller, total ? &all : nullptr, &allFree);
        *code = GetLastError();
        if (ok && toCaller.QuadPart != allFree.QuadPart) ADD_FAILURE() << "the two free figures differ";
        if (free) *free = toCaller.QuadPart;
        if (total) *total = all.QuadPart;
        return ok != FALSE;
    };
    ULONGLONG free = 0, total = 0;
    DWORD code = 1;
    ASSERT_TRUE(space(L"Phone\\Card\\DCIM", &free, &total, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(free, 5000u);
    EXPECT_EQ(total, 1000000u);
    EXPECT_TRUE(KivoGetDiskFreeSpaceEx(L"Phone\\Card", nullptr, nullptr, nullptr)) << "every figure may go unasked";
    EXPECT_FALSE(space(L"Phone\\Spare", &free, nullptr, &code)) << "no free space reported: none made up";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(space(L"Phone\\Odd", &free, nullptr, &code));
    EXPECT_EQ(free, 70u);
    EXPECT_FALSE(space(L"Phone\\Odd", &free, &total, &code)) << "a total asked for that the storage does not report";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    for (const wchar_t *bad : {L"Phone\\*", L"Phone\\Nowhere\\x", L"relative\\x"}) {
        EXPECT_FALSE(space(bad, &free, &total, &code)) << Narrow(bad);
        EXPECT_NE(code, 0u) << Narrow(bad);
    }
    EXPECT_FALSE(KivoGetDiskFreeSpaceEx(nullptr, nullptr, nullptr, nullptr));
    ULARGE_INTEGER ours{}, theirs{};
    ASSERT_TRUE(KivoGetDiskFreeSpaceEx(disk.Path().c_str(), nullptr, &ours, nullptr));
    ASSERT_TRUE(GetDiskFreeSpaceExW(disk.Path().c_str(), nullptr, &theirs, nullptr));
    EXPECT_EQ(ours.QuadPart, theirs.QuadPart) << "a disk path is the file system's";

    struct Upload {
        const char *what;
        size_t bytes;
        const wchar_t *destination;
        json fault;
        DWORD code;  // 0: copied
        bool upFront;  // refused before anything is created
        ULONGLONG freeAfter;
    } uploads[] = {
        {"fits", 1000, L"Phone\\Card\\Empty\\one.txt", nullptr, 0, false, 4000},
        {"above the largest object", 3001, L"Phone\\Card\\Empty\\big.txt", nullptr, ERROR_FILE_TOO_LARGE, true, 4000},
        {"fits again", 2500, L"Phone\\Card\\Empty\\two.txt", nullptr, 0, false, 1500},
        {"above the free space", 1501, L"Phone\\Card\\Empty\\three.txt", nullptr, ERROR_DISK_FULL, true, 1500},
        {"a replace needs room for the new data", 2000, L"Phone\\Card\\Empty\\two.txt", nullptr, ERROR_DISK_FULL,
         true, 1500},
        {"full in the middle", 500, L"Phone\\Spare\\mid.txt",
         {{"method", "IStream::Write"}, {"afterBytes", 100}, {"hr", "0x80070070"}}, ERROR_DISK_FULL, false, 1500},
    };
    for (const Upload &u : uploads) {
        SCOPED_TRACE(u.what);
        std::wstring source = disk.File(L"up.txt");
        ASSERT_TRUE(WriteFileText(source, std::string(u.bytes, 'u')));
        if (!u.fault.is_null()) {
            ASSERT_TRUE(kivosim::AddFault(kPhone, u.fault));
        }
        KivoSimClearLog();
        std::string before = kivosim::Dump().dump();
        BOOL copied = KivoCopyFile(source.c_str(), u.destination, 0);
        EXPECT_EQ(GetLastError(), u.code);
        EXPECT_EQ(copied != FALSE, u.code == 0);
        EXPECT_EQ(kivosim::Calls("IPortableDeviceContent::CreateObjectWithPropertiesAndData").empty(), u.upFront);
        if (u.code) {
            EXPECT_EQ(kivosim::Dump().dump(), before) << "nothing partial is left";
        }
        ASSERT_TRUE(space(L"Phone\\Card", &free, nullptr, &code));
        EXPECT_EQ(free, u.freeAfter);
        KivoSimClearFaults();
    }
    ASSERT_TRUE(KivoDeleteFile(L"Phone\\Card\\Empty\\one.txt"));
    ASSERT_TRUE(space(L"Phone\\Card", &free, nullptr, &code));
    EXPECT_EQ(free, 2500u) << "a delete gives its room back";
    ExpectNoLiveObjects();
}

namespace {

// What a progress routine was told, and when it answers otherwise than
// PROGRESS_CONTINUE (or sets the cancel flag instead).
struct ProgressLog {
    struct Call {
        ULONGLONG total, done, streamSize, streamDone;
        DWORD stream, reason;
    };
    std::vector<Call> calls;
    size_t answerAt = SIZE_MAX;  // the index of the call that answers
    DWORD answer = PROGRESS_CONTINUE;
    bool viaFlag = false;
    BOOL cancel = FALSE;

    static DWORD CALLBACK Routine(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER streamSize,
                                  LARGE_INTEGER streamDone, DWORD stream, DWORD reason, HANDLE, HANDLE, LPVOID data) {
        auto *log = static_cast<ProgressLog *>(data);
        log->calls.push_back({static_cast<ULONGLONG>(total.QuadPart), static_cast<ULONGLONG>(done.QuadPart),
                              static_cast<ULONGLONG>(streamSize.QuadPart), static_cast<ULONGLONG>(streamDone.QuadPart),
                              stream, reason});
        if (log->calls.size() - 1 != log->answerAt) return PROGRESS_CONTINUE;
        if (!log->viaFlag) return log->answer;
        log->cancel = TRUE;
        return PROGRESS_CONTINUE;
    }
};

}  // namespace

// KivoCopyFileEx reports every stream and chunk as CopyFileExW does, with
// exact totals, in every direction; a stop at the first, a middle or the
// last chunk, by the routine's answer or the cancel flag, fails with
// ERROR_REQUEST_ABORTED and leaves the old target and no partial copy.
TEST_F(FileOps, CopiesReportProgressAndAStopAtAnyChunkLeavesNothingPartial) {
    const size_t kBytes = 100000;  // seven chunks of 16 KiB
    auto freshPhone = [&] {
        KivoSimReset();
        Load(PhoneFixture());
        ASSERT_TRUE(KivoSimSetDevice(kPhone, R"({"transferSize": 16384})"));
        ASSERT_TRUE(KivoSimAddObject(
            kPhone, Id(L"Card\\Music").c_str(),
            R"({"kind": "file", "name": "long.mp3", "originalFileName": "long.mp3", "size": 100000, "seed": 3})", nullptr, 0));
    };
    freshPhone();
    std::wstring upSource = disk.File(L"long.txt");
    ASSERT_TRUE(WriteFileText(upSource, std::string(kBytes, 'p')));
    struct Direction {
        const char *what;
        std::wstring source, destination;
        ULONGLONG total;
        DWORD streams;
    } directions[] = {
        {"upload, replacing", upSource, L"Phone\\Card\\DCIM\\b.jpg", kBytes, 1},
        {"download, replacing", L"Phone\\Card\\Music\\long.mp3", disk.File(L"old.mp3"), kBytes, 1},
        {"device to device, replacing", L"Phone\\Card\\Music\\long.mp3", L"Phone\\Card\\DCIM\\b.jpg", 2 * kBytes, 2},
        // Disk to disk is CopyFileExW's own progress, which Wine does not report.
    };
    for (const Direction &d : directions) {
        SCOPED_TRACE(d.what);
        ASSERT_TRUE(WriteFileText(disk.File(L"old.mp3"), "old file"));
        ASSERT_TRUE(WriteFileText(disk.File(L"copy.txt"), "old copy"));
        ProgressLog whole;
        ASSERT_TRUE(KivoCopyFileEx(d.source.c_str(), d.destination.c_str(), ProgressLog::Routine, &whole, nullptr, 0));
        EXPECT_EQ(GetLastError(), 0u);
        ASSERT_GE(whole.calls.size(), 3u);
        EXPECT_EQ(whole.calls.front().reason, static_cast<DWORD>(CALLBACK_STREAM_SWITCH));
        EXPECT_EQ(whole.calls.front().done, 0u);
        EXPECT_EQ(whole.calls.back().done, d.total);
        EXPECT_EQ(whole.calls.back().stream, d.streams);
        ULONGLONG before = 0;
        size_t switches = 0;
        for (const auto &call : whole.calls) {
            EXPECT_EQ(call.total, d.total);
            EXPECT_GE(call.done, before) << "bytes never go back";
            EXPECT_LE(call.done - before, 1u << 20) << "a call at least every MiB";
            EXPECT_EQ(call.streamSize, kBytes);
            before = call.done;
            switches += call.reason == CALLBACK_STREAM_SWITCH;
        }
        EXPECT_EQ(switches, d.streams);

        // Undo the copy: the stops below must find the old target again.
        freshPhone();
        const size_t chunks = whole.calls.size();
        struct Stop {
            const char *what;
            size_t at;
            DWORD answer;
            bool viaFlag;
        } stops[] = {
            {"cancel at the stream's start", 0, PROGRESS_CANCEL, false},
            {"cancel at the first chunk", 1, PROGRESS_CANCEL, false},
            {"stop at a middle chunk", chunks / 2, PROGRESS_STOP, false},
            {"cancel flag at the last chunk", chunks - 2, PROGRESS_CONTINUE, true},
        };
        for (const Stop &stop : stops) {
            SCOPED_TRACE(stop.what);
            ASSERT_TRUE(WriteFileText(disk.File(L"old.mp3"), "old file"));
            ASSERT_TRUE(WriteFileText(disk.File(L"copy.txt"), "old copy"));
            std::string device = kivosim::Dump().dump();
            size_t files = FilesIn(disk.Path());
            ProgressLog log;
            log.answerAt = stop.at;
            log.answer = stop.answer;
            log.viaFlag = stop.viaFlag;
            EXPECT_FALSE(KivoCopyFileEx(d.source.c_str(), d.destination.c_str(), ProgressLog::Routine, &log,
                                        &log.cancel, 0));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
            EXPECT_EQ(kivosim::Dump().dump(), device) << "the device as it was";
            EXPECT_EQ(FilesIn(disk.Path()), files) << "no partial file";
            EXPECT_EQ(ReadFileText(disk.File(L"old.mp3")), "old file");
            EXPECT_EQ(ReadFileText(disk.File(L"copy.txt")), "old copy");
            EXPECT_LE(log.calls.size(), stop.at + 2) << "no chunk after the stop";
        }
        ProgressLog quiet;
        quiet.answerAt = 0;
        quiet.answer = PROGRESS_QUIET;
        EXPECT_TRUE(KivoCopyFileEx(d.source.c_str(), d.destination.c_str(), ProgressLog::Routine, &quiet, nullptr, 0));
        EXPECT_EQ(quiet.calls.size(), 1u) << "quiet: no call after the answer";
        freshPhone();
    }
    // A slow device: chunks that take longer than a quarter of a second are
    // made smaller, so that the host hears of the copy often enough.
    ASSERT_TRUE(KivoSimSetDevice(kPhone, R"({"transferSize": 262144, "bandwidth": 400000})"));
    ASSERT_TRUE(KivoSimAddObject(kPhone, Id(L"Card\\Music").c_str(),
                                 R"({"kind": "file", "name": "slow.mp3", "originalFileName": "slow.mp3", "size": 800000})",
                                 nullptr, 0));
    ProgressLog slow;
    ASSERT_TRUE(KivoCopyFileEx(L"Phone\\Card\\Music\\slow.mp3", disk.File(L"slow.mp3").c_str(), ProgressLog::Routine,
                               &slow, nullptr, 0));
    ASSERT_GE(slow.calls.size(), 5u);
    EXPECT_EQ(slow.calls[1].done, 262144u) << "the first chunk is the device's";
    for (size_t i = slow.calls.size() - 3; i < slow.calls.size(); ++i)
        EXPECT_LE(slow.calls[i].done - slow.calls[i - 1].done, 65536u) << "a chunk of about 0.16 s";
    ExpectNoLiveObjects();
}

// Folder listings, device listings and status queries, as a host calls them
// through kivo.dll.
#include "support/test_support.h"

#include <cstring>
#include <set>
#include <vector>

#include "include/kivo.h"

using namespace kivotest;

namespace {

json Folder(const std::string &name, json children = json::array()) {
    return {{"kind", "folder"}, {"name", name}, {"children", std::move(children)}};
}
json File(const std::string &name) { return {{"kind", "file"}, {"name", name}, {"data", name}}; }

class Enumeration : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        json fixture = PhoneFixture();
        json &card = fixture["devices"][0]["objects"][0]["children"];
        card.push_back(Folder("Dots", {File("README"), File("a.txt"), File("b."), File("c.d.e")}));
        card.push_back(Folder("Flags", {{{"kind", "file"}, {"name", "h"}, {"hidden", true}},
                                        {{"kind", "file"}, {"name", "s"}, {"system", true}},
                                        {{"kind", "file"}, {"name", "plain"}}}));
        fixture["devices"][0]["objects"].push_back({{"kind", "storage"}, {"name", "Internal"}});
        Load(fixture);
    }

    // All names a listing returns, with the code after the first call and
    // after the last Next.
    std::vector<std::wstring> List(const std::wstring &path, DWORD *firstCode = nullptr) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW record{};
        SetLastError(12345);
        HANDLE handle = KivoFindFirstFile(path.c_str(), &record);
        if (firstCode) *firstCode = GetLastError();
        if (handle == INVALID_HANDLE_VALUE) return names;
        do names.push_back(record.cFileName);
        while (KivoFindNextFile(handle, &record));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        KivoFindClose(handle);
        return names;
    }
    std::wstring Id(const wchar_t *path) { return kivosim::FindObject(L"usb#phone-1", path); }
};

using Names = std::vector<std::wstring>;

}  // namespace

// Runs first in this process: the first handles of both families are 1.
TEST_F(Enumeration, FirstHandlesOfEachFamilyAreOne) {
    WIN32_FIND_DATAW record{};
    HANDLE files = KivoFindFirstFile(L"Phone\\Card\\*", &record);
    EXPECT_EQ(files, reinterpret_cast<HANDLE>(1));
    HANDLE devices = KivoFindDeviceFirst();
    EXPECT_EQ(devices, reinterpret_cast<HANDLE>(1));
    KivoFindClose(files);
    KivoFindDeviceClose(devices);
}

TEST_F(Enumeration, PatternsFilterTheFolder) {
    EXPECT_EQ(List(L"Phone\\Card\\Dots\\*"), (Names{L"README", L"a.txt", L"b.", L"c.d.e"}));
    EXPECT_EQ(List(L"Phone\\Card\\Dots\\*.*"), (Names{L"README", L"a.txt", L"b.", L"c.d.e"}));
    EXPECT_EQ(List(L"Phone\\Card\\Dots\\*."), (Names{L"README", L"b."}));
    EXPECT_EQ(List(L"Phone\\Card\\Dots\\*.TXT"), (Names{L"a.txt"}));
    EXPECT_EQ(List(L"Phone\\*"), (Names{L"Card", L"Internal"})) << "the device's storages";
}

TEST_F(Enumeration, APathWithoutWildcardListsThatEntryOfItsParent) {
    WIN32_FIND_DATAW record{};
    HANDLE handle = KivoFindFirstFile(L"Phone\\Card\\dcim", &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(record.cFileName, L"DCIM");
    EXPECT_EQ(std::wstring(record.cAlternateFileName), Id(L"Card\\DCIM"));
    EXPECT_EQ(record.dwFileAttributes, 0x10u);
    EXPECT_FALSE(KivoFindNextFile(handle, &record));
    EXPECT_EQ(KivoFindClose(handle), 0) << "0, not 1, for a device listing";
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(Enumeration, EmptyAndUnmatchedListingsAreNotErrors) {
    DWORD code = 0;
    EXPECT_TRUE(List(L"Phone\\Card\\DCIM\\", &code).empty());
    EXPECT_EQ(code, 0u) << "an empty pattern matches nothing";
    EXPECT_TRUE(List(L"Phone\\Card\\Empty\\*", &code).empty());
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(List(L"Phone\\Card\\DCIM\\*.png", &code).empty());
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(List(L"Phone\\Card\\Nope\\*", &code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(List(L"Phone\\Card\\DCIM\\a.jpg\\*", &code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "a file is no folder";
}

TEST_F(Enumeration, NextAfterTheLastKeepsFailing) {
    WIN32_FIND_DATAW record{};
    HANDLE handle = KivoFindFirstFile(L"Phone\\Card\\DCIM\\*", &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(record.cFileName, L"a.jpg");
    EXPECT_EQ(KivoFindNextFile(handle, &record), TRUE);
    EXPECT_EQ(KivoFindNextFile(handle, &record), TRUE);
    EXPECT_STREQ(record.cFileName, L"big.mp4");
    EXPECT_EQ(record.nFileSizeLow, 70000000u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(KivoFindNextFile(handle, &record));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    }
    EXPECT_EQ(KivoFindNextFile(handle, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    KivoFindClose(handle);
    EXPECT_FALSE(KivoFindNextFile(INVALID_HANDLE_VALUE, &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(KivoFindClose(INVALID_HANDLE_VALUE), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Enumeration, HiddenAndSystemObjectsAreListedWithTheirAttributes) {
    WIN32_FIND_DATAW record{};
    HANDLE handle = KivoFindFirstFile(L"Phone\\Card\\Flags\\*", &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(record.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(KivoFindNextFile(handle, &record));
    EXPECT_EQ(record.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(KivoFindNextFile(handle, &record));
    EXPECT_EQ(record.dwFileAttributes, 0u);
    KivoFindClose(handle);
}

TEST_F(Enumeration, UnreadableChildrenAndFailingBatchesShortenTheListing) {
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDeviceProperties::GetValues"},
                                                    {"objectId", Narrow(Id(L"Card\\Dots\\a.txt"))}}));
    EXPECT_EQ(List(L"Phone\\Card\\Dots\\*"), (Names{L"README", L"b.", L"c.d.e"}));
    KivoSimClearFaults();

    json many = Folder("Many");
    for (int i = 0; i < 25; ++i) many["children"].push_back(File("f" + std::to_string(i)));
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", L"s10001", many.dump().c_str(), nullptr, 0));
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IEnumPortableDeviceObjectIDs::Next"},
                                                    {"objectId", Narrow(Id(L"Card\\Many"))},
                                                    {"skip", 1}}));
    EXPECT_EQ(List(L"Phone\\Card\\Many\\*").size(), 10u) << "what the first batch gathered";
    KivoSimClearFaults();
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1",
                                  {{"method", "IPortableDeviceContent::EnumObjects"}, {"objectId", Narrow(Id(L"Card\\Many"))}, {"hr", "0x00000001"}}));
    DWORD code = 1;
    EXPECT_TRUE(List(L"Phone\\Card\\Many\\*", &code).empty()) << "S_FALSE from EnumObjects: nothing is read";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_READ_FAULT)) << "a folder that was not read is not called empty";
    KivoSimClearFaults();
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IEnumPortableDeviceObjectIDs::Next"},
                                                    {"objectId", Narrow(Id(L"Card\\Many"))}}));
    EXPECT_TRUE(List(L"Phone\\Card\\Many\\*", &code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_READ_FAULT));
    KivoSimClearFaults();
    EXPECT_TRUE(List(L"Phone\\Card\\Many\\nothing-matches", &code).empty());
    EXPECT_EQ(code, 0u) << "a folder read whole that has no match is no error";
}

TEST_F(Enumeration, AListingWhoseKeysCannotBeMadeFindsNothing) {
    // The listing's key collection is the last one a listing call makes.
    KivoSimClearLog();
    ASSERT_EQ(List(L"Phone\\Card\\DCIM\\*").size(), 3u);
    uint64_t made = KivoSimCallCount("PortableDeviceKeyCollection::CreateInstance");
    ASSERT_GT(made, 1u);
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceKeyCollection::CreateInstance"},
                                            {"hr", "0x8007000E"},
                                            {"skip", made - 1},
                                            {"times", 1}}));
    DWORD code = 1;
    EXPECT_TRUE(List(L"Phone\\Card\\DCIM\\*", &code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_READ_FAULT));
}

TEST_F(Enumeration, NonDevicePathsGoToTheFileSystem) {
    WIN32_FIND_DATAW ours{}, theirs{};
    HANDLE handle = KivoFindFirstFile(L"Phone\\S*", &ours);
    DWORD ourCode = GetLastError();
    HANDLE direct = FindFirstFileW(L"Phone\\S*", &theirs);
    EXPECT_EQ(handle, direct);
    EXPECT_EQ(ourCode, GetLastError());
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << "no storage S*, and no such folder on disk";

    KivoSimSetDevice(L"usb#phone-1", R"({"connected": false})");
    KivoFindFirstFile(L"Phone\\Card\\*", &ours);
    ourCode = GetLastError();
    FindFirstFileW(L"Phone\\Card\\*", &theirs);
    EXPECT_EQ(ourCode, GetLastError()) << "a disconnected device's pattern goes to the file system";
    EXPECT_EQ(KivoFindFirstFile(L"Phone\\Card\\DCIM", &ours), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "without a wildcard it is refused";
    EXPECT_EQ(KivoFindFirstFile(L"", &ours), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(KivoFindFirstFile(nullptr, &ours), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(KivoFindFirstFile(L"Phone\\Card\\*", nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Enumeration, OverlongPathsAreRefusedWithoutWritingPastTheBuffers) {
    WIN32_FIND_DATAW record;
    std::memset(&record, 0x55, sizeof record);
    WIN32_FIND_DATAW before = record;
    std::wstring pattern = std::wstring(200, L'p') + L"." + std::wstring(99, L'e');
    EXPECT_EQ(KivoFindFirstFile((L"Phone\\Card\\DCIM\\" + pattern).c_str(), &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(KivoFindFirstFile((L"Phone\\Card\\" + std::wstring(260, L'x') + L"\\*").c_str(), &record),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << "a folder part over 259 characters";
    EXPECT_EQ(KivoFindFirstFile((L"Phone\\Card\\" + std::wstring(256, L'b') + L".e").c_str(), &record),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << "a base name over 255 characters";
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
}

TEST_F(Enumeration, DiskListingsAreExactlyTheFileSystems) {
    TempFolder folder;
    ASSERT_TRUE(WriteFileText(folder.File(L"one.txt"), "1"));
    ASSERT_TRUE(WriteFileText(folder.File(L"two.jpg"), "22"));
    CreateDirectoryW(folder.File(L"sub").c_str(), nullptr);
    for (const std::wstring &path : {folder.File(L"*"), folder.File(L"*.txt"), folder.File(L"none*"),
                                     folder.File(L"missing\\*"), folder.Path()}) {
        WIN32_FIND_DATAW ours, theirs;
        std::memset(&ours, 0, sizeof ours);
        std::memset(&theirs, 0, sizeof theirs);
        HANDLE a = KivoFindFirstFile(path.c_str(), &ours);
        DWORD codeA = GetLastError();
        HANDLE b = FindFirstFileW(path.c_str(), &theirs);
        DWORD codeB = GetLastError();
        ASSERT_EQ(a == INVALID_HANDLE_VALUE, b == INVALID_HANDLE_VALUE) << Narrow(path);
        EXPECT_EQ(codeA, codeB) << Narrow(path);
        if (a == INVALID_HANDLE_VALUE) continue;
        for (;;) {
            EXPECT_EQ(std::memcmp(&ours, &theirs, sizeof ours), 0) << Narrow(ours.cFileName);
            BOOL nextA = KivoFindNextFile(a, &ours);
            codeA = GetLastError();
            BOOL nextB = FindNextFileW(b, &theirs);
            codeB = GetLastError();
            ASSERT_EQ(nextA, nextB);
            EXPECT_EQ(codeA, codeB);
            if (!nextA) break;
        }
        EXPECT_EQ(KivoFindClose(a), TRUE) << "a file-system handle closes with FindClose's result";
        FindClose(b);
    }
}

TEST_F(Enumeration, ALargeFolderIsListedWhole) {
    json big = Folder("Big");
    for (int i = 0; i < 10000; ++i) big["children"].push_back({{"kind", "file"}, {"name", "IMG_" + std::to_string(i) + ".JPG"}});
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", L"s10001", big.dump().c_str(), nullptr, 0));
    KivoSimSetLogging(0);
    auto names = List(L"Phone\\Card\\Big\\*.jpg");
    KivoSimSetLogging(1);
    ASSERT_EQ(names.size(), 10000u);
    EXPECT_EQ(names.front(), L"IMG_0.JPG");
    EXPECT_EQ(names.back(), L"IMG_9999.JPG");
}

// Bulk property reads give byte for byte the records a listing object by
// object gives, however the device delivers them, and a bulk read that
// fails in any part leaves the objects it did not describe to be read one
// by one.
TEST_F(Enumeration, ListingsInBulkGiveTheRecordsOfListingsObjectByObject) {
    json odd = Folder("Odd", {{{"kind", "file"}, {"name", "n"}, {"originalFileName", "named.jpg"}, {"data", "x"},
                               {"created", "2024-04-30T08:00:00"}, {"modified", "2024-05-01T12:00:00"},
                               {"contentType", "image"}, {"format", "exif"}},
                              {{"kind", "file"}, {"name", "nosize"}, {"reportedSize", nullptr}},
                              {{"kind", "file"}, {"name", "big"}, {"size", 5000000000ull}, {"seed", 1}},
                              {{"kind", "file"}, {"name", "locked"}, {"canDelete", false}, {"hidden", true}},
                              Folder("sub", {File("inner")})});
    for (int i = 0; i < 40; ++i) odd["children"].push_back(File("f" + std::to_string(i)));
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", L"s10001", odd.dump().c_str(), nullptr, 0));
    const size_t kChildren = 45;
    auto records = [](const wchar_t *path) {
        std::vector<WIN32_FIND_DATAW> listed;
        WIN32_FIND_DATAW record;
        std::memset(&record, 0, sizeof record);
        HANDLE handle = KivoFindFirstFile(path, &record);
        if (handle == INVALID_HANDLE_VALUE) return listed;
        do {
            listed.push_back(record);
            std::memset(&record, 0, sizeof record);
        } while (KivoFindNextFile(handle, &record));
        KivoFindClose(handle);
        return listed;
    };
    auto same = [](const std::vector<WIN32_FIND_DATAW> &a, const std::vector<WIN32_FIND_DATAW> &b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(WIN32_FIND_DATAW)) == 0;
    };
    const wchar_t *kPath = L"Phone\\Card\\Odd\\*";
    ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", R"({"bulkProperties": false})"));
    const std::vector<WIN32_FIND_DATAW> reference = records(kPath);
    ASSERT_EQ(reference.size(), kChildren);
    const std::wstring lockedId = Id(L"Card\\Odd\\locked");
    std::set<std::string> childIds;
    for (auto &child : ChildObjects(L"usb#phone-1", L"Card\\Odd")) childIds.insert(child["id"].get<std::string>());
    ASSERT_EQ(childIds.size(), kChildren);
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDeviceProperties::GetValues"},
                                                    {"objectId", Narrow(lockedId)}}));
    const std::vector<WIN32_FIND_DATAW> referenceWithoutLocked = records(kPath);
    ASSERT_EQ(referenceWithoutLocked.size(), kChildren - 1);
    KivoSimClearFaults();

    struct Case {
        const char *what;
        const char *device;
        json fault;
        bool withoutLocked;
        // The objects read one by one: exactly, or (-1) some but not all.
        int readAlone;
    } cases[] = {
        {"in bulk", R"({"bulkProperties": true, "bulkChunk": 100, "bulkSplitValues": false})", nullptr, false, 0},
        {"one object per callback", R"({"bulkChunk": 1})", nullptr, false, 0},
        {"values split over two callbacks", R"({"bulkChunk": 7, "bulkSplitValues": true})", nullptr, false, 0},
        {"Start refused", R"({"bulkChunk": 100, "bulkSplitValues": false})",
         {{"method", "IPortableDevicePropertiesBulk::Start"}, {"hr", "0x80004005"}}, false, int(kChildren)},
        {"queue refused", "{}", {{"method", "IPortableDevicePropertiesBulk::QueueGetValuesByObjectList"}, {"hr", "0x80004005"}},
         false, int(kChildren)},
        {"no ID collection", "{}", {{"method", "PortableDevicePropVariantCollection::CreateInstance"}, {"hr", "0x8007000E"}},
         false, int(kChildren)},
        {"the bulk read fails midway", R"({"bulkChunk": 4})",
         {{"method", "IPortableDevicePropertiesBulk::Results"}, {"hr", "0x8007001F"}, {"skip", 4}, {"times", 1}}, false, -1},
        {"an object the device will not describe", R"({"bulkChunk": 100})",
         {{"method", "IPortableDeviceProperties::GetValues"}, {"objectId", Narrow(lockedId)}}, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", c.device));
        // Class creation is on no device: its rule is given to all.
        bool creation = !c.fault.is_null() && c.fault["method"].get<std::string>().find("CreateInstance") != std::string::npos;
        if (!c.fault.is_null()) {
            ASSERT_TRUE(kivosim::AddFault(creation ? nullptr : L"usb#phone-1", c.fault));
        }
        KivoSimClearLog();
        std::vector<WIN32_FIND_DATAW> listed = records(kPath);
        EXPECT_TRUE(same(listed, c.withoutLocked ? referenceWithoutLocked : reference));
        uint64_t alone = 0;
        for (auto &read : kivosim::Calls("IPortableDeviceProperties::GetValues"))
            alone += childIds.count(read.value("objectId", std::string()));
        if (c.readAlone >= 0) {
            EXPECT_EQ(alone, static_cast<uint64_t>(c.readAlone));
        } else {
            EXPECT_TRUE(alone > 0 && alone < kChildren) << alone;
        }
        if (c.readAlone == int(kChildren)) {
            // A bulk read that cannot be started is not tried again for the
            // next, larger window of the same folder: the folder is read in
            // batches of ten.
            for (auto &queue : kivosim::Calls("IPortableDevicePropertiesBulk::QueueGetValuesByObjectList"))
                EXPECT_LE(queue.value("count", 0u), 10u);
        } else {
            EXPECT_GE(KivoSimCallCount("IPortableDevicePropertiesBulk::QueueGetValuesByObjectList"), 1u);
        }
        KivoSimClearFaults();
        ExpectNoLiveObjects();
    }
}

// ---- devices ------------------------------------------------------------------

class Devices : public SimTest {
protected:
    Names ListDevices(DWORD *firstCode = nullptr) {
        Names names;
        HANDLE handle = KivoFindDeviceFirst();
        if (firstCode) *firstCode = GetLastError();
        if (handle == INVALID_HANDLE_VALUE) return names;
        wchar_t name[MAX_PATH];
        while (KivoFindDeviceNext(handle, name, MAX_PATH)) names.push_back(name);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(KivoFindDeviceClose(handle), 0);
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(KivoFindDeviceClose(handle), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        return names;
    }
};

TEST_F(Devices, NoDeviceIsNotReady) {
    DWORD code = 0;
    EXPECT_TRUE(ListDevices(&code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_READY));
    Load(PhoneFixture());
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceManager::CreateInstance"}, {"times", 1}}));
    EXPECT_TRUE(ListDevices(&code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_READY));
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "IPortableDeviceManager::GetDevices"}, {"times", 1}}));
    EXPECT_TRUE(ListDevices(&code).empty());
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(Devices, TheListedNameRule) {
    Load({{"devices",
           {DeviceJson("usb#1", "Phone", "Phone", json::array()), DeviceJson("usb#2", "Renamed", "Model X", json::array()),
            DeviceJson("usb#3", nullptr, "Camera", json::array()), DeviceJson("usb#4", "NoDescription", nullptr, json::array()),
            DeviceJson("usb#5", "Phone", "Phone", json::array())}}});
    DWORD code = 1;
    EXPECT_EQ(ListDevices(&code), (Names{L"Phone", L"Camera", L"Phone"}));
    EXPECT_EQ(code, 0u);
}

TEST_F(Devices, OnlyARenamedDeviceListsNothingWithoutError) {
    Load({{"devices", {DeviceJson("usb#2", "Renamed", "Model X", json::array())}}});
    DWORD code = 1;
    EXPECT_TRUE(ListDevices(&code).empty());
    EXPECT_EQ(code, 0u);
}

TEST_F(Devices, ASmallBufferIsNeverOverrunAndDoesNotAdvance) {
    Load(PhoneFixture());
    HANDLE handle = KivoFindDeviceFirst();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(KivoFindDeviceNext(handle, buffer, 5), 0) << "Phone needs 6 characters";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[1], L'#');
    EXPECT_EQ(KivoFindDeviceNext(handle, buffer, 0), 0);
    EXPECT_EQ(KivoFindDeviceNext(handle, nullptr, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(KivoFindDeviceNext(handle, buffer, 6), 1);
    EXPECT_STREQ(buffer, L"Phone");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(KivoFindDeviceNext(handle, buffer, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    KivoFindDeviceClose(handle);
    EXPECT_EQ(KivoFindDeviceNext(handle, buffer, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(KivoFindDeviceNext(INVALID_HANDLE_VALUE, buffer, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Devices, AFileListingHandleIsUnknownToTheDeviceFamily) {
    Load(PhoneFixture());
    WIN32_FIND_DATAW record{};
    HANDLE files = KivoFindFirstFile(L"Phone\\Card\\*", &record);
    ASSERT_NE(files, INVALID_HANDLE_VALUE);
    wchar_t buffer[MAX_PATH];
    EXPECT_EQ(KivoFindDeviceNext(files, buffer, MAX_PATH), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    KivoFindClose(files);
}

// ---- status ---------------------------------------------------------------------

class Status : public Enumeration {};

TEST_F(Status, DeviceObjects) {
    WIN32_FIND_DATAW record{};
    ASSERT_TRUE(KivoGetStatus(L"Phone\\Card", &record));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(record.dwFileAttributes, 0x10u);
    EXPECT_STREQ(record.cAlternateFileName, L"s10001");
    ASSERT_TRUE(KivoGetStatus(L"Phone\\Card\\DCIM", &record));
    EXPECT_EQ(std::wstring(record.cAlternateFileName), Id(L"Card\\DCIM"));
    EXPECT_TRUE(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(KivoGetStatus(L"Phone\\Card\\DCIM\\a.jpg", &record));
    EXPECT_EQ(record.nFileSizeLow, 5u);
    EXPECT_STREQ(record.cFileName, L"a.jpg");
}

TEST_F(Status, DiskFiles) {
    TempFolder folder;
    ASSERT_TRUE(WriteFileText(folder.File(L"f.txt"), "abc"));
    WIN32_FIND_DATAW record;
    std::memset(&record, 0x33, sizeof record);
    ASSERT_TRUE(KivoGetStatus(folder.File(L"f.txt").c_str(), &record));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_STREQ(record.cFileName, L"");
    EXPECT_STREQ(record.cAlternateFileName, L"");
    EXPECT_EQ(record.nFileSizeLow, 3u);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(folder.File(L"f.txt").c_str(), GetFileExInfoStandard, &data);
    EXPECT_EQ(record.dwFileAttributes, data.dwFileAttributes);
    EXPECT_EQ(std::memcmp(&record.ftLastWriteTime, &data.ftLastWriteTime, sizeof(FILETIME)), 0);

    std::memset(&record, 0x33, sizeof record);
    EXPECT_FALSE(KivoGetStatus(folder.File(L"missing.txt").c_str(), &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    WIN32_FIND_DATAW zero{};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof record), 0) << "the record is all zero";
}

TEST_F(Status, PathsThatAreNotDevicePathsOrDoNotResolve) {
    WIN32_FIND_DATAW record;
    std::memset(&record, 0x44, sizeof record);
    WIN32_FIND_DATAW before = record;
    EXPECT_FALSE(KivoGetStatus(L"Phone", &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a bare device name";
    EXPECT_FALSE(KivoGetStatus(L"Phone\\Nope\\x", &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "no such first-level object";
    EXPECT_FALSE(KivoGetStatus(L"dir\\*.txt", &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a relative pattern";
    EXPECT_FALSE(KivoGetStatus(L"Phone\\Card\\DCIM\\missing.jpg", &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << "the record is untouched";
    KivoSimSetDevice(L"usb#phone-1", R"({"connected": false})");
    EXPECT_FALSE(KivoGetStatus(L"Phone\\Card\\DCIM", &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a disconnected device";
    EXPECT_FALSE(KivoGetStatus(nullptr, &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(KivoGetStatus(L"C:\\x", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
}

// ---- boundaries and handles that guard against real faults --------------------

TEST_F(Enumeration, AClosedOrUnknownListingHandleIsInvalidAndNeverReachesTheFileSystem) {
    WIN32_FIND_DATAW record{};
    HANDLE handle = KivoFindFirstFile(L"Phone\\Card\\*", &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KivoFindClose(handle), FALSE);
    EXPECT_EQ(GetLastError(), 0u);
    for (HANDLE stale : {handle, reinterpret_cast<HANDLE>(0x1234), reinterpret_cast<HANDLE>(0xFFFF),
                         static_cast<HANDLE>(nullptr)}) {
        SetLastError(0);
        EXPECT_FALSE(KivoFindNextFile(stale, &record));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(KivoFindClose(stale));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST_F(Enumeration, AnEmptyBatchCalledSOkEndsTheWalk) {
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1",
                                  {{"method", "IEnumPortableDeviceObjectIDs::Next"}, {"hr", "0x00000000"}, {"times", 50}}));
    KivoSimClearLog();
    DWORD code = 1;
    EXPECT_TRUE(List(L"Phone\\Card\\Empty\\*", &code).empty());
    EXPECT_EQ(code, 0u);
    EXPECT_LE(KivoSimCallCount("IEnumPortableDeviceObjectIDs::Next"), 10u) << "every walk ends at its empty batch";
}

TEST_F(Enumeration, AnIdOfThirteenCharactersIsReadOneOfFourteenIsNot) {
    std::wstring empty = Id(L"Card\\Empty");
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", empty.c_str(),
                                 R"({"kind": "file", "name": "thirteen", "id": "abcdefghijklm"})", nullptr, 0));
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", empty.c_str(),
                                 R"({"kind": "file", "name": "fourteen", "id": "abcdefghijklmn"})", nullptr, 0));
    WIN32_FIND_DATAW record{};
    HANDLE handle = KivoFindFirstFile(L"Phone\\Card\\Empty\\*", &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(record.cFileName, L"thirteen");
    EXPECT_STREQ(record.cAlternateFileName, L"abcdefghijklm");
    EXPECT_FALSE(KivoFindNextFile(handle, &record)) << "the 14-character ID would be cut";
    KivoFindClose(handle);
}

TEST_F(Enumeration, EveryAsciiLetterIsFoldedInLookups) {
    std::wstring empty = Id(L"Card\\Empty");
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", empty.c_str(),
                                 R"({"kind": "file", "name": "abcdefghijklmnopqrstuvwxyz.jpg", "data": "x"})", nullptr, 0));
    WIN32_FIND_DATAW record{};
    EXPECT_TRUE(KivoGetStatus(L"Phone\\CARD\\EMPTY\\ABCDEFGHIJKLMNOPQRSTUVWXYZ.JPG", &record));
    EXPECT_STREQ(record.cFileName, L"abcdefghijklmnopqrstuvwxyz.jpg");
    EXPECT_FALSE(KivoGetStatus(L"Phone\\Card\\Empty\\abcdefghijklmnopqrstuvwxyz.jpgx", &record));
}

TEST_F(Enumeration, TheFolderPartMayHold259CharactersNot260) {
    WIN32_FIND_DATAW record{};
    std::wstring fits = L"Phone\\Card\\" + std::wstring(247, L'f') + L"\\";
    ASSERT_EQ(fits.size(), 259u);
    EXPECT_EQ(KivoFindFirstFile((fits + L"*").c_str(), &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << "accepted, then not found";
    std::wstring over = L"Phone\\Card\\" + std::wstring(248, L'f') + L"\\";
    EXPECT_EQ(KivoFindFirstFile((over + L"*").c_str(), &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(Devices, NamesThatDifferOnlyInCaseOrDoNotFitAreNotListed) {
    std::string name259(259, 'n'), name260(260, 'm');
    Load({{"devices",
           {DeviceJson("usb#1", "Phone", "phone", json::array()),
            DeviceJson("usb#2", name259.c_str(), name259.c_str(), json::array()),
            DeviceJson("usb#3", name260.c_str(), name260.c_str(), json::array())}}});
    EXPECT_EQ(ListDevices(), (Names{Widen(name259)}));
}

TEST_F(Devices, NamesAreEndedAtTheLengthTheDeviceReports) {
    Load(PhoneFixture());
    ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", R"({"unterminatedNames": true})"));
    EXPECT_EQ(ListDevices(), (Names{L"Phone"}));
}

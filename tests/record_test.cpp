// The object record: names, attributes, times and sizes as the host sees
// them, and objects whose ID or name does not fit are never cut.
#include "support/test_support.h"

#include <cstring>

#include "core/paths.h"
#include "core/record.h"

using namespace kivotest;

namespace {

const std::wstring kLongId = L"abcdefghijklmnopqrst";
const std::string kLongName(300, 'n');

class Record : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        json fixture = PhoneFixture();
        json &card = fixture["devices"][0]["objects"][0]["children"];
        card.push_back({{"kind", "folder"}, {"name", "Locked"}, {"canDelete", false}});
        card.push_back({{"kind", "file"}, {"name", "secret"}, {"hidden", true}, {"system", true}, {"canDelete", true}});
        card.push_back({{"kind", "file"}, {"name", "huge.bin"}, {"size", 5000000000ull}, {"seed", 1}});
        card.push_back({{"kind", "file"}, {"name", "onlymod"}, {"modified", "2024-05-01T12:00:00"}});
        card.push_back({{"kind", "file"}, {"name", "longid"}, {"id", Narrow(kLongId)}});
        card.push_back({{"kind", "file"}, {"name", kLongName}});
        Load(fixture);
        ASSERT_TRUE(kivo::InitSession(&session_));
        ASSERT_TRUE(kivo::OpenSessionDevice(L"Phone", session_));
    }
    void TearDown() override {
        kivo::ReleaseSession(session_);
        SimTest::TearDown();
    }

    BOOL Read(const std::wstring &id, WIN32_FIND_DATAW &record) {
        return kivo::ReadObjectRecord(id.c_str(), record, kivo::PropertiesOf(session_.content.Get()));
    }
    WIN32_FIND_DATAW ReadPath(const wchar_t *path) {
        WIN32_FIND_DATAW record;
        std::memset(&record, 0xAB, sizeof record);
        std::wstring id = kivosim::FindObject(L"usb#phone-1", path);
        EXPECT_FALSE(id.empty()) << Narrow(path);
        EXPECT_TRUE(Read(id, record)) << Narrow(path);
        return record;
    }

    kivo::DeviceSession session_;
};

ULONGLONG Ticks(const FILETIME &time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

FILETIME Utc(WORD year, WORD month, WORD day, WORD hour) {
    SYSTEMTIME st{};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    FILETIME out{};
    SystemTimeToFileTime(&st, &out);
    return out;
}

// The UTC time of a local wall-clock time, with the bias in force now.
FILETIME LocalToUtc(WORD year, WORD month, WORD day, WORD hour) {
    FILETIME local = Utc(year, month, day, hour), utc{};
    LocalFileTimeToFileTime(&local, &utc);
    return utc;
}

}  // namespace

TEST_F(Record, DeviceObjectAndStorageAreFolders) {
    WIN32_FIND_DATAW device;
    ASSERT_TRUE(Read(WPD_DEVICE_OBJECT_ID, device));
    EXPECT_EQ(device.dwFileAttributes, 0x10u);
    EXPECT_STREQ(device.cAlternateFileName, L"DEVICE");
    EXPECT_EQ(ReadPath(L"Card").dwFileAttributes, 0x10u);
    EXPECT_STREQ(ReadPath(L"Card").cAlternateFileName, L"s10001");
}

TEST_F(Record, AttributesFollowTheFlags) {
    EXPECT_EQ(ReadPath(L"Card\\Locked").dwFileAttributes, 0x11u) << "a folder that cannot be deleted is read-only";
    EXPECT_EQ(ReadPath(L"Card\\DCIM\\b.jpg").dwFileAttributes, 0u) << "no flags: no attributes, not even NORMAL";
    EXPECT_EQ(ReadPath(L"Card\\secret").dwFileAttributes, 0x06u);
}

TEST_F(Record, OriginalFileNameIsTheListedName) {
    WIN32_FIND_DATAW a = ReadPath(L"Card\\DCIM\\a.jpg");
    EXPECT_STREQ(a.cFileName, L"a.jpg");
    EXPECT_STREQ(a.cAlternateFileName, L"o2");
    EXPECT_EQ(a.nFileSizeLow, 5u);
    EXPECT_STREQ(ReadPath(L"Card\\secret").cFileName, L"secret") << "without an original name, the name";
}

TEST_F(Record, TimesAreUtcAndCreationFallsBackToModification) {
    WIN32_FIND_DATAW a = ReadPath(L"Card\\DCIM\\a.jpg");
    EXPECT_EQ(Ticks(a.ftLastWriteTime), Ticks(LocalToUtc(2024, 5, 1, 12)));
    EXPECT_EQ(Ticks(a.ftCreationTime), Ticks(LocalToUtc(2024, 4, 30, 8)));
    EXPECT_EQ(Ticks(a.ftLastAccessTime), 0u);
    WIN32_FIND_DATAW onlyModified = ReadPath(L"Card\\onlymod");
    EXPECT_EQ(Ticks(onlyModified.ftCreationTime), Ticks(onlyModified.ftLastWriteTime));
    EXPECT_NE(Ticks(onlyModified.ftCreationTime), 0u);
    WIN32_FIND_DATAW undated = ReadPath(L"Card\\DCIM\\b.jpg");
    EXPECT_EQ(Ticks(undated.ftCreationTime), 0u);
    EXPECT_EQ(Ticks(undated.ftLastWriteTime), 0u);
}

// Run with TZ=Asia/Tokyo (a ctest entry of its own): noon on the device is
// three in the morning UTC.
TEST_F(Record, NoonAtUtcPlusNineIsThreeUtc) {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    // Its own ctest entry sets the zone (and SetUp checks it took); a run in
    // another zone has nothing to test here.
    if (zone.Bias != -540) GTEST_SKIP() << "run by record_tokyo_test (bias here " << zone.Bias << ")";
    WIN32_FIND_DATAW onlyModified = ReadPath(L"Card\\onlymod");
    EXPECT_EQ(Ticks(onlyModified.ftLastWriteTime), Ticks(Utc(2024, 5, 1, 3)));
}

TEST_F(Record, SizeIsSplitIntoHighAndLowHalves) {
    WIN32_FIND_DATAW huge = ReadPath(L"Card\\huge.bin");
    EXPECT_EQ(huge.nFileSizeHigh, 1u);
    EXPECT_EQ(huge.nFileSizeLow, 705032704u);
}

TEST_F(Record, TheTenKeysAreAskedInOrder) {
    ReadPath(L"Card\\DCIM\\a.jpg");
    auto calls = kivosim::Calls("IPortableDeviceProperties::GetValues");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back()["keys"],
              json({"WPD_OBJECT_ID", "WPD_OBJECT_NAME", "WPD_OBJECT_ORIGINAL_FILE_NAME", "WPD_OBJECT_CONTENT_TYPE",
                    "WPD_OBJECT_ISHIDDEN", "WPD_OBJECT_CAN_DELETE", "WPD_OBJECT_ISSYSTEM", "WPD_OBJECT_DATE_CREATED",
                    "WPD_OBJECT_DATE_MODIFIED", "WPD_OBJECT_SIZE"}));
}

TEST_F(Record, AFailedReadLeavesTheRecordAndReleasesTheProperties) {
    WIN32_FIND_DATAW record = ReadPath(L"Card\\DCIM\\a.jpg");
    WIN32_FIND_DATAW before = record;
    long alive = KivoSimLiveObjects();
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDeviceProperties::GetValues"}, {"hr", "0x8007001F"}}));
    EXPECT_FALSE(Read(L"o3", record));
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    EXPECT_EQ(KivoSimLiveObjects(), alive) << "the properties reference was released";

    KivoSimClearFaults();
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceKeyCollection::CreateInstance"}, {"hr", "0x8007000E"}}));
    EXPECT_FALSE(Read(L"o3", record));
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
    EXPECT_EQ(KivoSimLiveObjects(), alive);
    EXPECT_FALSE(kivo::ReadObjectRecord(L"o3", record, nullptr)) << "no properties: nothing to read";
}

TEST_F(Record, IdAndNameThatDoNotFitAreNeverCut) {
    WIN32_FIND_DATAW record = ReadPath(L"Card\\DCIM\\a.jpg");
    WIN32_FIND_DATAW before = record;
    EXPECT_FALSE(Read(kLongId, record));
    std::wstring longNamed = kivosim::FindObject(L"usb#phone-1", (L"Card\\" + Widen(kLongName)).c_str());
    ASSERT_FALSE(longNamed.empty());
    EXPECT_FALSE(Read(longNamed, record));
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
}

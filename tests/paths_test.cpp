// Device paths: splitting, child lookup in batches, and the two resolvers.
#include "support/test_support.h"

#include "core/globals.h"
#include "core/paths.h"

using namespace kivotest;
using kivo::DeviceSession;

namespace {

std::vector<std::wstring> Split(const std::wstring &path, const wchar_t *separators = L"\\") {
    std::vector<std::wstring> parts;
    wchar_t component[kivo::kComponentChars];
    for (const wchar_t *rest = path.c_str(); (rest = kivo::SplitPathComponent(component, rest, separators));)
        parts.push_back(component);
    return parts;
}

class Paths : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        json fixture = PhoneFixture();
        json &card = fixture["devices"][0]["objects"][0]["children"];
        json many = {{"kind", "folder"}, {"name", "Many"}, {"children", json::array()}};
        for (int i = 1; i <= 25; ++i) many["children"].push_back({{"kind", "file"}, {"name", "f" + std::to_string(i)}});
        card.push_back(many);
        card.push_back({{"kind", "folder"},
                        {"name", "Odd"},
                        {"children",
                         {{{"kind", "file"}, {"name", "longid"}, {"id", "abcdefghijklmnopqrst"}},
                          {{"kind", "file"}, {"name", std::string(300, 'x')}},
                          {{"kind", "file"}, {"name", "\xC3\xA9" "clair"}},
                          {{"kind", "file"}, {"name", "after"}}}}});
        Load(fixture);
    }

    // Resolves a path in a session of its own; the record's object ID, or
    // empty with the last-error code in code.
    std::wstring Resolve(const std::wstring &path, DWORD *code = nullptr, DWORD *attributes = nullptr) {
        DeviceSession session;
        EXPECT_TRUE(kivo::InitSession(&session));
        SetLastError(0);
        BOOL found = kivo::ResolveDevicePath(path.c_str(), session);
        if (code) *code = GetLastError();
        if (attributes) *attributes = session.findData.dwFileAttributes;
        return found ? std::wstring(session.findData.cAlternateFileName) : std::wstring();
    }
    bool Probe(const std::wstring &path, std::wstring *objectId = nullptr) {
        DeviceSession session;
        EXPECT_TRUE(kivo::InitSession(&session));
        BOOL ok = kivo::ProbeDevicePath(path.c_str(), session);
        if (objectId) *objectId = session.findData.cAlternateFileName;
        return ok != FALSE;
    }
    std::wstring Id(const wchar_t *path) { return kivosim::FindObject(L"usb#phone-1", path); }
};

}  // namespace

TEST(SplitPathComponent, RunsOfSeparatorsMakeNoEmptyComponent) {
    EXPECT_EQ(Split(L"Phone\\\\Card\\DCIM\\"), (std::vector<std::wstring>{L"Phone", L"Card", L"DCIM"}));
    EXPECT_EQ(Split(L"\\\\a"), (std::vector<std::wstring>{L"a"}));
    EXPECT_TRUE(Split(L"").empty());
    EXPECT_TRUE(Split(L"\\\\\\").empty());
    EXPECT_EQ(Split(L"a/b\\c"), (std::vector<std::wstring>{L"a/b", L"c"})) << "a slash is an ordinary character";
    EXPECT_EQ(Split(L"Text|*.txt||All|*.*", L"|"), (std::vector<std::wstring>{L"Text", L"*.txt", L"All", L"*.*"}));
}

TEST(SplitPathComponent, ALongRunIsCutAfter260Characters) {
    auto parts = Split(L"dev\\" + std::wstring(300, L'x') + L"\\y");
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[1].size(), 260u);
    EXPECT_EQ(parts[2].size(), 40u);
    wchar_t component[kivo::kComponentChars];
    const wchar_t *rest = kivo::SplitPathComponent(component, L"last", L"\\");
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(*rest, L'\0') << "the component that ends the source returns the empty rest";
    EXPECT_EQ(kivo::SplitPathComponent(component, rest, L"\\"), nullptr);
    EXPECT_STREQ(component, L"");
}

TEST_F(Paths, LookupReadsOnlyTheBatchOfTheFirstMatch) {
    const json kNameKeys = {"WPD_OBJECT_ID", "WPD_OBJECT_NAME", "WPD_OBJECT_ORIGINAL_FILE_NAME"};
    for (bool bulk : {false, true}) {
        SCOPED_TRACE(bulk ? "bulk reads" : "object by object");
        ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", bulk ? R"({"bulkProperties": true})" : R"({"bulkProperties": false})"));
        EXPECT_EQ(Resolve(L"Phone\\Card\\Many\\f3"), Id(L"Card\\Many\\f3"));
        KivoSimClearLog();
        DeviceSession session;
        ASSERT_TRUE(kivo::InitSession(&session));
        ASSERT_TRUE(kivo::OpenSessionDevice(L"Phone", session));
        wchar_t id[kivo::kObjectIdChars];
        wcscpy(id, Id(L"Card\\Many").c_str());
        ASSERT_TRUE(kivo::FindChildByName(session.content.Get(), id, L"f3"));
        EXPECT_EQ(std::wstring(id), Id(L"Card\\Many\\f3"));
        auto nexts = kivosim::Calls("IEnumPortableDeviceObjectIDs::Next");
        ASSERT_EQ(nexts.size(), 1u);
        EXPECT_EQ(nexts[0]["count"], 10);
        auto reads = kivosim::Calls("IPortableDeviceProperties::GetValues");
        auto queued = kivosim::Calls("IPortableDevicePropertiesBulk::QueueGetValuesByObjectList");
        if (bulk) {
            EXPECT_EQ(reads.size(), 0u) << "the batch is read in one bulk round trip";
            ASSERT_EQ(queued.size(), 1u);
            EXPECT_EQ(queued[0]["count"], 10);
            EXPECT_EQ(queued[0]["keys"], kNameKeys) << "a lookup reads only what it compares";
            EXPECT_EQ(KivoSimCallCount("IPortableDevicePropertiesBulk::Start"), 1u);
        } else {
            EXPECT_EQ(reads.size(), 10u) << "every child of the batch is read";
            EXPECT_EQ(queued.size(), 0u);
            for (auto &read : reads) EXPECT_EQ(read["keys"], kNameKeys) << "a lookup reads only what it compares";
        }

        KivoSimClearLog();
        wcscpy(id, Id(L"Card\\Many").c_str());
        ASSERT_TRUE(kivo::FindChildByName(session.content.Get(), id, L"F25"));
        EXPECT_EQ(KivoSimCallCount("IEnumPortableDeviceObjectIDs::Next"), 3u);
        std::wstring before = Id(L"Card\\Many");
        wcscpy(id, before.c_str());
        EXPECT_FALSE(kivo::FindChildByName(session.content.Get(), id, L"f26"));
        EXPECT_EQ(std::wstring(id), before) << "not found: the buffer is unchanged";
    }
}

TEST_F(Paths, NamesBelowTheDeviceIgnoreAsciiCaseOnly) {
    EXPECT_EQ(Resolve(L"Phone\\card\\dcim\\A.JPG"), Id(L"Card\\DCIM\\a.jpg"));
    EXPECT_EQ(Resolve(L"Phone\\Card\\Odd\\\xE9" L"clair"), Id(L"Card\\Odd\\\xE9" L"clair"));
    DWORD code = 0;
    EXPECT_EQ(Resolve(L"Phone\\Card\\Odd\\\xC9" L"clair", &code), L"") << "é and É differ";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(Resolve(L"phone\\Card"), L"") << "the device name is compared exactly";
}

TEST_F(Paths, ObjectsThatDoNotFitARecordArePassedOver) {
    EXPECT_EQ(Resolve(L"Phone\\Card\\Odd\\longid"), L"");
    EXPECT_EQ(Resolve(L"Phone\\Card\\Odd\\" + std::wstring(259, L'x')), L"") << "a cut name must not match";
    DWORD code = 0;
    EXPECT_EQ(Resolve(L"Phone\\Card\\Odd\\" + std::wstring(300, L'x'), &code), L"");
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Resolve(L"Phone\\Card\\Odd\\after"), Id(L"Card\\Odd\\after"));
}

TEST_F(Paths, SeparatorsAndTheComputerFolderName) {
    std::wstring a = Id(L"Card\\DCIM\\a.jpg");
    EXPECT_EQ(Resolve(L"Phone\\\\Card\\DCIM\\\\a.jpg\\"), a);
    ASSERT_TRUE(kivo::InitSession(nullptr));
    std::wstring computer = kivo::GlobalState().computerFolderName;
    ASSERT_FALSE(computer.empty());
    EXPECT_EQ(Resolve(computer + L"\\Phone\\Card\\DCIM\\a.jpg"), a);
    EXPECT_EQ(Resolve(computer + L"\\" + computer + L"\\Phone\\Card\\DCIM\\a.jpg"), a);
    std::wstring upper = computer;
    for (auto &c : upper) c = static_cast<wchar_t>(towupper(c));
    ASSERT_NE(upper, computer);
    EXPECT_EQ(Resolve(upper + L"\\Phone\\Card\\DCIM\\a.jpg"), L"") << "in other case it is taken for a device";
}

TEST_F(Paths, ResolvingTheDeviceAloneGivesTheDeviceObject) {
    DWORD attributes = 0;
    EXPECT_EQ(Resolve(L"Phone", nullptr, &attributes), L"DEVICE");
    EXPECT_EQ(attributes, 0x10u);
    DWORD code = 0;
    EXPECT_EQ(Resolve(L"Phone\\*", &code), L"");
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Resolve(L""), L"") << "an empty path resolves to nothing opened";
}

TEST_F(Paths, ProbeNeedsAConnectedDeviceAndAFirstLevelObject) {
    std::wstring id;
    EXPECT_TRUE(Probe(L"Phone\\*"));
    EXPECT_TRUE(Probe(L"Phone\\Card\\no\\such\\file", &id)) << "later components are not examined";
    EXPECT_EQ(id, L"s10001");
    EXPECT_FALSE(Probe(L"Phone"));
    EXPECT_FALSE(Probe(L"Phone\\C*"));
    EXPECT_FALSE(Probe(L"Phone\\Nope"));
    EXPECT_FALSE(Probe(L"C:\\data\\x"));
    EXPECT_FALSE(Probe(L"\\\\server\\share"));
    {
        DeviceSession session;
        ASSERT_TRUE(kivo::InitSession(&session));
        SetLastError(77);
        EXPECT_FALSE(kivo::ProbeDevicePath(L"Tablet\\Card", session));
        EXPECT_EQ(GetLastError(), 77u) << "devices present, none of that name";
    }
    KivoSimReset();
    SetLastError(0);
    EXPECT_FALSE(Probe(L"Phone\\Card"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(Paths, ResolveAfterProbeReusesTheOpenDevice) {
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    ASSERT_TRUE(kivo::ProbeDevicePath(L"Phone\\Card\\DCIM", session));
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceContent::EnumObjects"), 1u);
    ASSERT_TRUE(kivo::ResolveDevicePath(L"Phone\\Card\\DCIM", session));
    EXPECT_EQ(std::wstring(session.findData.cAlternateFileName), Id(L"Card\\DCIM"));
    // The level the probe found is not looked up again, nor the device
    // object read again to look it up.
    auto listed = kivosim::Calls("IPortableDeviceContent::EnumObjects");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]["objectId"], "s10001");
    auto read = kivosim::Calls("IPortableDeviceProperties::GetValues");
    EXPECT_EQ(std::count_if(read.begin(), read.end(), [](const json &call) { return call["objectId"] == "DEVICE"; }), 1);
    ASSERT_TRUE(kivo::ResolveDevicePath(L"Phone\\Card", session)) << "each walk restarts at the device object";
    EXPECT_EQ(std::wstring(session.findData.cAlternateFileName), L"s10001");
    ASSERT_TRUE(kivo::ResolveDevicePath(L"Phone\\card\\DCIM", session));
    EXPECT_EQ(std::wstring(session.findData.cAlternateFileName), Id(L"Card\\DCIM")) << "another name is looked up";
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceContent::EnumObjects"), 4u);
    ASSERT_TRUE(kivo::ResolveDevicePath(L"Phone", session));
    EXPECT_EQ(std::wstring(session.findData.cAlternateFileName), L"DEVICE");
    EXPECT_EQ(KivoSimCallCount("IPortableDevice::Open"), 1u);
}

TEST_F(Paths, DeviceFailuresGivePathNotFound) {
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDevice::Content"}, {"hr", "0x8007001F"}, {"times", 1}}));
    DWORD code = 0;
    EXPECT_EQ(Resolve(L"Phone\\Card", &code), L"");
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDeviceProperties::GetValues"},
                                                    {"objectId", Narrow(Id(L"Card\\DCIM"))},
                                                    {"times", 1}}));
    EXPECT_EQ(Resolve(L"Phone\\Card\\DCIM\\a.jpg", &code), L"") << "a folder on the way that cannot be read";
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDeviceProperties::GetValues"},
                                                    {"objectId", "DEVICE"},
                                                    {"times", 1}}));
    EXPECT_FALSE(Probe(L"Phone\\Card"));
    EXPECT_EQ(Resolve(L"Phone\\Card\\DCIM\\a.jpg"), Id(L"Card\\DCIM\\a.jpg")) << "the faults were used up";
}

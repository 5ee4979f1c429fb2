// One call's device session: the client information it presents, how it
// picks a device by friendly name, and that it releases all it obtained.
#include "support/test_support.h"

#include "core/session.h"

using namespace kivotest;
using kivo::DeviceSession;

namespace {

class Session : public SimTest {
protected:
    json OpenCalls() { return kivosim::Calls("IPortableDevice::Open"); }
    static std::string Device(IPortableDevice *device) {
        LPWSTR id = nullptr;
        if (!device || FAILED(device->GetPnPDeviceID(&id))) return std::string();
        std::string out = Narrow(id);
        CoTaskMemFree(id);
        return out;
    }
};

json ClientValues() {
    return json::array({{{"key", "WPD_CLIENT_NAME"}, {"value", "KIVOtool"}},
                        {{"key", "WPD_CLIENT_MAJOR_VERSION"}, {"value", 1}},
                        {{"key", "WPD_CLIENT_MINOR_VERSION"}, {"value", 0}},
                        {{"key", "WPD_CLIENT_REVISION"}, {"value", 0}},
                        {{"key", "WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE"}, {"value", 0x20000}}});
}

}  // namespace

TEST_F(Session, OpenPresentsTheFiveClientValuesInOrder) {
    Load(PhoneFixture());
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    auto device = kivo::OpenDeviceByFriendlyName(L"Phone", session);
    ASSERT_TRUE(device);
    auto opens = OpenCalls();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0]["device"], "usb#phone-1");
    EXPECT_EQ(opens[0]["values"], ClientValues());
}

TEST_F(Session, RefusedOpenIsRetriedOnceReadOnly) {
    Load(PhoneFixture());
    ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", R"({"refuseFirstOpen": true})"));
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    auto device = kivo::OpenDeviceByFriendlyName(L"Phone", session);
    ASSERT_TRUE(device);
    auto opens = OpenCalls();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0]["values"], ClientValues());
    json readOnly = ClientValues();
    readOnly.push_back({{"key", "WPD_CLIENT_DESIRED_ACCESS"}, {"value", 0x80000000u}});
    EXPECT_EQ(opens[1]["values"], readOnly);
}

TEST_F(Session, AccessDeniedTwiceIsNotRetriedAgain) {
    Load(PhoneFixture());
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDevice::Open"}, {"hr", "0x80070005"}}));
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    SetLastError(0);
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(OpenCalls().size(), 2u);
}

TEST_F(Session, FriendlyNamesMatchExactly) {
    Load({{"devices",
           {DeviceJson("usb#upper", "Phone", "Phone", json::array()),
            DeviceJson("usb#lower", "phone", "phone", json::array()),
            DeviceJson("usb#blank", "Tab ", "Tab ", json::array())}}});
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    EXPECT_EQ(Device(kivo::OpenDeviceByFriendlyName(L"phone", session).Get()), "usb#lower");
    EXPECT_EQ(Device(kivo::OpenDeviceByFriendlyName(L"Phone", session).Get()), "usb#upper");
    SetLastError(1234);
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"PHONE", session));
    EXPECT_EQ(GetLastError(), 1234u) << "no device of that name leaves the code alone";
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Tab", session)) << "a trailing blank is part of the name";
    EXPECT_EQ(Device(kivo::OpenDeviceByFriendlyName(L"Tab ", session).Get()), "usb#blank");
}

TEST_F(Session, NoDeviceGivesNotReady) {
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    SetLastError(0);
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));

    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "IPortableDeviceManager::GetDevices"}, {"hr", "0x80004005"}}));
    Load(PhoneFixture());
    SetLastError(0);
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY)) << "the list cannot be counted";
}

TEST_F(Session, ADeviceThatWillNotOpenIsPassedForTheNextOfTheSameName) {
    Load({{"devices",
           {DeviceJson("usb#broken", "Phone", "Phone", json::array()),
            DeviceJson("usb#good", "Phone", "Phone", json::array())}}});
    ASSERT_TRUE(kivosim::AddFault(L"usb#broken", {{"method", "IPortableDevice::Open"}, {"hr", "0x8007001F"}}));
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    EXPECT_EQ(Device(kivo::OpenDeviceByFriendlyName(L"Phone", session).Get()), "usb#good");
}

TEST_F(Session, DeviceObjectsAreCreatedFresh) {
    Load(PhoneFixture());
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceFTM::CreateInstance"}, {"hr", "0x8007000E"}, {"times", 1}}));
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    SetLastError(0);
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY)) << "a named device that cannot be had";
    EXPECT_TRUE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
}

TEST_F(Session, ANameMatchNobodyHasKeepsTheCallersCode) {
    Load(PhoneFixture());
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    SetLastError(4242);
    EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Tablet", session));
    EXPECT_EQ(GetLastError(), 4242u);
}

TEST_F(Session, OnlyAccessDeniedIsRetriedReadOnlyAndOnlyWithinItsCall) {
    Load(PhoneFixture());
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDevice::Open"}, {"hr", "0x80004005"}, {"times", 1}}));
    {
        DeviceSession session;
        ASSERT_TRUE(kivo::InitSession(&session));
        EXPECT_FALSE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
        EXPECT_EQ(OpenCalls().size(), 1u) << "E_FAIL is final";
    }
    KivoSimClearLog();
    ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", R"({"refuseFirstOpen": true})"));
    {
        DeviceSession session;
        ASSERT_TRUE(kivo::InitSession(&session));
        EXPECT_TRUE(kivo::OpenDeviceByFriendlyName(L"Phone", session));
    }
    DeviceSession next;
    ASSERT_TRUE(kivo::InitSession(&next));
    EXPECT_TRUE(kivo::OpenDeviceByFriendlyName(L"Phone", next));
    auto opens = OpenCalls();
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[2]["values"], ClientValues()) << "the next call asks for the default access again";
}

TEST_F(Session, NamesAreEndedAtTheLengthTheDeviceReports) {
    Load(PhoneFixture());
    ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", R"({"unterminatedNames": true})"));
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    EXPECT_EQ(Device(kivo::OpenDeviceByFriendlyName(L"Phone", session).Get()), "usb#phone-1");
}

TEST_F(Session, InitSessionFailsWithoutManagerOrClientInformation) {
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceManager::CreateInstance"}, {"hr", "0x80004005"}, {"times", 1}}));
    {
        DeviceSession session;
        EXPECT_FALSE(kivo::InitSession(&session));
        EXPECT_FALSE(session.manager);
        EXPECT_TRUE(session.clientInfo) << "the client information is still made";
    }
    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceValues::CreateInstance"}, {"hr", "0x80004005"}, {"times", 1}}));
    DeviceSession session;
    EXPECT_FALSE(kivo::InitSession(&session));
    EXPECT_TRUE(session.manager);
    EXPECT_FALSE(session.clientInfo);
}

TEST_F(Session, ReleaseKeepsTheLastErrorAndLeavesNothingAlive) {
    Load(PhoneFixture());
    DeviceSession session;
    ASSERT_TRUE(kivo::InitSession(&session));
    session.device = kivo::OpenDeviceByFriendlyName(L"Phone", session);
    ASSERT_TRUE(session.device);
    ASSERT_EQ(session.device->Content(session.content.GetAddressOf()), S_OK);
    EXPECT_GT(KivoSimLiveObjects(), 0);
    SetLastError(ERROR_FILE_NOT_FOUND);
    kivo::ReleaseSession(session);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(session.device || session.content || session.manager || session.clientInfo);
    EXPECT_EQ(KivoSimLiveObjects(), 0);
}

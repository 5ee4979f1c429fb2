// The simulated device service behaves as the platform documents it, so that
// what the library does against it holds on a real Windows too.
#include "support/test_support.h"

#include <atomic>
#include <map>
#include <optional>
#include <vector>

using namespace kivotest;

namespace {

class Sim : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(PhoneFixture());
    }
};

std::vector<std::wstring> Children(IPortableDeviceContent *content, const wchar_t *parent, ULONG batch,
                                   std::vector<HRESULT> *codes = nullptr) {
    std::vector<std::wstring> ids;
    ComPtr<IEnumPortableDeviceObjectIDs> enumerator;
    if (FAILED(content->EnumObjects(0, parent, nullptr, enumerator.GetAddressOf()))) return ids;
    for (;;) {
        std::vector<LPWSTR> slots(batch, nullptr);
        ULONG fetched = 0;
        HRESULT hr = enumerator->Next(batch, slots.data(), &fetched);
        if (codes) codes->push_back(hr);
        if (FAILED(hr)) break;
        for (ULONG i = 0; i < fetched; ++i) {
            ids.push_back(slots[i]);
            CoTaskMemFree(slots[i]);
        }
        if (hr != S_OK) break;
    }
    return ids;
}

ComPtr<IPortableDeviceValues> GetValues(IPortableDeviceContent *content, const wchar_t *id,
                                        std::initializer_list<PROPERTYKEY> keys, HRESULT *result) {
    ComPtr<IPortableDeviceProperties> properties;
    content->Properties(properties.GetAddressOf());
    ComPtr<IPortableDeviceKeyCollection> collection;
    CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                     IID_IPortableDeviceKeyCollection, reinterpret_cast<void **>(collection.GetAddressOf()));
    for (const auto &key : keys) collection->Add(key);
    ComPtr<IPortableDeviceValues> values;
    *result = properties->GetValues(id, collection.Get(), values.GetAddressOf());
    return values;
}

// Starts an upload of a file named name into parent; size, when given, is
// announced as WPD_OBJECT_SIZE.
ComPtr<IStream> StartUpload(IPortableDeviceContent *content, const std::wstring &parent, const wchar_t *name,
                            std::optional<ULONGLONG> size = std::nullopt, DWORD *optimal = nullptr,
                            const wchar_t *originalName = nullptr) {
    auto values = MakeValues();
    values->SetStringValue(WPD_OBJECT_PARENT_ID, parent.c_str());
    values->SetStringValue(WPD_OBJECT_NAME, name);
    if (originalName) values->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, originalName);
    if (size) values->SetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, *size);
    ComPtr<IStream> stream;
    EXPECT_EQ(content->CreateObjectWithPropertiesAndData(values.Get(), stream.GetAddressOf(), optimal, nullptr), S_OK);
    return stream;
}

ComPtr<IPortableDevicePropVariantCollection> IdCollection(const std::wstring &id) {
    ComPtr<IPortableDevicePropVariantCollection> ids;
    CoCreateInstance(CLSID_PortableDevicePropVariantCollection, nullptr, CLSCTX_INPROC_SERVER,
                     IID_IPortableDevicePropVariantCollection, reinterpret_cast<void **>(ids.GetAddressOf()));
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_LPWSTR;
    v.pwszVal = const_cast<LPWSTR>(id.c_str());
    ids->Add(&v);
    return ids;
}

}  // namespace

TEST_F(Sim, ManagerCountsDevicesAndSizesNamesWithNullBuffers) {
    Load({{"devices", {DeviceJson("usb#cam", nullptr, "Camera", json::array())}}});
    auto manager = MakeManager();
    ASSERT_TRUE(manager);
    DWORD count = 0;
    ASSERT_EQ(manager->GetDevices(nullptr, &count), S_OK);
    ASSERT_EQ(count, 2u);
    LPWSTR ids[2] = {};
    DWORD capacity = 1;
    EXPECT_EQ(manager->GetDevices(ids, &capacity), S_FALSE) << "a short array is filled as far as it goes";
    EXPECT_EQ(capacity, 1u);
    EXPECT_STREQ(ids[0], L"usb#phone-1");
    CoTaskMemFree(ids[0]);

    DWORD length = 0;
    ASSERT_EQ(manager->GetDeviceFriendlyName(L"usb#phone-1", nullptr, &length), S_OK);
    EXPECT_EQ(length, 6u) << "the length counts the terminator";
    wchar_t small[3];
    DWORD smallLength = 3;
    EXPECT_EQ(manager->GetDeviceFriendlyName(L"usb#phone-1", small, &smallLength),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    wchar_t name[16];
    DWORD nameLength = 16;
    ASSERT_EQ(manager->GetDeviceFriendlyName(L"usb#phone-1", name, &nameLength), S_OK);
    EXPECT_STREQ(name, L"Phone");

    length = 0;
    EXPECT_TRUE(FAILED(manager->GetDeviceFriendlyName(L"usb#cam", nullptr, &length))) << "no friendly name";
    EXPECT_EQ(manager->GetDeviceDescription(L"usb#cam", nullptr, &length), S_OK);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(manager->GetDevices(nullptr, nullptr), E_POINTER);
}

TEST_F(Sim, ManagerListIsTakenWhenTheManagerIsMade) {
    auto before = MakeManager();
    Load({{"devices", {DeviceJson("usb#late", "Late", "Late", json::array())}}});
    DWORD count = 0;
    before->GetDevices(nullptr, &count);
    EXPECT_EQ(count, 1u);
    auto after = MakeManager();
    after->GetDevices(nullptr, &count);
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(KivoSimSetDevice(L"usb#late", R"({"connected": false})"));
    auto third = MakeManager();
    third->GetDevices(nullptr, &count);
    EXPECT_EQ(count, 1u) << "a disconnected device is not listed";
}

TEST_F(Sim, DeviceMustBeOpenedBeforeUse) {
    ComPtr<IPortableDevice> device;
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceFTM, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDevice,
                               reinterpret_cast<void **>(device.GetAddressOf())),
              S_OK);
    ComPtr<IPortableDeviceContent> content;
    EXPECT_EQ(device->Content(content.GetAddressOf()), E_WPD_DEVICE_NOT_OPEN);
    EXPECT_EQ(device->Open(L"usb#phone-1", nullptr), E_POINTER);
    auto info = MakeValues();
    ASSERT_EQ(device->Open(L"usb#phone-1", info.Get()), S_OK);
    EXPECT_EQ(device->Open(L"usb#phone-1", info.Get()), E_WPD_DEVICE_ALREADY_OPENED);
    EXPECT_EQ(device->Content(nullptr), E_POINTER);
    ASSERT_EQ(device->Content(content.GetAddressOf()), S_OK);
    device->Close();
    ComPtr<IEnumPortableDeviceObjectIDs> enumerator;
    EXPECT_EQ(content->EnumObjects(0, L"DEVICE", nullptr, enumerator.GetAddressOf()), E_WPD_DEVICE_NOT_OPEN);
}

TEST_F(Sim, RefuseFirstOpenRefusesExactlyOnce) {
    ASSERT_TRUE(KivoSimSetDevice(L"usb#phone-1", R"({"refuseFirstOpen": true})"));
    EXPECT_FALSE(OpenDevice(L"usb#phone-1"));
    EXPECT_TRUE(OpenDevice(L"usb#phone-1"));
}

TEST_F(Sim, NextReturnsOkForFullBatchesAndFalseForTheLastShortOne) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring dcim = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM");
    std::vector<HRESULT> codes;
    auto ids = Children(content.Get(), dcim.c_str(), 2, &codes);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\a.jpg")) << "children in creation order";
    EXPECT_EQ(codes, (std::vector<HRESULT>{S_OK, S_FALSE}));
    codes.clear();
    Children(content.Get(), dcim.c_str(), 3, &codes);
    EXPECT_EQ(codes, (std::vector<HRESULT>{S_OK, S_FALSE})) << "an exact batch is followed by an empty S_FALSE one";
    auto log = kivosim::Calls("IEnumPortableDeviceObjectIDs::Next");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back()["count"], 3);
    ComPtr<IEnumPortableDeviceObjectIDs> none;
    EXPECT_EQ(content->EnumObjects(0, L"nope", nullptr, none.GetAddressOf()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(content->EnumObjects(0, nullptr, nullptr, none.GetAddressOf()), E_POINTER);
}

TEST_F(Sim, StoragesAndDefaultIdsFollowTheFixtureOrder) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    auto top = Children(content.Get(), WPD_DEVICE_OBJECT_ID, 10);
    EXPECT_EQ(top, (std::vector<std::wstring>{L"s10001"}));
    EXPECT_EQ(kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM"), L"o1");
    EXPECT_EQ(kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\a.jpg"), L"o2");
}

TEST_F(Sim, GetValuesReportsMissingPropertiesAsErrorsWithSFalse) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring a = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\a.jpg");
    HRESULT hr = E_FAIL;
    auto values = GetValues(content.Get(), a.c_str(), {WPD_OBJECT_NAME, WPD_OBJECT_SIZE, WPD_OBJECT_DATE_MODIFIED}, &hr);
    ASSERT_EQ(hr, S_OK);
    LPWSTR name = nullptr;
    ASSERT_EQ(values->GetStringValue(WPD_OBJECT_NAME, &name), S_OK);
    EXPECT_STREQ(name, L"a");
    CoTaskMemFree(name);
    ULONGLONG size = 0;
    EXPECT_EQ(values->GetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, &size), S_OK);
    EXPECT_EQ(size, 5u);
    PROPVARIANT date;
    PropVariantInit(&date);
    ASSERT_EQ(values->GetValue(WPD_OBJECT_DATE_MODIFIED, &date), S_OK);
    EXPECT_EQ(date.vt, VT_DATE);
    PropVariantClear(&date);
    GUID guid{};
    EXPECT_EQ(values->GetGuidValue(WPD_OBJECT_NAME, &guid), DISP_E_TYPEMISMATCH) << "getters check the type";

    std::wstring b = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\b.jpg");
    values = GetValues(content.Get(), b.c_str(), {WPD_OBJECT_NAME, WPD_OBJECT_DATE_CREATED, WPD_OBJECT_ISHIDDEN}, &hr);
    ASSERT_EQ(hr, S_FALSE);
    HRESULT missing = S_OK;
    EXPECT_EQ(values->GetErrorValue(WPD_OBJECT_DATE_CREATED, &missing), S_OK);
    EXPECT_EQ(missing, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    BOOL hidden = TRUE;
    EXPECT_EQ(values->GetBoolValue(WPD_OBJECT_ISHIDDEN, &hidden), DISP_E_TYPEMISMATCH);

    values = GetValues(content.Get(), L"o999", {WPD_OBJECT_NAME}, &hr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_FALSE(values);
}

TEST_F(Sim, ObjectCreatedWithDataAppearsOnlyAfterCommit) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring empty = kivosim::FindObject(L"usb#phone-1", L"Card\\Empty");
    {
        DWORD optimal = 0;
        ComPtr<IStream> stream = StartUpload(content.Get(), empty, L"note", 3, &optimal, L"note.txt");
        ASSERT_TRUE(stream);
        EXPECT_EQ(optimal, 262144u);
        ULONG written = 0;
        stream->Write("abc", 3, &written);
    }
    EXPECT_TRUE(Children(content.Get(), empty.c_str(), 10).empty()) << "released uncommitted: nothing is left";

    ComPtr<IStream> stream = StartUpload(content.Get(), empty, L"note", 3, nullptr, L"note.txt");
    ASSERT_TRUE(stream);
    ULONG written = 0;
    ASSERT_EQ(stream->Write("abc", 3, &written), S_OK);
    EXPECT_TRUE(Children(content.Get(), empty.c_str(), 10).empty());
    ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    auto children = Children(content.Get(), empty.c_str(), 10);
    ASSERT_EQ(children.size(), 1u);
    ComPtr<IPortableDeviceDataStream> dataStream;
    ASSERT_EQ(stream.As(&dataStream), S_OK);
    LPWSTR newId = nullptr;
    ASSERT_EQ(dataStream->GetObjectID(&newId), S_OK);
    EXPECT_EQ(children[0], newId);
    json object = kivosim::Object(L"usb#phone-1", newId);
    CoTaskMemFree(newId);
    EXPECT_EQ(object["originalFileName"], "note.txt");
    EXPECT_EQ(object["data"], "abc");
    EXPECT_EQ(object["contentType"], "generic-file");
}

TEST_F(Sim, AFailingCommitLeavesNoObject) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring empty = kivosim::FindObject(L"usb#phone-1", L"Card\\Empty");
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IStream::Commit"}, {"objectId", Narrow(empty)}, {"hr", "0x8007001F"}}));
    ComPtr<IStream> stream = StartUpload(content.Get(), empty, L"x");
    ASSERT_TRUE(stream);
    ULONG written = 0;
    stream->Write("abc", 3, &written);
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
    EXPECT_TRUE(Children(content.Get(), empty.c_str(), 10).empty());
    auto commits = kivosim::Calls("IStream::Commit");
    ASSERT_EQ(commits.size(), 1u);
    EXPECT_EQ(commits[0]["fault"], "0x8007001F");
}

TEST_F(Sim, CommitRefusesDataThatDoesNotMatchTheAnnouncedSize) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring empty = kivosim::FindObject(L"usb#phone-1", L"Card\\Empty");
    ComPtr<IStream> stream = StartUpload(content.Get(), empty, L"short", 10);
    ASSERT_TRUE(stream);
    ULONG written = 0;
    stream->Write("abc", 3, &written);
    EXPECT_TRUE(FAILED(stream->Commit(STGC_DEFAULT)));
    EXPECT_TRUE(Children(content.Get(), empty.c_str(), 10).empty());
}

TEST_F(Sim, DeleteWithoutRecursionRefusesAFolderWithChildren) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring dcim = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM");
    std::wstring empty = kivosim::FindObject(L"usb#phone-1", L"Card\\Empty");
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, IdCollection(dcim).Get(), nullptr),
              HRESULT_FROM_WIN32(ERROR_INVALID_OPERATION));
    EXPECT_EQ(Children(content.Get(), dcim.c_str(), 10).size(), 3u);
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, IdCollection(empty).Get(), nullptr), S_OK);
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, IdCollection(empty).Get(), nullptr),
              HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_WITH_RECURSION, IdCollection(dcim).Get(), nullptr), S_OK);
    EXPECT_TRUE(kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\a.jpg").empty());
}

TEST_F(Sim, PropertiesSetCommandRenamesTheOriginalFileName) {
    auto device = OpenDevice(L"usb#phone-1");
    std::wstring a = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\a.jpg");
    auto parameters = MakeValues();
    auto properties = MakeValues();
    parameters->SetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, WPD_COMMAND_OBJECT_PROPERTIES_SET.fmtid);
    parameters->SetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, WPD_COMMAND_OBJECT_PROPERTIES_SET.pid);
    parameters->SetStringValue(WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID, a.c_str());
    properties->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, L"renamed.jpg");
    parameters->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES, properties.Get());
    ComPtr<IPortableDeviceValues> results;
    ASSERT_EQ(device->SendCommand(0, parameters.Get(), results.GetAddressOf()), S_OK);
    HRESULT outcome = E_FAIL;
    ASSERT_EQ(results->GetErrorValue(WPD_PROPERTY_COMMON_HRESULT, &outcome), S_OK);
    EXPECT_EQ(outcome, S_OK);
    EXPECT_EQ(kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\renamed.jpg"), a);
    EXPECT_EQ(kivosim::Object(L"usb#phone-1", a.c_str())["name"], "a") << "the object name stays";
}

TEST_F(Sim, ReadStreamDeliversGeneratedDataAndReportsItsSize) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring big = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\big.mp4");
    ComPtr<IPortableDeviceResources> resources;
    ASSERT_EQ(content->Transfer(resources.GetAddressOf()), S_OK);
    ComPtr<IStream> stream;
    DWORD optimal = 0;
    ASSERT_EQ(resources->GetStream(big.c_str(), WPD_RESOURCE_DEFAULT, STGM_READ, &optimal, stream.GetAddressOf()),
              S_OK);
    STATSTG stat{};
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 70000000u);
    std::vector<char> chunk(4096), direct(4096);
    ULONG got = 0;
    ASSERT_EQ(stream->Read(chunk.data(), 4096, &got), S_OK);
    ASSERT_EQ(got, 4096u);
    ASSERT_EQ(KivoSimReadData(L"usb#phone-1", big.c_str(), 0, direct.data(), 4096), 4096u);
    EXPECT_EQ(chunk, direct);
    std::wstring dcim = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM");
    ComPtr<IStream> folderStream;
    EXPECT_TRUE(FAILED(resources->GetStream(dcim.c_str(), WPD_RESOURCE_DEFAULT, STGM_READ, nullptr,
                                            folderStream.GetAddressOf())))
        << "a folder has no data";
}

TEST_F(Sim, FaultRulesFireOnTheirCallsAndCountThem) {
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDeviceProperties::GetValues"},
                                                    {"hr", "0x80070005"},
                                                    {"objectId", "o2"},
                                                    {"skip", 1},
                                                    {"times", 1}}));
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    HRESULT hr = S_OK;
    GetValues(content.Get(), L"o3", {WPD_OBJECT_NAME}, &hr);
    EXPECT_EQ(hr, S_OK) << "another object is not affected";
    GetValues(content.Get(), L"o2", {WPD_OBJECT_NAME}, &hr);
    EXPECT_EQ(hr, S_OK) << "the first call is let through";
    GetValues(content.Get(), L"o2", {WPD_OBJECT_NAME}, &hr);
    EXPECT_EQ(hr, E_ACCESSDENIED);
    GetValues(content.Get(), L"o2", {WPD_OBJECT_NAME}, &hr);
    EXPECT_EQ(hr, S_OK) << "times 1: fires once";
    EXPECT_EQ(KivoSimCallCount("IPortableDeviceProperties::GetValues"), 4u);

    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "IPortableDeviceContent::EnumObjects"}, {"hr", "0x00000001"}}));
    ComPtr<IEnumPortableDeviceObjectIDs> enumerator;
    EXPECT_EQ(content->EnumObjects(0, L"DEVICE", nullptr, enumerator.GetAddressOf()), S_FALSE);
    EXPECT_TRUE(enumerator) << "a success code from a rule still hands out the enumerator";

    ASSERT_TRUE(kivosim::AddFault(nullptr, {{"method", "PortableDeviceKeyCollection::CreateInstance"}, {"hr", "0x8007000E"}}));
    ComPtr<IPortableDeviceKeyCollection> keys;
    EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPortableDeviceKeyCollection, reinterpret_cast<void **>(keys.GetAddressOf())),
              E_OUTOFMEMORY);
}

TEST_F(Sim, StreamRulesFailOrShortenAfterTheirByteCount) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring big = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\big.mp4");
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IStream::Read"},
                                                    {"objectId", Narrow(big)},
                                                    {"afterBytes", 6000},
                                                    {"hr", "0x8007001F"}}));
    ComPtr<IPortableDeviceResources> resources;
    content->Transfer(resources.GetAddressOf());
    ComPtr<IStream> stream;
    ASSERT_EQ(resources->GetStream(big.c_str(), WPD_RESOURCE_DEFAULT, STGM_READ, nullptr, stream.GetAddressOf()), S_OK);
    std::vector<char> buffer(4096);
    ULONG got = 0;
    EXPECT_EQ(stream->Read(buffer.data(), 4096, &got), S_OK);
    EXPECT_EQ(stream->Read(buffer.data(), 4096, &got), S_FALSE);
    EXPECT_EQ(got, 6000u - 4096u);
    EXPECT_EQ(stream->Read(buffer.data(), 4096, &got), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));

    std::wstring empty = kivosim::FindObject(L"usb#phone-1", L"Card\\Empty");
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1",
                                  {{"method", "IStream::Write"}, {"objectId", Narrow(empty)}, {"afterBytes", 2}, {"short", true}}));
    ComPtr<IStream> upload = StartUpload(content.Get(), empty, L"x");
    ASSERT_TRUE(upload);
    ULONG written = 0;
    EXPECT_EQ(upload->Write("abcd", 4, &written), S_OK);
    EXPECT_EQ(written, 2u) << "a short write reports fewer bytes than asked";
}

TEST_F(Sim, LatencyIsAddedToEachCallOfTheMethod) {
    ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"latency", {{"IPortableDeviceProperties::GetValues", 20000}}}}));
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    HRESULT hr = S_OK;
    // The delay is a lower bound the sim guarantees, measured on the same
    // clock it waits on.
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < 5; ++i) GetValues(content.Get(), L"o2", {WPD_OBJECT_NAME}, &hr);
    QueryPerformanceCounter(&end);
    EXPECT_GE((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 100);
}

TEST_F(Sim, DumpReloadsToTheSameState) {
    json first = kivosim::Dump();
    auto &dcim = first["devices"][0]["objects"][0]["children"][0];
    EXPECT_EQ(dcim["name"], "DCIM");
    auto &a = dcim["children"][0];
    EXPECT_EQ(a["data"], "hello");
    EXPECT_EQ(a["sha256"], "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
    EXPECT_EQ(a["created"], "2024-04-30T08:00:00");
    EXPECT_EQ(a["format"], "exif");
    EXPECT_EQ(dcim["children"][2]["size"], 70000000);
    EXPECT_FALSE(dcim["children"][2].contains("data"));
    KivoSimReset();
    Load(first);
    EXPECT_EQ(kivosim::Dump(), first);
}

TEST_F(Sim, DataHashesAgreeWithAnIndependentComputation) {
    // Expected value computed outside the sim from the same generator.
    const char expected[] = "8f7fb4a7b64355a48ed2b4d2ce352cfc3ee1d88c22a3dc046783940d58e5e1a7";
    wchar_t id[32] = {};
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", L"s10001", R"({"kind": "file", "name": "odd", "size": 1000003, "seed": 11})",
                                 id, 32));
    char fast[65] = {}, portable[65] = {};
    KivoSimObjectSha256(L"usb#phone-1", id, 0, fast, sizeof fast);
    KivoSimObjectSha256(L"usb#phone-1", id, 1, portable, sizeof portable);
    EXPECT_STREQ(fast, expected);
    EXPECT_STREQ(portable, expected);
    EXPECT_EQ(kivosim::Object(L"usb#phone-1", id)["sha256"], expected);
}

TEST_F(Sim, ValuesKeepInsertionOrderAndCheckTypes) {
    auto values = MakeValues();
    values->SetStringValue(WPD_CLIENT_NAME, L"x");
    values->SetUnsignedIntegerValue(WPD_CLIENT_MAJOR_VERSION, 1);
    values->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    values->SetUnsignedIntegerValue(WPD_CLIENT_MAJOR_VERSION, 2);
    DWORD count = 0;
    values->GetCount(&count);
    EXPECT_EQ(count, 3u) << "setting a key again replaces its value";
    PROPERTYKEY key{};
    values->GetAt(2, &key, nullptr);
    EXPECT_TRUE(IsEqualPropertyKey(key, WPD_OBJECT_CONTENT_TYPE));
    ULONG major = 0;
    EXPECT_EQ(values->GetUnsignedIntegerValue(WPD_CLIENT_MAJOR_VERSION, &major), S_OK);
    EXPECT_EQ(major, 2u);
    LPWSTR text = nullptr;
    EXPECT_EQ(values->GetStringValue(WPD_OBJECT_CONTENT_TYPE, &text), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(values->GetStringValue(WPD_OBJECT_NAME, &text), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(values->GetStringValue(WPD_CLIENT_NAME, nullptr), E_POINTER);
}

// ---- a sim as strict as a device -------------------------------------------------

namespace {

// The parameters of a properties-set command that renames objectId (no
// object ID when objectId is null).
ComPtr<IPortableDeviceValues> RenameCommand(const wchar_t *objectId, const wchar_t *newName) {
    auto parameters = MakeValues();
    auto properties = MakeValues();
    parameters->SetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, WPD_COMMAND_OBJECT_PROPERTIES_SET.fmtid);
    parameters->SetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, WPD_COMMAND_OBJECT_PROPERTIES_SET.pid);
    if (objectId) parameters->SetStringValue(WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID, objectId);
    properties->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, newName);
    parameters->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES, properties.Get());
    return parameters;
}

struct CommandOutcome {
    HRESULT call = E_FAIL;
    HRESULT common = E_FAIL;
    HRESULT write = E_FAIL;  // of WPD_OBJECT_ORIGINAL_FILE_NAME
};

CommandOutcome SendRename(IPortableDevice *device, const wchar_t *objectId, const wchar_t *newName) {
    CommandOutcome out;
    ComPtr<IPortableDeviceValues> results;
    out.call = device->SendCommand(0, RenameCommand(objectId, newName).Get(), results.GetAddressOf());
    if (!results) return out;
    results->GetErrorValue(WPD_PROPERTY_COMMON_HRESULT, &out.common);
    ComPtr<IPortableDeviceValues> writes;
    if (SUCCEEDED(results->GetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS,
                                                          writes.GetAddressOf())))
        writes->GetErrorValue(WPD_OBJECT_ORIGINAL_FILE_NAME, &out.write);
    return out;
}

ComPtr<IPortableDevice> OpenReadOnly(const wchar_t *pnpId) {
    ComPtr<IPortableDevice> device;
    CoCreateInstance(CLSID_PortableDeviceFTM, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDevice,
                     reinterpret_cast<void **>(device.GetAddressOf()));
    auto info = MakeValues();
    info->SetUnsignedIntegerValue(WPD_CLIENT_DESIRED_ACCESS, GENERIC_READ);
    if (!device || FAILED(device->Open(pnpId, info.Get()))) return nullptr;
    return device;
}

std::wstring Find(const wchar_t *path) { return kivosim::FindObject(L"usb#phone-1", path); }

// The properties of a new folder of that name below parent.
ComPtr<IPortableDeviceValues> NewFolderValues(const std::wstring &parent, const wchar_t *name) {
    auto folder = MakeValues();
    folder->SetStringValue(WPD_OBJECT_PARENT_ID, parent.c_str());
    folder->SetStringValue(WPD_OBJECT_NAME, name);
    folder->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    return folder;
}

}  // namespace

TEST_F(Sim, EveryMethodAndReleaseLeaveALastErrorCodeOfTheirOwn) {
    auto device = OpenDevice(L"usb#phone-1");
    ComPtr<IPortableDeviceContent> content;
    SetLastError(1234);
    ASSERT_EQ(device->Content(content.GetAddressOf()), S_OK);
    EXPECT_EQ(GetLastError(), 1117u);
    SetLastError(1234);
    content.Reset();
    EXPECT_EQ(GetLastError(), 1117u) << "Release";
}

TEST_F(Sim, CommandRulesCanPutTheirFailureInTheResults) {
    auto device = OpenDevice(L"usb#phone-1");
    std::wstring a = Find(L"Card\\DCIM\\a.jpg");
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDevice::SendCommand"}, {"hr", "0x80070005"},
                                                   {"inResults", true}, {"times", 1}}));
    CommandOutcome both = SendRename(device.Get(), a.c_str(), L"x.jpg");
    EXPECT_EQ(both.call, S_OK) << "the command reached the driver";
    EXPECT_EQ(both.common, E_ACCESSDENIED);
    EXPECT_EQ(both.write, E_ACCESSDENIED);
    EXPECT_EQ(Find(L"Card\\DCIM\\a.jpg"), a) << "nothing changed";

    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDevice::SendCommand"}, {"hr", "0x80070005"},
                                                   {"inResults", "write"}, {"times", 1}}));
    CommandOutcome write = SendRename(device.Get(), a.c_str(), L"x.jpg");
    EXPECT_EQ(write.common, S_OK);
    EXPECT_EQ(write.write, E_ACCESSDENIED);
    EXPECT_EQ(Find(L"Card\\DCIM\\a.jpg"), a);

    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IPortableDevice::SendCommand"}, {"hr", "0x00000001"},
                                                   {"inResults", "common"}, {"times", 1}}));
    CommandOutcome common = SendRename(device.Get(), a.c_str(), L"x.jpg");
    EXPECT_EQ(common.common, S_FALSE);
    EXPECT_EQ(common.write, S_OK);
    EXPECT_EQ(Find(L"Card\\DCIM\\a.jpg"), a);

    CommandOutcome ok = SendRename(device.Get(), a.c_str(), L"x.jpg");
    EXPECT_EQ(ok.common, S_OK);
    EXPECT_EQ(Find(L"Card\\DCIM\\x.jpg"), a) << "the rules are used up";
}

TEST_F(Sim, PropertiesSetWithoutAnObjectIdFailsAndRenamesNothing) {
    auto device = OpenDevice(L"usb#phone-1");
    CommandOutcome outcome = SendRename(device.Get(), nullptr, L"Renamed");
    EXPECT_EQ(outcome.call, S_OK);
    EXPECT_EQ(outcome.common, E_INVALIDARG);
    json root = kivosim::Object(L"usb#phone-1", L"DEVICE");
    EXPECT_FALSE(root.contains("originalFileName")) << root.dump();
}

TEST_F(Sim, AReadOnlyConnectionRefusesEveryWrite) {
    auto device = OpenReadOnly(L"usb#phone-1");
    ASSERT_TRUE(device);
    auto content = ContentOf(device.Get());
    std::wstring dcim = Find(L"Card\\DCIM"), a = Find(L"Card\\DCIM\\a.jpg");
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, IdCollection(a).Get(), nullptr), E_ACCESSDENIED);
    auto folder = NewFolderValues(dcim, L"New");
    LPWSTR id = nullptr;
    EXPECT_EQ(content->CreateObjectWithPropertiesOnly(folder.Get(), &id), E_ACCESSDENIED);
    ComPtr<IStream> upload;
    EXPECT_EQ(content->CreateObjectWithPropertiesAndData(folder.Get(), upload.GetAddressOf(), nullptr, nullptr),
              E_ACCESSDENIED);
    ComPtr<IPortableDeviceValues> results;
    EXPECT_EQ(device->SendCommand(0, RenameCommand(a.c_str(), L"x.jpg").Get(), results.GetAddressOf()), E_ACCESSDENIED);
    EXPECT_EQ(Find(L"Card\\DCIM\\a.jpg"), a);
    EXPECT_TRUE(Find(L"Card\\DCIM\\New").empty());
    EXPECT_EQ(Children(content.Get(), dcim.c_str(), 10).size(), 3u) << "reading still works";
}

// The write result of one property set through the properties-set command.
HRESULT SetOneProperty(IPortableDevice *device, const std::wstring &objectId, REFPROPERTYKEY key,
                       const PROPVARIANT &value) {
    auto parameters = RenameCommand(objectId.c_str(), L"");
    auto properties = MakeValues();
    properties->SetValue(key, &value);
    parameters->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES, properties.Get());
    ComPtr<IPortableDeviceValues> results, writes;
    HRESULT hr = device->SendCommand(0, parameters.Get(), results.GetAddressOf());
    if (FAILED(hr)) return hr;
    if (FAILED(results->GetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS,
                                                      writes.GetAddressOf())))
        return E_UNEXPECTED;
    writes->GetErrorValue(key, &hr);
    return hr;
}

PROPVARIANT Text(const wchar_t *text) {
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPWSTR;
    value.pwszVal = const_cast<LPWSTR>(text);
    return value;
}

// What each profile refuses that the plain device allows, and the other way
// round; a refused change leaves the object as it was.
TEST_F(Sim, ProfilesRefuseWhatTheirDevicesRefuse) {
    KivoSimReset();
    json files = {{{"kind", "file"}, {"name", "a"}, {"originalFileName", "a.jpg"}, {"data", "a"}},
                  {{"kind", "file"}, {"name", "b"}, {"originalFileName", "b.jpg"}, {"data", "b"}}};
    json devices = json::array();
    for (const char *profile : {"", "android", "camera", "player"}) {
        json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", files}};
        json device = DeviceJson(std::string("usb#") + (*profile ? profile : "plain"), "D", "D", {storage});
        if (*profile) device["profile"] = profile;
        device["latency"] = json::object();  // the profiles' read costs are not what this test is about
        devices.push_back(device);
    }
    Load({{"devices", devices}});
    PROPVARIANT date;
    PropVariantInit(&date);
    date.vt = VT_DATE;
    date.date = 40000.5;
    const HRESULT kTaken = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    struct Row {
        const wchar_t *device;
        PROPERTYKEY key;
        PROPVARIANT value;
        HRESULT expected;
        const char *name;  // a.jpg's file name after the change
    };
    const Row rows[] = {
        {L"usb#plain", WPD_OBJECT_ORIGINAL_FILE_NAME, Text(L"B.JPG"), kTaken, "a.jpg"},
        {L"usb#plain", WPD_OBJECT_ORIGINAL_FILE_NAME, Text(L"A.JPG"), S_OK, "A.JPG"},
        {L"usb#plain", WPD_OBJECT_DATE_MODIFIED, date, S_OK, "a.jpg"},
        {L"usb#player", WPD_OBJECT_ORIGINAL_FILE_NAME, Text(L"B.JPG"), S_OK, "B.JPG"},
        {L"usb#player", WPD_OBJECT_ORIGINAL_FILE_NAME, Text(L"b.jpg"), kTaken, "a.jpg"},
        {L"usb#android", WPD_OBJECT_NAME, Text(L"c"), E_ACCESSDENIED, "a.jpg"},
        {L"usb#android", WPD_OBJECT_DATE_MODIFIED, date, E_ACCESSDENIED, "a.jpg"},
        {L"usb#android", WPD_OBJECT_ORIGINAL_FILE_NAME, Text(L"c.jpg"), S_OK, "c.jpg"},
        {L"usb#camera", WPD_OBJECT_ORIGINAL_FILE_NAME, Text(L"c.jpg"), E_ACCESSDENIED, "a.jpg"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(Narrow(row.device) + " to " + std::to_string(&row - rows));
        KivoSimReset();
        Load({{"devices", devices}});
        std::wstring a = kivosim::FindObject(row.device, L"Card\\a.jpg");
        auto device = OpenDevice(row.device);
        ASSERT_TRUE(device);
        EXPECT_EQ(SetOneProperty(device.Get(), a, row.key, row.value), row.expected);
        json object = kivosim::Object(row.device, a.c_str());
        EXPECT_EQ(object["originalFileName"], row.name);
        bool dated = IsEqualPropertyKey(row.key, WPD_OBJECT_DATE_MODIFIED) && row.expected == S_OK;
        EXPECT_EQ(object.contains("modified"), dated) << object.dump();
        if (std::wstring(row.device) == L"usb#android" && row.expected == S_OK) {
            EXPECT_EQ(object["name"], "c.jpg") << "the name follows the file name";
        }
    }

    // A read-only storage takes no new object and gives none up; it says so.
    auto camera = OpenDevice(L"usb#camera");
    auto content = ContentOf(camera.Get());
    std::wstring card = kivosim::FindObject(L"usb#camera", L"Card"), a = kivosim::FindObject(L"usb#camera", L"Card\\a.jpg");
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, IdCollection(a).Get(), nullptr), E_ACCESSDENIED);
    auto folder = NewFolderValues(card, L"New");
    LPWSTR id = nullptr;
    EXPECT_EQ(content->CreateObjectWithPropertiesOnly(folder.Get(), &id), E_ACCESSDENIED);
    EXPECT_EQ(kivosim::FindObject(L"usb#camera", L"Card\\a.jpg"), a);
    json storage = kivosim::Object(L"usb#camera", card.c_str());
    EXPECT_EQ(storage["readOnly"], true);
    EXPECT_EQ(storage["fileSystem"], "FAT32");
    // On the plain device a second name that differs only in case is refused
    // at creation as at a rename.
    auto plainDevice = OpenDevice(L"usb#plain");
    auto plain = ContentOf(plainDevice.Get());
    folder->SetStringValue(WPD_OBJECT_PARENT_ID, kivosim::FindObject(L"usb#plain", L"Card").c_str());
    folder->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, L"A.jpg");
    EXPECT_EQ(plain->CreateObjectWithPropertiesOnly(folder.Get(), &id), kTaken);
}

TEST_F(Sim, DeleteKeepsWhatItCouldNotDelete) {
    std::wstring card = Find(L"Card");
    ASSERT_TRUE(KivoSimAddObject(L"usb#phone-1", card.c_str(),
                                 R"({"kind": "folder", "name": "Keep", "children": [
                                     {"kind": "file", "name": "free"},
                                     {"kind": "folder", "name": "Sub", "children": [
                                       {"kind": "file", "name": "locked", "canDelete": false}]}]})",
                                 nullptr, 0));
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring keep = Find(L"Card\\Keep");
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_WITH_RECURSION, IdCollection(keep).Get(), nullptr),
              E_ACCESSDENIED);
    EXPECT_FALSE(Find(L"Card\\Keep\\free").empty()) << "an error return deletes nothing";
    EXPECT_FALSE(Find(L"Card\\Keep\\Sub\\locked").empty());

    std::wstring b = Find(L"Card\\DCIM\\b.jpg");
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1",
                                  {{"method", "IPortableDeviceContent::Delete"}, {"hr", "0x00000001"}, {"times", 1}}));
    EXPECT_EQ(content->Delete(PORTABLE_DEVICE_DELETE_NO_RECURSION, IdCollection(b).Get(), nullptr), S_FALSE);
    EXPECT_EQ(Find(L"Card\\DCIM\\b.jpg"), b) << "S_FALSE: the object was not deleted";
}

TEST_F(Sim, CreationNeedsAParentAndRecordsDatesOfTheWrongType) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    auto orphan = MakeValues();
    orphan->SetStringValue(WPD_OBJECT_NAME, L"Orphan");
    orphan->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    LPWSTR id = nullptr;
    EXPECT_EQ(content->CreateObjectWithPropertiesOnly(orphan.Get(), &id), E_INVALIDARG);
    ComPtr<IStream> stream;
    EXPECT_EQ(content->CreateObjectWithPropertiesAndData(orphan.Get(), stream.GetAddressOf(), nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(kivosim::Object(L"usb#phone-1", L"DEVICE")["childIds"].size(), 1u) << "nothing under the device";

    std::wstring empty = Find(L"Card\\Empty");
    auto folder = MakeValues();
    folder->SetStringValue(WPD_OBJECT_PARENT_ID, empty.c_str());
    folder->SetStringValue(WPD_OBJECT_NAME, L"Dated");
    folder->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    PROPVARIANT wrong;
    PropVariantInit(&wrong);
    wrong.vt = VT_R8;
    wrong.dblVal = 45000.5;
    folder->SetValue(WPD_OBJECT_DATE_MODIFIED, &wrong);
    ASSERT_EQ(content->CreateObjectWithPropertiesOnly(folder.Get(), &id), S_OK);
    json created = kivosim::Object(L"usb#phone-1", id);
    CoTaskMemFree(id);
    EXPECT_EQ(created["modifiedType"], VT_R8) << created.dump();
    EXPECT_FALSE(created.contains("modified"));
}

TEST_F(Sim, RevertAbandonsAnUploadAndALaterCommitFails) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring empty = Find(L"Card\\Empty");
    ComPtr<IStream> upload = StartUpload(content.Get(), empty, L"gone", 4ull);
    ASSERT_TRUE(upload);
    ULONG written = 0;
    ASSERT_EQ(upload->Write("abcd", 4, &written), S_OK);
    EXPECT_EQ(upload->Revert(), S_OK);
    EXPECT_EQ(upload->Commit(STGC_DEFAULT), STG_E_REVERTED);
    EXPECT_TRUE(Children(content.Get(), empty.c_str(), 10).empty());
}

TEST_F(Sim, StreamRulesHonourSkipAndTimes) {
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    std::wstring big = Find(L"Card\\DCIM\\big.mp4");
    ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", {{"method", "IStream::Read"}, {"afterBytes", 0}, {"skip", 1},
                                                   {"times", 1}, {"hr", "0x8007001F"}}));
    ComPtr<IPortableDeviceResources> resources;
    content->Transfer(resources.GetAddressOf());
    ComPtr<IStream> stream;
    ASSERT_EQ(resources->GetStream(big.c_str(), WPD_RESOURCE_DEFAULT, STGM_READ, nullptr, stream.GetAddressOf()), S_OK);
    char buffer[100];
    ULONG got = 0;
    EXPECT_EQ(stream->Read(buffer, 100, &got), S_OK) << "skipped";
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(stream->Read(buffer, 100, &got), HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
    EXPECT_EQ(stream->Read(buffer, 100, &got), S_OK) << "fired its one time";
}

TEST_F(Sim, RulesUnderADeviceFireOnlyOnItsCalls) {
    Load({{"devices", {DeviceJson("usb#other", "Other", "Other", json::array())}}});
    ASSERT_TRUE(kivosim::AddFault(L"usb#other", {{"method", "PortableDeviceValues::CreateInstance"}}));
    ASSERT_TRUE(kivosim::AddFault(L"usb#other", {{"method", "IPortableDevice::Content"}}));
    EXPECT_TRUE(MakeValues()) << "class creation belongs to no device";
    auto device = OpenDevice(L"usb#phone-1");
    EXPECT_TRUE(ContentOf(device.Get()));
    auto other = OpenDevice(L"usb#other");
    EXPECT_FALSE(ContentOf(other.Get()));
}

TEST_F(Sim, NewObjectsCanGetLongIds) {
    ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"idPrefix", "a-very-long-object-id-"}}));
    auto device = OpenDevice(L"usb#phone-1");
    auto content = ContentOf(device.Get());
    auto folder = MakeValues();
    folder->SetStringValue(WPD_OBJECT_PARENT_ID, Find(L"Card").c_str());
    folder->SetStringValue(WPD_OBJECT_NAME, L"Long");
    folder->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, WPD_CONTENT_TYPE_FOLDER);
    LPWSTR id = nullptr;
    ASSERT_EQ(content->CreateObjectWithPropertiesOnly(folder.Get(), &id), S_OK);
    EXPECT_GT(wcslen(id), 13u);
    EXPECT_EQ(std::wstring(id).rfind(L"a-very-long-object-id-", 0), 0u);
    CoTaskMemFree(id);
}

TEST_F(Sim, NamesOfAMisbehavingDriverAreNotTerminated) {
    ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"unterminatedNames", true}}));
    auto manager = MakeManager();
    DWORD length = 0;
    ASSERT_EQ(manager->GetDeviceFriendlyName(L"usb#phone-1", nullptr, &length), S_OK);
    ASSERT_EQ(length, 6u);
    wchar_t name[6];
    ASSERT_EQ(manager->GetDeviceFriendlyName(L"usb#phone-1", name, &length), S_OK);
    EXPECT_EQ(std::wstring(name, 6), L"Phone#");
}

TEST_F(Sim, APhoneUnpluggedMidwayFailsEveryLaterCallAndIsNoLongerListed) {
    ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"unplugAfterCalls", 2}}));
    auto device = OpenDevice(L"usb#phone-1");  // the first call
    auto content = ContentOf(device.Get());     // the second
    ASSERT_TRUE(content);
    ComPtr<IEnumPortableDeviceObjectIDs> children;
    EXPECT_EQ(content->EnumObjects(0, WPD_DEVICE_OBJECT_ID, nullptr, children.GetAddressOf()),
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    ComPtr<IPortableDeviceProperties> properties;
    EXPECT_EQ(content->Properties(properties.GetAddressOf()), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    ComPtr<IPortableDeviceContent> again;
    EXPECT_EQ(device->Content(again.GetAddressOf()), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    DWORD count = 0;
    ASSERT_TRUE(SUCCEEDED(MakeManager()->GetDevices(nullptr, &count)));
    EXPECT_EQ(count, 0u) << "an unplugged device is not listed";
    EXPECT_FALSE(OpenDevice(L"usb#phone-1"));
    ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"connected", true}}));
    EXPECT_TRUE(ContentOf(OpenDevice(L"usb#phone-1").Get())) << "plugged in again";
}

namespace {

// Gathers what a bulk read delivers, merged by object ID.
class BulkSink final : public IPortableDevicePropertiesBulkCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        *out = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPortableDevicePropertiesBulkCallback)) ? this : nullptr;
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE OnStart(REFGUID) override {
        ++starts;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnProgress(REFGUID, IPortableDeviceValuesCollection *results) override {
        ++progressCalls;
        if (GetCurrentThreadId() == callerThread) calledOnCallerThread = true;
        DWORD count = 0;
        results->GetCount(&count);
        for (DWORD i = 0; i < count; ++i) {
            ComPtr<IPortableDeviceValues> values;
            results->GetAt(i, values.GetAddressOf());
            LPWSTR id = nullptr;
            if (FAILED(values->GetStringValue(WPD_OBJECT_ID, &id))) {
                withoutId = true;
                continue;
            }
            json &merged = objects[Narrow(id)];
            CoTaskMemFree(id);
            DWORD keys = 0;
            values->GetCount(&keys);
            for (DWORD k = 0; k < keys; ++k) {
                PROPERTYKEY key{};
                PROPVARIANT value;
                PropVariantInit(&value);
                values->GetAt(k, &key, &value);
                merged[KeyName(key)] = value.vt == VT_LPWSTR ? json(Narrow(value.pwszVal))
                                       : value.vt == VT_ERROR ? json("error")
                                       : value.vt == VT_UI8   ? json(value.uhVal.QuadPart)
                                                              : json(value.vt);
                PropVariantClear(&value);
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnd(REFGUID, HRESULT status) override {
        endStatus = status;
        SetEvent(ended);
        return S_OK;
    }
    static std::string KeyName(REFPROPERTYKEY key) {
        if (IsEqualPropertyKey(key, WPD_OBJECT_ID)) return "id";
        if (IsEqualPropertyKey(key, WPD_OBJECT_NAME)) return "name";
        if (IsEqualPropertyKey(key, WPD_OBJECT_SIZE)) return "size";
        return "other";
    }

    std::atomic<ULONG> references{1};
    DWORD callerThread = GetCurrentThreadId();
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int starts = 0, progressCalls = 0;
    bool calledOnCallerThread = false, withoutId = false;
    HRESULT endStatus = E_PENDING;
    std::map<std::string, json> objects;
};

ComPtr<IPortableDevicePropertiesBulk> BulkOf(IPortableDeviceContent *content, HRESULT *query = nullptr) {
    ComPtr<IPortableDeviceProperties> properties;
    content->Properties(properties.GetAddressOf());
    ComPtr<IPortableDevicePropertiesBulk> bulk;
    HRESULT hr = properties.As(&bulk);
    if (query) *query = hr;
    return bulk;
}

}  // namespace

TEST_F(Sim, BulkReadsDeliverOnAnotherThreadMergedByIdOrEndWithTheirFailure) {
    {
        ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"bulkProperties", false}}));
        auto device = OpenDevice(L"usb#phone-1");
        HRESULT query = S_OK;
        EXPECT_FALSE(BulkOf(ContentOf(device.Get()).Get(), &query));
        EXPECT_EQ(query, E_NOINTERFACE) << "a device without bulk reads";
        ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", {{"bulkProperties", true}}));
    }
    std::wstring a = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\a.jpg");
    std::wstring b = kivosim::FindObject(L"usb#phone-1", L"Card\\DCIM\\b.jpg");
    struct Case {
        const char *what;
        json device;
        json fault;
        HRESULT start, end;
    } cases[] = {
        {"one chunk", {{"bulkChunk", 100}, {"bulkSplitValues", false}}, nullptr, S_OK, S_OK},
        {"chunks of one, values split", {{"bulkChunk", 1}, {"bulkSplitValues", true}}, nullptr, S_OK, S_OK},
        {"Start refused", {{"bulkChunk", 1}}, {{"method", "IPortableDevicePropertiesBulk::Start"}, {"hr", "0x80070005"}, {"times", 1}},
         E_ACCESSDENIED, E_PENDING},
        {"second chunk fails", {{"bulkChunk", 1}, {"bulkSplitValues", false}},
         {{"method", "IPortableDevicePropertiesBulk::Results"}, {"hr", "0x8007001F"}, {"skip", 1}}, S_OK,
         HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(kivosim::SetDevice(L"usb#phone-1", c.device));
        if (!c.fault.is_null()) {
            ASSERT_TRUE(kivosim::AddFault(L"usb#phone-1", c.fault));
        }
        {
            auto device = OpenDevice(L"usb#phone-1");
            auto bulk = BulkOf(ContentOf(device.Get()).Get());
            ASSERT_TRUE(bulk);
            auto ids = IdCollection(a);
            PROPVARIANT v;
            PropVariantInit(&v);
            v.vt = VT_LPWSTR;
            v.pwszVal = const_cast<LPWSTR>(b.c_str());
            ids->Add(&v);
            v.pwszVal = const_cast<LPWSTR>(L"o999");
            ids->Add(&v);
            ComPtr<IPortableDeviceKeyCollection> keys;
            CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IPortableDeviceKeyCollection, reinterpret_cast<void **>(keys.GetAddressOf()));
            keys->Add(WPD_OBJECT_NAME);
            keys->Add(WPD_OBJECT_SIZE);
            BulkSink sink;
            GUID context{};
            EXPECT_EQ(bulk->QueueGetValuesByObjectList(ids.Get(), nullptr, &sink, &context), E_INVALIDARG)
                << "the keys are named, never implied";
            ASSERT_EQ(bulk->QueueGetValuesByObjectList(ids.Get(), keys.Get(), &sink, &context), S_OK);
            EXPECT_EQ(sink.starts, 0) << "nothing runs before Start";
            ASSERT_EQ(bulk->Start(context), c.start);
            if (SUCCEEDED(c.start)) {
                ASSERT_EQ(WaitForSingleObject(sink.ended, 10000), WAIT_OBJECT_0);
                EXPECT_EQ(sink.endStatus, c.end);
                EXPECT_EQ(sink.starts, 1);
                EXPECT_FALSE(sink.calledOnCallerThread) << "results come on another thread";
                EXPECT_FALSE(sink.withoutId) << "every part carries its object's ID";
                EXPECT_EQ(sink.objects[Narrow(a)], json({{"id", Narrow(a)}, {"name", "a"}, {"size", 5}}));
                if (SUCCEEDED(c.end)) {
                    EXPECT_EQ(sink.objects["o999"], json({{"id", "o999"}, {"name", "error"}, {"size", "error"}}));
                    EXPECT_EQ(sink.objects.size(), 3u);
                } else {
                    EXPECT_EQ(sink.objects.size(), 1u) << "what came before the failure";
                }
                int chunks = FAILED(c.end) ? 1 : c.device.value("bulkChunk", 100) == 1 ? 3 : 1;
                EXPECT_GE(sink.progressCalls, chunks) << "one OnProgress per chunk";
            }
            EXPECT_EQ(bulk->Start(context), FAILED(c.start) ? S_OK : E_INVALIDARG) << "a context starts once";
            if (FAILED(c.start)) WaitForSingleObject(sink.ended, 10000);
            CloseHandle(sink.ended);
        }
        KivoSimClearFaults();
        ExpectNoLiveObjects();
    }
}

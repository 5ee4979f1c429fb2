// An unmodified host sees the devices of a fixture file, and the sim writes
// their final state to the dump file when the host ends.
#include "support/test_support.h"

#include <vector>

using namespace kivotest;

namespace {

// Runs a program of the build with the sim's two variables; its exit code,
// with standard output captured into outputFile.
DWORD RunWithEnvironment(const std::wstring &program, const std::wstring &devices, const std::wstring &dump,
                         const std::wstring &outputFile) {
    return RunChild({program, L"", {{L"KIVO_SIM_DEVICES", devices}, {L"KIVO_SIM_DUMP", dump}}, outputFile, L""});
}

}  // namespace

TEST(Fixture, AnUnmodifiedHostSeesTheFixtureAndItsChangesAreDumped) {
    TempFolder folder;
    json fixture = PhoneFixture();
    fixture["devices"].push_back(DeviceJson("usb#cam", "Camera", "Camera", json::array()));
    ASSERT_TRUE(WriteFileText(folder.File(L"devices.json"), fixture.dump()));

    DWORD code = RunWithEnvironment(ProgramFolder() + L"\\fixture_host.exe", folder.File(L"devices.json"),
                                    folder.File(L"dump.json"), folder.File(L"out.txt"));
    std::string output = ReadFileText(folder.File(L"out.txt"));
    ASSERT_EQ(code, 0u) << output;
    EXPECT_NE(output.find("device usb#phone-1 Phone"), std::string::npos) << output;
    EXPECT_NE(output.find("device usb#cam Camera"), std::string::npos) << output;
    EXPECT_NE(output.find("child o1"), std::string::npos) << output;
    EXPECT_NE(output.find("upload ok"), std::string::npos) << output;

    json dump = json::parse(ReadFileText(folder.File(L"dump.json")), nullptr, false);
    ASSERT_FALSE(dump.is_discarded());
    ASSERT_EQ(dump["devices"].size(), 2u);
    const json &storage = dump["devices"][0]["objects"][0];
    ASSERT_EQ(storage["children"].size(), 5u);
    const json &uploaded = storage["children"][3];
    EXPECT_EQ(uploaded["originalFileName"], "hello.txt");
    EXPECT_EQ(uploaded["data"], "from host");
    EXPECT_EQ(uploaded["size"], 9);
    EXPECT_EQ(uploaded["sha256"].get<std::string>().size(), 64u);

    const json &blob = storage["children"][4];
    EXPECT_EQ(blob["size"], 70000);
    EXPECT_FALSE(blob.contains("data"));
    ASSERT_TRUE(blob.contains("dataFile")) << blob.dump();

    // The dump loads back as a fixture, binary data included.
    KivoSimReset();
    EXPECT_EQ(KivoSimLoadFixtureFile(folder.File(L"dump.json").c_str()), 2) << kivosim::LastError();
    EXPECT_EQ(kivosim::FindObject(L"usb#phone-1", L"Card\\hello.txt"), Widen(uploaded["id"].get<std::string>()));
    std::wstring blobId = kivosim::FindObject(L"usb#phone-1", L"Card\\blob.bin");
    std::vector<unsigned char> bytes(70001);
    ASSERT_EQ(KivoSimReadData(L"usb#phone-1", blobId.c_str(), 0, bytes.data(), bytes.size()), 70000u);
    bool same = true;
    for (size_t i = 0; i < 70000; ++i) same = same && bytes[i] == static_cast<unsigned char>(i * 7);
    EXPECT_TRUE(same) << "the data comes back byte for byte";
}

TEST(Fixture, MalformedFixtureIsReported) {
    EXPECT_EQ(KivoSimLoadFixture("{\"devices\": [{\"friendlyName\": \"x\"}]}"), -1);
    EXPECT_NE(kivosim::LastError().find("pnpId"), std::string::npos);
    EXPECT_EQ(KivoSimLoadFixture("not json"), -1);
}

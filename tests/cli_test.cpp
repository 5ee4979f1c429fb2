// kivo.exe as a user runs it: each command in its own process, with the
// devices of a fixture file, its output read back as UTF-8.
#include "support/test_support.h"

#include <map>
#include <sstream>

using namespace kivotest;

namespace {

struct Outcome {
    DWORD status = 0xFFFFFFFF;
    std::string out, error;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        json photo = {{"kind", "file"}, {"name", "a.jpg"}, {"originalFileName", "a.jpg"}, {"data", "hello"},
                      {"modified", "2024-05-01T12:00:00"}};
        json cafe = {{"kind", "file"}, {"name", "caf\u00e9 \u6771\u4eac \U0001F600.jpg"},
                     {"originalFileName", "caf\u00e9 \u6771\u4eac \U0001F600.jpg"}, {"data", "unicode"}};
        json notes = {{"kind", "file"}, {"name", "notes.txt"}, {"originalFileName", "notes.txt"}, {"data", "text"}};
        json dcim = {{"kind", "folder"}, {"name", "DCIM"}, {"children", {photo, cafe, notes}}};
        json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", {dcim, {{"kind", "folder"}, {"name", "Up"}}}}};
        json fixture = {{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}};
        fixtureFile = disk.File(L"devices.json");
        ASSERT_TRUE(WriteFileText(fixtureFile, fixture.dump()));
        dumpFile = disk.File(L"dump.json");
    }
    // Runs kivo.exe with the arguments (a command line's tail) and waits.
    Outcome Run(const std::wstring &arguments) {
        Outcome outcome;
        std::wstring outPath = disk.File(L"out.txt"), errorPath = disk.File(L"error.txt");
        outcome.status = RunChild({ProgramFolder() + L"\\kivo.exe", arguments,
                                   {{L"KIVO_SIM_DEVICES", fixtureFile}, {L"KIVO_SIM_DUMP", dumpFile}}, outPath, errorPath});
        outcome.out = ReadFileText(outPath);
        outcome.error = ReadFileText(errorPath);
        // The next run starts from the state this one left.
        if (GetFileAttributesW(dumpFile.c_str()) != INVALID_FILE_ATTRIBUTES) CopyFileW(dumpFile.c_str(), fixtureFile.c_str(), FALSE);
        return outcome;
    }
    static std::vector<std::string> Lines(const std::string &text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    TempFolder disk;
    std::wstring fixtureFile, dumpFile;
};

const std::string kCafe = "caf\u00e9 \u6771\u4eac \U0001F600.jpg";

}  // namespace

TEST_F(Cli, DevicesAndListingsPrintWhatTheDeviceHolds) {
    Outcome devices = Run(L"devices");
    EXPECT_EQ(devices.status, 0u) << devices.error;
    EXPECT_EQ(devices.out, "Phone\n");

    Outcome ls = Run(L"ls Phone\\Card");
    EXPECT_EQ(ls.out, "DCIM\\\nUp\\\n");
    Outcome jpgs = Run(L"ls Phone\\Card\\DCIM\\*.jpg");
    EXPECT_EQ(Lines(jpgs.out), (std::vector<std::string>{"a.jpg", kCafe})) << "names round trip as UTF-8";

    Outcome asJson = Run(L"ls --json Phone\\Card\\DCIM");
    EXPECT_EQ(asJson.status, 0u);
    std::vector<std::string> names;
    for (const std::string &line : Lines(asJson.out)) {
        json entry = json::parse(line);
        names.push_back(entry["name"]);
        EXPECT_FALSE(entry["folder"].get<bool>());
        EXPECT_FALSE(entry["id"].get<std::string>().empty()) << "a device record carries its object ID";
        if (entry["name"] == "a.jpg") {
            EXPECT_EQ(entry["size"], 5);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", kCafe, "notes.txt"}));

    Outcome longList = Run(L"ls -l Phone\\Card\\DCIM\\a.jpg");
    ASSERT_EQ(Lines(longList.out).size(), 1u);
    EXPECT_NE(longList.out.find("5 B"), std::string::npos) << longList.out;
    EXPECT_NE(longList.out.find("2024-05-01"), std::string::npos) << longList.out;

    Outcome stat = Run(L"stat Phone\\Card\\DCIM\\a.jpg");
    EXPECT_EQ(stat.status, 0u);
    EXPECT_NE(stat.out.find("size:        5 (5 B)"), std::string::npos) << stat.out;

    // No device to list (none connected, or none that reports a name the
    // list can show) is an empty list, not a failure.
    json hidden = DeviceJson("usb#nameless", "Nameless", "Nameless", json::array());
    hidden.erase("description");
    ASSERT_TRUE(WriteFileText(fixtureFile, json{{"devices", {hidden}}}.dump()));
    Outcome none = Run(L"devices");
    EXPECT_EQ(none.status, 0u) << none.error;
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.error, "");
}

TEST_F(Cli, FileCommandsChangeTheDeviceAndTheDisk) {
    std::wstring target = disk.File(L"got");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    Outcome cp = Run(L"cp Phone\\Card\\DCIM\\a.jpg \"" + target + L"\"");
    EXPECT_EQ(cp.status, 0u) << cp.error;
    EXPECT_EQ(ReadFileText(target + L"\\a.jpg"), "hello") << "a folder target takes the source's name";
    Outcome onDisk = Run(L"stat \"" + target + L"\\a.jpg\"");
    EXPECT_NE(onDisk.out.find("name:        a.jpg\nkind:        file\nsize:        5 (5 B)"), std::string::npos)
        << onDisk.out;
    EXPECT_EQ(Run(L"cp --fail-if-exists Phone\\Card\\DCIM\\a.jpg \"" + target + L"\"").status, 1u);

    EXPECT_EQ(Run(L"cp \"" + target + L"\\a.jpg\" Phone\\Card\\Up\\b.jpg").status, 0u);
    EXPECT_EQ(Run(L"mv Phone\\Card\\Up\\b.jpg Phone\\Card\\Up\\c.jpg").status, 0u);
    EXPECT_EQ(Run(L"mkdir Phone\\Card\\Up\\New\\Deeper").status, 0u);
    EXPECT_EQ(Run(L"rmdir Phone\\Card\\Up\\New\\Deeper").status, 0u);
    EXPECT_EQ(Run(L"ls Phone\\Card\\Up").out, "c.jpg\nNew\\\n");
    EXPECT_EQ(Run(L"rm Phone\\Card\\Up\\c.jpg").status, 0u);
    EXPECT_EQ(Run(L"rm -r Phone\\Card\\Up\\New").status, 0u);
    EXPECT_EQ(Run(L"ls Phone\\Card\\Up").out, "");
}

TEST_F(Cli, ErrorsNameThePathAndTheSystemMessageAndUsageErrorsExitTwo) {
    Outcome missing = Run(L"stat Phone\\Card\\Nothing");
    EXPECT_EQ(missing.status, 1u);
    EXPECT_EQ(missing.error.rfind("kivo: Phone\\Card\\Nothing: ", 0), 0u) << missing.error;
    EXPECT_NE(missing.error.find("(error "), std::string::npos) << missing.error;
    EXPECT_EQ(Lines(missing.error).size(), 1u) << "one line";

    Outcome noDevice = Run(L"cp Nokia\\Card\\x.jpg \"" + disk.File(L"x.jpg") + L"\"");
    EXPECT_EQ(noDevice.status, 1u);
    EXPECT_NE(noDevice.error.find("Nokia\\Card\\x.jpg"), std::string::npos) << noDevice.error;

    Outcome badFlag = Run(L"ls --bogus Phone");
    EXPECT_EQ(badFlag.status, 2u);
    EXPECT_NE(badFlag.error.find("unknown option --bogus"), std::string::npos);
    EXPECT_NE(badFlag.error.find("usage: kivo ls"), std::string::npos);
    EXPECT_EQ(Run(L"frobnicate").status, 2u);
    EXPECT_EQ(Run(L"cp onlyone").status, 2u);
    for (const wchar_t *command : {L"devices", L"ls", L"stat", L"cp", L"mv", L"rm", L"rmdir", L"mkdir", L"copy-tree", L"pick"}) {
        Outcome help = Run(std::wstring(command) + L" --help");
        EXPECT_EQ(help.status, 0u) << Narrow(command);
        EXPECT_EQ(help.out.rfind("usage: kivo " + Narrow(command), 0), 0u) << help.out;
    }
}

TEST_F(Cli, CopyTreeListsEachFileWhenNotOnATerminalAndFailsWhenOneFailed) {
    std::wstring target = disk.File(L"tree");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(target + L"\\notes.txt", "mine"));
    Outcome copy = Run(L"copy-tree --fail-if-exists Phone\\Card\\DCIM \"" + target + L"\"");
    EXPECT_EQ(copy.status, 1u);
    std::vector<std::string> lines = Lines(copy.out);
    ASSERT_EQ(lines.size(), 4u) << copy.out;
    EXPECT_EQ(lines[0], "copied Phone\\Card\\DCIM\\a.jpg -> " + Narrow(target) + "\\a.jpg");
    EXPECT_EQ(lines[2].rfind("failed Phone\\Card\\DCIM\\notes.txt: ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("2 of 3 files copied, 0 up to date, 1 failed", 0), 0u) << lines[3];
    EXPECT_NE(copy.error.find("(error 80)"), std::string::npos) << "the failures listed at the end: " << copy.error;
    EXPECT_EQ(ReadFileText(target + L"\\" + Widen(kCafe)), "unicode");
    EXPECT_EQ(ReadFileText(target + L"\\notes.txt"), "mine");

    Outcome again = Run(L"copy-tree --newer Phone\\Card\\DCIM \"" + target + L"\"");
    EXPECT_EQ(again.status, 0u) << again.error;
    EXPECT_NE(again.out.find("0 of 3 files copied, 3 up to date, 0 failed"), std::string::npos) << again.out;
}

// df reports what each storage says of its space, and a copy-tree to a
// device that cannot hold the files is refused before the first, unless
// forced.
TEST_F(Cli, DfReportsStoragesAndCopyTreeChecksTheRoomFirst) {
    json fixture = json::parse(ReadFileText(fixtureFile));
    fixture["devices"][0]["objects"][0]["capacity"] = 1000000;
    fixture["devices"][0]["objects"][0]["freeSpace"] = 12;
    fixture["devices"][0]["objects"].push_back({{"kind", "storage"}, {"name", "Spare"}});
    ASSERT_TRUE(WriteFileText(fixtureFile, fixture.dump()));
    Outcome df = Run(L"df");
    EXPECT_EQ(df.status, 0u) << df.error;
    EXPECT_EQ(Lines(df.out), (std::vector<std::string>{"Phone\\Card  total 976.6 KB  free 12 B",
                                                       "Phone\\Spare  total not reported  free not reported"}))
        << df.out;
    Outcome asJson = Run(L"df --json Phone\\Card");
    ASSERT_EQ(Lines(asJson.out).size(), 1u) << asJson.out;
    json card = json::parse(asJson.out);
    EXPECT_EQ(card["path"], "Phone\\Card");
    EXPECT_EQ(card["total"], 1000000);
    EXPECT_EQ(card["free"], 12);

    std::wstring from = disk.File(L"up");
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    ASSERT_TRUE(WriteFileText(from + L"\\one.txt", "ten bytes!"));
    ASSERT_TRUE(WriteFileText(from + L"\\two.txt", "ten bytes!"));
    Outcome refused = Run(L"copy-tree \"" + from + L"\" Phone\\Card\\Up");
    EXPECT_EQ(refused.status, 1u);
    EXPECT_NE(refused.error.find("need 20 B but the storage has 12 B free"), std::string::npos) << refused.error;
    auto filesInUp = [&] {
        json state = json::parse(ReadFileText(dumpFile));
        for (auto &child : state["devices"][0]["objects"][0]["children"])
            if (child["name"] == "Up") return child["children"].size();
        return size_t(99);
    };
    EXPECT_EQ(filesInUp(), 0u) << "nothing copied";
    Outcome forced = Run(L"copy-tree --force \"" + from + L"\" Phone\\Card\\Up");
    EXPECT_EQ(forced.status, 1u) << "the file that no longer fits fails";
    EXPECT_NE(forced.out.find("1 of 2 files copied, 0 up to date, 1 failed"), std::string::npos) << forced.out;
    EXPECT_EQ(filesInUp(), 1u);
}

// Piped, cp tells of a copy that lasts in plain lines, about one a second.
TEST_F(Cli, APipedCopyThatLastsPrintsPlainProgressLines) {
    json fixture = json::parse(ReadFileText(fixtureFile));
    fixture["devices"][0]["bandwidth"] = 200000;
    fixture["devices"][0]["transferSize"] = 16384;
    fixture["devices"][0]["objects"][0]["children"][0]["children"].push_back(
        {{"kind", "file"}, {"name", "slow.bin"}, {"originalFileName", "slow.bin"}, {"size", 500000}, {"seed", 5}});
    ASSERT_TRUE(WriteFileText(fixtureFile, fixture.dump()));
    Outcome cp = Run(L"cp Phone\\Card\\DCIM\\slow.bin \"" + disk.File(L"slow.bin") + L"\"");
    EXPECT_EQ(cp.status, 0u) << cp.error;
    std::vector<std::string> lines = Lines(cp.out);
    ASSERT_GE(lines.size(), 1u) << "two and a half seconds of copying";
    for (const std::string &line : lines) {
        EXPECT_EQ(line.rfind("slow.bin: ", 0), 0u) << line;
        EXPECT_NE(line.find(" of 488.3 KB  "), std::string::npos) << line;
        EXPECT_NE(line.find(" left"), std::string::npos) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << "no terminal redraws when piped";
    }
    EXPECT_EQ(Run(L"cp Phone\\Card\\DCIM\\a.jpg \"" + disk.File(L"a.jpg") + L"\"").out, "")
        << "a quick copy prints nothing";
}

// kivo check against each device profile: the lines a profile changes from
// the plain device's, and nothing else; the device is left as it was and no
// local file of the run remains, whatever the outcome.
TEST_F(Cli, CheckReportsWhatEachDeviceProfileChangesAndLeavesTheDeviceAsItWas) {
    const std::vector<std::string> plain = {
        "writable storage: ok",
        "upload and download: ok (1000 B, 1 MiB and 65 MiB read back byte for byte)",
        "device to device: ok (65 MiB copied through a temporary file and read back byte for byte)",
        "listing: ok (4 files, names and sizes as uploaded)",
        "path resolution: ok (a path in another case, a 204-character name and names with dots)",
        "names that differ only in case: ok (the device refuses a second name that differs only in case: 0x800700B7)",
        "dates kept on upload: ok",
        "dates changed later: ok",
        "rename in place: ok",
        "replace: ok (the new data, and nothing left of the old)",
        "delete: ok (a file, and a folder with what is in it)",
        "bulk property reads: ok (8 objects read alike in bulk and one by one)",
        "free space: ok (637.0 MB free of 1.0 GB; it follows the uploads)",
        "largest object: not offered (the storage reports no limit)",
        "transfer size: ok (262144 bytes)",
        "property read:",
    };
    struct Row {
        const char *profile;
        std::map<std::string, std::string> changed;  // by check name; "" drops the line
        double leastMillis;                           // a property read costs at least this
        DWORD status;
        json faults = json::array();
    };
    const std::vector<Row> rows = {
        {"", {}, 0, 0},
        {"android",
         {{"dates changed later", "dates changed later: not offered (the device keeps the dates of the upload: 0x80070005)"},
          {"bulk property reads", "bulk property reads: not offered (the library reads object by object)"},
          {"largest object",
           "largest object: ok (4294967295 bytes on FAT32; a larger upload fails before it starts)"}},
         19.5, 0},
        {"camera",
         {{"writable storage", "writable storage: not offered (the storage is read-only: Access denied (error 5))"},
          {"bulk property reads", "bulk property reads: ok (1 objects read alike in bulk and one by one)"},
          {"largest object", "largest object: not offered (the storage reports no limit on FAT32)"},
          {"upload and download", ""}, {"device to device", ""}, {"listing", ""}, {"path resolution", ""},
          {"names that differ only in case", ""}, {"dates kept on upload", ""}, {"dates changed later", ""},
          {"rename in place", ""}, {"replace", ""}, {"delete", ""}, {"free space", ""}, {"transfer size", ""}},
         4.5, 0},
        {"player",
         {{"names that differ only in case", "names that differ only in case: differs (the device keeps Mixed-Case.txt "
                                             "and MIXED-CASE.TXT apart; each path addresses its own)"}},
         0, 0},
        // A device that offers bulk reads but fails every one: the library
        // reads object by object and gets the same records.
        {"",
         {{"bulk property reads", "bulk property reads: differs (offered, but a bulk read fails; the library falls "
                                  "back to reading object by object)"}},
         0, 0, json::array({{{"method", "IPortableDevicePropertiesBulk::Start"}}})},
        // A device that fails a commit midway: the check says so, stops
        // there (what follows builds on it), fails, and still removes
        // everything it made.
        {"",
         {{"upload and download", "upload and download: differs (uploading large.bin: Write fault (error 29))"},
          {"device to device", ""}, {"listing", ""}, {"path resolution", ""}, {"names that differ only in case", ""},
          {"dates kept on upload", ""}, {"dates changed later", ""}, {"rename in place", ""}, {"replace", ""},
          {"delete", ""}, {"bulk property reads", ""}, {"free space", ""}, {"largest object", ""},
          {"transfer size", ""}, {"property read", ""}},
         0, 1, json::array({{{"method", "IStream::Commit"}, {"skip", 2}, {"times", 1}, {"hr", "0x8007045D"}}})},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.profile);
        json photo = {{"kind", "file"}, {"name", "IMG_0001.JPG"}, {"originalFileName", "IMG_0001.JPG"}, {"size", 5000}};
        json storage = {{"kind", "storage"}, {"name", "Card"}, {"capacity", 1073741824}, {"freeSpace", 805306368},
                        {"children", {{{"kind", "folder"}, {"name", "DCIM"}, {"children", {photo}}}}}};
        json device = DeviceJson("usb#checked", "Checked", "Checked", {storage});
        if (*row.profile) device["profile"] = row.profile;
        device["faults"] = row.faults;
        const std::string fixture = json{{"devices", {device}}}.dump();
        ASSERT_TRUE(WriteFileText(fixtureFile, fixture));
        ASSERT_EQ(Run(L"devices").status, 0u);
        std::string before = ReadFileText(dumpFile);
        ASSERT_TRUE(WriteFileText(fixtureFile, fixture));  // a dump holds no fault rules

        Outcome check = Run(L"check Checked");
        EXPECT_EQ(check.status, row.status) << check.out << check.error;
        std::vector<std::string> expected;
        for (const std::string &line : plain) {
            std::string name = line.substr(0, line.find(':'));
            auto changed = row.changed.find(name);
            if (changed == row.changed.end()) expected.push_back(line);
            else if (!changed->second.empty()) expected.push_back(changed->second);
        }
        std::vector<std::string> lines = Lines(check.out);
        // The time of a read is measured: only its lower bound is known.
        if (!lines.empty() && lines.back().rfind("property read: ok (", 0) == 0) {
            EXPECT_GE(std::stod(lines.back().substr(19)), row.leastMillis) << lines.back();
            lines.back() = "property read:";
        }
        EXPECT_EQ(lines, expected) << check.out;
        EXPECT_EQ(ReadFileText(dumpFile), before) << "the device is as it was";
        wchar_t temporary[MAX_PATH];
        GetTempPathW(MAX_PATH, temporary);
        EXPECT_EQ(CountEntries(temporary, L"kivo-check-*"), 0u);
    }
    Outcome asJson = Run(L"check --json Checked Card");
    json parsed = json::parse(asJson.out, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << asJson.out;
    EXPECT_EQ(parsed["status"], 0);
    EXPECT_EQ(parsed["checks"].size(), plain.size());
    EXPECT_EQ(parsed["checks"][7]["check"], "dates changed later");
    EXPECT_EQ(parsed["checks"][7]["result"], "ok");
    EXPECT_EQ(Run(L"check").status, 2u);
}

// Shared pieces of the test suites: a fixture that gives every test a fresh
// sim and COM apartment, the standard simulated phone, and small COM helpers.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/wpd.h"
#include "sim/kivosim.h"

namespace kivotest {

using Microsoft::WRL::ComPtr;
using json = nlohmann::json;

// A phone with one storage, a DCIM folder of three files, a music folder and
// an empty folder; its PnP ID is "usb#phone-1" and it is named "Phone".
json PhoneFixture();
json DeviceJson(const std::string &pnpId, const char *friendlyName, const char *description, json objects);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads a fixture and fails the test when the sim refuses it.
    void Load(const json &fixture);
    // Asserts that no COM object the sim handed out is still alive.
    void ExpectNoLiveObjects();
};

ComPtr<IPortableDeviceManager> MakeManager();
ComPtr<IPortableDeviceValues> MakeValues();
ComPtr<IPortableDevice> OpenDevice(const wchar_t *pnpId);
ComPtr<IPortableDeviceContent> ContentOf(IPortableDevice *device);

// The objects directly below the object at path (storage\folder, as the
// sim's FindObject takes it), as the sim describes them, in its order.
std::vector<json> ChildObjects(const wchar_t *pnpId, const wchar_t *path);
// Those of them a replace staged under a name of its own ("~kivo…").
std::vector<json> StagedObjects(const wchar_t *pnpId, const wchar_t *path);

std::wstring Widen(const std::string &text);
std::string Narrow(const std::wstring &text);
// The device profile a suite runs under (KIVO_SIM_PROFILE), empty for the
// plain device, for the few results a profile changes.
std::string SuiteProfile();

// A folder under the test's temporary folder, removed with its contents when
// the object goes out of scope.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::wstring &Path() const { return path_; }
    std::wstring File(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

bool WriteFileText(const std::wstring &path, const std::string &text);
// The number of entries of folder matching a FindFirstFileW pattern;
// filesOnly leaves directories out.
size_t CountEntries(const std::wstring &folder, const wchar_t *pattern, bool filesOnly = false);
// The computer folder's display name as the shell shows it.
std::wstring ShellNameOfComputerFolder();
std::string ReadFileText(const std::wstring &path);

// The folder of the running test program, where every program of the build is.
std::wstring ProgramFolder();

struct ChildProgram {
    std::wstring program;    // full path
    std::wstring arguments;  // appended to the quoted program
    std::vector<std::pair<std::wstring, std::wstring>> environment;  // set for the child only
    std::wstring outputFile;  // standard output
    std::wstring errorFile;   // standard error; empty: into outputFile
};

// Starts the program, calls whileRunning (when given) and waits up to two
// minutes; the exit code, or 0xFFFFFFFF when it could not start or run out.
DWORD RunChild(const ChildProgram &child, const std::function<void()> &whileRunning = nullptr);

}  // namespace kivotest

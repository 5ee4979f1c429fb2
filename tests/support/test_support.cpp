#include "test_support.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

namespace kivotest {

json DeviceJson(const std::string &pnpId, const char *friendlyName, const char *description, json objects) {
    json device = {{"pnpId", pnpId}, {"objects", std::move(objects)}};
    if (friendlyName) device["friendlyName"] = friendlyName;
    if (description) device["description"] = description;
    return device;
}

json PhoneFixture() {
    json dcim = {{"kind", "folder"},
                 {"name", "DCIM"},
                 {"children",
                  {{{"kind", "file"},
                    {"name", "a"},
                    {"originalFileName", "a.jpg"},
                    {"data", "hello"},
                    {"created", "2024-04-30T08:00:00"},
                    {"modified", "2024-05-01T12:00:00"},
                    {"contentType", "image"},
                    {"format", "exif"}},
                   {{"kind", "file"}, {"name", "b.jpg"}, {"originalFileName", "b.jpg"}, {"data", "world!"}},
                   {{"kind", "file"}, {"name", "big.mp4"}, {"originalFileName", "big.mp4"}, {"size", 70000000},
                    {"seed", 7}}}}};
    json music = {{"kind", "folder"},
                  {"name", "Music"},
                  {"children", {{{"kind", "file"}, {"name", "song.mp3"}, {"originalFileName", "song.mp3"}, {"data", "la"}}}}};
    json empty = {{"kind", "folder"}, {"name", "Empty"}};
    json storage = {{"kind", "storage"}, {"name", "Card"}, {"children", {dcim, music, empty}}};
    return {{"devices", {DeviceJson("usb#phone-1", "Phone", "Phone", {storage})}}};
}

void SimTest::SetUp() {
    // A run that asks for a time zone must get it: a test of local times in
    // the host's own zone would pass without testing what it says.
    char wanted[16] = {};
    if (GetEnvironmentVariableA("KIVO_TEST_ZONE_BIAS", wanted, sizeof wanted)) {
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);
        ASSERT_EQ(zone.Bias, std::atol(wanted)) << "the time zone asked for did not take";
    }
    CoInitialize(nullptr);
    KivoSimReset();
}

void SimTest::TearDown() {
    ExpectNoLiveObjects();
    CoUninitialize();
}

void SimTest::Load(const json &fixture) {
    ASSERT_GE(KivoSimLoadFixture(fixture.dump().c_str()), 0) << kivosim::LastError();
}

void SimTest::ExpectNoLiveObjects() { EXPECT_EQ(KivoSimLiveObjects(), 0) << "sim objects left alive"; }

ComPtr<IPortableDeviceManager> MakeManager() {
    ComPtr<IPortableDeviceManager> manager;
    CoCreateInstance(CLSID_PortableDeviceManager, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceManager,
                     reinterpret_cast<void **>(manager.GetAddressOf()));
    return manager;
}

ComPtr<IPortableDeviceValues> MakeValues() {
    ComPtr<IPortableDeviceValues> values;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void **>(values.GetAddressOf()));
    return values;
}

ComPtr<IPortableDevice> OpenDevice(const wchar_t *pnpId) {
    ComPtr<IPortableDevice> device;
    if (FAILED(CoCreateInstance(CLSID_PortableDeviceFTM, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDevice,
                                reinterpret_cast<void **>(device.GetAddressOf()))))
        return nullptr;
    ComPtr<IPortableDeviceValues> clientInfo = MakeValues();
    if (!clientInfo || FAILED(device->Open(pnpId, clientInfo.Get()))) return nullptr;
    return device;
}

ComPtr<IPortableDeviceContent> ContentOf(IPortableDevice *device) {
    ComPtr<IPortableDeviceContent> content;
    if (device) device->Content(content.GetAddressOf());
    return content;
}

std::wstring Widen(const std::string &text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring &text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

TempFolder::TempFolder() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    static int serial = 0;
    path_ = std::wstring(base) + L"kivo-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++serial);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    std::wstring from = path_ + L'\0';
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

bool WriteFileText(const std::wstring &path, const std::string &text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

size_t CountEntries(const std::wstring &folder, const wchar_t *pattern, bool filesOnly) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t count = 0;
    do count += (filesOnly && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ? 0 : 1;
    while (FindNextFileW(search, &entry));
    FindClose(search);
    return count;
}

std::wstring ShellNameOfComputerFolder() {
    LPITEMIDLIST pidl = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &pidl))) return std::wstring();
    PWSTR name = nullptr;
    std::wstring out;
    if (SUCCEEDED(SHGetNameFromIDList(pidl, SIGDN_NORMALDISPLAY, &name))) out = name;
    CoTaskMemFree(name);
    CoTaskMemFree(pidl);
    return out;
}

std::string ReadFileText(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

}  // namespace kivotest

namespace kivotest {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

DWORD RunChild(const ChildProgram &child, const std::function<void()> &whileRunning) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(child.outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE error = child.errorFile.empty() ? out
                                           : CreateFileW(child.errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                         CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = error;
    for (const auto &variable : child.environment) SetEnvironmentVariableW(variable.first.c_str(), variable.second.c_str());
    std::wstring line = L"\"" + child.program + L"\"" + (child.arguments.empty() ? L"" : L" " + child.arguments);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(child.program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    for (const auto &variable : child.environment) SetEnvironmentVariableW(variable.first.c_str(), nullptr);
    CloseHandle(out);
    if (error != out) CloseHandle(error);
    if (!started) return 0xFFFFFFFF;
    if (whileRunning) whileRunning();
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

std::vector<json> ChildObjects(const wchar_t *pnpId, const wchar_t *path) {
    std::vector<json> children;
    std::wstring folder = kivosim::FindObject(pnpId, path);
    if (folder.empty()) return children;
    json parent = kivosim::Object(pnpId, folder.c_str());
    for (auto &id : parent["childIds"])
        children.push_back(kivosim::Object(pnpId, Widen(id.get<std::string>()).c_str()));
    return children;
}

std::vector<json> StagedObjects(const wchar_t *pnpId, const wchar_t *path) {
    std::vector<json> staged;
    for (json &child : ChildObjects(pnpId, path))
        if (child.value("originalFileName", std::string()).rfind("~kivo", 0) == 0) staged.push_back(child);
    return staged;
}

std::string SuiteProfile() {
    char name[32];
    DWORD length = GetEnvironmentVariableA("KIVO_SIM_PROFILE", name, sizeof name);
    return length > 0 && length < sizeof name ? std::string(name, length) : std::string();
}

}  // namespace kivotest

#include "test_support.h"

#include <shellapi.h>
#include <shlobj.h>

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

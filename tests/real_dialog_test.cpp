// Wine's real open dialog, shown through KivoOpenDialog on a virtual
// display: a helper thread finds the dialog, saves a picture of it, types a
// file name and accepts it, or cancels. Runs only with a display.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "include/kivo.h"
#include "support/test_support.h"

using namespace kivotest;

namespace {

const wchar_t kTitle[] = L"kivo real dialog";

HWND FindDialog(const wchar_t *title = kTitle) {
    for (int tries = 0; tries < 300; ++tries) {
        HWND dialog = FindWindowW(nullptr, title);
        if (dialog && IsWindowVisible(dialog)) return dialog;
        Sleep(50);
    }
    return nullptr;
}

// The first edit control below the dialog: the file name box.
HWND FindNameBox(HWND dialog) {
    HWND found = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM out) -> BOOL {
            wchar_t cls[32] = {};
            GetClassNameW(child, cls, 32);
            if (lstrcmpiW(cls, L"Edit") != 0 || !IsWindowVisible(child)) return TRUE;
            *reinterpret_cast<HWND *>(out) = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// The window's pixels as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::wstring &path) {
    RECT rect{};
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u, size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER header{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0, 0,
                            sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, &header, sizeof header, &written, nullptr) &&
              WriteFile(file, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
              WriteFile(file, bits, size, &written, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

// build\open-dialog.bmp: one folder above the test's own.
std::wstring ScreenshotPath() {
    std::wstring path = ProgramFolder();
    return path.substr(0, path.find_last_of(L'\\')) + L"\\open-dialog.bmp";
}

class RealDialog : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t display[64] = {};
        if (!GetEnvironmentVariableW(L"DISPLAY", display, 64) || !display[0]) GTEST_SKIP() << "no display";
        CoInitialize(nullptr);
        KivoInitialize();
        ASSERT_TRUE(WriteFileText(disk.File(L"pick me.txt"), "chosen"));
    }
    void TearDown() override {
        if (!IsSkipped()) KivoUninitialize();
    }
    TempFolder disk;
};

}  // namespace

TEST_F(RealDialog, AFileNameTypedAndAcceptedComesBackAsItsPath) {
    std::atomic<bool> typed{false}, pictured{false};
    std::thread user([&] {
        HWND dialog = FindDialog();
        if (!dialog) return;
        Sleep(500);  // let it draw
        pictured = SaveScreenshot(dialog, ScreenshotPath());
        HWND box = FindNameBox(dialog);
        if (box) {
            SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pick me.txt"));
            typed = true;
        }
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    wchar_t buffer[MAX_PATH] = L"";
    INT32 result = KivoOpenDialog(nullptr, kTitle, disk.Path().c_str(), nullptr, L"Text files|*.txt|All|*.*", 1,
                                  nullptr, buffer, MAX_PATH, 0);
    user.join();
    EXPECT_TRUE(typed) << "the name box was found";
    EXPECT_TRUE(pictured) << "the screenshot was saved";
    EXPECT_EQ(result, 1);
    EXPECT_EQ(buffer, disk.File(L"pick me.txt"));
}

TEST_F(RealDialog, CancelLeavesTheBufferAsItWas) {
    std::thread user([] {
        HWND dialog = FindDialog();
        if (dialog) PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    });
    wchar_t buffer[MAX_PATH] = L"kept";
    INT32 result =
        KivoOpenDialog(nullptr, kTitle, disk.Path().c_str(), nullptr, nullptr, 0, nullptr, buffer, MAX_PATH, 0);
    user.join();
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(buffer, L"kept");
}

TEST_F(RealDialog, KivoPickPrintsThePathChosenInTheRealDialog) {
    std::wstring outPath = disk.File(L"pick.txt");
    bool typed = false;
    DWORD status = RunChild({ProgramFolder() + L"\\kivo.exe", L"pick", {}, outPath, L""}, [&] {
        HWND dialog = FindDialog(L"kivo: choose");
        if (!dialog) return;
        Sleep(300);
        if (HWND box = FindNameBox(dialog)) {
            std::wstring chosen = disk.File(L"pick me.txt");
            SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(chosen.c_str()));
            typed = true;
        }
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    EXPECT_TRUE(typed) << "kivo pick showed the dialog";
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ReadFileText(outPath), Narrow(disk.File(L"pick me.txt")) + "\n");
}

// Wine's real open dialog, shown through KivoOpenDialog on a virtual
// display: a helper thread finds the dialog, saves a picture of it, types a
// file name and accepts it, or cancels. Runs only with a display.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

// Each mode of kivo pick: the dialog it shows (by its title), what is typed
// into its name box, and what it must print.
TEST_F(RealDialog, KivoPickPrintsWhatWasChosenInEachOfItsDialogs) {
    ASSERT_TRUE(WriteFileText(disk.File(L"second.txt"), "also"));
    struct Mode {
        const wchar_t *arguments, *title;
        std::wstring typed;
        std::string printed;
    };
    const std::string folder = Narrow(disk.Path());
    std::vector<Mode> modes{
        {L"pick", L"kivo: choose", disk.File(L"pick me.txt"), folder + "\\pick me.txt\n"},
        {L"pick --save", L"kivo: save as", disk.File(L"new name.txt"), folder + "\\new name.txt\n"},
        // Wine's dialog takes a title of its own when it is told to pick folders.
        {L"pick --folder", L"Select Folder", disk.Path(), folder + "\n"},
        {L"pick --multi", L"kivo: choose", L"\"" + disk.File(L"pick me.txt") + L"\" \"" + disk.File(L"second.txt") + L"\"",
         folder + "\\pick me.txt\n" + folder + "\\second.txt\n"},
    };
    for (const Mode &mode : modes) {
        std::wstring outPath = disk.File(L"pick.out");
        bool typed = false;
        DWORD status = RunChild({ProgramFolder() + L"\\kivo.exe", mode.arguments, {}, outPath, L""}, [&] {
            HWND dialog = FindDialog(mode.title);
            if (!dialog) return;
            Sleep(300);
            if (HWND box = FindNameBox(dialog)) {
                SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(mode.typed.c_str()));
                typed = true;
            }
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            // The folder dialog opens a typed folder; an empty box then
            // accepts the folder it shows.
            for (int again = 0; again < 3 && IsWindow(dialog); ++again) {
                Sleep(500);
                if (HWND box = FindNameBox(dialog)) SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
                PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            }
        });
        std::string name = Narrow(mode.arguments);
        EXPECT_TRUE(typed) << name << " showed its dialog";
        EXPECT_EQ(status, 0u) << name;
        EXPECT_EQ(ReadFileText(outPath), mode.printed) << name;
    }
}

// Every export called with bad arguments, each output buffer placed right
// before a page that may not be touched: no crash, no write past a size, a
// failure with a last-error code where the call reports one, and nothing
// created or deleted on the device or the disk.
#include "support/test_support.h"

#include <functional>

#include "include/kivo.h"

using namespace kivotest;

namespace {

// count wide characters ending exactly where an inaccessible page begins.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t count) : count_(count) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        size_t bytes = (count * sizeof(wchar_t) + page_ - 1) / page_ * page_;
        base_ = static_cast<BYTE *>(VirtualAlloc(nullptr, bytes + page_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + bytes, page_, PAGE_NOACCESS, &old);
        data_ = reinterpret_cast<wchar_t *>(base_ + bytes) - count;
        for (size_t i = 0; i < count; ++i) data_[i] = L'#';
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    wchar_t *Get() { return count_ ? data_ : nullptr; }

private:
    size_t count_, page_ = 4096;
    BYTE *base_ = nullptr;
    wchar_t *data_ = nullptr;
};

// A find-data record followed directly by the guard page.
class GuardedRecord {
public:
    GuardedRecord() : buffer_(sizeof(WIN32_FIND_DATAW) / sizeof(wchar_t)) {}
    WIN32_FIND_DATAW *Get() { return reinterpret_cast<WIN32_FIND_DATAW *>(buffer_.Get()); }

private:
    GuardedBuffer buffer_;
};

std::vector<std::wstring> BadPaths() {
    std::vector<std::wstring> paths = {L"", L"\\\\\\\\", L"////", L"Nobody\\Card\x01\\x", L"Phone\\Card\\\xD800x",
                                       L"Phone\\Card\\DCIM\\\xDC00", L"\x7f\x1b"};
    for (size_t length : {259, 260, 261, 300, 32767}) {
        std::wstring start = std::wstring(length - 9, L'a') + L"\\Card\\x";
        std::wstring middle = L"Phone\\" + std::wstring(length - 13, L'm') + L"\\x.jpg";
        std::wstring end = L"Phone\\Card\\DCIM\\" + std::wstring(length - 16, L'e');
        paths.push_back(start.substr(0, length));
        paths.push_back(middle.substr(0, length));
        paths.push_back(end.substr(0, length));
    }
    return paths;
}

class BadInput : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        KivoInitialize();
        Load(PhoneFixture());
        before = kivosim::Dump();
    }
    void TearDown() override {
        EXPECT_EQ(kivosim::Dump(), before) << "the device changed";
        KivoCleanUp();
        SimTest::TearDown();
    }
    // A call that must fail; code says whether it must leave a code.
    void ExpectFailure(const std::string &what, const std::function<bool()> &call, bool code = true) {
        ++calls;
        SetLastError(0);
        bool failed = call();
        DWORD left = GetLastError();
        EXPECT_TRUE(failed) << what;
        if (code) {
            EXPECT_NE(left, 0u) << what << ": a failure without a code";
        }
    }
    json before;
    size_t calls = 0;
};

}  // namespace

TEST_F(BadInput, PathTakingExportsFailCleanly) {
    std::vector<std::wstring> paths = BadPaths();
    TempFolder disk;
    size_t filesBefore = CountEntries(disk.Path(), L"*");
    for (const std::wstring &path : paths) {
        std::string what = "path of " + std::to_string(path.size()) + " characters";
        const wchar_t *p = path.c_str();
        GuardedRecord record;
        ExpectFailure("GetStatus " + what, [&] { return !KivoGetStatus(p, record.Get()); });
        ExpectFailure("FindFirstFile " + what, [&] { return KivoFindFirstFile(p, record.Get()) == INVALID_HANDLE_VALUE; },
                      false);
        ExpectFailure("CopyFile from " + what, [&] { return !KivoCopyFile(p, disk.File(L"x").c_str(), 0); });
        ExpectFailure("CopyFile to " + what, [&] { return !KivoCopyFile(disk.File(L"missing").c_str(), p, 0); });
        ExpectFailure("MoveFile " + what, [&] { return !KivoMoveFile(p, L"Phone\\Card\\Music\\moved.mp3"); });
        ExpectFailure("MoveFile onto " + what, [&] { return !KivoMoveFile(L"Phone\\Card\\Nothing.mp3", p); });
        ExpectFailure("DeleteFile " + what, [&] { return !KivoDeleteFile(p); });
        ExpectFailure("RemoveFolder " + what, [&] { return !KivoRemoveFolder(p); });
        ExpectFailure("DeleteFolder " + what, [&] { return !KivoDeleteFolder(p); });
        if (path.size() != 259) {
            ExpectFailure("CreateFolder " + what, [&] { return !KivoCreateFolder(p); });
            ExpectFailure("CopyFile a.jpg to " + what, [&] { return !KivoCopyFile(L"Phone\\Card\\DCIM\\a.jpg", p, 0); });
            ExpectFailure("MoveFile a.jpg to " + what, [&] { return !KivoMoveFile(L"Phone\\Card\\DCIM\\a.jpg", p); });
        }
        ExpectFailure("CopyFolderFirst from " + what,
                      [&] { return KivoCopyFolderFirst(p, disk.File(L"out").c_str(), 0) == INVALID_HANDLE_VALUE; });
        ++calls;
        bool local = p[0] == L'\\' || p[0] == L'.' || (p[0] && p[1] == L':');
        EXPECT_EQ(KivoCheckDevicePathName(p), local ? 0 : 1) << what;
        ++calls;
        EXPECT_EQ(KivoWildcardMatch(p, p), 1) << what << ": a name without wildcards matches itself";
    }
    for (auto *f : {&KivoGetStatus}) {
        ExpectFailure("GetStatus null path", [&] { return !f(nullptr, GuardedRecord().Get()); });
        ExpectFailure("GetStatus null record", [&] { return !f(L"Phone\\Card", nullptr); });
    }
    ExpectFailure("FindFirstFile null", [&] { return KivoFindFirstFile(nullptr, GuardedRecord().Get()) == INVALID_HANDLE_VALUE; });
    ExpectFailure("FindFirstFile null record", [&] { return KivoFindFirstFile(L"Phone\\Card\\*", nullptr) == INVALID_HANDLE_VALUE; });
    ExpectFailure("CopyFile null", [&] { return !KivoCopyFile(nullptr, nullptr, 0); });
    ExpectFailure("MoveFile null", [&] { return !KivoMoveFile(nullptr, L"x"); });
    ExpectFailure("CreateFolder null", [&] { return !KivoCreateFolder(nullptr); });
    ExpectFailure("DeleteFile null", [&] { return !KivoDeleteFile(nullptr); });
    ExpectFailure("RemoveFolder null", [&] { return !KivoRemoveFolder(nullptr); });
    ExpectFailure("DeleteFolder null", [&] { return !KivoDeleteFolder(nullptr); });
    ExpectFailure("CopyFolderFirst null", [&] { return KivoCopyFolderFirst(nullptr, nullptr, 0) == INVALID_HANDLE_VALUE; });
    EXPECT_EQ(KivoCheckDevicePathName(nullptr), 0);
    EXPECT_EQ(KivoWildcardMatch(nullptr, L"x"), 0);
    EXPECT_EQ(CountEntries(disk.Path(), L"*"), filesBefore) << "nothing written to disk";
    std::printf("bad paths: %zu calls\n", calls);
}

TEST_F(BadInput, HandleTakingExportsRefuseHandlesTheyDidNotHandOut) {
    WIN32_FIND_DATAW record{};
    HANDLE listing = KivoFindFirstFile(L"Phone\\Card\\*", &record);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    HANDLE devices = KivoFindDeviceFirst();
    ASSERT_NE(devices, INVALID_HANDLE_VALUE);
    TempFolder disk;
    HANDLE job = KivoCopyFolderFirst(L"Phone\\Card\\Empty", disk.File(L"out").c_str(), 0);
    ASSERT_NE(job, INVALID_HANDLE_VALUE);
    HANDLE closed = KivoFindFirstFile(L"Phone\\Card\\*", &record);
    KivoFindClose(closed);
    HANDLE system = FindFirstFileW((disk.Path() + L"\\*").c_str(), &record);
    ASSERT_NE(system, INVALID_HANDLE_VALUE);

    const HANDLE bad[] = {nullptr, reinterpret_cast<HANDLE>(0x4321), INVALID_HANDLE_VALUE, closed,
                          reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xFFFF))};
    for (HANDLE h : bad) {
        std::string what = "handle " + std::to_string(reinterpret_cast<uintptr_t>(h));
        GuardedRecord guarded;
        ExpectFailure("FindNextFile " + what, [&] { return !KivoFindNextFile(h, guarded.Get()); });
        ExpectFailure("FindClose " + what, [&] { return !KivoFindClose(h); });
        GuardedBuffer name(MAX_PATH);
        ExpectFailure("FindDeviceNext " + what, [&] { return !KivoFindDeviceNext(h, name.Get(), MAX_PATH); });
        ExpectFailure("FindDeviceClose " + what, [&] { return KivoFindDeviceClose(h) == 0 && GetLastError() != 0; });
        ExpectFailure("CopyFolderNext " + what,
                      [&] { return !KivoCopyFolderNext(h, name.Get(), MAX_PATH, nullptr, 0, nullptr, nullptr); }, false);
        ++calls;
        EXPECT_EQ(KivoCopyFolderCount(h), 0u) << what;
        ++calls;
        EXPECT_EQ(KivoCopyFolderClose(h), 0) << what;
    }
    // Handles of one family given to another.
    GuardedBuffer name(MAX_PATH);
    // Each table draws its handles from a counter of its own, so a handle of
    // one family can coincide with a live one of another; a find handle of
    // the file system never does.
    ExpectFailure("FindDeviceNext with a find handle", [&] { return !KivoFindDeviceNext(system, name.Get(), MAX_PATH); });
    ExpectFailure("CopyFolderNext with a listing",
                  [&] { return !KivoCopyFolderNext(listing, nullptr, 0, nullptr, 0, nullptr, nullptr); }, false);
    ExpectFailure("CopyFolderNext with a find handle",
                  [&] { return !KivoCopyFolderNext(system, nullptr, 0, nullptr, 0, nullptr, nullptr); }, false);
    ExpectFailure("OpenDialogNext with a job", [&] {
        return !KivoOpenDialogNext(static_cast<INT32>(reinterpret_cast<uintptr_t>(job)), name.Get(), MAX_PATH);
    });
    for (INT32 h : {0, 1, -1, 2, 0x7fffffff}) {
        ExpectFailure("OpenDialogNext " + std::to_string(h), [&] { return !KivoOpenDialogNext(h, name.Get(), MAX_PATH); });
        ExpectFailure("OpenDialogClose " + std::to_string(h), [&] { return KivoOpenDialogClose(h) == 0 && GetLastError() != 0; });
    }
    // Buffer sizes of 0, 1 and one less than needed: refused, nothing cut or
    // written past, and the name still there for a buffer that fits.
    HANDLE more = KivoFindDeviceFirst();
    for (DWORD size : {0u, 1u, 5u}) {
        GuardedBuffer small(size);
        ExpectFailure("FindDeviceNext into " + std::to_string(size),
                      [&] { return !KivoFindDeviceNext(more, small.Get(), size); });
        if (size) {
            EXPECT_EQ(small.Get()[0], L'\0') << size;
            for (DWORD i = 1; i < size; ++i) EXPECT_EQ(small.Get()[i], L'#') << size << " at " << i;
        }
    }
    GuardedBuffer fits(6);
    EXPECT_TRUE(KivoFindDeviceNext(more, fits.Get(), 6));
    EXPECT_EQ(std::wstring(fits.Get()), L"Phone");
    KivoFindDeviceClose(more);
    KivoFindClose(listing);
    KivoFindDeviceClose(devices);
    KivoCopyFolderClose(job);
    FindClose(system);
    std::printf("bad handles: %zu calls\n", calls);
}

TEST_F(BadInput, DialogsWithoutAUsableBufferShowNothing) {
    for (INT32 size : {0, -1, -100}) {
        GuardedBuffer buffer(1);
        ++calls;
        EXPECT_EQ(KivoOpenDialog(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, buffer.Get(), size, 0), 0);
        ++calls;
        EXPECT_EQ(KivoSaveDialog(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, buffer.Get(), size, 0), 0);
        ++calls;
        EXPECT_EQ(KivoOpenFolderDialog(nullptr, nullptr, nullptr, buffer.Get(), size, 0), 0);
        EXPECT_EQ(buffer.Get()[0], L'#');
    }
    ++calls;
    EXPECT_EQ(KivoOpenDialog(nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, MAX_PATH, 0), 0);
    std::printf("bad dialog buffers: %zu calls\n", calls);
}

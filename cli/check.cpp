#define _CRT_RAND_S
#include "cli/check.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "cli/copy_tree.h"
#include "cli/device_probe.h"
#include "cli/interrupt.h"
#include "cli/output.h"
#include "include/kivo.h"

namespace kivocli {

namespace {

enum class Result { Ok, Differs, NotOffered };

struct Line {
    std::wstring check;
    Result result = Result::Ok;
    std::wstring detail;
    bool fails = false;  // something the library relies on went wrong
};

Line Ok(const std::wstring &check, const std::wstring &detail = std::wstring()) { return {check, Result::Ok, detail, false}; }
Line Differs(const std::wstring &check, const std::wstring &detail, bool fails) {
    return {check, Result::Differs, detail, fails};
}
Line NotOffered(const std::wstring &check, const std::wstring &detail) {
    return {check, Result::NotOffered, detail, false};
}

const wchar_t *ResultText(Result result) {
    return result == Result::Ok ? L"ok" : result == Result::Differs ? L"differs" : L"not offered";
}

std::wstring Code(DWORD code) { return SystemMessage(code) + L" (error " + std::to_wstring(code) + L")"; }
std::wstring HexCode(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// Whole seconds between a record's modified date and a date in ticks.
LONGLONG SecondsOff(FILETIME time, ULONGLONG date) {
    ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<LONGLONG>(ticks - date) / 10000000;
}

// 2001-02-03 04:05:06 UTC, and a second date a year later: dates no device
// would give a new object of its own accord.
constexpr ULONGLONG kUploadDate = 126259335060000000ull;
constexpr ULONGLONG kLaterDate = kUploadDate + 365ull * 24 * 3600 * 10000000;

// The bytes of a test file: a pattern that differs at every offset.
void FillPattern(std::vector<char> &buffer, ULONGLONG offset, unsigned seed) {
    for (size_t i = 0; i < buffer.size(); ++i) {
        ULONGLONG at = offset + i;
        buffer[i] = static_cast<char>((at * 2654435761u + seed + (at >> 13)) & 0xFF);
    }
}

bool WritePatternFile(const std::wstring &path, ULONGLONG size, unsigned seed) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<char> buffer;
    bool ok = true;
    for (ULONGLONG done = 0; ok && done < size;) {
        buffer.resize(static_cast<size_t>(std::min<ULONGLONG>(size - done, 1 << 20)));
        FillPattern(buffer, done, seed);
        DWORD written = 0;
        ok = WriteFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr) &&
             written == buffer.size();
        done += buffer.size();
    }
    FILETIME date{static_cast<DWORD>(kUploadDate), static_cast<DWORD>(kUploadDate >> 32)};
    ok = SetFileTime(file, &date, nullptr, &date) && ok;
    CloseHandle(file);
    return ok;
}

bool SameFiles(const std::wstring &a, const std::wstring &b) {
    HANDLE one = CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE two = CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    bool same = one != INVALID_HANDLE_VALUE && two != INVALID_HANDLE_VALUE;
    std::vector<char> x(1 << 20), y(1 << 20);
    while (same) {
        DWORD gotX = 0, gotY = 0;
        same = ReadFile(one, x.data(), static_cast<DWORD>(x.size()), &gotX, nullptr) &&
               ReadFile(two, y.data(), static_cast<DWORD>(y.size()), &gotY, nullptr) && gotX == gotY &&
               std::equal(x.begin(), x.begin() + gotX, y.begin());
        if (gotX == 0) break;
    }
    if (one != INVALID_HANDLE_VALUE) CloseHandle(one);
    if (two != INVALID_HANDLE_VALUE) CloseHandle(two);
    return same;
}

std::wstring RandomPart() {
    unsigned int value = 0;
    if (rand_s(&value) != 0) value = GetTickCount() ^ (GetCurrentProcessId() << 16);
    wchar_t text[16];
    swprintf(text, 16, L"%08x", value);
    return text;
}

std::vector<std::wstring> Components(const std::wstring &path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t cut = path.find(L'\\', start);
        if (cut == std::wstring::npos) cut = path.size();
        if (cut > start) parts.push_back(path.substr(start, cut - start));
        start = cut + 1;
    }
    return parts;
}

// A local folder of the run's own, removed with everything in it.
class LocalFolder {
public:
    bool Create(const std::wstring &name) {
        wchar_t temporary[MAX_PATH];
        DWORD length = GetTempPathW(MAX_PATH, temporary);
        if (length == 0 || length >= MAX_PATH) return false;
        path_ = std::wstring(temporary) + name;
        return CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
    }
    ~LocalFolder() {
        if (path_.empty()) return;
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((path_ + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((path_ + L"\\" + entry.cFileName).c_str());
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(path_.c_str());
    }
    std::wstring File(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

class Checker {
public:
    Checker(std::wstring device, std::wstring storage, bool json)
        : device_(std::move(device)), storage_(std::move(storage)), json_(json) {}

    int Run();

private:
    void Report(const Line &line);
    bool Copy(const std::wstring &from, const std::wstring &to, DWORD flags = 0);
    bool Download(const std::wstring &name, const std::wstring &local);
    std::wstring Work(const std::wstring &name) const { return work_ + L"\\" + name; }
    std::wstring WorkRelative(const std::wstring &name) const;
    bool PickStorage();
    int Finish(int status);

    Line UploadAndDownload();
    Line DeviceToDevice();
    Line Listing();
    Line Paths();
    Line CaseTwins();
    Line DatesKept();
    Line DatesChanged();
    Line Rename();
    Line Replace();
    Line Delete();
    Line Bulk();
    Line FreeSpace();
    Line LargestObject();
    Line TransferSize();
    Line PropertyRead();

    std::wstring device_, storage_;
    bool json_;
    std::wstring root_, work_, workName_;
    LocalFolder local_;
    DeviceProbe probe_;
    bool probed_ = false;
    bool created_ = false;
    std::vector<Line> lines_;
    std::vector<std::pair<std::wstring, ULONGLONG>> uploaded_;  // names and sizes in the work folder
    std::optional<ULONGLONG> freeBefore_;
    bool freeReported_ = false;
    // What the direct probes look at: the check's folder and a file in it,
    // or the storage itself when it is read-only.
    std::wstring probeFolder_, probeObject_;
};

void Checker::Report(const Line &line) {
    lines_.push_back(line);
    if (json_) return;
    std::wstring text = line.check + L": " + ResultText(line.result);
    if (!line.detail.empty()) text += L" (" + line.detail + L")";
    Print(text + L"\n");
}

bool Checker::Copy(const std::wstring &from, const std::wstring &to, DWORD flags) {
    return KivoCopyFileEx(from.c_str(), to.c_str(), nullptr, nullptr, StopFlag(), flags) != FALSE;
}

bool Checker::Download(const std::wstring &name, const std::wstring &local) {
    DeleteFileW(local.c_str());
    return Copy(Work(name), local);
}

std::wstring Checker::WorkRelative(const std::wstring &name) const { return storage_ + L"\\" + workName_ + L"\\" + name; }

bool Checker::PickStorage() {
    if (!storage_.empty()) return true;
    WIN32_FIND_DATAW entry{};
    HANDLE find = KivoFindFirstFile((device_ + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) storage_ = entry.cFileName;
    } while (storage_.empty() && KivoFindNextFile(find, &entry));
    KivoFindClose(find);
    return !storage_.empty();
}

Line Checker::UploadAndDownload() {
    struct Size {
        const wchar_t *name;
        ULONGLONG bytes;
    };
    const Size sizes[] = {{L"small.bin", 1000}, {L"one-mib.bin", 1 << 20}, {L"large.bin", 65ull << 20}};
    ULARGE_INTEGER free{};
    freeReported_ = KivoGetDiskFreeSpaceEx(root_.c_str(), &free, nullptr, nullptr) != FALSE;
    if (freeReported_) freeBefore_ = free.QuadPart;
    for (const Size &size : sizes) {
        std::wstring source = local_.File(size.name), back = local_.File(std::wstring(L"back-") + size.name);
        if (!WritePatternFile(source, size.bytes, static_cast<unsigned>(size.bytes)))
            return Differs(L"upload and download", L"cannot write a local file: " + Code(GetLastError()), true);
        if (!Copy(source, Work(size.name)))
            return Differs(L"upload and download", std::wstring(L"uploading ") + size.name + L": " + Code(GetLastError()), true);
        uploaded_.emplace_back(size.name, size.bytes);
        if (!Download(size.name, back))
            return Differs(L"upload and download", std::wstring(L"downloading ") + size.name + L": " + Code(GetLastError()), true);
        if (!SameFiles(source, back))
            return Differs(L"upload and download", std::wstring(size.name) + L" came back with other bytes", true);
        DeleteFileW(back.c_str());
    }
    return Ok(L"upload and download", L"1000 B, 1 MiB and 65 MiB read back byte for byte");
}

Line Checker::DeviceToDevice() {
    const wchar_t *check = L"device to device";
    if (!Copy(Work(L"large.bin"), Work(L"large-copy.bin")))
        return Differs(check, L"copying 65 MiB on the device: " + Code(GetLastError()), true);
    uploaded_.emplace_back(L"large-copy.bin", 65ull << 20);
    std::wstring back = local_.File(L"back-large-copy.bin");
    if (!Download(L"large-copy.bin", back)) return Differs(check, L"downloading the copy: " + Code(GetLastError()), true);
    bool same = SameFiles(local_.File(L"large.bin"), back);
    DeleteFileW(back.c_str());
    return same ? Ok(check, L"65 MiB copied through a temporary file and read back byte for byte")
                : Differs(check, L"the copy came back with other bytes", true);
}

Line Checker::Listing() {
    const wchar_t *check = L"listing";
    WIN32_FIND_DATAW entry{};
    HANDLE find = KivoFindFirstFile(Work(L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return Differs(check, L"the folder cannot be listed: " + Code(GetLastError()), true);
    std::vector<std::pair<std::wstring, ULONGLONG>> listed;
    do listed.emplace_back(entry.cFileName, SizeOf(entry));
    while (KivoFindNextFile(find, &entry));
    KivoFindClose(find);
    std::sort(listed.begin(), listed.end());
    auto expected = uploaded_;
    std::sort(expected.begin(), expected.end());
    if (listed != expected)
        return Differs(check, std::to_wstring(listed.size()) + L" entries listed where " +
                                  std::to_wstring(expected.size()) + L" files of other names or sizes were uploaded",
                       true);
    return Ok(check, std::to_wstring(listed.size()) + L" files, names and sizes as uploaded");
}

Line Checker::Paths() {
    const wchar_t *check = L"path resolution";
    const std::wstring names[] = {L"Mixed-Case.txt", std::wstring(200, L'n') + L".txt", L"v1.2.3.tar.gz",
                                  L".starts-with-a-dot", L"two..dots.txt"};
    std::wstring source = local_.File(L"name.txt");
    if (!WritePatternFile(source, 100, 7)) return Differs(check, L"cannot write a local file", true);
    for (const auto &name : names) {
        if (!Copy(source, Work(name)))
            return Differs(check, L"uploading " + name.substr(0, 40) + L": " + Code(GetLastError()), true);
        uploaded_.emplace_back(name, 100);
        WIN32_FIND_DATAW record{};
        if (!KivoGetStatus(Work(name).c_str(), &record) || name != record.cFileName)
            return Differs(check, name.substr(0, 40) + L" is not found under its own name", true);
    }
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(Work(L"MIXED-case.TXT").c_str(), &record) || std::wstring(record.cFileName) != L"Mixed-Case.txt")
        return Differs(check, L"MIXED-case.TXT does not find Mixed-Case.txt", true);
    return Ok(check, L"a path in another case, a 204-character name and names with dots");
}

Line Checker::CaseTwins() {
    const wchar_t *check = L"names that differ only in case";
    if (!probed_) return NotOffered(check, L"the device cannot be reached directly");
    auto folder = probe_.Find(Components(WorkRelative(L"")));
    if (!folder) return Differs(check, L"the check's folder is not found directly", true);
    HRESULT hr = probe_.MakeFolder(*folder, L"MIXED-CASE.TXT");
    if (FAILED(hr)) return Ok(check, L"the device refuses a second name that differs only in case: " + HexCode(hr));
    WIN32_FIND_DATAW file{}, twin{};
    bool both = KivoGetStatus(Work(L"Mixed-Case.txt").c_str(), &file) &&
                KivoGetStatus(Work(L"MIXED-CASE.TXT").c_str(), &twin);
    bool apart = both && !(file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                 (twin.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    KivoRemoveFolder(Work(L"MIXED-CASE.TXT").c_str());
    if (!apart) return Differs(check, L"the device keeps both names, and one path addresses the other's object", true);
    return Differs(check, L"the device keeps Mixed-Case.txt and MIXED-CASE.TXT apart; each path addresses its own", false);
}

Line Checker::DatesKept() {
    const wchar_t *check = L"dates kept on upload";
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(Work(L"small.bin").c_str(), &record)) return Differs(check, Code(GetLastError()), true);
    LONGLONG off = SecondsOff(record.ftLastWriteTime, kUploadDate);
    if (off > 2 || off < -2)
        return Differs(check, L"the modified date is " + std::to_wstring(off) + L" s off the file's", false);
    return Ok(check);
}

Line Checker::DatesChanged() {
    const wchar_t *check = L"dates changed later";
    if (!probed_) return NotOffered(check, L"the device cannot be reached directly");
    auto id = probe_.Find(Components(WorkRelative(L"small.bin")));
    if (!id) return Differs(check, L"small.bin is not found directly", true);
    FILETIME later{static_cast<DWORD>(kLaterDate), static_cast<DWORD>(kLaterDate >> 32)}, local{};
    SYSTEMTIME time{};
    double date = 0;
    FileTimeToLocalFileTime(&later, &local);
    FileTimeToSystemTime(&local, &time);
    SystemTimeToVariantTime(&time, &date);
    HRESULT hr = probe_.SetModifiedDate(*id, date);
    if (FAILED(hr)) return NotOffered(check, L"the device keeps the dates of the upload: " + HexCode(hr));
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(Work(L"small.bin").c_str(), &record)) return Differs(check, Code(GetLastError()), true);
    LONGLONG off = SecondsOff(record.ftLastWriteTime, kLaterDate);
    if (off > 2 || off < -2) return Differs(check, L"the device took the new date but reports another", false);
    return Ok(check);
}

Line Checker::Rename() {
    const wchar_t *check = L"rename in place";
    if (!KivoMoveFile(Work(L"v1.2.3.tar.gz").c_str(), Work(L"renamed.tar.gz").c_str()))
        return Differs(check, Code(GetLastError()), true);
    for (auto &entry : uploaded_)
        if (entry.first == L"v1.2.3.tar.gz") entry.first = L"renamed.tar.gz";
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(Work(L"renamed.tar.gz").c_str(), &record) || SizeOf(record) != 100)
        return Differs(check, L"the new name is not found", true);
    if (KivoGetStatus(Work(L"v1.2.3.tar.gz").c_str(), &record)) return Differs(check, L"the old name is still found", true);
    return Ok(check);
}

Line Checker::Replace() {
    const wchar_t *check = L"replace";
    std::wstring newer = local_.File(L"newer.bin"), back = local_.File(L"back-newer.bin");
    if (!WritePatternFile(newer, 3000, 99)) return Differs(check, L"cannot write a local file", true);
    if (!Copy(newer, Work(L"small.bin"))) return Differs(check, Code(GetLastError()), true);
    for (auto &entry : uploaded_)
        if (entry.first == L"small.bin") entry.second = 3000;
    if (!Download(L"small.bin", back) || !SameFiles(newer, back))
        return Differs(check, L"the replaced file does not read back as the new data", true);
    Line listed = Listing();
    if (listed.result != Result::Ok) return Differs(check, L"after the replace, " + listed.detail, true);
    return Ok(check, L"the new data, and nothing left of the old");
}

Line Checker::Delete() {
    const wchar_t *check = L"delete";
    if (!KivoDeleteFile(Work(L"renamed.tar.gz").c_str())) return Differs(check, L"a file: " + Code(GetLastError()), true);
    uploaded_.erase(std::remove_if(uploaded_.begin(), uploaded_.end(),
                                   [](const auto &entry) { return entry.first == L"renamed.tar.gz"; }),
                    uploaded_.end());
    WIN32_FIND_DATAW record{};
    if (KivoGetStatus(Work(L"renamed.tar.gz").c_str(), &record)) return Differs(check, L"a deleted file is still found", true);
    if (!KivoCreateFolder(Work(L"folder\\below").c_str()) ||
        !Copy(local_.File(L"name.txt"), Work(L"folder\\below\\file.txt")))
        return Differs(check, L"making a folder to delete: " + Code(GetLastError()), true);
    if (!KivoDeleteFolder(Work(L"folder").c_str())) return Differs(check, L"a folder: " + Code(GetLastError()), true);
    if (KivoGetStatus(Work(L"folder").c_str(), &record)) return Differs(check, L"a deleted folder is still found", true);
    return Ok(check, L"a file, and a folder with what is in it");
}

Line Checker::Bulk() {
    const wchar_t *check = L"bulk property reads";
    if (!probed_) return NotOffered(check, L"the device cannot be reached directly");
    auto folder = probe_.Find(Components(probeFolder_));
    if (!folder) return Differs(check, probeFolder_ + L" is not found directly", true);
    DeviceProbe::BulkComparison bulk = probe_.CompareBulk(*folder);
    if (!bulk.offered) return NotOffered(check, L"the library reads object by object");
    if (!bulk.read) return Differs(check, L"offered, but a bulk read fails; the library falls back to reading object by object", false);
    if (!bulk.differing.empty())
        return Differs(check, std::to_wstring(bulk.differing.size()) + L" of " + std::to_wstring(bulk.objects) +
                                  L" objects read otherwise than one by one",
                       true);
    return Ok(check, std::to_wstring(bulk.objects) + L" objects read alike in bulk and one by one");
}

Line Checker::FreeSpace() {
    const wchar_t *check = L"free space";
    if (!freeReported_) return NotOffered(check, L"the storage does not report it: " + Code(GetLastError()));
    ULARGE_INTEGER free{}, total{};
    if (!KivoGetDiskFreeSpaceEx(root_.c_str(), &free, &total, nullptr)) return Differs(check, Code(GetLastError()), false);
    ULONGLONG used = 0;
    for (const auto &entry : uploaded_) used += entry.second;
    std::wstring figures = HumanSize(free.QuadPart) + L" free of " + HumanSize(total.QuadPart);
    if (*freeBefore_ - free.QuadPart < used / 2 || free.QuadPart > *freeBefore_)
        return Differs(check, figures + L"; it did not follow the " + HumanSize(used) + L" uploaded", false);
    return Ok(check, figures + L"; it follows the uploads");
}

Line Checker::LargestObject() {
    const wchar_t *check = L"largest object";
    if (!probed_) return NotOffered(check, L"the device cannot be reached directly");
    auto storage = probe_.Find({storage_});
    std::wstring fileSystem;
    std::optional<ULONGLONG> largest = storage ? probe_.LargestObject(*storage, fileSystem) : std::nullopt;
    std::wstring on = fileSystem.empty() ? std::wstring() : L" on " + fileSystem;
    if (!largest) return NotOffered(check, L"the storage reports no limit" + on);
    return Ok(check, std::to_wstring(*largest) + L" bytes" + on + L"; a larger upload fails before it starts");
}

Line Checker::TransferSize() {
    const wchar_t *check = L"transfer size";
    if (!probed_) return NotOffered(check, L"the device cannot be reached directly");
    auto id = probe_.Find(Components(WorkRelative(L"one-mib.bin")));
    std::optional<DWORD> size = id ? probe_.TransferSize(*id) : std::nullopt;
    if (!size) return Differs(check, L"the driver opens no stream to read one-mib.bin", true);
    if (*size == 0) return NotOffered(check, L"the driver asks for none");
    return Ok(check, std::to_wstring(*size) + L" bytes");
}

Line Checker::PropertyRead() {
    const wchar_t *check = L"property read";
    if (!probed_) return NotOffered(check, L"the device cannot be reached directly");
    auto id = probe_.Find(Components(probeObject_));
    if (!id) return Differs(check, probeObject_ + L" is not found directly", true);
    wchar_t text[32];
    swprintf(text, 32, L"%.1f ms a round trip", probe_.PropertyReadMillis(*id));
    return Ok(check, text);
}

int Checker::Finish(int status) {
    if (created_ && !KivoDeleteFolder(work_.c_str())) {
        Report(Differs(L"clean-up", work_ + L" could not be removed: " + Code(GetLastError()), true));
        status = status == 0 ? 1 : status;
    }
    if (json_) {
        std::wstring out = L"{\"device\":" + JsonString(device_) + L",\"storage\":" + JsonString(storage_) +
                           L",\"folder\":" + JsonString(workName_) + L",\"checks\":[";
        for (size_t i = 0; i < lines_.size(); ++i)
            out += std::wstring(i ? L"," : L"") + L"{\"check\":" + JsonString(lines_[i].check) + L",\"result\":\"" +
                   ResultText(lines_[i].result) + L"\",\"detail\":" + JsonString(lines_[i].detail) +
                   L",\"fails\":" + (lines_[i].fails ? L"true" : L"false") + L"}";
        Print(out + L"],\"status\":" + std::to_wstring(status) + L"}\n");
    }
    return status;
}

int Checker::Run() {
    if (!PickStorage()) {
        PrintError(L"kivo: " + ErrorText(device_, GetLastError()) + L"\n");
        return 1;
    }
    root_ = device_ + L"\\" + storage_;
    workName_ = L"kivo-check-" + RandomPart();
    work_ = root_ + L"\\" + workName_;
    if (!local_.Create(workName_)) {
        PrintError(L"kivo: cannot make a local folder: " + SystemMessage(GetLastError()) + L"\n");
        return 1;
    }
    probed_ = probe_.Open(device_);
    if (!KivoCreateFolder(work_.c_str())) {
        DWORD code = GetLastError();
        if (code != ERROR_ACCESS_DENIED && code != ERROR_WRITE_PROTECT) {
            Report(Differs(L"writable storage", L"making " + workName_ + L": " + Code(code), true));
            return Finish(1);
        }
        Report(NotOffered(L"writable storage", L"the storage is read-only: " + Code(code)));
        probeFolder_ = probeObject_ = storage_;
        for (auto step : {&Checker::Bulk, &Checker::LargestObject, &Checker::PropertyRead}) Report((this->*step)());
        return Finish(0);
    }
    probeFolder_ = WorkRelative(L"");
    probeObject_ = WorkRelative(L"small.bin");
    created_ = true;
    Report(Ok(L"writable storage"));

    const std::vector<Line (Checker::*)()> steps = {
        &Checker::UploadAndDownload, &Checker::DeviceToDevice, &Checker::Listing,    &Checker::Paths,
        &Checker::CaseTwins,         &Checker::DatesKept,      &Checker::DatesChanged, &Checker::Rename,
        &Checker::Replace,           &Checker::Delete,         &Checker::Bulk,       &Checker::FreeSpace,
        &Checker::LargestObject,     &Checker::TransferSize,      &Checker::PropertyRead,
    };
    bool failed = false;
    for (auto step : steps) {
        if (StopRequested()) break;
        Line line = (this->*step)();
        if (StopRequested()) break;  // a step cut short reports nothing
        Report(line);
        // The later checks build on what the earlier ones made.
        failed = line.fails;
        if (failed) break;
    }
    if (StopRequested()) {
        if (!json_) Print(L"stopped before the end\n");
        return Finish(kInterrupted);
    }
    return Finish(failed ? 1 : 0);
}

}  // namespace

int CheckDevice(const std::wstring &device, const std::wstring &storage, bool json) {
    ControlHold hold;
    *StopFlag() = FALSE;
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        std::wstring name = device;
        while (!name.empty() && name.back() == L'\\') name.pop_back();
        Checker checker(name, storage, json);
        status = checker.Run();
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return status;
}

}  // namespace kivocli

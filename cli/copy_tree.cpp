#include "cli/copy_tree.h"

#include <algorithm>
#include <vector>

#include "cli/interrupt.h"
#include "cli/output.h"
#include "include/kivo.h"

namespace kivocli {

namespace {

struct Failure {
    std::wstring source;
    DWORD code;
};

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The size of a copied file, from whichever side is on disk: asking a
// device would walk its folders again for every file.
ULONGLONG SizeOnArrival(const wchar_t *source, const wchar_t *destination) {
    const wchar_t *asked = KivoCheckDevicePathName(destination) && !KivoCheckDevicePathName(source) ? source : destination;
    WIN32_FIND_DATAW record{};
    if (!KivoGetStatus(asked, &record)) return 0;
    return (static_cast<ULONGLONG>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}

std::wstring Clock(double seconds) {
    if (seconds < 0 || seconds > 359999) return L"--:--";
    unsigned long whole = static_cast<unsigned long>(seconds + 0.5);
    wchar_t text[16];
    if (whole >= 3600) swprintf(text, 16, L"%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    else swprintf(text, 16, L"%lu:%02lu", whole / 60, whole % 60);
    return text;
}

// [#########...........]  3.4 MB of 9.1 MB  1.2 MB/s  0:05 left  12/340 files  IMG_0012.JPG
std::wstring ProgressLine(ULONGLONG bytes, ULONGLONG totalBytes, double seconds, const std::wstring &files,
                          const std::wstring &current) {
    const ULONGLONG width = 24;
    ULONGLONG filled = totalBytes ? std::min(width, bytes * width / totalBytes) : 0;
    std::wstring bar = L"[" + std::wstring(static_cast<size_t>(filled), L'#') +
                       std::wstring(static_cast<size_t>(width - filled), L'.') + L"]";
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    double left = rate > 0 && totalBytes >= bytes ? static_cast<double>(totalBytes - bytes) / rate : -1;
    std::wstring name = current.size() > 30 ? current.substr(0, 27) + L"..." : current;
    std::wstring line = bar + L" " + HumanSize(bytes) + L" of " + HumanSize(totalBytes) + L"  " +
                        HumanSize(static_cast<ULONGLONG>(rate)) + L"/s  " + Clock(left) + L" left  " + files + name;
    if (line.size() < 110) line += std::wstring(110 - line.size(), L' ');
    return L"\r" + line;
}

// IMG_0012.JPG: 3.4 MB of 9.1 MB  1.2 MB/s  0:05 left
std::wstring PlainLine(ULONGLONG bytes, ULONGLONG totalBytes, double seconds, const std::wstring &name) {
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    double left = rate > 0 && totalBytes >= bytes ? static_cast<double>(totalBytes - bytes) / rate : -1;
    return name + L": " + HumanSize(bytes) + L" of " + HumanSize(totalBytes) + L"  " +
           HumanSize(static_cast<ULONGLONG>(rate)) + L"/s  " + Clock(left) + L" left\n";
}

// What the progress routine draws: the bytes of the whole command, of
// which the current copy is a part.
struct Meter {
    bool terminal = false;
    bool plainLines = false;  // piped: a plain line a second, for a copy that lasts
    ULONGLONG before = 0;     // bytes of the files copied earlier
    ULONGLONG totalBytes = 0; // of the whole command, as far as known
    ULONGLONG current = 0;    // of the current copy so far
    double start = 0, lastDrawn = 0;
    std::wstring files, name;

    void Draw(bool now) {
        double t = Now();
        if (!terminal) {
            if (plainLines && t - start >= 1 && t - lastDrawn >= 1) {
                lastDrawn = t;
                Print(PlainLine(current, std::max(totalBytes, current), t - start, name));
            }
            return;
        }
        if (!now && t - lastDrawn < 0.1) return;
        lastDrawn = t;
        Print(ProgressLine(before + current, std::max(totalBytes, before + current), t - start, files, name));
    }
};

DWORD CALLBACK OnProgress(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER streamSize, LARGE_INTEGER, DWORD,
                          DWORD, HANDLE, HANDLE, LPVOID data) {
    auto *meter = static_cast<Meter *>(data);
    // A device-to-device copy moves its bytes twice, as two streams of the
    // file's size; the meter counts them once.
    LONGLONG legs = streamSize.QuadPart > 0 ? std::max<LONGLONG>(1, total.QuadPart / streamSize.QuadPart) : 1;
    meter->current = static_cast<ULONGLONG>(done.QuadPart / legs);
    meter->Draw(false);
    return PROGRESS_CONTINUE;
}

ULONGLONG RecordSize(const WIN32_FIND_DATAW &record) {
    return (static_cast<ULONGLONG>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}

// The bytes of the files under folder that mask matches (with subfolders,
// those of every folder below but dot-folders), as the job will walk them.
ULONGLONG BytesToCopy(const std::wstring &folder, const std::wstring &mask, bool subfolders) {
    ULONGLONG total = 0;
    WIN32_FIND_DATAW record{};
    HANDLE find = KivoFindFirstFile((folder + L"\\*").c_str(), &record);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        std::wstring name = record.cFileName;
        if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (subfolders && name[0] != L'.') total += BytesToCopy(folder + L"\\" + name, mask, subfolders);
        } else if (KivoWildcardMatch(mask.c_str(), name.c_str())) {
            total += RecordSize(record);
        }
    } while (KivoFindNextFile(find, &record));
    KivoFindClose(find);
    return total;
}

// Splits SRC as the job does: a folder, or a folder and a mask.
void SplitSource(const std::wstring &source, std::wstring &folder, std::wstring &mask) {
    folder = source;
    mask = L"*";
    while (folder.size() > 1 && folder.back() == L'\\') folder.pop_back();
    size_t cut = folder.find_last_of(L'\\');
    if (cut != std::wstring::npos && folder.find_first_of(L"*?", cut) != std::wstring::npos) {
        mask = folder.substr(cut + 1);
        folder.erase(cut);
    }
}

// False, with the reason told, when the destination device reports less
// free space than the files need.
bool RoomFor(ULONGLONG needed, const std::wstring &destination) {
    ULARGE_INTEGER free{};
    if (!KivoCheckDevicePathName(destination.c_str()) ||
        !KivoGetDiskFreeSpaceEx(destination.c_str(), &free, nullptr, nullptr) || needed <= free.QuadPart)
        return true;
    PrintError(L"kivo: " + destination + L": the files need " + HumanSize(needed) + L" but the storage has " +
               HumanSize(free.QuadPart) + L" free; nothing was copied (--force tries anyway)\n");
    return false;
}

}  // namespace

int CopyOne(const std::wstring &source, const std::wstring &destination, DWORD flags) {
    ControlHold hold;
    *StopFlag() = FALSE;
    Meter meter;
    meter.terminal = IsTerminal(Stream::Out);
    meter.plainLines = !meter.terminal;
    WIN32_FIND_DATAW record{};
    if (KivoGetStatus(source.c_str(), &record)) meter.totalBytes = RecordSize(record);
    meter.start = Now();
    meter.name = LastName(source);
    BOOL copied = KivoCopyFileEx(source.c_str(), destination.c_str(), OnProgress, &meter,
                                 StopFlag(), flags);
    DWORD code = GetLastError();
    if (meter.terminal && copied) meter.Draw(true);
    if (meter.terminal) Print(L"\n");
    if (copied) return 0;
    if (code == ERROR_REQUEST_ABORTED && StopRequested()) {
        PrintError(L"kivo: " + source + L": stopped; nothing of the copy was left\n");
        return kInterrupted;
    }
    PrintError(L"kivo: " + ErrorText(source, code) + L"\n");
    return 1;
}

int CopyTree(const std::wstring &source, const std::wstring &destination, DWORD flags, bool force) {
    std::wstring folder, mask;
    SplitSource(source, folder, mask);
    ULONGLONG needed = BytesToCopy(folder, mask, (flags & KIVO_COPY_SUBFOLDERS) != 0);
    if (!force && !RoomFor(needed, destination)) return 1;
    HANDLE job = KivoCopyFolderFirst(source.c_str(), destination.c_str(), flags);
    if (job == INVALID_HANDLE_VALUE) {
        PrintError(L"kivo: " + ErrorText(source, GetLastError()) + L"\n");
        return 1;
    }
    ControlHold hold;
    *StopFlag() = FALSE;
    Meter meter;
    meter.terminal = IsTerminal(Stream::Out);
    meter.totalBytes = needed;
    meter.start = Now();
    size_t total = KivoCopyFolderCount(job), done = 0;
    ULONGLONG bytes = 0;
    std::vector<Failure> failures;
    wchar_t from[MAX_PATH], to[MAX_PATH];
    INT32 result = 0;
    UINT32 error = 0;
    size_t skipped = 0;
    bool interrupted = false;
    for (;;) {
        if (StopRequested()) {
            interrupted = true;
            break;
        }
        wchar_t files[48];
        swprintf(files, 48, L"%zu/%zu files  ", done + 1, total);
        meter.files = files;
        meter.before = bytes;
        meter.current = 0;
        if (!KivoCopyFolderNextEx(job, from, MAX_PATH, to, MAX_PATH, &result, &error, OnProgress, &meter,
                                  StopFlag()))
            break;
        // The file Ctrl+C stopped was removed: it is neither copied nor failed.
        if (!result && error == ERROR_REQUEST_ABORTED && StopRequested()) {
            interrupted = true;
            break;
        }
        ++done;
        // With --newer a target at least as new as its source is up to date.
        bool upToDate = !result && (flags & KIVO_COPY_NEWER_ONLY) && error == ERROR_FILE_EXISTS;
        if (result) bytes += SizeOnArrival(from, to);
        else if (upToDate) ++skipped;
        else failures.push_back({from, error});
        meter.before = bytes;
        meter.current = 0;
        meter.name = LastName(from);
        if (meter.terminal) meter.Draw(true);
        else if (result) Print(L"copied " + std::wstring(from) + L" -> " + to + L"\n");
        else if (upToDate) Print(L"up to date " + std::wstring(to) + L"\n");
        else Print(L"failed " + ErrorText(from, error) + L"\n");
    }
    KivoCopyFolderClose(job);
    if (meter.terminal) Print(L"\n");
    double seconds = Now() - meter.start;
    wchar_t summary[160];
    swprintf(summary, 160, L"%zu of %zu files copied, %zu up to date, %zu failed, in %.1f s",
             done - failures.size() - skipped, total, skipped, failures.size(), seconds);
    Print(std::wstring(summary) + L" (" + HumanSize(bytes) + L")" + (interrupted ? L"; stopped before the end" : L"") +
          L"\n");
    for (const Failure &failure : failures) PrintError(L"kivo: failed: " + ErrorText(failure.source, failure.code) + L"\n");
    if (interrupted) return kInterrupted;
    return failures.empty() ? 0 : 1;
}

}  // namespace kivocli

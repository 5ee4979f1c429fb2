#include "cli/copy_tree.h"

#include <atomic>
#include <vector>

#include "cli/output.h"
#include "include/kivo.h"

namespace kivocli {

namespace {

std::atomic<bool> stopRequested{false};

BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    stopRequested = true;  // the current file is finished first
    return TRUE;
}

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

// [#########...........]  12/340 files  3.4 MB  1.2 MB/s  IMG_0012.JPG
std::wstring ProgressLine(size_t done, size_t total, ULONGLONG bytes, double seconds, const std::wstring &current) {
    const size_t width = 24;
    size_t filled = total ? done * width / total : width;
    std::wstring bar = L"[" + std::wstring(filled, L'#') + std::wstring(width - filled, L'.') + L"]";
    wchar_t figures[96];
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    swprintf(figures, 96, L" %zu/%zu files  ", done, total);
    std::wstring name = current.size() > 30 ? current.substr(0, 27) + L"..." : current;
    std::wstring line = bar + figures + HumanSize(bytes) + L"  " + HumanSize(static_cast<ULONGLONG>(rate)) + L"/s  " + name;
    if (line.size() < 100) line += std::wstring(100 - line.size(), L' ');
    return L"\r" + line;
}

}  // namespace

int CopyTree(const std::wstring &source, const std::wstring &destination, DWORD flags) {
    HANDLE job = KivoCopyFolderFirst(source.c_str(), destination.c_str(), flags);
    if (job == INVALID_HANDLE_VALUE) {
        PrintError(L"kivo: " + ErrorText(source, GetLastError()) + L"\n");
        return 1;
    }
    SetConsoleCtrlHandler(OnControl, TRUE);
    bool terminal = IsTerminal(Stream::Out);
    size_t total = KivoCopyFolderCount(job), done = 0;
    ULONGLONG bytes = 0;
    double start = Now();
    std::vector<Failure> failures;
    wchar_t from[MAX_PATH], to[MAX_PATH];
    INT32 result = 0;
    UINT32 error = 0;
    size_t skipped = 0;
    while (!stopRequested && KivoCopyFolderNext(job, from, MAX_PATH, to, MAX_PATH, &result, &error)) {
        ++done;
        // With --newer a target at least as new as its source is up to date.
        bool upToDate = !result && (flags & KIVO_COPY_NEWER_ONLY) && error == ERROR_FILE_EXISTS;
        if (result) bytes += SizeOnArrival(from, to);
        else if (upToDate) ++skipped;
        else failures.push_back({from, error});
        if (terminal) Print(ProgressLine(done, total, bytes, Now() - start, LastName(from)));
        else if (result) Print(L"copied " + std::wstring(from) + L" -> " + to + L"\n");
        else if (upToDate) Print(L"up to date " + std::wstring(to) + L"\n");
        else Print(L"failed " + ErrorText(from, error) + L"\n");
    }
    KivoCopyFolderClose(job);
    SetConsoleCtrlHandler(OnControl, FALSE);
    if (terminal) Print(L"\n");
    double seconds = Now() - start;
    wchar_t summary[160];
    swprintf(summary, 160, L"%zu of %zu files copied, %zu up to date, %zu failed, in %.1f s",
             done - failures.size() - skipped, total, skipped, failures.size(), seconds);
    Print(std::wstring(summary) + L" (" + HumanSize(bytes) + L")" +
          (stopRequested ? L"; stopped before the end" : L"") + L"\n");
    for (const Failure &failure : failures) PrintError(L"kivo: failed: " + ErrorText(failure.source, failure.code) + L"\n");
    return failures.empty() && !stopRequested ? 0 : 1;
}

}  // namespace kivocli

// Moves a 256 MiB object through kivo.dll and, in the same run, through a
// baseline loop that moves the same bytes with the same chunk size directly
// through the sim's streams and the file system, without the library.
// Prints the throughput of each and their ratios: download and upload
// against their baselines, a large device-to-device copy (through the
// temporary file) against one download, KivoCopyFileEx with a progress
// routine against KivoCopyFile, the growth of the process's peak
// private memory during a download, and a 4.5 GB download's size on disk.
#include <windows.h>
#include <psapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "include/kivo.h"
#include "platform/wpd.h"
#include "sim/kivosim.h"

using Microsoft::WRL::ComPtr;
using json = nlohmann::json;

namespace {

constexpr ULONGLONG kSize = 256ull << 20;
constexpr ULONGLONG kHugeSize = 4500000000ull;
constexpr ULONG kChunk = 262144;
const wchar_t kDevice[] = L"usb#bench";

using kivobench::Seconds;

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

// How far the process's private memory rose while run ran. Wine's peak
// figure follows the current one down again, so the peak is sampled by a
// thread of its own, started before the level at the start is read so that
// its own memory is not counted.
template <class Run>
SIZE_T PeakGrowthDuring(Run &&run) {
    std::atomic<SIZE_T> peak{0};
    std::atomic<bool> sampling{false}, done{false};
    std::thread sampler([&] {
        for (sampling = true; !done; Sleep(1)) {
            SIZE_T now = PrivateBytes();
            if (now > peak) peak = now;
        }
    });
    while (!sampling) Sleep(1);
    SIZE_T base = PrivateBytes();
    peak = base;
    run();
    done = true;
    sampler.join();
    return peak > base ? peak - base : 0;
}

void LoadDevice() {
    json big = {{"kind", "file"}, {"name", "big.bin"}, {"originalFileName", "big.bin"}, {"size", kSize}, {"seed", 3}};
    json huge = {{"kind", "file"}, {"name", "huge.bin"}, {"originalFileName", "huge.bin"}, {"size", kHugeSize}, {"seed", 5}};
    json fixture = {{"devices",
                     {{{"pnpId", "usb#bench"}, {"friendlyName", "Bench"}, {"description", "Bench"}, {"transferSize", kChunk},
                       {"objects",
                        {{{"kind", "storage"},
                          {"name", "Card"},
                          {"children", {{{"kind", "folder"}, {"name", "DCIM"}, {"children", {big, huge}}},
                                        {{"kind", "folder"}, {"name", "Up"}}}}}}}}}}};
    KivoSimReset();
    KivoSimLoadFixture(fixture.dump().c_str());
    KivoSimSetLogging(0);
}

ComPtr<IPortableDeviceContent> OpenContent(ComPtr<IPortableDevice> &device) {
    CoCreateInstance(CLSID_PortableDeviceFTM, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDevice,
                     reinterpret_cast<void **>(device.GetAddressOf()));
    ComPtr<IPortableDeviceValues> info;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void **>(info.GetAddressOf()));
    ComPtr<IPortableDeviceContent> content;
    if (device && info && SUCCEEDED(device->Open(kDevice, info.Get()))) device->Content(content.GetAddressOf());
    return content;
}

std::wstring Find(const wchar_t *path) {
    wchar_t id[64] = {};
    KivoSimFindObject(kDevice, path, id, 64);
    return id;
}

// The same bytes, read from the device stream and written to disk.
double BaselineDownload(const std::wstring &target) {
    double start = Seconds();
    ComPtr<IPortableDevice> device;
    auto content = OpenContent(device);
    ComPtr<IPortableDeviceResources> resources;
    content->Transfer(resources.GetAddressOf());
    ComPtr<IStream> stream;
    DWORD optimal = 0;
    resources->GetStream(Find(L"Card\\DCIM\\big.bin").c_str(), WPD_RESOURCE_DEFAULT, STGM_READ, &optimal,
                         stream.GetAddressOf());
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<BYTE> buffer(optimal);
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer.data(), optimal, &got)) && got > 0) {
        DWORD written = 0;
        WriteFile(file, buffer.data(), got, &written, nullptr);
    }
    CloseHandle(file);
    return Seconds() - start;
}

// The same bytes, read from disk and written to a new object.
double BaselineUpload(const std::wstring &source) {
    double start = Seconds();
    ComPtr<IPortableDevice> device;
    auto content = OpenContent(device);
    ComPtr<IPortableDeviceValues> values;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void **>(values.GetAddressOf()));
    values->SetStringValue(WPD_OBJECT_PARENT_ID, Find(L"Card\\Up").c_str());
    values->SetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, kSize);
    values->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, L"base.bin");
    values->SetStringValue(WPD_OBJECT_NAME, L"base");
    ComPtr<IStream> data;
    DWORD optimal = 0;
    content->CreateObjectWithPropertiesAndData(values.Get(), data.GetAddressOf(), &optimal, nullptr);
    HANDLE file = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<BYTE> buffer(optimal);
    DWORD got = 0;
    while (ReadFile(file, buffer.data(), optimal, &got, nullptr) && got > 0) {
        ULONG written = 0;
        data->Write(buffer.data(), got, &written);
    }
    CloseHandle(file);
    data->Commit(STGC_DEFAULT);
    return Seconds() - start;
}

// Freeing the 256 MiB of the previous run's object goes on in the system for
// a while after the delete returns, and slows whatever runs next. Each
// side's cleanup gets the same pause before its timed run, so neither pays
// for the other.
void SettleAfterCleanup() { Sleep(150); }

// Writes a file's data out to the disk, so that no run meets the writeback
// of an earlier run's data.
void FlushToDisk(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    FlushFileBuffers(file);
    CloseHandle(file);
}

// Forces a journal commit of the file system that holds folder, so that the
// freeing (and, on a file system mounted with discard, the discarding) of
// what was deleted before is over, not left to slow the next run.
void CommitFileSystem(const std::wstring &folder) {
    std::wstring path = folder + L"\\commit";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, "x", 1, &written, nullptr);
    CloseHandle(file);
    FlushToDisk(path);
    DeleteFileW(path.c_str());
}

template <class Run>
double Best(int repeats, Run &&run) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) best = std::min(best, run());
    return best;
}

// The best time of each of two runs, taken in turns so that neither side
// always meets a warm or a cold page cache.
template <class Kivo, class Baseline>
void BestInTurns(int repeats, Kivo &&kivo, Baseline &&baseline, double &kivoBest, double &baselineBest) {
    kivoBest = baselineBest = 1e30;
    for (int i = 0; i < repeats; ++i) {
        if (i % 2) {
            baselineBest = std::min(baselineBest, baseline());
            kivoBest = std::min(kivoBest, kivo());
        } else {
            kivoBest = std::min(kivoBest, kivo());
            baselineBest = std::min(baselineBest, baseline());
        }
    }
}

double MiBps(double seconds) { return static_cast<double>(kSize) / (1 << 20) / seconds; }

}  // namespace

int main() {
    KivoInitialize();
    LoadDevice();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"kivo-transfer-bench";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring target = folder + L"\\big.bin", baseline = folder + L"\\baseline.bin";

    // Each run downloads to a file that is not there, as the uploads make a
    // new object: the loops are what is measured. The side's file of its
    // previous run is deleted first and the file system brought to rest,
    // and the new file is written out after the clock stops, so that no run
    // pays for another's blocks. Replacing an existing file, which pays for
    // freeing the old one inside the run, is printed apart below.
    auto kivoDownload = [&] {
        double start = Seconds();
        if (!KivoCopyFile(L"Bench\\Card\\DCIM\\big.bin", target.c_str(), 0)) std::printf("download failed\n");
        return Seconds() - start;
    };
    auto baselineDownload = [&] { return BaselineDownload(baseline); };
    auto flushedRun = [&](const std::wstring &file, bool fresh, auto &&download) {
        if (fresh) {
            DeleteFileW(file.c_str());
            CommitFileSystem(folder);
        }
        double seconds = download();
        FlushToDisk(file);
        return seconds;
    };
    // The downloads run on one processor: they write through the kernel's
    // page cache, and which processor a run shares with its writeback
    // otherwise makes runs of either side differ by a third.
    DWORD_PTR processors = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &processors, &system);
    SetProcessAffinityMask(GetCurrentProcess(), processors & (~processors + 1));
    double kivoDown = 0, baseDown = 0;
    BestInTurns(
        9, [&] { return flushedRun(target, true, kivoDownload); },
        [&] { return flushedRun(baseline, true, baselineDownload); }, kivoDown, baseDown);
    std::printf("download 256 MiB: kivo %.0f MiB/s, baseline %.0f MiB/s, throughput ratio %.3f (target >= 0.95)\n",
                MiBps(kivoDown), MiBps(baseDown), baseDown / kivoDown);
    // Measured on downloads of their own, untimed, so the sampler slows no
    // timed run.
    SIZE_T peakGrowth = 0;
    for (int i = 0; i < 2; ++i) peakGrowth = std::max(peakGrowth, PeakGrowthDuring(kivoDownload));
    std::printf("peak private memory growth during a download: %.0f KiB (two chunks: %lu KiB)\n",
                static_cast<double>(peakGrowth) / 1024, static_cast<unsigned long>(2 * kChunk / 1024));
    // The same download with a progress routine told of every chunk.
    auto kivoDownloadWithProgress = [&] {
        ULONGLONG heard = 0;
        auto routine = [](LARGE_INTEGER, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                          HANDLE, LPVOID data) -> DWORD {
            *static_cast<ULONGLONG *>(data) = static_cast<ULONGLONG>(done.QuadPart);
            return PROGRESS_CONTINUE;
        };
        BOOL cancel = FALSE;
        double start = Seconds();
        if (!KivoCopyFileEx(L"Bench\\Card\\DCIM\\big.bin", target.c_str(), routine, &heard, &cancel, 0) ||
            heard != kSize)
            std::printf("download with progress failed\n");
        return Seconds() - start;
    };
    double withProgress = 0, without = 0;
    BestInTurns(
        9, [&] { return flushedRun(target, true, kivoDownloadWithProgress); },
        [&] { return flushedRun(target, true, kivoDownload); }, withProgress, without);
    std::printf("download 256 MiB with a progress routine: %.0f MiB/s, without %.0f MiB/s, time ratio %.3f "
                "(target <= 1.02)\n",
                MiBps(withProgress), MiBps(without), withProgress / without);
    double kivoOver = 0, baseOver = 0;
    BestInTurns(
        5, [&] { return flushedRun(target, false, kivoDownload); },
        [&] { return flushedRun(baseline, false, baselineDownload); }, kivoOver, baseOver);
    std::printf("download 256 MiB over an existing file: kivo %.0f MiB/s, baseline %.0f MiB/s, ratio %.3f\n",
                MiBps(kivoOver), MiBps(baseOver), baseOver / kivoOver);

    SetProcessAffinityMask(GetCurrentProcess(), processors);

    double kivoUp = 0, baseUp = 0;
    BestInTurns(
        7,
        [&] {
            KivoDeleteFile(L"Bench\\Card\\Up\\big.bin");
            SettleAfterCleanup();
            double start = Seconds();
            if (!KivoCopyFile(target.c_str(), L"Bench\\Card\\Up\\big.bin", 0)) std::printf("upload failed\n");
            return Seconds() - start;
        },
        [&] {
            KivoDeleteFile(L"Bench\\Card\\Up\\base.bin");
            SettleAfterCleanup();
            return BaselineUpload(target);
        },
        kivoUp, baseUp);
    std::printf("upload 256 MiB: kivo %.0f MiB/s, baseline %.0f MiB/s, throughput ratio %.3f (target >= 0.95)\n",
                MiBps(kivoUp), MiBps(baseUp), baseUp / kivoUp);

    double deviceToDevice = Best(3, [&] {
        KivoDeleteFile(L"Bench\\Card\\Up\\copy.bin");
        SettleAfterCleanup();
        double start = Seconds();
        if (!KivoCopyFile(L"Bench\\Card\\DCIM\\big.bin", L"Bench\\Card\\Up\\copy.bin", 0)) std::printf("copy failed\n");
        return Seconds() - start;
    });
    std::printf("device to device 256 MiB: %.2f s, %.2f times one download (target <= 2.1)\n", deviceToDevice,
                deviceToDevice / kivoDown);

    std::wstring huge = folder + L"\\huge.bin";
    double start = Seconds();
    BOOL ok = KivoCopyFile(L"Bench\\Card\\DCIM\\huge.bin", huge.c_str(), 0);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(huge.c_str(), GetFileExInfoStandard, &data);
    ULONGLONG onDisk = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::printf("4.5 GB download: %s in %.1f s, %llu bytes on disk (%s)\n", ok ? "done" : "FAILED", Seconds() - start,
                onDisk, onDisk == kHugeSize ? "the right size" : "WRONG SIZE");

    DeleteFileW(huge.c_str());
    DeleteFileW(target.c_str());
    DeleteFileW(baseline.c_str());
    RemoveDirectoryW(folder.c_str());
    KivoUninitialize();
    return 0;
}

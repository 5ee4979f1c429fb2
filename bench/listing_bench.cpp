// Lists a simulated folder of 10,000 objects through KivoFindFirstFile /
// KivoFindNextFile and, in the same run, through a baseline that makes the
// WPD calls directly (EnumObjects, Next of ten, one GetValues of the ten
// record keys per object with one key collection reused; for a device with
// bulk reads, every ID queued in one bulk read of the same keys), without
// the library. Prints both times and their ratio with the sim at zero
// latency (pure overhead), the library's listing with bulk property reads against
// its listing object by object at 100 us per property round trip (a
// GetValues, or the Start of a bulk read; a fast phone), whether both give
// byte-identical records, and the memory the open listing handle holds.
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "platform/raw_wpd.h"
#include "include/kivo.h"
#include "platform/wpd.h"
#include "sim/kivosim.h"

using Microsoft::WRL::ComPtr;
using json = nlohmann::json;

namespace {

constexpr int kObjects = 10000;
constexpr int kRepeats = 3;
const wchar_t kDevice[] = L"usb#bench";

using kivobench::Seconds;

void LoadFolder() {
    json files = json::array();
    for (int i = 0; i < kObjects; ++i)
        files.push_back({{"kind", "file"},
                         {"name", "IMG_" + std::to_string(i)},
                         {"originalFileName", "IMG_" + std::to_string(i) + ".JPG"},
                         {"size", 3000000},
                         {"seed", i},
                         {"created", "2024-04-30T08:00:00"},
                         {"modified", "2024-05-01T12:00:00"},
                         {"contentType", "image"}});
    json fixture = {{"devices",
                     {{{"pnpId", "usb#bench"},
                       {"friendlyName", "Bench"},
                       {"description", "Bench"},
                       {"objects",
                        {{{"kind", "storage"},
                          {"name", "Card"},
                          {"children", {{{"kind", "folder"}, {"name", "DCIM"}, {"children", files}}}}}}}}}}};
    KivoSimReset();
    KivoSimLoadFixture(fixture.dump().c_str());
    KivoSimSetLogging(0);
}

// The direct WPD listing a careful host would write, reading the same ten
// properties per object.
int BaselineListing(const std::wstring &folderId) {
    kivoraw::RawDevice raw;
    if (!kivoraw::OpenRawDevice(kDevice, raw)) return -1;
    int listed = 0;
    bool read = kivoraw::ForEachRawChild(raw, folderId.c_str(), [&](const wchar_t *, IPortableDeviceValues *values) {
        LPWSTR name = nullptr;
        if (values && SUCCEEDED(values->GetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, &name))) ++listed;
        CoTaskMemFree(name);
    });
    if (!read) return -1;
    return listed;
}

// The same with one bulk read of every child, for a device that offers it.
int BaselineBulkListing(const std::wstring &folderId) {
    kivoraw::RawDevice raw;
    if (!kivoraw::OpenRawDevice(kDevice, raw)) return -1;
    int listed = 0;
    bool read = kivoraw::ForEachRawChildInBulk(raw, folderId.c_str(), [&](IPortableDeviceValues *values) {
        LPWSTR name = nullptr;
        if (SUCCEEDED(values->GetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, &name))) ++listed;
        CoTaskMemFree(name);
    });
    if (!read) return -1;
    return listed;
}

int LibraryListing(HANDLE *keepOpen = nullptr) {
    WIN32_FIND_DATAW record{};
    HANDLE handle = KivoFindFirstFile(L"Bench\\Card\\DCIM\\*", &record);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    int listed = 1;
    while (KivoFindNextFile(handle, &record)) ++listed;
    if (keepOpen) *keepOpen = handle;
    else KivoFindClose(handle);
    return listed;
}

template <class Run>
double Best(Run run, int *count) {
    double best = 1e9;
    for (int i = 0; i < kRepeats; ++i) {
        double start = Seconds();
        *count = run();
        best = std::min(best, Seconds() - start);
    }
    return best;
}

// Committed private memory of the process, summed over its address space.
size_t PrivateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char *address = nullptr;
         VirtualQuery(address, &region, sizeof region) == sizeof region; address = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return total;
}

// Every record of the listing, as KivoFindNextFile hands them out.
std::vector<WIN32_FIND_DATAW> ListedRecords() {
    std::vector<WIN32_FIND_DATAW> records(1);
    HANDLE handle = KivoFindFirstFile(L"Bench\\Card\\DCIM\\*", &records[0]);
    if (handle == INVALID_HANDLE_VALUE) return {};
    WIN32_FIND_DATAW record;
    for (std::memset(&record, 0, sizeof record); KivoFindNextFile(handle, &record); std::memset(&record, 0, sizeof record))
        records.push_back(record);
    KivoFindClose(handle);
    return records;
}

void SetBulk(bool bulk) { KivoSimSetDevice(kDevice, bulk ? R"({"bulkProperties": true})" : R"({"bulkProperties": false})"); }

void CompareBulkWithPerObject() {
    KivoSimSetDevice(kDevice, R"({"latency": {"IPortableDeviceProperties::GetValues": 100,
                                               "IPortableDevicePropertiesBulk::Start": 100},
                                  "bulkMicrosPerObject": 2})");
    int bulkCount = 0, perObjectCount = 0;
    SetBulk(false);
    double perObject = Best([&] { return LibraryListing(); }, &perObjectCount);
    std::vector<WIN32_FIND_DATAW> perObjectRecords = ListedRecords();
    SetBulk(true);
    double bulk = Best([&] { return LibraryListing(); }, &bulkCount);
    std::vector<WIN32_FIND_DATAW> bulkRecords = ListedRecords();
    bool identical = !bulkRecords.empty() && bulkRecords.size() == perObjectRecords.size() &&
                     std::memcmp(bulkRecords.data(), perObjectRecords.data(),
                                 bulkRecords.size() * sizeof(WIN32_FIND_DATAW)) == 0;
    std::printf("100 us per round trip, 2 us per object in bulk:\n");
    std::printf("  kivo object by object %8.1f ms (%d)   kivo in bulk %8.1f ms (%d)   %.1fx faster   records %s\n",
                perObject * 1e3, perObjectCount, bulk * 1e3, bulkCount, perObject / bulk,
                identical ? "identical" : "DIFFER");
    KivoSimSetDevice(kDevice, R"({"latency": {"IPortableDeviceProperties::GetValues": 0,
                                               "IPortableDevicePropertiesBulk::Start": 0},
                                  "bulkMicrosPerObject": 0})");
}

void Measure(const char *label, const std::wstring &folderId, bool bulk = false) {
    int baselineCount = 0, libraryCount = 0;
    double baseline =
        Best([&] { return bulk ? BaselineBulkListing(folderId) : BaselineListing(folderId); }, &baselineCount);
    double library = Best([&] { return LibraryListing(); }, &libraryCount);
    std::printf("%-32s baseline %8.1f ms (%d)   kivo %8.1f ms (%d)   ratio %.3f\n", label, baseline * 1e3,
                baselineCount, library * 1e3, libraryCount, library / baseline);
}

}  // namespace

int main() {
    KivoInitialize();
    LoadFolder();
    wchar_t folderId[64] = {};
    KivoSimFindObject(kDevice, L"Card\\DCIM", folderId, 64);
    std::printf("listing a folder of %d objects, best of %d runs\n", kObjects, kRepeats);
    // Measured first: memory a listing freed goes back to the heap, which
    // a later listing reuses.
    size_t before = PrivateBytes();
    HANDLE handle = nullptr;
    int listed = LibraryListing(&handle);
    size_t held = PrivateBytes() - before;
    std::printf("open handle of %d records: %.2f MiB private memory (records alone %.2f MiB)\n", listed,
                static_cast<double>(held) / 1048576.0,
                static_cast<double>(listed) * sizeof(WIN32_FIND_DATAW) / 1048576.0);
    KivoFindClose(handle);
    Measure("zero latency, in bulk:", folderId, true);
    SetBulk(false);
    Measure("zero latency, one by one:", folderId);
    KivoSimSetDevice(kDevice, R"({"latency": {"IPortableDeviceProperties::GetValues": 100}})");
    Measure("GetValues +100 us, one by one:", folderId);
    KivoSimSetDevice(kDevice, R"({"latency": {"IPortableDeviceProperties::GetValues": 0}})");
    CompareBulkWithPerObject();

    KivoUninitialize();
    return 0;
}

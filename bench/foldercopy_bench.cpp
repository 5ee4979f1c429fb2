// A deferred folder copy job over a simulated tree of 10,000 files (100
// folders of 100). Prints, each against a baseline measured in the same run:
// - First's walk, with 100 us added to each GetValues, against the same
//   listings made directly through KivoFindFirstFile / Next / Close;
// - the memory the stored job holds against the size of its entries;
// - the job's copies (Next until FALSE, device to disk) per file against one
//   KivoCopyFile per file made directly;
// - the time per file of jobs at depth 1, 4 and 8, since every copy
//   resolves its source from the device root.
#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "foldercopy/folder_copy_entry.h"
#include "include/kivo.h"
#include "support/heap_usage.h"
#include "sim/kivosim.h"

using json = nlohmann::json;

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 100;
const wchar_t kDevice[] = L"usb#bench";

using kivobench::Seconds;
using kivotest::HeapBytesInUse;

std::string Name(const char *stem, int i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%03d", stem, i);
    return text;
}

json FilesJson(int count) {
    json files = json::array();
    for (int i = 0; i < count; ++i)
        files.push_back({{"kind", "file"}, {"name", Name("IMG_", i) + ".JPG"}, {"originalFileName", Name("IMG_", i) + ".JPG"},
                         {"data", "jpeg " + std::to_string(i)}, {"modified", "2024-05-01T12:00:00"}});
    return files;
}

void LoadDevice(const json &storageChildren) {
    json fixture = {{"devices",
                     {{{"pnpId", "usb#bench"},
                       {"friendlyName", "Bench"},
                       {"description", "Bench"},
                       {"objects", {{{"kind", "storage"}, {"name", "Card"}, {"children", storageChildren}}}}}}}};
    KivoSimReset();
    KivoSimLoadFixture(fixture.dump().c_str());
    KivoSimSetLogging(0);
}

void LoadWideTree() {
    json folders = json::array();
    for (int f = 0; f < kFolders; ++f)
        folders.push_back({{"kind", "folder"}, {"name", Name("F", f)}, {"children", FilesJson(kFilesPerFolder)}});
    LoadDevice({{{"kind", "folder"}, {"name", "Tree"}, {"children", folders}}});
}

// depth levels of folders, each beside nine siblings, with 100 files at the
// bottom; returns the bottom folder's path.
std::wstring LoadDeepTree(int depth) {
    json bottom = FilesJson(kFilesPerFolder);
    for (int level = depth; level >= 1; --level) {
        json siblings = json::array();
        for (int s = 1; s < 10; ++s) siblings.push_back({{"kind", "folder"}, {"name", Name("S", s)}});
        siblings.push_back({{"kind", "folder"}, {"name", Name("L", level)}, {"children", bottom}});
        bottom = siblings;
    }
    LoadDevice(bottom);
    std::wstring path = L"Bench\\Card";
    for (int level = 1; level <= depth; ++level) path += L"\\L" + std::to_wstring(level / 100) +
                                                         std::to_wstring(level / 10 % 10) + std::to_wstring(level % 10);
    return path;
}


// The listings the walk makes: the tree's folder, then each subfolder.
double ListDirectly() {
    double start = Seconds();
    WIN32_FIND_DATAW record;
    HANDLE top = KivoFindFirstFile(L"Bench\\Card\\Tree\\*", &record);
    do {
        std::wstring folder = std::wstring(L"Bench\\Card\\Tree\\") + record.cFileName + L"\\*";
        WIN32_FIND_DATAW child;
        HANDLE inner = KivoFindFirstFile(folder.c_str(), &child);
        if (inner != INVALID_HANDLE_VALUE) {
            while (KivoFindNextFile(inner, &child)) {
            }
            KivoFindClose(inner);
        }
    } while (KivoFindNextFile(top, &record));
    KivoFindClose(top);
    return Seconds() - start;
}

size_t RunJob(HANDLE job) {
    size_t failed = 0;
    INT32 result = 0;
    UINT32 error = 0;
    while (KivoCopyFolderNext(job, nullptr, 0, nullptr, 0, &result, &error)) failed += result ? 0 : 1;
    return failed;
}

// Time per file of a job over folder's files, and of the same copies made
// one KivoCopyFile each.
void TimeCopies(const std::wstring &folder, const std::wstring &target, double &perJobFile, double &perDirectFile) {
    double start = Seconds();
    HANDLE job = KivoCopyFolderFirst(folder.c_str(), target.c_str(), KIVO_COPY_SUBFOLDERS);
    size_t count = KivoCopyFolderCount(job);
    size_t failed = RunJob(job);
    KivoCopyFolderClose(job);
    perJobFile = (Seconds() - start) / static_cast<double>(count ? count : 1);
    if (failed) std::printf("  %zu copies FAILED\n", failed);

    WIN32_FIND_DATAW record;
    std::wstring pattern = folder + L"\\*";
    std::vector<std::wstring> names;
    HANDLE find = KivoFindFirstFile(pattern.c_str(), &record);
    do names.push_back(record.cFileName);
    while (KivoFindNextFile(find, &record));
    KivoFindClose(find);
    start = Seconds();
    for (auto &name : names) KivoCopyFile((folder + L"\\" + name).c_str(), (target + L"\\" + name).c_str(), 0);
    perDirectFile = (Seconds() - start) / static_cast<double>(names.size());
}

void DeleteTree(const std::wstring &folder) {
    WIN32_FIND_DATAW record;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &record);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = record.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) DeleteTree(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &record));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main() {
    KivoInitialize();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring target = std::wstring(temp) + L"kivo-foldercopy-bench";
    DeleteTree(target);

    LoadWideTree();
    KivoSimSetDevice(kDevice, R"({"latency": {"IPortableDeviceProperties::GetValues": 100}})");
    double listings = ListDirectly();
    SIZE_T before = HeapBytesInUse();
    double start = Seconds();
    HANDLE job = KivoCopyFolderFirst(L"Bench\\Card\\Tree", target.c_str(), KIVO_COPY_SUBFOLDERS);
    double walk = Seconds() - start;
    SIZE_T held = HeapBytesInUse() - before;
    size_t count = KivoCopyFolderCount(job);
    double listingsAgain = ListDirectly();
    double baseline = std::min(listings, listingsAgain);
    std::printf("First over %zu files (GetValues +100 us): %.2f s, its listings made directly %.2f s, ratio %.3f "
                "(target <= 1.1)\n",
                count, walk, baseline, walk / baseline);
    std::printf("the stored job holds %.0f KiB; its %zu entries are %.0f KiB (%zu bytes each)\n",
                static_cast<double>(held) / 1024, count, static_cast<double>(count * sizeof(kivo::FolderCopyEntry)) / 1024,
                sizeof(kivo::FolderCopyEntry));

    KivoSimSetDevice(kDevice, R"({"latency": {"IPortableDeviceProperties::GetValues": 0}})");
    start = Seconds();
    size_t failed = RunJob(job);
    double copies = Seconds() - start;
    KivoCopyFolderClose(job);
    DeleteTree(target);
    start = Seconds();
    for (int f = 0; f < kFolders; ++f)
        for (int i = 0; i < kFilesPerFolder; ++i) {
            std::string folder = Name("F", f), file = Name("IMG_", i) + ".JPG";
            std::wstring name = L"\\" + std::wstring(folder.begin(), folder.end());
            std::wstring leaf = L"\\" + std::wstring(file.begin(), file.end());
            KivoCopyFile((L"Bench\\Card\\Tree" + name + leaf).c_str(), (target + name + leaf).c_str(), 0);
        }
    double direct = Seconds() - start;
    std::printf("the job's copies: %.2f ms per file (%zu failed), one KivoCopyFile per file %.2f ms, ratio %.3f\n",
                copies * 1000 / static_cast<double>(count), failed, direct * 1000 / (kFolders * kFilesPerFolder),
                copies / direct);
    DeleteTree(target);

    for (int depth : {1, 4, 8}) {
        std::wstring folder = LoadDeepTree(depth);
        double perJob = 0, perDirect = 0;
        TimeCopies(folder, target, perJob, perDirect);
        std::printf("depth %d: %.2f ms per file in a job, %.2f ms per direct KivoCopyFile\n", depth, perJob * 1000,
                    perDirect * 1000);
        DeleteTree(target);
    }
    KivoUninitialize();
    return 0;
}

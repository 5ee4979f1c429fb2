// The folder copy job: First walks the source and lists (or copies) its
// files, Next copies and reports one file per call, Count and Close. The
// walk works through the library's own listing, status and copy operations,
// and copies a device file by the object ID its listing found.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/record_list.h"
#include "foldercopy/folder_copy_entry.h"

namespace kivo {

// What the walk of one job carries from level to level.
struct CopyWalk {
    uint32_t jobFlags = 0;
    bool descend = false;            // subfolders are walked
    bool destinationOnDisk = false;  // names are held to the file system's rules
    RecordList<FolderCopyEntry> records;
    DWORD lastError = ERROR_SUCCESS;     // the code of the walk's last failed step
    DWORD firstFailure = ERROR_SUCCESS;  // the code of its first failed entry
    // The destination paths the job has given a file, folded as the
    // destination compares names: a second object of a taken name (a
    // device may hold two) is never copied over the first.
    std::unordered_set<std::wstring> takenDestinations;
    DestinationFolder destination;  // for the copies made during the walk
};

// Walks one folder level: pattern is a folder path, "\" and a mask. Returns
// the outcome of the last step taken at this level (1 if none).
int32_t CollectCopyEntries(const wchar_t *pattern, const wchar_t *destinationFolder, CopyWalk &job);

// Copies one entry's file, taking a device source by the ID the walk found
// and using and keeping current what the job knows of the destination.
OpResult CopyFolderEntry(const FolderCopyEntry &entry, DestinationFolder &destination,
                         TransferProgress *progress = nullptr);

HANDLE FolderCopyFirst(const wchar_t *source, const wchar_t *destination, DWORD flags);
size_t FolderCopyCount(HANDLE handle);
// With a progress routine or cancel flag in request, the host hears of the
// copy of the entry it hands out and may stop it.
BOOL FolderCopyNext(HANDLE handle, wchar_t *sourceBuffer, DWORD sourceSize, wchar_t *destinationBuffer,
                    DWORD destinationSize, int32_t *result, uint32_t *error,
                    const ProgressRequest &request = ProgressRequest{});
int FolderCopyClose(HANDLE handle);

}  // namespace kivo

// One file of a folder copy job, and the table the jobs live in.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/text.h"
#include "enum/handle_table.h"
#include "fileops/fileops.h"

namespace kivo {

struct FolderCopyEntry {
    wchar_t sourcePath[MAX_PATH];
    wchar_t destinationPath[MAX_PATH];
    uint32_t copyFlags;
    int32_t copyResult;  // the entry's copy result; 0 until the copy is made
    uint32_t copyError;  // the last-error code read right after that copy
    // The walk itself decided the outcome (a name or a path that must not
    // be copied, a folder that could not be listed): the entry is reported
    // as it stands and never copied.
    bool settled;
    // For a device source: the object's ID and its folder's, as the walk's
    // listing found them (empty for a disk source).
    wchar_t sourceId[kObjectIdChars];
    wchar_t sourceParentId[kObjectIdChars];
};

struct FolderCopyJob {
    FolderCopyJob() = default;
    explicit FolderCopyJob(uint32_t flags) : jobFlags(flags) {}

    uint32_t jobFlags = 0;
    // What the job's uploads learned of the device folder they last went
    // into; taken out for each copy and put back after it.
    DestinationFolder destination;
};

using FolderCopyTableType = HandleTable<FolderCopyEntry, SixteenBitHandles, FolderCopyJob>;

FolderCopyTableType &FolderCopyTable();

}  // namespace kivo

// Storage space: what a device storage reports of its size, its free space
// and the largest object it takes.
#pragma once

#include <windows.h>

#include "fileops/fileops.h"
#include "platform/wpd.h"

namespace kivo {

OpResult ReadStorageSpace(IPortableDeviceContent *content, const wchar_t *storageId, StorageSpace &space);

// Whether an object of size bytes can go to the storage: ERROR_FILE_TOO_LARGE
// above the largest object it takes, ERROR_DISK_FULL above its free space,
// success where it reports neither.
OpResult CheckRoomFor(ULONGLONG size, const StorageSpace &space);

// GetDiskFreeSpaceExW for a device or disk path: for a device path, the
// figures of the storage its first component below the device names. Each
// out-parameter may be null. ERROR_NOT_SUPPORTED when the storage does not
// report a figure asked for (its free space is always asked for).
OpResult GetFreeSpaceEntry(const wchar_t *path, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                           ULARGE_INTEGER *totalFree);

}  // namespace kivo

// The space of a device storage, as GetDiskFreeSpaceExW gives a disk's, and
// the check an upload makes against it before it creates anything.
#include "fileops/space.h"

#include "core/paths.h"
#include "core/record.h"
#include "core/session.h"

namespace kivo {

using Microsoft::WRL::ComPtr;

namespace {

// A figure the storage reports, or none.
std::optional<ULONGLONG> ReadFigure(IPortableDeviceValues *values, REFPROPERTYKEY key) {
    ULONGLONG figure = 0;
    if (FAILED(values->GetUnsignedLargeIntegerValue(key, &figure))) return std::nullopt;
    return figure;
}

void Fill(ULARGE_INTEGER *out, ULONGLONG value) {
    if (out) out->QuadPart = value;
}

}  // namespace

OpResult ReadStorageSpace(IPortableDeviceContent *content, const wchar_t *storageId, StorageSpace &space) {
    space = StorageSpace{};
    ComPtr<IPortableDeviceProperties> properties = PropertiesOf(content);
    ComPtr<IPortableDeviceKeyCollection> keys =
        MakeKeyCollection({&WPD_STORAGE_CAPACITY, &WPD_STORAGE_FREE_SPACE_IN_BYTES, &WPD_STORAGE_MAX_OBJECT_SIZE});
    if (!properties || !keys) return Failed(ERROR_NOT_ENOUGH_MEMORY);
    ComPtr<IPortableDeviceValues> values;
    HRESULT hr = properties->GetValues(storageId, keys.Get(), values.GetAddressOf());
    if (FAILED(hr) || !values) return Failed(CodeOf(hr, ERROR_READ_FAULT));
    space.capacity = ReadFigure(values.Get(), WPD_STORAGE_CAPACITY);
    space.free = ReadFigure(values.Get(), WPD_STORAGE_FREE_SPACE_IN_BYTES);
    space.maxObjectSize = ReadFigure(values.Get(), WPD_STORAGE_MAX_OBJECT_SIZE);
    return Succeeded();
}

OpResult CheckRoomFor(ULONGLONG size, const StorageSpace &space) {
    if (space.maxObjectSize && size > *space.maxObjectSize) return Failed(ERROR_FILE_TOO_LARGE);
    if (space.free && size > *space.free) return Failed(ERROR_DISK_FULL);
    return Succeeded();
}

OpResult GetFreeSpaceEntry(const wchar_t *path, ULARGE_INTEGER *freeToCaller, ULARGE_INTEGER *total,
                           ULARGE_INTEGER *totalFree) {
    if (!path) return Failed(ERROR_INVALID_PARAMETER);
    DeviceSession session;
    if (!InitSession(&session)) return FailedWithLastError();
    if (!ProbeDevicePath(path, session)) {
        if (!IsLocalPath(path)) return Failed(ERROR_INVALID_PARAMETER);
        if (!GetDiskFreeSpaceExW(path, freeToCaller, total, totalFree)) return FailedWithLastError();
        return Succeeded();
    }
    // The storage is the object the probe found first below the device; a
    // path that names none ("Phone\*") has no space of its own.
    if (!session.probed.device) return Failed(ERROR_INVALID_NAME);
    StorageSpace space;
    OpResult read = ReadStorageSpace(session.content.Get(), session.probed.id, space);
    if (!read.ok) return read;
    // Never a made-up figure: what the storage does not report, the call
    // does not give.
    if (!space.free || (total && !space.capacity)) return Failed(ERROR_NOT_SUPPORTED);
    Fill(freeToCaller, *space.free);
    Fill(totalFree, *space.free);
    if (space.capacity) Fill(total, *space.capacity);
    return Succeeded();
}

}  // namespace kivo

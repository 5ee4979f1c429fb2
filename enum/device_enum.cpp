#include "device_enum.h"
#include "core/globals.h"

#include <cwchar>
#include <vector>

#include "core/path_text.h"
#include "core/session.h"
#include "enum/handle_table.h"

namespace kivo {

namespace {

// The name a device is listed under: its friendly name when that equals its
// description, its description when it has no friendly name, else none.
// A name that does not fit cFileName is not listed rather than cut.
bool ListedName(IPortableDeviceManager *manager, LPCWSTR deviceId, WIN32_FIND_DATAW &record) {
    DWORD length = 0;
    auto description = ReadDeviceString(manager, deviceId, &IPortableDeviceManager::GetDeviceDescription, length);
    if (!description) return false;
    const wchar_t *listed = description->Get();
    DWORD friendlyLength = 0;
    if (FAILED(manager->GetDeviceFriendlyName(deviceId, nullptr, &friendlyLength)) || friendlyLength == 0)
        return BoundedCopy(record.cFileName, kPathChars, listed);
    auto friendly = ReadDeviceString(manager, deviceId, &IPortableDeviceManager::GetDeviceFriendlyName, friendlyLength);
    if (!friendly || lstrcmpW(description->Get(), friendly->Get()) != 0) return false;
    return BoundedCopy(record.cFileName, kPathChars, friendly->Get());
}

// A name a path can lead to: not empty, without a separator, and not one
// that makes the path a disk path (a leading dot, a drive letter and
// colon). Another name would send the host's calls elsewhere.
bool CanBeAddressed(const wchar_t *name) {
    return name[0] != L'\0' && !std::wcspbrk(name, L"\\/") && !IsLocalPath(name);
}

// The records of the connected devices that have a listed name; false when
// no manager or device list can be had. Every interface it used is
// released when it returns.
bool ReadConnectedDevices(RecordList<WIN32_FIND_DATAW> &records) {
    ComPtr<IPortableDeviceManager> manager;
    if (FAILED(CreatePlatformObject(CLSID_PortableDeviceManager, IID_IPortableDeviceManager,
                                reinterpret_cast<void **>(manager.GetAddressOf()))))
        return false;
    DeviceIdList list;
    if (ListDeviceIds(manager.Get(), list) != DeviceListing::Listed) return false;
    for (DWORD i = 0; i < list.filled; ++i) {
        WIN32_FIND_DATAW record{};
        if (list[i] && ListedName(manager.Get(), list[i], record) && CanBeAddressed(record.cFileName))
            records.push_back(record);
    }
    return true;
}

}  // namespace

HANDLE FindDeviceFirst() {
    SetLastError(ERROR_NOT_READY);
    if (!InitSession(nullptr)) return INVALID_HANDLE_VALUE;
    RecordList<WIN32_FIND_DATAW> records;
    if (!ReadConnectedDevices(records)) {
        SetLastError(ERROR_NOT_READY);
        return INVALID_HANDLE_VALUE;
    }
    if (records.empty()) {
        SetLastError(ERROR_SUCCESS);
        return INVALID_HANDLE_VALUE;
    }
    auto handle = DeviceEnumTable().Add(std::move(records), 0);
    SetLastError(ERROR_SUCCESS);
    return KeyHandle(handle);
}

int FindDeviceNext(HANDLE handle, wchar_t *buffer, DWORD size) {
    DWORD code = ERROR_INVALID_HANDLE;
    DeviceEnumTable().With(HandleKey(handle), [&](FindDataTable::Entry &entry) {
        if (entry.nextIndex >= entry.records.size()) {
            code = ERROR_NO_MORE_FILES;
        } else if (!buffer) {
            code = ERROR_INVALID_PARAMETER;
        } else if (!FitsBuffer(entry.records[entry.nextIndex].cFileName, size)) {
            // Never cut: the host learns the buffer is too small and may ask
            // again, from the same position, with a larger one.
            if (size > 0) buffer[0] = L'\0';
            code = ERROR_INSUFFICIENT_BUFFER;
        } else {
            BoundedCopy(buffer, size, entry.records[entry.nextIndex++].cFileName);
            code = ERROR_SUCCESS;
        }
    });
    SetLastError(code);
    return code == ERROR_SUCCESS ? 1 : 0;
}

int FindDeviceClose(HANDLE handle) {
    SetLastError(DeviceEnumTable().Remove(HandleKey(handle)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return 0;
}

}  // namespace kivo

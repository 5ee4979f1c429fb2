// The working record of one exported call that touches a device.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <memory>

#include "platform/wpd.h"
#include "raii.h"
#include "text.h"

namespace kivo {

using Microsoft::WRL::ComPtr;

// What a probe of a device path found of its first level, so that the
// resolution of a path through the same level in the same call starts
// there instead of reading the device and that level again.
struct ProbedLevel {
    ComPtr<IPortableDevice> device;  // the device it was found on; null when nothing is known
    wchar_t name[kPathChars + 1] = {};
    wchar_t id[kObjectIdChars] = {};
};

struct DeviceSession {
    WIN32_FIND_DATAW findData;
    ProbedLevel probed;
    ComPtr<IPortableDevice> device;
    ComPtr<IPortableDeviceContent> content;
    ComPtr<IPortableDeviceManager> manager;
    ComPtr<IPortableDeviceValues> clientInfo;

    DeviceSession();
    ~DeviceSession();
    DeviceSession(const DeviceSession &) = delete;
    DeviceSession &operator=(const DeviceSession &) = delete;
};

// Prepares the globals and, when session is given, equips it with a device
// manager and the client information. FALSE when any of that failed.
BOOL InitSession(DeviceSession *session);

// Opens the first device whose friendly name equals name exactly; null when
// none does or it will not open (ERROR_NOT_READY when no device is present or
// the named one cannot be opened).
ComPtr<IPortableDevice> OpenDeviceByFriendlyName(const wchar_t *name, DeviceSession &session);

// Releases every interface of the session; the thread's last-error code is
// left as it was.
void ReleaseSession(DeviceSession &session);

// The PnP IDs of the devices a manager lists, in its order. Each ID string
// is freed with the list.
struct DeviceIdList {
    std::unique_ptr<CoTaskMemStringArray> ids;
    DWORD filled = 0;

    LPCWSTR operator[](DWORD index) const { return (*ids)[index]; }
};

enum class DeviceListing {
    Listed,    // at least one ID was filled in
    NoDevice,  // the manager reports no device, or cannot count them
    Failed,    // the array could not be allocated or filled
};

DeviceListing ListDeviceIds(IPortableDeviceManager *manager, DeviceIdList &list);

// One of the manager's per-device string queries (friendly name,
// description), asked first for its length with no buffer, then into a
// fresh zeroed buffer of that length. The text is terminated at the length
// the second query reports (length receives it, terminator included), so it
// never runs past the buffer. Null when the device reports none, the length is 0 or the
// buffer cannot be had.
using DeviceStringQuery = HRESULT (STDMETHODCALLTYPE IPortableDeviceManager::*)(LPCWSTR, WCHAR *, DWORD *);
std::unique_ptr<HeapArray<wchar_t>> ReadDeviceString(IPortableDeviceManager *manager, LPCWSTR deviceId,
                                                     DeviceStringQuery query, DWORD &length);

}  // namespace kivo

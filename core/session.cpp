#include "session.h"

#include "globals.h"
#include "raii.h"

namespace kivo {

namespace {

constexpr ULONG kClientMajorVersion = 1;
constexpr ULONG kClientMinorVersion = 0;
constexpr ULONG kClientRevision = 0;

void WriteClientInformation(IPortableDeviceValues *clientInfo) {
    clientInfo->SetStringValue(WPD_CLIENT_NAME, L"KIVOtool");
    clientInfo->SetUnsignedIntegerValue(WPD_CLIENT_MAJOR_VERSION, kClientMajorVersion);
    clientInfo->SetUnsignedIntegerValue(WPD_CLIENT_MINOR_VERSION, kClientMinorVersion);
    clientInfo->SetUnsignedIntegerValue(WPD_CLIENT_REVISION, kClientRevision);
    clientInfo->SetUnsignedIntegerValue(WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE, SECURITY_IMPERSONATION);
}

bool NameEquals(const HeapArray<wchar_t> &reported, DWORD capacity, const wchar_t *name) {
    // Code unit by code unit, terminator included; the buffer may hold no
    // terminator of its own if the device filled it to the brim.
    for (DWORD i = 0; i < capacity; ++i) {
        if (reported[i] != name[i]) return false;
        if (name[i] == L'\0') return true;
    }
    return false;
}

// Opens one device, retrying read-only once when the first Open is refused;
// null when its object cannot be made or it will not open.
ComPtr<IPortableDevice> OpenDevice(LPCWSTR deviceId, IPortableDeviceValues *clientInfo) {
    ComPtr<IPortableDevice> device;
    if (FAILED(CreatePlatformObject(CLSID_PortableDeviceFTM, IID_IPortableDevice,
                                reinterpret_cast<void **>(device.GetAddressOf()))))
        return nullptr;
    HRESULT hr = device->Open(deviceId, clientInfo);
    if (hr == E_ACCESSDENIED) {
        clientInfo->SetUnsignedIntegerValue(WPD_CLIENT_DESIRED_ACCESS, GENERIC_READ);
        hr = device->Open(deviceId, clientInfo);
    }
    if (FAILED(hr)) return nullptr;
    return device;
}

}  // namespace

DeviceSession::DeviceSession() : findData{} {}

DeviceSession::~DeviceSession() { ReleaseSession(*this); }

BOOL InitSession(DeviceSession *session) {
    BOOL result = PrepareGlobals();
    if (!session) return result;

    session->findData = WIN32_FIND_DATAW{};
    session->probed = ProbedLevel{};
    session->device.Reset();
    session->content.Reset();
    session->manager.Reset();
    session->clientInfo.Reset();

    if (FAILED(CreatePlatformObject(CLSID_PortableDeviceManager, IID_IPortableDeviceManager,
                                reinterpret_cast<void **>(session->manager.GetAddressOf()))))
        result = FALSE;
    if (FAILED(CreatePlatformObject(CLSID_PortableDeviceValues, IID_IPortableDeviceValues,
                                reinterpret_cast<void **>(session->clientInfo.GetAddressOf()))))
        return FALSE;
    WriteClientInformation(session->clientInfo.Get());
    return result;
}

std::unique_ptr<HeapArray<wchar_t>> ReadDeviceString(IPortableDeviceManager *manager, LPCWSTR deviceId,
                                                     DeviceStringQuery query, DWORD &length) {
    length = 0;
    if (FAILED((manager->*query)(deviceId, nullptr, &length)) || length == 0) return nullptr;
    auto text = std::make_unique<HeapArray<wchar_t>>(length);
    if (!*text) return nullptr;
    DWORD reported = length;
    if (FAILED((manager->*query)(deviceId, text->Get(), &reported))) return nullptr;
    // The text ends at the length the device reports, terminator included,
    // whatever it wrote into the terminator's place.
    if (reported == 0 || reported > length) reported = length;
    (*text)[reported - 1] = L'\0';
    length = reported;
    return text;
}

DeviceListing ListDeviceIds(IPortableDeviceManager *manager, DeviceIdList &list) {
    DWORD count = 0;
    HRESULT hr = manager->GetDevices(nullptr, &count);
    if (FAILED(hr) && count == 0) return DeviceListing::NoDevice;
    if (FAILED(hr)) return DeviceListing::Failed;
    if (count == 0) return DeviceListing::NoDevice;

    list.ids = std::make_unique<CoTaskMemStringArray>(count);
    if (!*list.ids) return DeviceListing::Failed;
    DWORD filled = count;
    if (FAILED(manager->GetDevices(list.ids->Get(), &filled))) return DeviceListing::Failed;
    list.filled = filled < count ? filled : count;
    return DeviceListing::Listed;
}

ComPtr<IPortableDevice> OpenDeviceByFriendlyName(const wchar_t *name, DeviceSession &session) {
    if (!session.manager || !session.clientInfo) return nullptr;
    // When no device has the name, the caller's code is left as it was,
    // whatever the platform calls on the way did to it.
    const DWORD entryCode = GetLastError();
    bool nameFound = false;
    DeviceIdList list;
    DeviceListing listing = ListDeviceIds(session.manager.Get(), list);
    if (listing == DeviceListing::NoDevice) SetLastError(ERROR_NOT_READY);
    if (listing != DeviceListing::Listed) return nullptr;

    for (DWORD i = 0; i < list.filled; ++i) {
        LPCWSTR deviceId = list[i];
        if (!deviceId) continue;
        DWORD length = 0;
        auto friendly =
            ReadDeviceString(session.manager.Get(), deviceId, &IPortableDeviceManager::GetDeviceFriendlyName, length);
        if (!friendly) continue;
        if (!NameEquals(*friendly, length, name)) continue;
        nameFound = true;
        ComPtr<IPortableDevice> device = OpenDevice(deviceId, session.clientInfo.Get());
        if (device) return device;
    }
    // Set last, after every platform call: a named device that cannot be
    // had, whether its object cannot be made or it will not open, is not
    // ready; no device of the name leaves the caller's code.
    SetLastError(nameFound ? ERROR_NOT_READY : entryCode);
    return nullptr;
}

void ReleaseSession(DeviceSession &session) {
    LastErrorKeeper keep;
    session.probed = ProbedLevel{};
    session.device.Reset();
    session.content.Reset();
    session.manager.Reset();
    session.clientInfo.Reset();
}

}  // namespace kivo

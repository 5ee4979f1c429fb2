// kivosim.dll: the COM in-process server that stands in for the platform's
// portable-device service, its registration, fixture loading and dumping,
// and the control API for tests.
#define KIVOSIM_BUILD
#include "kivosim.h"

#include <cstring>
#include <string>

#include "com_object.h"

namespace sim {

namespace {

HMODULE g_module = nullptr;
std::string g_lastError;

using Creator = HRESULT (*)(REFIID, void **);

struct ClassEntry {
    const CLSID *clsid;
    const char *name;
    Creator create;
};

const ClassEntry kClasses[] = {
    {&CLSID_PortableDeviceManager, "PortableDeviceManager", CreateManager},
    {&CLSID_PortableDeviceFTM, "PortableDeviceFTM", CreatePortableDevice},
    {&CLSID_PortableDevice, "PortableDevice", CreatePortableDevice},
    {&CLSID_PortableDeviceValues, "PortableDeviceValues", CreateValues},
    {&CLSID_PortableDeviceKeyCollection, "PortableDeviceKeyCollection", CreateKeyCollection},
    {&CLSID_PortableDevicePropVariantCollection, "PortableDevicePropVariantCollection", CreatePropVariantCollection},
    {&CLSID_PortableDeviceValuesCollection, "PortableDeviceValuesCollection", CreateValuesCollection},
};

// Class factories are static and not counted among the live objects.
class Factory final : public IClassFactory {
public:
    explicit Factory(const ClassEntry &entry) : entry_(entry) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        {
            Call call((std::string(entry_.name) + "::CreateInstance").c_str(), std::wstring());
            if (call.Faulted()) return call.FaultCode();
        }
        return entry_.create(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    const ClassEntry &entry_;
};

std::wstring ModulePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(g_module, path, MAX_PATH);
    return path;
}

std::wstring GuidString(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool WriteRegistryString(HKEY root, const std::wstring &path, const wchar_t *name, const std::wstring &value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::wstring Environment(const wchar_t *name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

size_t CopyOut(const std::string &text, char *buffer, size_t capacity) {
    if (buffer && capacity > 0) {
        size_t n = std::min(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return text.size();
}

bool CopyId(const std::wstring &id, wchar_t *out, size_t capacity) {
    if (!out || capacity <= id.size()) return false;
    std::memcpy(out, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
    return true;
}

// The folder name, relative to the dump's own folder, of the dump's data files.
std::wstring DataFolderBase(const std::wstring &dumpPath) {
    size_t cut = dumpPath.find_last_of(L"\\/");
    return (cut == std::wstring::npos ? dumpPath : dumpPath.substr(cut + 1)) + L".data";
}

// Runs as the process ends, when threads that held the state lock may have
// been stopped inside it: the lock is taken only if it is free.
void DumpOnExit() {
    std::wstring path = Environment(L"KIVO_SIM_DUMP");
    if (path.empty()) return;
    State &state = GetState();
    bool locked = state.mutex.try_lock();
    if (locked && !state.fixturesLoaded) EnsureFixturesLoaded();
    std::string text = DumpState(state, path + L".data", DataFolderBase(path)).dump(2);
    WriteWholeFile(path, text.data(), text.size());
    if (locked) state.mutex.unlock();
}

Device *LockedDevice(State &state, const wchar_t *pnpId) {
    return pnpId ? state.FindDevice(pnpId) : nullptr;
}

// The object objectId of device pnpId, with its device; the caller holds
// the state lock.
Object *LockedObject(State &state, const wchar_t *pnpId, const wchar_t *objectId, Device **device = nullptr) {
    Device *owner = LockedDevice(state, pnpId);
    if (device) *device = owner;
    return owner && objectId ? owner->Find(objectId) : nullptr;
}

}  // namespace

void EnsureFixturesLoaded() {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (state.fixturesLoaded) return;
    state.fixturesLoaded = true;
    std::wstring path = Environment(L"KIVO_SIM_DEVICES");
    if (path.empty()) return;
    size_t cut = path.find_last_of(L"\\/");
    state.fixtureFolder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
    auto text = ReadWholeFile(path);
    if (!text) {
        g_lastError = "cannot read " + ToUtf8(path);
        return;
    }
    json fixture = json::parse(*text, nullptr, false);
    if (fixture.is_discarded()) {
        g_lastError = "fixture is not valid JSON";
        return;
    }
    if (LoadFixtureJson(state, fixture, &g_lastError) < 0) OutputDebugStringA(g_lastError.c_str());
}

}  // namespace sim

using namespace sim;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        // Stay loaded for the life of the process, so that the devices keep
        // their state when COM frees unused libraries.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&DllMain), &pinned);
    } else if (reason == DLL_PROCESS_DETACH && reserved) {
        DumpOnExit();
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void **out) {
    static Factory factories[] = {Factory(kClasses[0]), Factory(kClasses[1]), Factory(kClasses[2]),
                                  Factory(kClasses[3]), Factory(kClasses[4]), Factory(kClasses[5]),
                                  Factory(kClasses[6])};
    if (!out) return E_POINTER;
    *out = nullptr;
    EnsureFixturesLoaded();
    for (size_t i = 0; i < sizeof kClasses / sizeof kClasses[0]; ++i)
        if (IsEqualCLSID(clsid, *kClasses[i].clsid)) return factories[i].QueryInterface(iid, out);
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow(void) { return S_FALSE; }

namespace {

bool RegisterClasses(HKEY root) {
    std::wstring path = ModulePath();
    for (const auto &entry : kClasses) {
        std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(*entry.clsid);
        if (!WriteRegistryString(root, key, nullptr, FromUtf8(entry.name)) ||
            !WriteRegistryString(root, key + L"\\InprocServer32", nullptr, path) ||
            !WriteRegistryString(root, key + L"\\InprocServer32", L"ThreadingModel", L"Both"))
            return false;
    }
    return true;
}

void UnregisterClasses(HKEY root) {
    for (const auto &entry : kClasses) {
        std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(*entry.clsid);
        RegDeleteTreeW(root, key.c_str());
    }
}

// Wine's COM reads class registrations from the machine's classes only, not
// from the user's as Windows does.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace

// Registers the classes for the current user (HKCU\Software\Classes), which
// on Windows takes precedence over the machine's registration and needs no
// administrator; under Wine the machine's classes are written as well.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    if (!RegisterClasses(HKEY_CURRENT_USER)) return E_FAIL;
    if (RunningUnderWine() && !RegisterClasses(HKEY_LOCAL_MACHINE)) return E_FAIL;
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    UnregisterClasses(HKEY_CURRENT_USER);
    if (RunningUnderWine()) UnregisterClasses(HKEY_LOCAL_MACHINE);
    return S_OK;
}

// ---- control API ----------------------------------------------------------------------

KIVOSIM_API void KivoSimReset(void) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.fixturesLoaded = true;
    state.devices.clear();
    state.faults.clear();
    state.log = json::array();
    state.counters.clear();
    state.logging = true;
}

KIVOSIM_API int KivoSimLoadFixture(const char *text) {
    if (!text) return -1;
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    EnsureFixturesLoaded();
    json fixture = json::parse(text, nullptr, false);
    if (fixture.is_discarded()) {
        g_lastError = "fixture is not valid JSON";
        return -1;
    }
    return LoadFixtureJson(state, fixture, &g_lastError);
}

KIVOSIM_API int KivoSimLoadFixtureFile(const wchar_t *path) {
    if (!path) return -1;
    auto text = ReadWholeFile(path);
    if (!text) {
        g_lastError = "cannot read " + ToUtf8(path);
        return -1;
    }
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    EnsureFixturesLoaded();
    std::wstring file(path);
    size_t cut = file.find_last_of(L"\\/");
    state.fixtureFolder = cut == std::wstring::npos ? std::wstring() : file.substr(0, cut + 1);
    json fixture = json::parse(*text, nullptr, false);
    if (fixture.is_discarded()) {
        g_lastError = "fixture is not valid JSON";
        return -1;
    }
    return LoadFixtureJson(state, fixture, &g_lastError);
}

KIVOSIM_API int KivoSimAddObject(const wchar_t *pnpId, const wchar_t *parentId, const char *text, wchar_t *idOut,
                                 size_t idCapacity) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Device *device = LockedDevice(state, pnpId);
    json node = text ? json::parse(text, nullptr, false) : json();
    if (!device || node.is_discarded()) return 0;
    std::wstring id;
    if (!AddObjectJson(state, *device, parentId ? parentId : WPD_DEVICE_OBJECT_ID, node, &id, &g_lastError)) return 0;
    if (idOut) CopyId(id, idOut, idCapacity);
    return 1;
}

KIVOSIM_API int KivoSimSetDevice(const wchar_t *pnpId, const char *text) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Device *device = LockedDevice(state, pnpId);
    json settings = text ? json::parse(text, nullptr, false) : json();
    if (!device || !settings.is_object()) return 0;
    auto optionalName = [&](const char *key, std::optional<std::wstring> &field) {
        if (!settings.contains(key)) return;
        if (settings[key].is_string()) field = FromUtf8(settings[key].get<std::string>());
        else field.reset();
    };
    optionalName("friendlyName", device->friendlyName);
    optionalName("description", device->description);
    if (settings.contains("connected")) {
        device->connected = settings["connected"].get<bool>();
        device->callsBeforeUnplug.reset();
    }
    if (settings.contains("unplugAfterCalls")) device->callsBeforeUnplug = settings["unplugAfterCalls"].get<uint64_t>();
    if (settings.contains("refuseFirstOpen")) device->refuseFirstOpen = settings["refuseFirstOpen"].get<bool>();
    if (settings.contains("transferSize")) device->transferSize = settings["transferSize"].get<uint32_t>();
    if (settings.contains("bandwidth")) device->bandwidth = settings["bandwidth"].get<uint64_t>();
    if (settings.contains("unterminatedNames")) device->unterminatedNames = settings["unterminatedNames"].get<bool>();
    ApplyBulkSettings(*device, settings);
    if (settings.contains("idPrefix") && settings["idPrefix"].is_string())
        device->idPrefix = FromUtf8(settings["idPrefix"].get<std::string>());
    if (settings.contains("latency"))
        for (auto &[method, micros] : settings["latency"].items()) device->latencyMicros[method] = micros.get<uint64_t>();
    return 1;
}

KIVOSIM_API int KivoSimFindObject(const wchar_t *pnpId, const wchar_t *path, wchar_t *idOut, size_t idCapacity) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Device *device = LockedDevice(state, pnpId);
    if (!device || !path) return 0;
    Object *current = device->Find(WPD_DEVICE_OBJECT_ID);
    std::wstring rest = path;
    size_t start = 0;
    while (current && start <= rest.size()) {
        size_t end = rest.find(L'\\', start);
        std::wstring name = rest.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        start = end == std::wstring::npos ? rest.size() + 1 : end + 1;
        if (name.empty()) continue;
        Object *next = nullptr;
        for (const auto &child : current->children) {
            Object *candidate = device->Find(child);
            if (candidate && candidate->originalFileName.value_or(candidate->name) == name) {
                next = candidate;
                break;
            }
        }
        current = next;
    }
    return current && CopyId(current->id, idOut, idCapacity) ? 1 : 0;
}

KIVOSIM_API size_t KivoSimDump(char *buffer, size_t capacity) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    EnsureFixturesLoaded();
    return CopyOut(DumpState(state).dump(), buffer, capacity);
}

KIVOSIM_API size_t KivoSimObjectJson(const wchar_t *pnpId, const wchar_t *objectId, char *buffer, size_t capacity) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Device *device = nullptr;
    Object *object = LockedObject(state, pnpId, objectId, &device);
    if (!object) return CopyOut(std::string(), buffer, capacity);
    json node = DumpObject(*device, *object, false);
    node["parentId"] = ToUtf8(object->parentId);
    json children = json::array();
    for (const auto &child : object->children) children.push_back(ToUtf8(child));
    node["childIds"] = std::move(children);
    return CopyOut(node.dump(), buffer, capacity);
}

KIVOSIM_API size_t KivoSimObjectSha256(const wchar_t *pnpId, const wchar_t *objectId, int portable, char *buffer,
                                       size_t capacity) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Object *object = LockedObject(state, pnpId, objectId);
    if (!object) return CopyOut(std::string(), buffer, capacity);
    return CopyOut(portable ? PortableSha256Hex(object->data) : Sha256Hex(object->data), buffer, capacity);
}

KIVOSIM_API size_t KivoSimCallLog(char *buffer, size_t capacity) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    return CopyOut(state.log.dump(), buffer, capacity);
}

KIVOSIM_API size_t KivoSimLastError(char *buffer, size_t capacity) { return CopyOut(g_lastError, buffer, capacity); }

KIVOSIM_API size_t KivoSimReadData(const wchar_t *pnpId, const wchar_t *objectId, uint64_t offset, void *buffer,
                                   size_t size) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Object *object = LockedObject(state, pnpId, objectId);
    if (!object || !buffer) return 0;
    return object->data.Read(offset, buffer, size);
}

KIVOSIM_API int KivoSimAddFault(const wchar_t *pnpId, const char *text) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    json rule = text ? json::parse(text, nullptr, false) : json();
    FaultRule parsed;
    if (rule.is_discarded() || !ParseFaultRule(rule, pnpId ? pnpId : L"", parsed, &g_lastError)) return 0;
    state.faults.push_back(parsed);
    return 1;
}

KIVOSIM_API void KivoSimClearFaults(void) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.faults.clear();
}

KIVOSIM_API void KivoSimClearLog(void) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.log = json::array();
    state.counters.clear();
}

KIVOSIM_API void KivoSimSetLogging(int enabled) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.logging = enabled != 0;
}

KIVOSIM_API uint64_t KivoSimCallCount(const char *method) {
    State &state = GetState();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    auto it = method ? state.counters.find(method) : state.counters.end();
    return it == state.counters.end() ? 0 : it->second;
}

KIVOSIM_API long KivoSimLiveObjects(void) { return LiveObjects().load(); }

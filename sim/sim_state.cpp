#include "sim_state.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

State &GetState() {
    static State *state = new State;  // never destroyed: COM objects may outlive static teardown
    return *state;
}

std::atomic<long> &LiveObjects() {
    static std::atomic<long> count{0};
    return count;
}

Device *State::FindDevice(const std::wstring &pnpId) {
    for (auto &device : devices)
        if (device->pnpId == pnpId) return device.get();
    return nullptr;
}

Object *Device::Find(const std::wstring &id) {
    auto it = objects.find(id.empty() ? std::wstring(WPD_DEVICE_OBJECT_ID) : id);
    return it == objects.end() ? nullptr : &it->second;
}

Object *Device::StorageOf(const std::wstring &id) {
    Object *object = Find(id);
    // Bounded by the object count, so a cycle a fixture made cannot hang it.
    for (size_t steps = 0; object && steps <= objects.size(); ++steps) {
        if (object->kind == Kind::Storage) return object;
        if (object->kind == Kind::Device) return nullptr;
        object = Find(object->parentId);
    }
    return nullptr;
}

void Device::ChargeStorage(const std::wstring &parentId, uint64_t size, bool added) {
    Object *storage = StorageOf(parentId);
    if (!storage || !storage->freeSpace) return;
    uint64_t &free = *storage->freeSpace;
    if (added) {
        free = free > size ? free - size : 0;
    } else {
        free += size;
        if (storage->capacity && free > *storage->capacity) free = *storage->capacity;
    }
}

std::wstring Device::NewObjectId(Kind kind) {
    for (;;) {
        std::wstring id = kind == Kind::Storage ? L"s" + std::to_wstring(nextStorageNumber++)
                                                : idPrefix + std::to_wstring(nextObjectNumber++);
        if (!objects.count(id)) return id;
    }
}

static uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

size_t ObjectData::Read(uint64_t offset, void *out, size_t count) const {
    if (offset >= size) return 0;
    if (count > size - offset) count = static_cast<size_t>(size - offset);
    auto *dst = static_cast<uint8_t *>(out);
    if (!generated) {
        std::memcpy(dst, bytes->data() + offset, count);
        return count;
    }
    for (size_t i = 0; i < count;) {
        uint64_t position = offset + i;
        uint64_t word = SplitMix(seed * 0x100000001B3ull ^ (position >> 3));
        for (unsigned b = static_cast<unsigned>(position & 7); b < 8 && i < count; ++b, ++i)
            dst[i] = static_cast<uint8_t>(word >> (8 * b));
    }
    return count;
}

void SpinMicros(uint64_t micros) {
    if (micros == 0) return;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const double ticks = static_cast<double>(micros) * static_cast<double>(frequency.QuadPart) / 1e6;
    if (micros > 2000) Sleep(static_cast<DWORD>(micros / 1000 - 1));
    do {
        QueryPerformanceCounter(&now);
    } while (static_cast<double>(now.QuadPart - start.QuadPart) < ticks);
}

static bool RuleMatches(const FaultRule &rule, const char *method, const std::wstring &device,
                        const std::wstring &objectId) {
    if (rule.method != method && rule.method != "*") return false;
    // A rule given under a device fires only on that device's calls.
    if (!rule.device.empty() && rule.device != device) return false;
    if (!rule.objectId.empty() && rule.objectId != objectId) return false;
    return true;
}

FaultRule *FindStreamRule(State &state, const char *method, const std::wstring &device,
                          const std::wstring &objectId) {
    for (auto &rule : state.faults) {
        if (!rule.streamRule || !RuleMatches(rule, method, device, objectId)) continue;
        if (rule.times >= 0 && rule.fired >= static_cast<uint64_t>(rule.times)) continue;
        return &rule;
    }
    return nullptr;
}

std::optional<HRESULT> PendingFault(State &state, const char *method, const std::wstring &device,
                                    const std::wstring &objectId) {
    for (const auto &rule : state.faults) {
        if (rule.streamRule || rule.method != method || !RuleMatches(rule, method, device, objectId)) continue;
        if (rule.seen < rule.skip || !rule.inResults.empty() || SUCCEEDED(rule.hr)) continue;
        if (rule.times >= 0 && rule.fired >= static_cast<uint64_t>(rule.times)) continue;
        return rule.hr;
    }
    return std::nullopt;
}

void ApplyBulkSettings(Device &device, const json &settings) {
    if (!settings.is_object()) return;
    auto flag = [&](const char *key, bool &field) {
        if (settings.contains(key) && settings[key].is_boolean()) field = settings[key].get<bool>();
    };
    flag("bulkProperties", device.bulkProperties);
    flag("bulkSplitValues", device.bulkSplitValues);
    if (settings.contains("bulkMicrosPerObject") && settings["bulkMicrosPerObject"].is_number_unsigned())
        device.bulkMicrosPerObject = settings["bulkMicrosPerObject"].get<uint64_t>();
    if (settings.contains("bulkChunk") && settings["bulkChunk"].is_number_unsigned())
        device.bulkChunk = std::max<uint32_t>(1, settings["bulkChunk"].get<uint32_t>());
}

void DumpBulkSettings(const Device &device, json &node) {
    if (!device.bulkProperties) node["bulkProperties"] = false;
    if (device.bulkMicrosPerObject) node["bulkMicrosPerObject"] = device.bulkMicrosPerObject;
    if (device.bulkChunk != 100) node["bulkChunk"] = device.bulkChunk;
    if (device.bulkSplitValues) node["bulkSplitValues"] = true;
}

bool StreamRuleFires(FaultRule &rule) {
    if (++rule.seen <= rule.skip) return false;
    rule.fired++;
    return true;
}

Call::Call(const char *method, const std::wstring &device, const std::wstring &objectId)
    : state_(GetState()), lock_(state_.mutex) {
    EnsureFixturesLoaded();
    state_.counters[method]++;
    device_ = device.empty() ? nullptr : state_.FindDevice(device);
    if (device_ && device_->callsBeforeUnplug) {
        if (*device_->callsBeforeUnplug == 0) {
            device_->connected = false;
            device_->callsBeforeUnplug.reset();
        } else {
            --*device_->callsBeforeUnplug;
        }
    }
    if (device_) {
        auto it = device_->latencyMicros.find(method);
        if (it != device_->latencyMicros.end()) latency_ = it->second;
    }
    for (auto &rule : state_.faults) {
        if (rule.streamRule || !RuleMatches(rule, method, device, objectId)) continue;
        if (++rule.seen <= rule.skip) continue;
        if (rule.times >= 0 && rule.fired >= static_cast<uint64_t>(rule.times)) continue;
        rule.fired++;
        fault_ = rule.hr;
        placement_ = rule.inResults;
        break;
    }
    // The log is for tests; a long-running host that never reads it must
    // not grow without bound, so it stops at kMaxLogEntries (counters go on).
    if (state_.logging && state_.log.size() < kMaxLogEntries) {
        json entry = {{"method", method}};
        if (!device.empty()) entry["device"] = ToUtf8(device);
        if (!objectId.empty()) entry["objectId"] = ToUtf8(objectId);
        if (fault_) entry["fault"] = FormatHresult(*fault_);
        state_.log.push_back(std::move(entry));
        entryIndex_ = state_.log.size() - 1;
    }
}

json &Call::Entry() {
    static json scratch;
    if (entryIndex_ == SIZE_MAX || entryIndex_ >= state_.log.size()) {
        scratch = json::object();
        return scratch;
    }
    return state_.log[entryIndex_];
}

Call::~Call() {
    lock_.unlock();
    SpinMicros(latency_);
    SetLastError(kSimLastError);
}

// ---- properties ----------------------------------------------------------

static void SetString(PROPVARIANT &out, const std::wstring &text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    out.vt = VT_LPWSTR;
    out.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (out.pwszVal) std::memcpy(out.pwszVal, text.c_str(), bytes);
    else out.vt = VT_EMPTY;
}

static void SetGuid(PROPVARIANT &out, const GUID &guid) {
    out.vt = VT_CLSID;
    out.puuid = static_cast<CLSID *>(CoTaskMemAlloc(sizeof(CLSID)));
    if (out.puuid) *out.puuid = guid;
    else out.vt = VT_EMPTY;
}

static void SetBool(PROPVARIANT &out, bool value) {
    out.vt = VT_BOOL;
    out.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

static void SetDate(PROPVARIANT &out, double date) {
    out.vt = VT_DATE;
    out.date = date;
}

static std::optional<uint64_t> ReportedSize(const Object &object) {
    if (object.overridesSize) return object.reportedSize;
    if (object.kind == Kind::File) return object.data.size;
    return std::nullopt;
}

bool ReadProperty(const Device &device, const Object &object, REFPROPERTYKEY key, PROPVARIANT &out) {
    PropVariantInit(&out);
    if (IsEqualPropertyKey(key, WPD_OBJECT_ID)) SetString(out, object.id);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_PARENT_ID)) SetString(out, object.parentId);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_NAME)) SetString(out, object.name);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_PERSISTENT_UNIQUE_ID)) SetString(out, device.pnpId + L"/" + object.id);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_CONTENT_TYPE)) SetGuid(out, object.contentType);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_FORMAT) && object.format) SetGuid(out, *object.format);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_ORIGINAL_FILE_NAME) && object.originalFileName)
        SetString(out, *object.originalFileName);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_ISHIDDEN) && object.hidden) SetBool(out, *object.hidden);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_ISSYSTEM) && object.system) SetBool(out, *object.system);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_CAN_DELETE) && object.canDelete) SetBool(out, *object.canDelete);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_DATE_CREATED) && object.created) SetDate(out, *object.created);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_DATE_MODIFIED) && object.modified) SetDate(out, *object.modified);
    else if (IsEqualPropertyKey(key, WPD_OBJECT_SIZE) && ReportedSize(object)) {
        out.vt = VT_UI8;
        out.uhVal.QuadPart = *ReportedSize(object);
    } else if (IsEqualPropertyKey(key, WPD_STORAGE_CAPACITY) && object.capacity) {
        out.vt = VT_UI8;
        out.uhVal.QuadPart = *object.capacity;
    } else if (IsEqualPropertyKey(key, WPD_STORAGE_FREE_SPACE_IN_BYTES) && object.freeSpace) {
        out.vt = VT_UI8;
        out.uhVal.QuadPart = *object.freeSpace;
    } else if (IsEqualPropertyKey(key, WPD_STORAGE_MAX_OBJECT_SIZE) && object.maxObjectSize) {
        out.vt = VT_UI8;
        out.uhVal.QuadPart = *object.maxObjectSize;
    } else if (IsEqualPropertyKey(key, WPD_STORAGE_FILE_SYSTEM_TYPE) && object.fileSystem) {
        SetString(out, *object.fileSystem);
    } else if (IsEqualPropertyKey(key, WPD_STORAGE_ACCESS_CAPABILITY) && object.kind == Kind::Storage) {
        out.vt = VT_UI4;
        out.ulVal = object.readOnly ? 1 : 0;  // read-only without deletion, or read-write
    } else if (IsEqualPropertyKey(key, WPD_FUNCTIONAL_OBJECT_CATEGORY) && object.kind == Kind::Storage)
        SetGuid(out, WPD_FUNCTIONAL_CATEGORY_STORAGE);
    else if (IsEqualPropertyKey(key, WPD_DEVICE_FRIENDLY_NAME) && object.kind == Kind::Device &&
             device.friendlyName)
        SetString(out, *device.friendlyName);
    return out.vt != VT_EMPTY;
}

std::vector<PROPERTYKEY> AllPropertyKeys() {
    return {WPD_OBJECT_ID,           WPD_OBJECT_PARENT_ID,         WPD_OBJECT_NAME,
            WPD_OBJECT_PERSISTENT_UNIQUE_ID, WPD_OBJECT_FORMAT,    WPD_OBJECT_CONTENT_TYPE,
            WPD_OBJECT_ISHIDDEN,     WPD_OBJECT_ISSYSTEM,          WPD_OBJECT_SIZE,
            WPD_OBJECT_ORIGINAL_FILE_NAME, WPD_OBJECT_DATE_CREATED, WPD_OBJECT_DATE_MODIFIED,
            WPD_OBJECT_CAN_DELETE,   WPD_FUNCTIONAL_OBJECT_CATEGORY, WPD_DEVICE_FRIENDLY_NAME,
            WPD_STORAGE_CAPACITY,    WPD_STORAGE_FREE_SPACE_IN_BYTES, WPD_STORAGE_MAX_OBJECT_SIZE,
            WPD_STORAGE_FILE_SYSTEM_TYPE, WPD_STORAGE_ACCESS_CAPABILITY};
}

// ---- files ---------------------------------------------------------------

std::optional<std::string> ReadWholeFile(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string text;
    std::vector<char> buffer(1 << 20);
    DWORD got = 0;
    BOOL ok = TRUE;
    while ((ok = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) && got > 0)
        text.append(buffer.data(), got);
    CloseHandle(file);
    if (!ok) return std::nullopt;
    return text;
}

bool WriteWholeFile(const std::wstring &path, const void *data, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const auto *bytes = static_cast<const char *>(data);
    bool ok = true;
    while (ok && size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        ok = WriteFile(file, bytes, chunk, &written, nullptr) && written == chunk;
        bytes += chunk;
        size -= chunk;
    }
    CloseHandle(file);
    return ok;
}

// ---- text ----------------------------------------------------------------

std::string ToUtf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                        nullptr);
    return out;
}

std::wstring FromUtf8(const std::string &text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

std::string FormatHresult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

namespace {

struct NamedKey {
    const PROPERTYKEY *key;
    const char *name;
};

const NamedKey kKeyNames[] = {
    {&WPD_OBJECT_ID, "WPD_OBJECT_ID"},
    {&WPD_OBJECT_PARENT_ID, "WPD_OBJECT_PARENT_ID"},
    {&WPD_OBJECT_NAME, "WPD_OBJECT_NAME"},
    {&WPD_OBJECT_PERSISTENT_UNIQUE_ID, "WPD_OBJECT_PERSISTENT_UNIQUE_ID"},
    {&WPD_OBJECT_FORMAT, "WPD_OBJECT_FORMAT"},
    {&WPD_OBJECT_CONTENT_TYPE, "WPD_OBJECT_CONTENT_TYPE"},
    {&WPD_OBJECT_ISHIDDEN, "WPD_OBJECT_ISHIDDEN"},
    {&WPD_OBJECT_ISSYSTEM, "WPD_OBJECT_ISSYSTEM"},
    {&WPD_OBJECT_SIZE, "WPD_OBJECT_SIZE"},
    {&WPD_OBJECT_ORIGINAL_FILE_NAME, "WPD_OBJECT_ORIGINAL_FILE_NAME"},
    {&WPD_OBJECT_DATE_CREATED, "WPD_OBJECT_DATE_CREATED"},
    {&WPD_OBJECT_DATE_MODIFIED, "WPD_OBJECT_DATE_MODIFIED"},
    {&WPD_OBJECT_CAN_DELETE, "WPD_OBJECT_CAN_DELETE"},
    {&WPD_STORAGE_CAPACITY, "WPD_STORAGE_CAPACITY"},
    {&WPD_STORAGE_FREE_SPACE_IN_BYTES, "WPD_STORAGE_FREE_SPACE_IN_BYTES"},
    {&WPD_STORAGE_MAX_OBJECT_SIZE, "WPD_STORAGE_MAX_OBJECT_SIZE"},
    {&WPD_STORAGE_FILE_SYSTEM_TYPE, "WPD_STORAGE_FILE_SYSTEM_TYPE"},
    {&WPD_STORAGE_ACCESS_CAPABILITY, "WPD_STORAGE_ACCESS_CAPABILITY"},
    {&WPD_CLIENT_NAME, "WPD_CLIENT_NAME"},
    {&WPD_CLIENT_MAJOR_VERSION, "WPD_CLIENT_MAJOR_VERSION"},
    {&WPD_CLIENT_MINOR_VERSION, "WPD_CLIENT_MINOR_VERSION"},
    {&WPD_CLIENT_REVISION, "WPD_CLIENT_REVISION"},
    {&WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE, "WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE"},
    {&WPD_CLIENT_DESIRED_ACCESS, "WPD_CLIENT_DESIRED_ACCESS"},
    {&WPD_CLIENT_SHARE_MODE, "WPD_CLIENT_SHARE_MODE"},
    {&WPD_PROPERTY_COMMON_COMMAND_CATEGORY, "WPD_PROPERTY_COMMON_COMMAND_CATEGORY"},
    {&WPD_PROPERTY_COMMON_COMMAND_ID, "WPD_PROPERTY_COMMON_COMMAND_ID"},
    {&WPD_PROPERTY_COMMON_HRESULT, "WPD_PROPERTY_COMMON_HRESULT"},
    {&WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID, "WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID"},
    {&WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES, "WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES"},
    {&WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS, "WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS"},
    {&WPD_FUNCTIONAL_OBJECT_CATEGORY, "WPD_FUNCTIONAL_OBJECT_CATEGORY"},
    {&WPD_DEVICE_FRIENDLY_NAME, "WPD_DEVICE_FRIENDLY_NAME"},
};

struct NamedGuid {
    const GUID *guid;
    const char *name;
};

const NamedGuid kGuidNames[] = {
    {&WPD_CONTENT_TYPE_FOLDER, "folder"},
    {&WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT, "functional"},
    {&WPD_CONTENT_TYPE_IMAGE, "image"},
    {&WPD_CONTENT_TYPE_AUDIO, "audio"},
    {&WPD_CONTENT_TYPE_VIDEO, "video"},
    {&WPD_CONTENT_TYPE_DOCUMENT, "document"},
    {&WPD_CONTENT_TYPE_GENERIC_FILE, "generic-file"},
    {&WPD_OBJECT_FORMAT_EXIF, "exif"},
    {&WPD_OBJECT_FORMAT_MP3, "mp3"},
    {&WPD_OBJECT_FORMAT_MPEG, "mpeg"},
    {&WPD_OBJECT_FORMAT_WMV, "wmv"},
    {&WPD_OBJECT_FORMAT_GIF, "gif"},
    {&WPD_OBJECT_FORMAT_OGG, "ogg"},
    {&WPD_OBJECT_FORMAT_3GP, "3gp"},
    {&WPD_OBJECT_FORMAT_M4A, "m4a"},
    {&WPD_OBJECT_FORMAT_WAVE, "wave"},
    {&WPD_OBJECT_FORMAT_MP4, "mp4"},
    {&WPD_OBJECT_FORMAT_AVI, "avi"},
    {&WPD_OBJECT_FORMAT_UNSPECIFIED, "unspecified"},
    {&WPD_OBJECT_FORMAT_PROPERTIES_ONLY, "properties-only"},
    {&WPD_FUNCTIONAL_CATEGORY_STORAGE, "storage"},
};

std::string GuidText(REFGUID guid) {
    char text[48];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

}  // namespace

std::string KeyName(REFPROPERTYKEY key) {
    for (const auto &named : kKeyNames)
        if (IsEqualPropertyKey(*named.key, key)) return named.name;
    return GuidText(key.fmtid) + "/" + std::to_string(key.pid);
}

std::string GuidName(REFGUID guid) {
    for (const auto &named : kGuidNames)
        if (IsEqualGUID(*named.guid, guid)) return named.name;
    return GuidText(guid);
}

std::optional<GUID> ParseGuidName(const std::string &name) {
    for (const auto &named : kGuidNames)
        if (name == named.name) return *named.guid;
    if (name.size() != 38 || name.front() != '{' || name.back() != '}') return std::nullopt;
    GUID guid{};
    unsigned long d1 = 0;
    unsigned d2 = 0, d3 = 0, b[8] = {};
    if (std::sscanf(name.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                    &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return std::nullopt;
    guid.Data1 = d1;
    guid.Data2 = static_cast<unsigned short>(d2);
    guid.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(b[i]);
    return guid;
}

std::string FormatDate(double date) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(date, &st)) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return text;
}

std::optional<double> ParseDate(const std::string &text) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u", &year, &month, &day, &hour, &minute, &second) != 6)
        return std::nullopt;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    double date = 0;
    if (!SystemTimeToVariantTime(&st, &date)) return std::nullopt;
    return date;
}

json ValueToJson(const PROPVARIANT &value) {
    switch (value.vt) {
    case VT_LPWSTR: return value.pwszVal ? ToUtf8(value.pwszVal) : std::string();
    case VT_UI4: return value.ulVal;
    case VT_I4: return value.lVal;
    case VT_UI8: return value.uhVal.QuadPart;
    case VT_I8: return value.hVal.QuadPart;
    case VT_BOOL: return value.boolVal != VARIANT_FALSE;
    case VT_CLSID: return value.puuid ? GuidName(*value.puuid) : std::string();
    case VT_DATE: return FormatDate(value.date);
    case VT_ERROR: return FormatHresult(value.scode);
    case VT_EMPTY: return nullptr;
    case VT_UNKNOWN: {
        json nested = json::array();
        IPortableDeviceValues *values = nullptr;
        if (value.punkVal &&
            SUCCEEDED(value.punkVal->QueryInterface(IID_IPortableDeviceValues, reinterpret_cast<void **>(&values)))) {
            DWORD count = 0;
            values->GetCount(&count);
            for (DWORD i = 0; i < count; ++i) {
                PROPERTYKEY key{};
                PROPVARIANT item;
                PropVariantInit(&item);
                if (SUCCEEDED(values->GetAt(i, &key, &item)))
                    nested.push_back({{"key", KeyName(key)}, {"value", ValueToJson(item)}});
                PropVariantClear(&item);
            }
            values->Release();
        }
        return nested;
    }
    default: return "vt:" + std::to_string(value.vt);
    }
}

}  // namespace sim

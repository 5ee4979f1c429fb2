// The simulated device service: the device manager, devices, their content,
// properties, resources, object enumerators and data streams.
#include <wrl/client.h>

#include <cstring>
#include <memory>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "com_object.h"

namespace sim {

using Microsoft::WRL::ComPtr;

namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
const HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);

LPWSTR DupString(const std::wstring &text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto *copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (copy) std::memcpy(copy, text.c_str(), bytes);
    return copy;
}

json ValuesToJson(IPortableDeviceValues *values) {
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = values;
    return values ? ValueToJson(v) : json::array();
}

// One open connection to a device, shared by the objects obtained through it.
struct Connection {
    std::wstring pnpId;
    std::atomic<bool> open{false};
    std::atomic<bool> readOnly{false};  // opened asking for GENERIC_READ only
};
using ConnectionRef = std::shared_ptr<Connection>;

HRESULT CheckOpen(Call &call, const Connection &connection) {
    if (!connection.open) return E_WPD_DEVICE_NOT_OPEN;
    if (!call.device() || !call.device()->connected) return kNotConnected;
    return S_OK;
}

// A write on a connection opened for reading only is refused, as a device
// refuses it.
HRESULT CheckWritable(Call &call, const Connection &connection) {
    HRESULT hr = CheckOpen(call, connection);
    if (FAILED(hr)) return hr;
    if (!connection.readOnly) return S_OK;
    call.Entry()["refused"] = "read-only";
    return E_ACCESSDENIED;
}

uint64_t TransferMicros(const Device *device, uint64_t bytes) {
    if (!device || device->bandwidth == 0) return 0;
    return bytes * 1000000ull / device->bandwidth;
}

// ---- manager ----------------------------------------------------------------

class Manager final : public ComObject<IPortableDeviceManager> {
public:
    Manager() { Snapshot(); }

    HRESULT STDMETHODCALLTYPE GetDevices(LPWSTR *ids, DWORD *count) override {
        if (!count) return E_POINTER;
        Call call("IPortableDeviceManager::GetDevices", std::wstring());
        call.Entry()["count"] = *count;
        if (call.Faulted()) return call.FaultCode();
        if (!ids) {
            *count = static_cast<DWORD>(devices_.size());
            return call.Result(S_OK);
        }
        DWORD filled = 0;
        for (; filled < *count && filled < devices_.size(); ++filled) {
            ids[filled] = DupString(devices_[filled]);
            if (!ids[filled]) return E_OUTOFMEMORY;
        }
        *count = filled;
        return call.Result(filled < devices_.size() ? S_FALSE : S_OK);
    }
    HRESULT STDMETHODCALLTYPE RefreshDeviceList() override {
        Call call("IPortableDeviceManager::RefreshDeviceList", std::wstring());
        if (call.Faulted()) return call.FaultCode();
        Snapshot();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDeviceFriendlyName(LPCWSTR id, WCHAR *buffer, DWORD *length) override {
        return ReadName("IPortableDeviceManager::GetDeviceFriendlyName", id, buffer, length,
                        [](const Device &d) { return d.friendlyName; });
    }
    HRESULT STDMETHODCALLTYPE GetDeviceDescription(LPCWSTR id, WCHAR *buffer, DWORD *length) override {
        return ReadName("IPortableDeviceManager::GetDeviceDescription", id, buffer, length,
                        [](const Device &d) { return d.description; });
    }
    HRESULT STDMETHODCALLTYPE GetDeviceManufacturer(LPCWSTR id, WCHAR *buffer, DWORD *length) override {
        return ReadName("IPortableDeviceManager::GetDeviceManufacturer", id, buffer, length,
                        [](const Device &) { return std::optional<std::wstring>(L"kivo simulated devices"); });
    }
    HRESULT STDMETHODCALLTYPE GetDeviceProperty(LPCWSTR, LPCWSTR, BYTE *, DWORD *, DWORD *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetPrivateDevices(LPWSTR *, DWORD *count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }

private:
    // The list is taken when the manager is made and does not follow later
    // connections, as on the platform.
    void Snapshot() {
        State &state = GetState();
        std::lock_guard<std::recursive_mutex> lock(state.mutex);
        EnsureFixturesLoaded();
        devices_.clear();
        for (auto &device : state.devices)
            if (device->connected) devices_.push_back(device->pnpId);
    }

    template <class Pick>
    HRESULT ReadName(const char *method, LPCWSTR id, WCHAR *buffer, DWORD *length, Pick pick) {
        if (!id || !length) return E_POINTER;
        Call call(method, id, std::wstring());
        if (call.Faulted()) return call.FaultCode();
        if (!call.device()) return kNotFound;
        std::optional<std::wstring> name = pick(*call.device());
        if (!name) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        DWORD needed = static_cast<DWORD>(name->size() + 1);
        if (!buffer) {
            *length = needed;
            return call.Result(S_OK);
        }
        if (*length < needed) {
            *length = needed;
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, name->c_str(), needed * sizeof(wchar_t));
        if (call.device()->unterminatedNames) buffer[needed - 1] = L'#';
        *length = needed;
        return call.Result(S_OK);
    }

    std::vector<std::wstring> devices_;
};

// ---- object enumeration --------------------------------------------------------

class ObjectEnumerator final : public ComObject<IEnumPortableDeviceObjectIDs> {
public:
    ObjectEnumerator(ConnectionRef connection, std::wstring parent, std::vector<std::wstring> children)
        : connection_(std::move(connection)), parent_(std::move(parent)), children_(std::move(children)) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, LPWSTR *ids, ULONG *fetched) override {
        if (!ids) return E_POINTER;
        if (fetched) *fetched = 0;
        Call call("IEnumPortableDeviceObjectIDs::Next", connection_->pnpId, parent_);
        call.Entry()["count"] = wanted;
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        ULONG given = 0;
        for (; given < wanted && position_ < children_.size(); ++given) {
            ids[given] = DupString(children_[position_++]);
            if (!ids[given]) return E_OUTOFMEMORY;
        }
        if (fetched) *fetched = given;
        return call.Result(given == wanted ? S_OK : S_FALSE);
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position_ = std::min(children_.size(), position_ + count);
        return position_ < children_.size() ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumPortableDeviceObjectIDs **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }

private:
    ConnectionRef connection_;
    std::wstring parent_;
    std::vector<std::wstring> children_;
    size_t position_ = 0;
};

// ---- properties --------------------------------------------------------------

// The values one object reports for the given keys, as GetValues reads
// them; a key the object lacks is VT_ERROR. missing tells whether any was.
ComPtr<IPortableDeviceValues> ReadValues(const Device &device, const Object &object, const PROPERTYKEY *first,
                                         const PROPERTYKEY *last, bool markMissing, bool &missing) {
    ComPtr<IPortableDeviceValues> values;
    NewValues(values);
    if (!values) return nullptr;
    missing = false;
    for (const PROPERTYKEY *wanted = first; wanted != last; ++wanted) {
        const PROPERTYKEY &key = *wanted;
        PROPVARIANT value;
        if (ReadProperty(device, object, key, value)) {
            values->SetValue(key, &value);
            PropVariantClear(&value);
        } else if (markMissing) {
            values->SetErrorValue(key, kNotFound);
            missing = true;
        }
    }
    return values;
}

std::vector<PROPERTYKEY> KeysOf(IPortableDeviceKeyCollection *keys) {
    std::vector<PROPERTYKEY> wanted;
    DWORD count = 0;
    keys->GetCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        if (SUCCEEDED(keys->GetAt(i, &key))) wanted.push_back(key);
    }
    return wanted;
}

json KeyNames(const std::vector<PROPERTYKEY> &keys) {
    json names = json::array();
    for (const auto &key : keys) names.push_back(KeyName(key));
    return names;
}

// One queued bulk read: the objects, the keys and where the results go.
struct BulkRequest {
    std::vector<std::wstring> ids;
    std::vector<PROPERTYKEY> keys;
    ComPtr<IPortableDevicePropertiesBulkCallback> callback;
};

// The values of one object in a bulk read: WPD_OBJECT_ID, then the asked
// keys in [first, last). An object the device cannot describe (unknown,
// or one GetValues would be refused for) has every asked key VT_ERROR.
ComPtr<IPortableDeviceValues> BulkValuesOf(Call &call, const std::wstring &id, const std::vector<PROPERTYKEY> &keys,
                                           size_t first, size_t last) {
    const PROPERTYKEY *begin = keys.data() + first, *end = keys.data() + last;
    Object *object = call.device()->Find(id);
    std::optional<HRESULT> refused =
        object ? PendingFault(call.state(), "IPortableDeviceProperties::GetValues", call.device()->pnpId, id)
               : std::optional<HRESULT>(kNotFound);
    ComPtr<IPortableDeviceValues> values;
    if (refused) {
        NewValues(values);
        if (!values) return nullptr;
        for (const PROPERTYKEY *key = begin; key != end; ++key) values->SetErrorValue(*key, *refused);
    } else {
        bool missing = false;
        values = ReadValues(*call.device(), *object, begin, end, true, missing);
        if (!values) return nullptr;
    }
    // Every part carries the object's ID, asked for or not.
    if (refused || std::none_of(begin, end, [](const PROPERTYKEY &key) { return IsEqualPropertyKey(key, WPD_OBJECT_ID); }))
        values->SetStringValue(WPD_OBJECT_ID, id.c_str());
    return values;
}

// Delivers a started bulk read on a thread of its own, as the platform
// does: OnStart, the objects in chunks of the device's bulkChunk (each chunk
// a logged call that fault rules and the unplug count apply to, costing
// bulkMicrosPerObject per object), then OnEnd with the outcome. With
// bulkSplitValues the second half of each object's keys comes in the next
// OnProgress. The thread holds no sim object when it calls OnEnd.
void DeliverBulk(ConnectionRef connection, GUID context, BulkRequest request) {
    request.callback->OnStart(context);
    HRESULT status = S_OK;
    size_t chunk = 100;
    bool split = false;
    std::vector<ComPtr<IPortableDeviceValues>> secondHalves;
    for (size_t next = 0; next < request.ids.size() && SUCCEEDED(status);) {
        ComPtr<IPortableDeviceValuesCollection> results;
        uint64_t cost = 0;
        {
            Call call("IPortableDevicePropertiesBulk::Results", connection->pnpId);
            status = call.Faulted() ? call.FaultCode() : CheckOpen(call, *connection);
            if (FAILED(status)) break;
            chunk = call.device()->bulkChunk;
            split = call.device()->bulkSplitValues && request.keys.size() > 1;
            if (FAILED(CreateValuesCollection(__uuidof(IPortableDeviceValuesCollection),
                                              reinterpret_cast<void **>(results.GetAddressOf())))) {
                status = E_OUTOFMEMORY;
                break;
            }
            for (auto &half : secondHalves) results->Add(half.Get());
            secondHalves.clear();
            const size_t first = next;
            size_t end = std::min(request.ids.size(), next + chunk);
            size_t middle = split ? request.keys.size() / 2 : request.keys.size();
            call.Entry()["count"] = end - next;
            for (; next < end; ++next) {
                ComPtr<IPortableDeviceValues> values = BulkValuesOf(call, request.ids[next], request.keys, 0, middle);
                if (values) results->Add(values.Get());
                if (split) {
                    values = BulkValuesOf(call, request.ids[next], request.keys, middle, request.keys.size());
                    if (values) secondHalves.push_back(values);
                }
            }
            cost = call.device()->bulkMicrosPerObject * (end - first);
        }
        SpinMicros(cost);
        request.callback->OnProgress(context, results.Get());
    }
    if (!secondHalves.empty() && SUCCEEDED(status)) {
        ComPtr<IPortableDeviceValuesCollection> results;
        if (SUCCEEDED(CreateValuesCollection(__uuidof(IPortableDeviceValuesCollection),
                                             reinterpret_cast<void **>(results.GetAddressOf())))) {
            for (auto &half : secondHalves) results->Add(half.Get());
            request.callback->OnProgress(context, results.Get());
        }
    }
    secondHalves.clear();
    ComPtr<IPortableDevicePropertiesBulkCallback> callback = std::move(request.callback);
    connection.reset();
    callback->OnEnd(context, status);
}

// The one thread that delivers every started bulk read, in the order they
// were started; it lives as long as the process, as the sim does.
class BulkDeliverer {
public:
    static BulkDeliverer &Get() {
        static BulkDeliverer *deliverer = new BulkDeliverer;  // never destroyed, like the state
        return *deliverer;
    }
    bool Post(ConnectionRef connection, const GUID &context, BulkRequest request) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) {
            try {
                std::thread([this] { Run(); }).detach();
            } catch (...) {
                return false;
            }
            started_ = true;
        }
        jobs_.push_back(Job{std::move(connection), context, std::move(request)});
        wake_.notify_one();
        return true;
    }

private:
    struct Job {
        ConnectionRef connection;
        GUID context;
        BulkRequest request;
    };
    void Run() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !jobs_.empty(); });
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            DeliverBulk(std::move(job.connection), job.context, std::move(job.request));
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool started_ = false;
};

class Properties final : public ComObject<IPortableDeviceProperties>, public IPortableDevicePropertiesBulk {
public:
    explicit Properties(ConnectionRef connection) : connection_(std::move(connection)) {}

    // IUnknown of both interfaces: one object, one count.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        return ComObject<IPortableDeviceProperties>::QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ComObject<IPortableDeviceProperties>::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return ComObject<IPortableDeviceProperties>::Release(); }

    HRESULT STDMETHODCALLTYPE GetSupportedProperties(LPCWSTR, IPortableDeviceKeyCollection **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyAttributes(LPCWSTR, REFPROPERTYKEY, IPortableDeviceValues **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetValues(LPCWSTR id, IPortableDeviceKeyCollection *keys,
                                        IPortableDeviceValues **out) override {
        if (!id || !out) return E_POINTER;
        *out = nullptr;
        Call call("IPortableDeviceProperties::GetValues", connection_->pnpId, id);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        Object *object = call.device()->Find(id);
        if (!object) return kNotFound;

        std::vector<PROPERTYKEY> wanted = keys ? KeysOf(keys) : AllPropertyKeys();
        if (call.state().logging) call.Entry()["keys"] = KeyNames(wanted);
        bool missing = false;
        ComPtr<IPortableDeviceValues> values = ReadValues(*call.device(), *object, wanted.data(),
                                                          wanted.data() + wanted.size(), keys != nullptr, missing);
        if (!values) return E_OUTOFMEMORY;
        *out = values.Detach();
        return call.Result(missing ? S_FALSE : S_OK);
    }
    HRESULT STDMETHODCALLTYPE SetValues(LPCWSTR, IPortableDeviceValues *, IPortableDeviceValues **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR, IPortableDeviceKeyCollection *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }

    // ---- bulk reads ----
    HRESULT STDMETHODCALLTYPE QueueGetValuesByObjectList(IPortableDevicePropVariantCollection *ids,
                                                         IPortableDeviceKeyCollection *keys,
                                                         IPortableDevicePropertiesBulkCallback *callback,
                                                         GUID *context) override {
        if (!ids || !callback || !context) return E_POINTER;
        Call call("IPortableDevicePropertiesBulk::QueueGetValuesByObjectList", connection_->pnpId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        // Not every driver reads "all keys" in bulk: a client must name them.
        if (!keys) return E_INVALIDARG;
        BulkRequest request;
        request.keys = KeysOf(keys);
        DWORD count = 0;
        ids->GetCount(&count);
        for (DWORD i = 0; i < count; ++i) {
            PROPVARIANT id;
            PropVariantInit(&id);
            if (SUCCEEDED(ids->GetAt(i, &id)) && id.vt == VT_LPWSTR && id.pwszVal) request.ids.emplace_back(id.pwszVal);
            PropVariantClear(&id);
        }
        if (call.state().logging) {
            call.Entry()["count"] = request.ids.size();
            call.Entry()["keys"] = KeyNames(request.keys);
        }
        request.callback = callback;
        if (FAILED(CoCreateGuid(context))) return E_FAIL;
        std::lock_guard<std::mutex> lock(queueMutex_);
        queued_.emplace_back(*context, std::move(request));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueueGetValuesByObjectFormat(REFGUID, LPCWSTR, const DWORD, IPortableDeviceKeyCollection *,
                                                           IPortableDevicePropertiesBulkCallback *, GUID *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE QueueSetValuesByObjectList(IPortableDeviceValuesCollection *,
                                                         IPortableDevicePropertiesBulkCallback *, GUID *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start(REFGUID context) override {
        Call call("IPortableDevicePropertiesBulk::Start", connection_->pnpId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        std::optional<BulkRequest> request = TakeQueued(context);
        if (!request) return E_INVALIDARG;
        call.Entry()["count"] = request->ids.size();
        return BulkDeliverer::Get().Post(connection_, context, std::move(*request)) ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE Cancel(REFGUID context) override {
        return TakeQueued(context) ? S_OK : E_INVALIDARG;
    }

protected:
    void *QueryExtra(REFIID iid) override {
        if (!IsEqualIID(iid, IID_IPortableDevicePropertiesBulk)) return nullptr;
        State &state = GetState();
        std::lock_guard<std::recursive_mutex> lock(state.mutex);
        Device *device = state.FindDevice(connection_->pnpId);
        if (!device || !device->bulkProperties) return nullptr;
        return static_cast<IPortableDevicePropertiesBulk *>(this);
    }

private:
    std::optional<BulkRequest> TakeQueued(REFGUID context) {
        std::lock_guard<std::mutex> lock(queueMutex_);
        for (auto it = queued_.begin(); it != queued_.end(); ++it) {
            if (!IsEqualGUID(it->first, context)) continue;
            BulkRequest request = std::move(it->second);
            queued_.erase(it);
            return request;
        }
        return std::nullopt;
    }

    ConnectionRef connection_;
    std::mutex queueMutex_;
    std::vector<std::pair<GUID, BulkRequest>> queued_;
};

// ---- data streams ---------------------------------------------------------------

// Methods that no caller of the sim's streams needs answer E_NOTIMPL.
template <class Primary>
class StreamBase : public ComObject<Primary> {
public:
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream *, ULARGE_INTEGER, ULARGE_INTEGER *, ULARGE_INTEGER *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream **) override { return E_NOTIMPL; }

protected:
    void *QueryExtra(REFIID iid) override {
        if (IsEqualIID(iid, IID_ISequentialStream) || IsEqualIID(iid, IID_IStream))
            return static_cast<IStream *>(this);
        return nullptr;
    }

    HRESULT SeekTo(LARGE_INTEGER move, DWORD origin, uint64_t size, ULARGE_INTEGER *newPosition) {
        int64_t base = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position_)
                                                                                   : static_cast<int64_t>(size);
        if (origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
        int64_t target = base + move.QuadPart;
        if (target < 0) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<uint64_t>(target);
        if (newPosition) newPosition->QuadPart = position_;
        return S_OK;
    }

    static void FillStat(STATSTG *stat, uint64_t size, DWORD mode) {
        *stat = STATSTG{};
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = size;
        stat->grfMode = mode;
    }

    uint64_t position_ = 0;
};

// Reads an object's data as it was when the stream was opened.
class ReadStream final : public StreamBase<IStream> {
public:
    ReadStream(ConnectionRef connection, std::wstring objectId, ObjectData data)
        : connection_(std::move(connection)), objectId_(std::move(objectId)), data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE Read(void *buffer, ULONG wanted, ULONG *got) override {
        if (got) *got = 0;
        if (!buffer) return STG_E_INVALIDPOINTER;
        Call call("IStream::Read", connection_->pnpId, objectId_);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        uint64_t allowed = wanted;
        if (FaultRule *rule = FindStreamRule(call.state(), "IStream::Read", connection_->pnpId, objectId_)) {
            if (position_ < rule->afterBytes) {
                allowed = std::min<uint64_t>(allowed, rule->afterBytes - position_);
            } else if (StreamRuleFires(*rule)) {
                call.Entry()["fault"] = rule->shortTransfer ? "short" : FormatHresult(rule->hr);
                return rule->shortTransfer ? S_OK : rule->hr;
            }
        }
        size_t n = data_.Read(position_, buffer, static_cast<size_t>(allowed));
        position_ += n;
        if (got) *got = static_cast<ULONG>(n);
        SpinMicros(TransferMicros(call.device(), n));
        return n < wanted ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void *, ULONG, ULONG *) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *newPosition) override {
        return SeekTo(move, origin, data_.size, newPosition);
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG *stat, DWORD) override {
        if (!stat) return STG_E_INVALIDPOINTER;
        Call call("IStream::Stat", connection_->pnpId, objectId_);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        FillStat(stat, data_.size, STGM_READ);
        return S_OK;
    }

private:
    ConnectionRef connection_;
    std::wstring objectId_;
    ObjectData data_;
};

// The properties a new object is made from, read when its stream is opened.
struct NewObject {
    bool hasParent = false;
    std::wstring parentId;
    std::wstring name;
    std::optional<std::wstring> originalFileName;
    GUID contentType = WPD_CONTENT_TYPE_GENERIC_FILE;
    std::optional<GUID> format;
    std::optional<uint64_t> declaredSize;
    std::optional<double> created, modified;
    std::optional<VARTYPE> createdType, modifiedType;  // a date sent as another type
};

std::optional<std::wstring> ReadString(IPortableDeviceValues *values, REFPROPERTYKEY key) {
    LPWSTR text = nullptr;
    if (FAILED(values->GetStringValue(key, &text)) || !text) return std::nullopt;
    std::wstring copy(text);
    CoTaskMemFree(text);
    return copy;
}

// A date property: its value when it is a VT_DATE, else the type it came as.
void ReadDate(IPortableDeviceValues *values, REFPROPERTYKEY key, std::optional<double> &date,
              std::optional<VARTYPE> &otherType) {
    PROPVARIANT v;
    PropVariantInit(&v);
    if (SUCCEEDED(values->GetValue(key, &v))) {
        if (v.vt == VT_DATE) date = v.date;
        else otherType = v.vt;
    }
    PropVariantClear(&v);
}

NewObject ReadNewObject(IPortableDeviceValues *values) {
    NewObject object;
    auto parent = ReadString(values, WPD_OBJECT_PARENT_ID);
    object.hasParent = parent && !parent->empty();
    object.parentId = parent.value_or(std::wstring());
    object.originalFileName = ReadString(values, WPD_OBJECT_ORIGINAL_FILE_NAME);
    object.name = ReadString(values, WPD_OBJECT_NAME).value_or(object.originalFileName.value_or(std::wstring()));
    GUID guid{};
    if (SUCCEEDED(values->GetGuidValue(WPD_OBJECT_CONTENT_TYPE, &guid))) object.contentType = guid;
    if (SUCCEEDED(values->GetGuidValue(WPD_OBJECT_FORMAT, &guid))) object.format = guid;
    ULONGLONG size = 0;
    if (SUCCEEDED(values->GetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, &size))) object.declaredSize = size;
    ReadDate(values, WPD_OBJECT_DATE_CREATED, object.created, object.createdType);
    ReadDate(values, WPD_OBJECT_DATE_MODIFIED, object.modified, object.modifiedType);
    return object;
}

bool IsContainer(const Object &object) { return object.kind != Kind::File; }

// A new object of the device, from the properties it was created with; its
// data is empty until the caller gives it some.
Object MakeObject(Device &device, const Object &parent, const NewObject &properties, Kind kind) {
    Object object;
    object.kind = kind;
    object.id = device.NewObjectId(kind);
    object.parentId = parent.id;
    object.name = properties.name;
    object.originalFileName = properties.originalFileName;
    object.contentType = properties.contentType;
    object.format = properties.format;
    object.created = properties.created;
    object.modified = properties.modified;
    object.createdType = properties.createdType;
    object.modifiedType = properties.modifiedType;
    object.data.bytes = std::make_shared<const std::vector<uint8_t>>();
    return object;
}

Object &InsertObject(Device &device, Object object) {
    std::wstring id = object.id;
    std::wstring parent = object.parentId;
    if (object.kind == Kind::File) device.ChargeStorage(parent, object.data.size, true);
    Object &stored = device.objects[id] = std::move(object);
    if (Object *p = device.Find(parent)) p->children.push_back(id);
    return stored;
}

// The data stream of an object being created: the object appears only when
// the stream is committed; released uncommitted, it leaves nothing.
class CreateStream final : public StreamBase<IPortableDeviceDataStream> {
public:
    CreateStream(ConnectionRef connection, NewObject object)
        : connection_(std::move(connection)), object_(std::move(object)) {
        ReserveDeclaredSize();
    }

    HRESULT STDMETHODCALLTYPE Read(void *, ULONG, ULONG *) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Write(const void *buffer, ULONG count, ULONG *written) override {
        if (written) *written = 0;
        if (!buffer) return STG_E_INVALIDPOINTER;
        Call call("IStream::Write", connection_->pnpId, object_.parentId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckWritable(call, *connection_);
        if (FAILED(hr)) return hr;
        if (reverted_ || newId_.size()) return STG_E_REVERTED;
        uint64_t allowed = count;
        FaultRule *rule = FindStreamRule(call.state(), "IStream::Write", connection_->pnpId, object_.parentId);
        if (!rule && object_.originalFileName)
            rule = FindStreamRule(call.state(), "IStream::Write", connection_->pnpId, *object_.originalFileName);
        if (rule && position_ + count > rule->afterBytes && StreamRuleFires(*rule)) {
            call.Entry()["fault"] = rule->shortTransfer ? "short" : FormatHresult(rule->hr);
            if (!rule->shortTransfer) return rule->hr;
            allowed = position_ < rule->afterBytes ? rule->afterBytes - position_ : 0;
        }
        // A storage refuses data that would not fit it, or an object larger
        // than it takes, as an MTP device does.
        if (HRESULT refused = RefuseBeyondStorage(*call.device(), position_ + allowed); FAILED(refused)) {
            call.Entry()["fault"] = FormatHresult(refused);
            return refused;
        }
        const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
        if (position_ == data_.size()) {
            data_.insert(data_.end(), bytes, bytes + allowed);
        } else {
            if (data_.size() < position_ + allowed) data_.resize(static_cast<size_t>(position_ + allowed));
            std::memcpy(data_.data() + position_, bytes, static_cast<size_t>(allowed));
        }
        position_ += allowed;
        if (written) *written = static_cast<ULONG>(allowed);
        SpinMicros(TransferMicros(call.device(), allowed));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *newPosition) override {
        return SeekTo(move, origin, data_.size(), newPosition);
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
        Call call("IStream::Commit", connection_->pnpId, object_.parentId);
        call.Entry()["bytes"] = data_.size();
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckWritable(call, *connection_);
        if (FAILED(hr)) return hr;
        if (reverted_) return STG_E_REVERTED;
        if (!newId_.empty()) return S_OK;
        Device &device = *call.device();
        Object *parent = device.Find(object_.parentId);
        if (!parent || !IsContainer(*parent)) return kNotFound;
        // A device refuses an object whose data does not match the size it
        // was announced with.
        if (object_.declaredSize && *object_.declaredSize != data_.size()) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

        Object created = MakeObject(device, *parent, object_, Kind::File);
        created.data.size = data_.size();
        created.data.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(data_));
        data_.clear();
        newId_ = InsertObject(device, std::move(created)).id;
        call.Entry()["newId"] = ToUtf8(newId_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG *stat, DWORD) override {
        if (!stat) return STG_E_INVALIDPOINTER;
        FillStat(stat, data_.size(), STGM_WRITE);
        return S_OK;
    }
    // Abandons the upload: nothing is created, and a later Commit fails.
    HRESULT STDMETHODCALLTYPE Revert() override {
        Call call("IStream::Revert", connection_->pnpId, object_.parentId);
        if (call.Faulted()) return call.FaultCode();
        if (!newId_.empty()) return S_OK;
        reverted_ = true;
        data_.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetObjectID(LPWSTR *id) override {
        if (!id) return E_POINTER;
        *id = nullptr;
        Call call("IPortableDeviceDataStream::GetObjectID", connection_->pnpId, object_.parentId);
        if (call.Faulted()) return call.FaultCode();
        if (newId_.empty()) return E_WPD_OBJECT_NOT_COMMITED;
        *id = DupString(newId_);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }

protected:
    void *QueryExtra(REFIID iid) override {
        if (IsEqualIID(iid, IID_ISequentialStream) || IsEqualIID(iid, IID_IStream))
            return static_cast<IStream *>(this);
        return nullptr;
    }

private:
    HRESULT RefuseBeyondStorage(Device &device, uint64_t size) const {
        Object *storage = device.StorageOf(object_.parentId);
        if (!storage) return S_OK;
        if (storage->maxObjectSize && size > *storage->maxObjectSize) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
        if (storage->freeSpace && size > *storage->freeSpace) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
        return S_OK;
    }

    // Room for the announced size up front, as a device sets its storage
    // aside: the data is appended without being moved as it grows.
    void ReserveDeclaredSize() {
        constexpr uint64_t kMostReserved = 1ull << 30;
        if (!object_.declaredSize || *object_.declaredSize > kMostReserved) return;
        try {
            data_.reserve(static_cast<size_t>(*object_.declaredSize));
        } catch (const std::bad_alloc &) {
        }
    }

    ConnectionRef connection_;
    NewObject object_;
    std::vector<uint8_t> data_;
    std::wstring newId_;
    bool reverted_ = false;
};

// ---- resources ------------------------------------------------------------------

class Resources final : public ComObject<IPortableDeviceResources> {
public:
    explicit Resources(ConnectionRef connection) : connection_(std::move(connection)) {}

    HRESULT STDMETHODCALLTYPE GetSupportedResources(LPCWSTR, IPortableDeviceKeyCollection **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetResourceAttributes(LPCWSTR, REFPROPERTYKEY, IPortableDeviceValues **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetStream(LPCWSTR id, REFPROPERTYKEY key, const DWORD mode, DWORD *optimal,
                                        IStream **out) override {
        if (!id || !out) return E_POINTER;
        *out = nullptr;
        Call call("IPortableDeviceResources::GetStream", connection_->pnpId, id);
        call.Entry()["mode"] = mode;
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        Object *object = call.device()->Find(id);
        if (!object) return kNotFound;
        if (!IsEqualPropertyKey(key, WPD_RESOURCE_DEFAULT) || object->kind != Kind::File)
            return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
        if (mode != STGM_READ) return E_ACCESSDENIED;
        if (optimal) *optimal = call.device()->transferSize;
        return call.Result(CreateAndQuery<ReadStream>(IID_IStream, reinterpret_cast<void **>(out), connection_,
                                                      std::wstring(id), object->data));
    }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR, IPortableDeviceKeyCollection *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE CreateResource(IPortableDeviceValues *, IStream **, DWORD *, LPWSTR *) override {
        return E_NOTIMPL;
    }

private:
    ConnectionRef connection_;
};

// ---- content ------------------------------------------------------------------------

class Content final : public ComObject<IPortableDeviceContent> {
public:
    explicit Content(ConnectionRef connection) : connection_(std::move(connection)) {}

    HRESULT STDMETHODCALLTYPE EnumObjects(const DWORD, LPCWSTR parent, IPortableDeviceValues *,
                                          IEnumPortableDeviceObjectIDs **out) override {
        if (!parent || !out) return E_POINTER;
        *out = nullptr;
        Call call("IPortableDeviceContent::EnumObjects", connection_->pnpId, parent);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        Object *object = call.device()->Find(parent);
        if (!object) return kNotFound;
        hr = CreateAndQuery<ObjectEnumerator>(IID_IEnumPortableDeviceObjectIDs, reinterpret_cast<void **>(out),
                                              connection_, object->id, object->children);
        return FAILED(hr) ? hr : call.Result(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Properties(IPortableDeviceProperties **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        Call call("IPortableDeviceContent::Properties", connection_->pnpId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        return CreateAndQuery<sim::Properties>(IID_IPortableDeviceProperties, reinterpret_cast<void **>(out),
                                               connection_);
    }
    HRESULT STDMETHODCALLTYPE Transfer(IPortableDeviceResources **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        Call call("IPortableDeviceContent::Transfer", connection_->pnpId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        return CreateAndQuery<Resources>(IID_IPortableDeviceResources, reinterpret_cast<void **>(out), connection_);
    }
    HRESULT STDMETHODCALLTYPE CreateObjectWithPropertiesOnly(IPortableDeviceValues *values, LPWSTR *id) override {
        if (!values) return E_POINTER;
        if (id) *id = nullptr;
        NewObject object = ReadNewObject(values);
        Call call("IPortableDeviceContent::CreateObjectWithPropertiesOnly", connection_->pnpId, object.parentId);
        call.Entry()["values"] = ValuesToJson(values);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckWritable(call, *connection_);
        if (FAILED(hr)) return hr;
        if (!object.hasParent) return E_INVALIDARG;
        Device &device = *call.device();
        Object *parent = device.Find(object.parentId);
        if (!parent || !IsContainer(*parent)) return kNotFound;
        if (object.name.empty()) return E_INVALIDARG;
        bool folder = IsEqualGUID(object.contentType, WPD_CONTENT_TYPE_FOLDER);
        Object created = MakeObject(device, *parent, object, folder ? Kind::Folder : Kind::File);
        std::wstring newId = InsertObject(device, std::move(created)).id;
        call.Entry()["newId"] = ToUtf8(newId);
        if (id) {
            *id = DupString(newId);
            if (!*id) return E_OUTOFMEMORY;
        }
        return call.Result(S_OK);
    }
    HRESULT STDMETHODCALLTYPE CreateObjectWithPropertiesAndData(IPortableDeviceValues *values, IStream **data,
                                                                DWORD *optimal, LPWSTR *cookie) override {
        if (!values || !data) return E_POINTER;
        *data = nullptr;
        if (cookie) *cookie = nullptr;
        NewObject object = ReadNewObject(values);
        Call call("IPortableDeviceContent::CreateObjectWithPropertiesAndData", connection_->pnpId, object.parentId);
        call.Entry()["values"] = ValuesToJson(values);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckWritable(call, *connection_);
        if (FAILED(hr)) return hr;
        if (!object.hasParent) return E_INVALIDARG;
        Object *parent = call.device()->Find(object.parentId);
        if (!parent || !IsContainer(*parent)) return kNotFound;
        if (optimal) *optimal = call.device()->transferSize;
        return call.Result(
            CreateAndQuery<CreateStream>(IID_IStream, reinterpret_cast<void **>(data), connection_, std::move(object)));
    }
    HRESULT STDMETHODCALLTYPE Delete(const DWORD options, IPortableDevicePropVariantCollection *ids,
                                     IPortableDevicePropVariantCollection **results) override {
        if (!ids) return E_POINTER;
        if (results) *results = nullptr;
        std::vector<std::wstring> targets = ReadIds(ids);
        Call call("IPortableDeviceContent::Delete", connection_->pnpId, targets.empty() ? L"" : targets.front());
        call.Entry()["options"] = options;
        call.Entry()["count"] = targets.size();
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckWritable(call, *connection_);
        if (FAILED(hr)) return hr;
        if (options > PORTABLE_DEVICE_DELETE_WITH_RECURSION) return E_INVALIDARG;
        // A rule answering S_FALSE (or another success code) stands for a
        // device that deleted nothing of what it was asked.
        if (call.Result(S_OK) != S_OK) return call.Result(S_OK);

        ComPtr<IPortableDevicePropVariantCollection> outcome;
        if (results) CreatePropVariantCollection(IID_IPortableDevicePropVariantCollection,
                                                 reinterpret_cast<void **>(outcome.GetAddressOf()));
        HRESULT first = S_OK;
        size_t failures = 0;
        for (const auto &target : targets) {
            HRESULT one = DeleteOne(*call.device(), target, options == PORTABLE_DEVICE_DELETE_WITH_RECURSION);
            if (FAILED(one)) {
                if (!failures) first = one;
                failures++;
            }
            if (outcome) {
                PROPVARIANT v;
                PropVariantInit(&v);
                v.vt = VT_ERROR;
                v.scode = one;
                outcome->Add(&v);
            }
        }
        if (results) *results = outcome.Detach();
        if (failures == 0) return call.Result(S_OK);
        return targets.size() == 1 ? first : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE GetObjectIDsFromPersistentUniqueIDs(IPortableDevicePropVariantCollection *,
                                                                  IPortableDevicePropVariantCollection **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Move(IPortableDevicePropVariantCollection *, LPCWSTR,
                                   IPortableDevicePropVariantCollection **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Copy(IPortableDevicePropVariantCollection *, LPCWSTR,
                                   IPortableDevicePropVariantCollection **) override {
        return E_NOTIMPL;
    }

private:
    static std::vector<std::wstring> ReadIds(IPortableDevicePropVariantCollection *ids) {
        std::vector<std::wstring> out;
        DWORD count = 0;
        ids->GetCount(&count);
        for (DWORD i = 0; i < count; ++i) {
            PROPVARIANT v;
            PropVariantInit(&v);
            if (SUCCEEDED(ids->GetAt(i, &v)) && v.vt == VT_LPWSTR && v.pwszVal) out.push_back(v.pwszVal);
            else out.push_back(std::wstring());
            PropVariantClear(&v);
        }
        return out;
    }

    static void EraseTree(Device &device, const std::wstring &id) {
        Object *object = device.Find(id);
        if (!object) return;
        std::vector<std::wstring> children = object->children;
        for (const auto &child : children) EraseTree(device, child);
        object = device.Find(id);
        if (object && object->kind == Kind::File) device.ChargeStorage(object->parentId, object->data.size, false);
        device.objects.erase(id);
    }

    static bool Undeletable(const Object &object) {
        return object.kind == Kind::Device || object.kind == Kind::Storage || (object.canDelete && !*object.canDelete);
    }

    // True when the object or anything below it may not be deleted.
    static bool HoldsUndeletable(Device &device, const Object &object) {
        if (Undeletable(object)) return true;
        for (const auto &child : object.children)
            if (const Object *below = device.Find(child); below && HoldsUndeletable(device, *below)) return true;
        return false;
    }

    // Deletes all or nothing: a recursive delete of a tree that holds an
    // object that may not be deleted is refused whole.
    static HRESULT DeleteOne(Device &device, const std::wstring &id, bool recursive) {
        Object *object = id.empty() ? nullptr : device.Find(id);
        if (!object) return kNotFound;
        if (Undeletable(*object)) return E_ACCESSDENIED;
        if (!recursive && !object->children.empty()) return HRESULT_FROM_WIN32(ERROR_INVALID_OPERATION);
        if (recursive && HoldsUndeletable(device, *object)) return E_ACCESSDENIED;
        if (Object *parent = device.Find(object->parentId)) {
            auto &siblings = parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), id), siblings.end());
        }
        EraseTree(device, id);
        return S_OK;
    }

    ConnectionRef connection_;
};

// ---- device -------------------------------------------------------------------------------

class PortableDevice final : public ComObject<IPortableDevice> {
public:
    ~PortableDevice() override { connection_->open = false; }

    HRESULT STDMETHODCALLTYPE Open(LPCWSTR id, IPortableDeviceValues *clientInfo) override {
        if (!id || !clientInfo) return E_POINTER;
        Call call("IPortableDevice::Open", id, std::wstring());
        call.Entry()["values"] = ValuesToJson(clientInfo);
        if (call.Faulted()) return call.FaultCode();
        if (connection_->open) return E_WPD_DEVICE_ALREADY_OPENED;
        if (!call.device() || !call.device()->connected) return kNotConnected;
        if (call.device()->refuseFirstOpen) {
            call.device()->refuseFirstOpen = false;
            call.Entry()["fault"] = FormatHresult(E_ACCESSDENIED);
            return E_ACCESSDENIED;
        }
        connection_->pnpId = id;
        connection_->readOnly = AsksReadOnly(clientInfo);
        connection_->open = true;
        return call.Result(S_OK);
    }
    HRESULT STDMETHODCALLTYPE SendCommand(const DWORD, IPortableDeviceValues *parameters,
                                          IPortableDeviceValues **results) override {
        if (!parameters || !results) return E_POINTER;
        *results = nullptr;
        Call call("IPortableDevice::SendCommand", connection_->pnpId, CommandObjectId(parameters));
        call.Entry()["values"] = ValuesToJson(parameters);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckWritable(call, *connection_);
        if (FAILED(hr)) return hr;
        ComPtr<IPortableDeviceValues> out;
        NewValues(out);
        if (!out) return E_OUTOFMEMORY;
        Outcome forced{call.ResultFault(), call.Placement()};
        HRESULT outcome = RunCommand(*call.device(), parameters, out.Get(), forced);
        out->SetErrorValue(WPD_PROPERTY_COMMON_HRESULT, outcome);
        call.Entry()["commonHresult"] = FormatHresult(outcome);
        *results = out.Detach();
        return forced.code ? S_OK : call.Result(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Content(IPortableDeviceContent **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!connection_->open) return E_WPD_DEVICE_NOT_OPEN;
        Call call("IPortableDevice::Content", connection_->pnpId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        return CreateAndQuery<sim::Content>(IID_IPortableDeviceContent, reinterpret_cast<void **>(out), connection_);
    }
    HRESULT STDMETHODCALLTYPE Capabilities(IPortableDeviceCapabilities **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close() override {
        connection_->open = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(const DWORD, IPortableDeviceEventCallback *, IPortableDeviceValues *,
                                     LPWSTR *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPnPDeviceID(LPWSTR *id) override {
        if (!id) return E_POINTER;
        *id = nullptr;
        if (!connection_->open) return E_WPD_DEVICE_NOT_OPEN;
        *id = DupString(connection_->pnpId);
        return *id ? S_OK : E_OUTOFMEMORY;
    }

private:
    static bool AsksReadOnly(IPortableDeviceValues *clientInfo) {
        ULONG access = 0;
        if (FAILED(clientInfo->GetUnsignedIntegerValue(WPD_CLIENT_DESIRED_ACCESS, &access))) return false;
        return (access & (GENERIC_WRITE | GENERIC_ALL)) == 0;
    }

    // A rule's code that a command reports in its results instead of
    // failing the call: in the common HRESULT, in every property's write
    // result, or both. The properties are then left unchanged.
    struct Outcome {
        std::optional<HRESULT> code;
        std::string placement;
        bool InCommon() const { return code && placement != "write"; }
        bool InWrite() const { return code && placement != "common"; }
    };

    static std::wstring CommandObjectId(IPortableDeviceValues *parameters) {
        return ReadString(parameters, WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID).value_or(std::wstring());
    }

    // The object-properties-set command; every other command is unsupported.
    static HRESULT RunCommand(Device &device, IPortableDeviceValues *parameters, IPortableDeviceValues *results,
                              const Outcome &forced) {
        GUID category{};
        ULONG command = 0;
        if (FAILED(parameters->GetGuidValue(WPD_PROPERTY_COMMON_COMMAND_CATEGORY, &category)) ||
            FAILED(parameters->GetUnsignedIntegerValue(WPD_PROPERTY_COMMON_COMMAND_ID, &command)))
            return E_INVALIDARG;
        if (!IsEqualGUID(category, WPD_COMMAND_OBJECT_PROPERTIES_SET.fmtid) ||
            command != WPD_COMMAND_OBJECT_PROPERTIES_SET.pid)
            return E_NOTIMPL;
        // Both parameters are required; an absent object ID never means the
        // device object.
        std::wstring objectId = CommandObjectId(parameters);
        if (objectId.empty()) return E_INVALIDARG;
        Object *object = device.Find(objectId);
        if (!object) return kNotFound;
        ComPtr<IPortableDeviceValues> changes;
        if (FAILED(parameters->GetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES,
                                                             changes.GetAddressOf())))
            return E_INVALIDARG;
        ComPtr<IPortableDeviceValues> writeResults;
        NewValues(writeResults);
        HRESULT overall = S_OK;
        DWORD count = 0;
        changes->GetCount(&count);
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            PROPVARIANT value;
            PropVariantInit(&value);
            HRESULT one = E_INVALIDARG;
            if (SUCCEEDED(changes->GetAt(i, &key, &value)))
                one = forced.code ? (forced.InWrite() ? *forced.code : S_OK) : SetProperty(*object, key, value);
            PropVariantClear(&value);
            if (writeResults) writeResults->SetErrorValue(key, one);
            if (FAILED(one)) overall = S_FALSE;
        }
        if (writeResults)
            results->SetIPortableDeviceValuesValue(WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS,
                                                   writeResults.Get());
        if (forced.InCommon()) return *forced.code;
        return forced.code ? S_OK : overall;
    }

    static HRESULT SetProperty(Object &object, REFPROPERTYKEY key, const PROPVARIANT &value) {
        if (value.vt != VT_LPWSTR || !value.pwszVal) return DISP_E_TYPEMISMATCH;
        if (IsEqualPropertyKey(key, WPD_OBJECT_ORIGINAL_FILE_NAME)) object.originalFileName = value.pwszVal;
        else if (IsEqualPropertyKey(key, WPD_OBJECT_NAME)) object.name = value.pwszVal;
        else return E_ACCESSDENIED;
        return S_OK;
    }

    ConnectionRef connection_ = std::make_shared<Connection>();
};

}  // namespace

HRESULT CreateManager(REFIID iid, void **out) { return CreateAndQuery<Manager>(iid, out); }
HRESULT CreatePortableDevice(REFIID iid, void **out) { return CreateAndQuery<PortableDevice>(iid, out); }

}  // namespace sim

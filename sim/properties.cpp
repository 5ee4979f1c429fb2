// Object properties of a simulated device, read one object at a time or in
// bulk on a delivery thread of the service's own.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "device_parts.h"

namespace sim {

using Microsoft::WRL::ComPtr;

namespace {

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

}  // namespace

HRESULT CreateProperties(ConnectionRef connection, IPortableDeviceProperties **out) {
    return CreateAndQuery<Properties>(IID_IPortableDeviceProperties, reinterpret_cast<void **>(out),
                                      std::move(connection));
}

}  // namespace sim

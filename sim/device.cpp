// The simulated device service's manager and devices, and the checks every
// device-side call makes.
#include <cstring>
#include <vector>

#include "device_parts.h"

namespace sim {

using Microsoft::WRL::ComPtr;

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

std::optional<std::wstring> ReadString(IPortableDeviceValues *values, REFPROPERTYKEY key) {
    LPWSTR text = nullptr;
    if (FAILED(values->GetStringValue(key, &text)) || !text) return std::nullopt;
    std::wstring copy(text);
    CoTaskMemFree(text);
    return copy;
}

HRESULT CheckOpen(Call &call, const Connection &connection) {
    if (!connection.open) return E_WPD_DEVICE_NOT_OPEN;
    if (!call.device() || !call.device()->connected) return kNotConnected;
    return S_OK;
}

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

namespace {

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
        CommandOutcome forced{call.ResultFault(), call.Placement()};
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
        return CreateContent(connection_, out);
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


    ConnectionRef connection_ = std::make_shared<Connection>();
};

}  // namespace

HRESULT CreateManager(REFIID iid, void **out) { return CreateAndQuery<Manager>(iid, out); }
HRESULT CreatePortableDevice(REFIID iid, void **out) { return CreateAndQuery<PortableDevice>(iid, out); }

}  // namespace sim

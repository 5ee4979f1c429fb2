// Direct WPD calls, as a careful host would write them without the library:
// the benchmarks' baselines and kivo check's probes of a device.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "platform/wpd.h"

namespace kivoraw {

template <class T>
Microsoft::WRL::ComPtr<T> Create(REFCLSID clsid) {
    Microsoft::WRL::ComPtr<T> object;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(T), reinterpret_cast<void **>(object.GetAddressOf()));
    return object;
}

// A device opened directly, with its content and properties.
struct RawDevice {
    Microsoft::WRL::ComPtr<IPortableDevice> device;
    Microsoft::WRL::ComPtr<IPortableDeviceContent> content;
    Microsoft::WRL::ComPtr<IPortableDeviceProperties> properties;
    // The ten keys the library reads for an object's record.
    Microsoft::WRL::ComPtr<IPortableDeviceKeyCollection> keys;
};

inline bool OpenRawDevice(const wchar_t *pnpId, RawDevice &raw) {
    auto info = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    raw.device = Create<IPortableDevice>(CLSID_PortableDeviceFTM);
    if (!info || !raw.device || FAILED(raw.device->Open(pnpId, info.Get()))) return false;
    if (FAILED(raw.device->Content(raw.content.GetAddressOf())) ||
        FAILED(raw.content->Properties(raw.properties.GetAddressOf())))
        return false;
    raw.keys = Create<IPortableDeviceKeyCollection>(CLSID_PortableDeviceKeyCollection);
    if (!raw.keys) return false;
    for (const PROPERTYKEY *key : {&WPD_OBJECT_ID, &WPD_OBJECT_NAME, &WPD_OBJECT_ORIGINAL_FILE_NAME,
                                   &WPD_OBJECT_CONTENT_TYPE, &WPD_OBJECT_ISHIDDEN, &WPD_OBJECT_CAN_DELETE,
                                   &WPD_OBJECT_ISSYSTEM, &WPD_OBJECT_DATE_CREATED, &WPD_OBJECT_DATE_MODIFIED,
                                   &WPD_OBJECT_SIZE})
        raw.keys->Add(*key);
    return true;
}

// Enumerates a folder's children in batches of ten, calling visit(id) for
// each. False when the folder cannot be enumerated.
template <class Visit>
bool ForEachRawChildId(RawDevice &raw, const wchar_t *folderId, Visit &&visit) {
    Microsoft::WRL::ComPtr<IEnumPortableDeviceObjectIDs> children;
    if (raw.content->EnumObjects(0, folderId, nullptr, children.GetAddressOf()) != S_OK) return false;
    HRESULT hr = S_OK;
    while (hr == S_OK) {
        LPWSTR ids[10] = {};
        ULONG fetched = 0;
        hr = children->Next(10, ids, &fetched);
        for (ULONG i = 0; i < fetched && i < 10; ++i) {
            visit(ids[i]);
            CoTaskMemFree(ids[i]);
        }
    }
    return true;
}

// Lists a folder's children in batches of ten and reads each child's record
// keys, calling visit(id, values) with null values for a child that could
// not be read. False when the folder cannot be enumerated.
template <class Visit>
bool ForEachRawChild(RawDevice &raw, const wchar_t *folderId, Visit &&visit) {
    return ForEachRawChildId(raw, folderId, [&](const wchar_t *id) {
        Microsoft::WRL::ComPtr<IPortableDeviceValues> values;
        if (FAILED(raw.properties->GetValues(id, raw.keys.Get(), values.GetAddressOf()))) values.Reset();
        visit(id, values.Get());
    });
}

// The values a bulk read delivers, in the order they come, and the end.
class RawBulkValues final : public IPortableDevicePropertiesBulkCallback {
public:
    RawBulkValues() : ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RawBulkValues() { CloseHandle(ended_); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPortableDevicePropertiesBulkCallback))
            return E_NOINTERFACE;
        *out = static_cast<IPortableDevicePropertiesBulkCallback *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE OnStart(REFGUID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(REFGUID, IPortableDeviceValuesCollection *results) override {
        DWORD count = 0;
        results->GetCount(&count);
        for (DWORD i = 0; i < count; ++i) {
            Microsoft::WRL::ComPtr<IPortableDeviceValues> values;
            if (SUCCEEDED(results->GetAt(i, values.GetAddressOf()))) delivered.push_back(values);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEnd(REFGUID, HRESULT) override {
        SetEvent(ended_);
        return S_OK;
    }
    void WaitForEnd() { WaitForSingleObject(ended_, INFINITE); }

    std::vector<Microsoft::WRL::ComPtr<IPortableDeviceValues>> delivered;

private:
    HANDLE ended_;
    std::atomic<ULONG> references_{1};
};

// The same listing with one bulk read for all the children, as a careful
// host would write it for a device that offers bulk reads: every ID
// gathered in batches of ten, queued at once, and visit(values) called for
// each object delivered. False when bulk reads cannot be had.
template <class Visit>
bool ForEachRawChildInBulk(RawDevice &raw, const wchar_t *folderId, Visit &&visit) {
    Microsoft::WRL::ComPtr<IPortableDevicePropertiesBulk> bulk;
    if (FAILED(raw.properties.As(&bulk))) return false;
    auto ids = Create<IPortableDevicePropVariantCollection>(CLSID_PortableDevicePropVariantCollection);
    if (!ids) return false;
    bool listed = ForEachRawChildId(raw, folderId, [&](const wchar_t *childId) {
        PROPVARIANT id;
        PropVariantInit(&id);
        id.vt = VT_LPWSTR;
        id.pwszVal = const_cast<wchar_t *>(childId);
        ids->Add(&id);
    });
    if (!listed) return false;
    auto *results = new RawBulkValues;
    GUID context = GUID_NULL;
    bool read = SUCCEEDED(bulk->QueueGetValuesByObjectList(ids.Get(), raw.keys.Get(), results, &context)) &&
                SUCCEEDED(bulk->Start(context));
    if (read) results->WaitForEnd();
    if (read)
        for (auto &values : results->delivered) visit(values.Get());
    results->Release();
    return read;
}

}  // namespace kivoraw

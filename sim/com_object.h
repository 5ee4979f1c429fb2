// Reference counting and QueryInterface for the sim's COM classes; every
// instance is counted in the live-object count while it exists.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <wrl/client.h>

#include <atomic>

#include "sim_state.h"

namespace sim {

template <class Primary, class... Others>
class ComObject : public Primary, public Others... {
public:
    ComObject() { LiveObjects()++; }
    virtual ~ComObject() { LiveObjects()--; }
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Primary)))
            *out = static_cast<Primary *>(this);
        else if (!((IsEqualIID(iid, __uuidof(Others)) ? (*out = static_cast<Others *>(this), true) : false) || ...))
            *out = QueryExtra(iid);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        SetLastError(kSimLastError);
        return left;
    }

protected:
    // Further interfaces a class answers to (base interfaces of Primary).
    virtual void *QueryExtra(REFIID) { return nullptr; }

private:
    std::atomic<ULONG> references_{1};
};

// Creates an instance and hands out the requested interface; the creation
// reference is dropped, so a failed query leaves nothing alive.
template <class T, class... Args>
HRESULT CreateAndQuery(REFIID iid, void **out, Args &&...args) {
    if (!out) return E_POINTER;
    *out = nullptr;
    T *object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

HRESULT CreateValues(REFIID iid, void **out);
HRESULT CreateKeyCollection(REFIID iid, void **out);
HRESULT CreatePropVariantCollection(REFIID iid, void **out);
HRESULT CreateValuesCollection(REFIID iid, void **out);
HRESULT CreateManager(REFIID iid, void **out);
HRESULT CreatePortableDevice(REFIID iid, void **out);

// A fresh, empty values object. (mingw's ComPtr::Attach adds a reference,
// unlike the platform's, so new objects are written through GetAddressOf.)
void NewValues(Microsoft::WRL::ComPtr<IPortableDeviceValues> &out);

}  // namespace sim

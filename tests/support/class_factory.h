// A class factory of static lifetime for the test's own COM classes,
// registered with CoRegisterClassObject; Made starts with one reference.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "shell_call_faults.h"

namespace kivotest {

template <class Made>
class StaticClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **out) override {
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *out = static_cast<IClassFactory *>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        if (StandInFaults().Fails()) return E_FAIL;
        Made *made = new Made();
        HRESULT hr = made->QueryInterface(riid, out);
        made->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace kivotest

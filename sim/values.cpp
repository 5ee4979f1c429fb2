// The platform's value containers: PortableDeviceValues (an ordered map from
// property key to PROPVARIANT), PortableDeviceKeyCollection and
// PortableDevicePropVariantCollection. Typed getters check the stored type.
#include <cstring>
#include <new>
#include <vector>

#include "com_object.h"

namespace sim {

namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

class Values final : public ComObject<IPortableDeviceValues> {
public:
    ~Values() override { Clear(); }

    HRESULT STDMETHODCALLTYPE GetCount(DWORD *count) override {
        if (!count) return E_POINTER;
        *count = static_cast<DWORD>(items_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(const DWORD index, PROPERTYKEY *key, PROPVARIANT *value) override {
        if (index >= items_.size()) return E_INVALIDARG;
        if (!key && !value) return E_POINTER;
        if (key) *key = items_[index].key;
        if (value) return PropVariantCopy(value, &items_[index].value);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, const PROPVARIANT *value) override {
        if (!value) return E_POINTER;
        PROPVARIANT copy;
        PropVariantInit(&copy);
        HRESULT hr = PropVariantCopy(&copy, value);
        if (FAILED(hr)) return hr;
        Item *item = Find(key);
        if (!item) {
            items_.push_back(Item{key, PROPVARIANT{}});
            item = &items_.back();
        } else {
            PropVariantClear(&item->value);
        }
        item->value = copy;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT *value) override {
        if (!value) return E_POINTER;
        PropVariantInit(value);
        Item *item = Find(key);
        if (!item) return kNotFound;
        return PropVariantCopy(value, &item->value);
    }
    HRESULT STDMETHODCALLTYPE SetStringValue(REFPROPERTYKEY key, LPCWSTR text) override {
        if (!text) return E_POINTER;
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_LPWSTR;
        v.pwszVal = const_cast<LPWSTR>(text);
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetStringValue(REFPROPERTYKEY key, LPWSTR *out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        const PROPVARIANT *v = nullptr;
        HRESULT hr = Typed(key, VT_LPWSTR, &v);
        if (FAILED(hr)) return hr;
        size_t bytes = (std::wcslen(v->pwszVal) + 1) * sizeof(wchar_t);
        *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!*out) return E_OUTOFMEMORY;
        std::memcpy(*out, v->pwszVal, bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetUnsignedIntegerValue(REFPROPERTYKEY key, const ULONG value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_UI4;
        v.ulVal = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG *out) override {
        return Read(key, VT_UI4, out, [](const PROPVARIANT &v) { return v.ulVal; });
    }
    HRESULT STDMETHODCALLTYPE SetSignedIntegerValue(REFPROPERTYKEY key, const LONG value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_I4;
        v.lVal = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetSignedIntegerValue(REFPROPERTYKEY key, LONG *out) override {
        return Read(key, VT_I4, out, [](const PROPVARIANT &v) { return v.lVal; });
    }
    HRESULT STDMETHODCALLTYPE SetUnsignedLargeIntegerValue(REFPROPERTYKEY key, const ULONGLONG value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_UI8;
        v.uhVal.QuadPart = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetUnsignedLargeIntegerValue(REFPROPERTYKEY key, ULONGLONG *out) override {
        return Read(key, VT_UI8, out, [](const PROPVARIANT &v) { return v.uhVal.QuadPart; });
    }
    HRESULT STDMETHODCALLTYPE SetSignedLargeIntegerValue(REFPROPERTYKEY key, const LONGLONG value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_I8;
        v.hVal.QuadPart = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetSignedLargeIntegerValue(REFPROPERTYKEY key, LONGLONG *out) override {
        return Read(key, VT_I8, out, [](const PROPVARIANT &v) { return v.hVal.QuadPart; });
    }
    HRESULT STDMETHODCALLTYPE SetFloatValue(REFPROPERTYKEY key, const FLOAT value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_R4;
        v.fltVal = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetFloatValue(REFPROPERTYKEY key, FLOAT *out) override {
        return Read(key, VT_R4, out, [](const PROPVARIANT &v) { return v.fltVal; });
    }
    HRESULT STDMETHODCALLTYPE SetErrorValue(REFPROPERTYKEY key, const HRESULT value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_ERROR;
        v.scode = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetErrorValue(REFPROPERTYKEY key, HRESULT *out) override {
        return Read(key, VT_ERROR, out, [](const PROPVARIANT &v) { return v.scode; });
    }
    HRESULT STDMETHODCALLTYPE SetKeyValue(REFPROPERTYKEY, REFPROPERTYKEY) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetKeyValue(REFPROPERTYKEY, PROPERTYKEY *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBoolValue(REFPROPERTYKEY key, const WINBOOL value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_BOOL;
        v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetBoolValue(REFPROPERTYKEY key, WINBOOL *out) override {
        return Read(key, VT_BOOL, out, [](const PROPVARIANT &v) { return v.boolVal != VARIANT_FALSE ? TRUE : FALSE; });
    }
    HRESULT STDMETHODCALLTYPE SetIUnknownValue(REFPROPERTYKEY key, IUnknown *value) override {
        if (!value) return E_POINTER;
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_UNKNOWN;
        v.punkVal = value;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetIUnknownValue(REFPROPERTYKEY key, IUnknown **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        const PROPVARIANT *v = nullptr;
        HRESULT hr = Typed(key, VT_UNKNOWN, &v);
        if (FAILED(hr)) return hr;
        if (!v->punkVal) return E_UNEXPECTED;
        *out = v->punkVal;
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetGuidValue(REFPROPERTYKEY key, REFGUID value) override {
        PROPVARIANT v;
        PropVariantInit(&v);
        v.vt = VT_CLSID;
        GUID copy = value;
        v.puuid = &copy;
        return SetValue(key, &v);
    }
    HRESULT STDMETHODCALLTYPE GetGuidValue(REFPROPERTYKEY key, GUID *out) override {
        return Read(key, VT_CLSID, out, [](const PROPVARIANT &v) { return *v.puuid; });
    }
    HRESULT STDMETHODCALLTYPE SetBufferValue(REFPROPERTYKEY, BYTE *, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBufferValue(REFPROPERTYKEY, BYTE **, DWORD *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIPortableDeviceValuesValue(REFPROPERTYKEY key, IPortableDeviceValues *value) override {
        return SetIUnknownValue(key, value);
    }
    HRESULT STDMETHODCALLTYPE GetIPortableDeviceValuesValue(REFPROPERTYKEY key, IPortableDeviceValues **out) override {
        return GetUnknownAs(key, IID_IPortableDeviceValues, reinterpret_cast<void **>(out));
    }
    HRESULT STDMETHODCALLTYPE SetIPortableDevicePropVariantCollectionValue(
        REFPROPERTYKEY key, IPortableDevicePropVariantCollection *value) override {
        return SetIUnknownValue(key, value);
    }
    HRESULT STDMETHODCALLTYPE GetIPortableDevicePropVariantCollectionValue(
        REFPROPERTYKEY key, IPortableDevicePropVariantCollection **out) override {
        return GetUnknownAs(key, IID_IPortableDevicePropVariantCollection, reinterpret_cast<void **>(out));
    }
    HRESULT STDMETHODCALLTYPE SetIPortableDeviceKeyCollectionValue(REFPROPERTYKEY key,
                                                                   IPortableDeviceKeyCollection *value) override {
        return SetIUnknownValue(key, value);
    }
    HRESULT STDMETHODCALLTYPE GetIPortableDeviceKeyCollectionValue(REFPROPERTYKEY key,
                                                                   IPortableDeviceKeyCollection **out) override {
        return GetUnknownAs(key, IID_IPortableDeviceKeyCollection, reinterpret_cast<void **>(out));
    }
    HRESULT STDMETHODCALLTYPE SetIPortableDeviceValuesCollectionValue(REFPROPERTYKEY,
                                                                      IPortableDeviceValuesCollection *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIPortableDeviceValuesCollectionValue(REFPROPERTYKEY,
                                                                      IPortableDeviceValuesCollection **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RemoveValue(REFPROPERTYKEY key) override {
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (!IsEqualPropertyKey(it->key, key)) continue;
            PropVariantClear(&it->value);
            items_.erase(it);
            return S_OK;
        }
        return kNotFound;
    }
    HRESULT STDMETHODCALLTYPE CopyValuesFromPropertyStore(IPropertyStore *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyValuesToPropertyStore(IPropertyStore *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clear() override {
        for (auto &item : items_) PropVariantClear(&item.value);
        items_.clear();
        return S_OK;
    }

private:
    struct Item {
        PROPERTYKEY key;
        PROPVARIANT value;
    };

    Item *Find(REFPROPERTYKEY key) {
        for (auto &item : items_)
            if (IsEqualPropertyKey(item.key, key)) return &item;
        return nullptr;
    }

    HRESULT Typed(REFPROPERTYKEY key, VARTYPE type, const PROPVARIANT **out) {
        Item *item = Find(key);
        if (!item) return kNotFound;
        if (item->value.vt != type) return DISP_E_TYPEMISMATCH;
        *out = &item->value;
        return S_OK;
    }

    template <class T, class Get>
    HRESULT Read(REFPROPERTYKEY key, VARTYPE type, T *out, Get get) {
        if (!out) return E_POINTER;
        const PROPVARIANT *v = nullptr;
        HRESULT hr = Typed(key, type, &v);
        if (FAILED(hr)) return hr;
        *out = get(*v);
        return S_OK;
    }

    HRESULT GetUnknownAs(REFPROPERTYKEY key, REFIID iid, void **out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        const PROPVARIANT *v = nullptr;
        HRESULT hr = Typed(key, VT_UNKNOWN, &v);
        if (FAILED(hr)) return hr;
        if (!v->punkVal) return E_UNEXPECTED;
        return v->punkVal->QueryInterface(iid, out);
    }

    std::vector<Item> items_;
};

class KeyCollection final : public ComObject<IPortableDeviceKeyCollection> {
public:
    HRESULT STDMETHODCALLTYPE GetCount(DWORD *count) override {
        if (!count) return E_POINTER;
        *count = static_cast<DWORD>(keys_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(const DWORD index, PROPERTYKEY *key) override {
        if (!key) return E_POINTER;
        if (index >= keys_.size()) return E_INVALIDARG;
        *key = keys_[index];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(REFPROPERTYKEY key) override {
        keys_.push_back(key);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clear() override {
        keys_.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveAt(const DWORD index) override {
        if (index >= keys_.size()) return E_INVALIDARG;
        keys_.erase(keys_.begin() + index);
        return S_OK;
    }

private:
    std::vector<PROPERTYKEY> keys_;
};

class PropVariantCollection final : public ComObject<IPortableDevicePropVariantCollection> {
public:
    ~PropVariantCollection() override { Clear(); }

    HRESULT STDMETHODCALLTYPE GetCount(DWORD *count) override {
        if (!count) return E_POINTER;
        *count = static_cast<DWORD>(items_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(const DWORD index, PROPVARIANT *value) override {
        if (!value) return E_POINTER;
        if (index >= items_.size()) return E_INVALIDARG;
        return PropVariantCopy(value, &items_[index]);
    }
    HRESULT STDMETHODCALLTYPE Add(const PROPVARIANT *value) override {
        if (!value) return E_POINTER;
        PROPVARIANT copy;
        PropVariantInit(&copy);
        HRESULT hr = PropVariantCopy(&copy, value);
        if (FAILED(hr)) return hr;
        items_.push_back(copy);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetType(VARTYPE *type) override {
        if (!type) return E_POINTER;
        *type = items_.empty() ? static_cast<VARTYPE>(VT_EMPTY) : items_.front().vt;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ChangeType(const VARTYPE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clear() override {
        for (auto &item : items_) PropVariantClear(&item);
        items_.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveAt(const DWORD index) override {
        if (index >= items_.size()) return E_INVALIDARG;
        PropVariantClear(&items_[index]);
        items_.erase(items_.begin() + index);
        return S_OK;
    }

private:
    std::vector<PROPVARIANT> items_;
};

class ValuesCollection final : public ComObject<IPortableDeviceValuesCollection> {
public:
    HRESULT STDMETHODCALLTYPE GetCount(DWORD *count) override {
        if (!count) return E_POINTER;
        *count = static_cast<DWORD>(items_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, IPortableDeviceValues **values) override {
        if (!values) return E_POINTER;
        *values = nullptr;
        if (index >= items_.size()) return E_INVALIDARG;
        *values = items_[index].Get();
        (*values)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Add(IPortableDeviceValues *values) override {
        if (!values) return E_POINTER;
        items_.emplace_back(values);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clear() override {
        items_.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveAt(const DWORD index) override {
        if (index >= items_.size()) return E_INVALIDARG;
        items_.erase(items_.begin() + index);
        return S_OK;
    }

private:
    std::vector<Microsoft::WRL::ComPtr<IPortableDeviceValues>> items_;
};

}  // namespace

HRESULT CreateValuesCollection(REFIID iid, void **out) { return CreateAndQuery<ValuesCollection>(iid, out); }

HRESULT CreateValues(REFIID iid, void **out) { return CreateAndQuery<Values>(iid, out); }
HRESULT CreateKeyCollection(REFIID iid, void **out) { return CreateAndQuery<KeyCollection>(iid, out); }
HRESULT CreatePropVariantCollection(REFIID iid, void **out) { return CreateAndQuery<PropVariantCollection>(iid, out); }

void NewValues(Microsoft::WRL::ComPtr<IPortableDeviceValues> &out) {
    out.Reset();
    CreateValues(IID_IPortableDeviceValues, reinterpret_cast<void **>(out.GetAddressOf()));
}

}  // namespace sim

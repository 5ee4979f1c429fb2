// The content of a simulated device: enumerating a folder's children,
// creating and deleting objects, and handing out the other families.
#include <algorithm>
#include <vector>

#include "device_parts.h"

namespace sim {

using Microsoft::WRL::ComPtr;

namespace {

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

}  // namespace

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

Object MakeObject(Device &device, const Object &parent, const NewObject &properties, Kind kind) {
    Object object;
    object.kind = kind;
    object.id = device.NewObjectId(kind);
    object.parentId = parent.id;
    object.originalFileName = properties.originalFileName;
    // A device that names objects by their file names only keeps no name of
    // its own.
    object.name = device.traits.renamesByFileNameOnly && properties.originalFileName ? *properties.originalFileName
                                                                                     : properties.name;
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

namespace {

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
        return CreateProperties(connection_, out);
    }
    HRESULT STDMETHODCALLTYPE Transfer(IPortableDeviceResources **out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        Call call("IPortableDeviceContent::Transfer", connection_->pnpId);
        if (call.Faulted()) return call.FaultCode();
        HRESULT hr = CheckOpen(call, *connection_);
        if (FAILED(hr)) return hr;
        return CreateResources(connection_, out);
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
        if (HRESULT refused = RefuseNewObject(call, device, *parent, object); FAILED(refused)) return refused;
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
        if (HRESULT refused = RefuseNewObject(call, *call.device(), *parent, object); FAILED(refused)) return refused;
        if (optimal) *optimal = call.device()->transferSize;
        return call.Result(CreateUploadStream(connection_, std::move(object), data));
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
    // A read-only storage takes no new object, and a folder no second
    // object of a name.
    static HRESULT RefuseNewObject(Call &call, Device &device, const Object &parent, const NewObject &object) {
        HRESULT hr = CheckStorageWritable(device, parent.id);
        if (SUCCEEDED(hr)) hr = CheckNameFree(device, parent, object.originalFileName.value_or(object.name));
        if (FAILED(hr)) call.Entry()["refused"] = FormatHresult(hr);
        return hr;
    }

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
        if (Undeletable(*object) || FAILED(CheckStorageWritable(device, id))) return E_ACCESSDENIED;
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

}  // namespace

HRESULT CreateContent(ConnectionRef connection, IPortableDeviceContent **out) {
    return CreateAndQuery<Content>(IID_IPortableDeviceContent, reinterpret_cast<void **>(out), std::move(connection));
}

}  // namespace sim

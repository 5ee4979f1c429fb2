#include "child_records.h"
#include "globals.h"

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

namespace kivo {

using Microsoft::WRL::ComPtr;

namespace {

// A bulk read that has not ended in this long is given up: the objects it
// did not describe are read one by one.
constexpr DWORD kBulkTimeoutMs = 60000;

// Where a bulk read's results arrive, on whatever thread the platform picks.
// It only keeps what it is given; merging and reading happen on the caller's
// thread once OnEnd came.
class BulkResults final : public IPortableDevicePropertiesBulkCallback {
public:
    BulkResults() : ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~BulkResults() {
        if (ended_) CloseHandle(ended_);
    }
    BulkResults(const BulkResults &) = delete;
    BulkResults &operator=(const BulkResults &) = delete;

    bool Usable() const { return ended_ != nullptr; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (!out) return E_POINTER;
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
    // Runs on the platform's thread: nothing may be thrown back into it. A
    // part that cannot be kept is dropped, and its object read on its own.
    HRESULT STDMETHODCALLTYPE OnProgress(REFGUID context, IPortableDeviceValuesCollection *results) override {
        if (!results) return S_OK;
        DWORD count = 0;
        if (FAILED(results->GetCount(&count))) return S_OK;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!IsEqualGUID(context, context_) || abandoned_ || !ids_) return S_OK;
        try {
            Keep(results, count);
        } catch (...) {
            parts_.assign(parts_.size(), nullptr);
            laterParts_.clear();
        }
        return S_OK;
    }
    // A failed read needs no code of its own: whatever it did not deliver
    // is read object by object.
    HRESULT STDMETHODCALLTYPE OnEnd(REFGUID context, HRESULT) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!IsEqualGUID(context, context_)) return S_OK;
        SetEvent(ended_);
        return S_OK;
    }

    // Makes ready for the read of the given IDs under the given context;
    // whatever an earlier read left, or still delivers, is dropped.
    void Expect(const GUID &context, const std::vector<CoTaskMemString> &ids) {
        std::lock_guard<std::mutex> lock(mutex_);
        context_ = context;
        ids_ = &ids;
        abandoned_ = false;
        parts_.assign(ids.size(), nullptr);
        laterParts_.clear();
        positions_.clear();
        nextPosition_ = 0;
        ResetEvent(ended_);
    }
    // Drops whatever the last read left.
    void Forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        parts_.clear();
        laterParts_.clear();
        positions_.clear();
    }
    // Waits for OnEnd; false when it did not come in time. Either way no
    // later call changes what was gathered.
    bool WaitForEnd() {
        bool ended = WaitForSingleObject(ended_, kBulkTimeoutMs) == WAIT_OBJECT_0;
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        ids_ = nullptr;
        return ended;
    }
    // The values that came for the ID at position, its parts merged in the
    // order they came; null when none came.
    ComPtr<IPortableDeviceValues> TakeValues(size_t position) {
        if (laterParts_.empty() || laterParts_[position].empty()) return std::move(parts_[position]);
        std::vector<ComPtr<IPortableDeviceValues>> parts = std::move(laterParts_[position]);
        parts.insert(parts.begin(), std::move(parts_[position]));
        return MergeParts(std::move(parts));
    }

private:
    static constexpr size_t kNowhere = SIZE_MAX;

    static ComPtr<IPortableDeviceValues> MergeParts(std::vector<ComPtr<IPortableDeviceValues>> parts);

    void Keep(IPortableDeviceValuesCollection *results, DWORD count) {
        for (DWORD i = 0; i < count; ++i) {
            ComPtr<IPortableDeviceValues> values;
            if (FAILED(results->GetAt(i, values.GetAddressOf())) || !values) continue;
            CoTaskMemString id;
            if (FAILED(values->GetStringValue(WPD_OBJECT_ID, id.Put())) || !id) continue;
            size_t position = PositionOf(id.Get());
            if (position == kNowhere) continue;
            if (!parts_[position]) parts_[position] = std::move(values);
            else {
                if (laterParts_.empty()) laterParts_.resize(parts_.size());
                laterParts_[position].push_back(std::move(values));
            }
        }
    }

    // Results come in the order asked as a rule: the next expected position
    // is tried first, and only a result out of order builds an index.
    size_t PositionOf(const wchar_t *id) {
        const std::vector<CoTaskMemString> &ids = *ids_;
        if (nextPosition_ < ids.size() && std::wcscmp(ids[nextPosition_].Get(), id) == 0) return nextPosition_++;
        if (positions_.empty())
            for (size_t i = 0; i < ids.size(); ++i) positions_.emplace(ids[i].Get(), i);
        auto found = positions_.find(id);
        if (found == positions_.end()) return kNowhere;
        nextPosition_ = found->second + 1;
        return found->second;
    }

    std::atomic<ULONG> references_{1};
    HANDLE ended_;
    std::mutex mutex_;
    GUID context_ = GUID_NULL;
    const std::vector<CoTaskMemString> *ids_ = nullptr;
    bool abandoned_ = false;
    std::vector<ComPtr<IPortableDeviceValues>> parts_;  // the first part of each ID, by position
    // Further parts by position; empty until one comes.
    std::vector<std::vector<ComPtr<IPortableDeviceValues>>> laterParts_;
    std::unordered_map<std::wstring, size_t> positions_;
    size_t nextPosition_ = 0;
};

// The values of one object in one container: its only part, or its parts
// merged in the order they came.
ComPtr<IPortableDeviceValues> BulkResults::MergeParts(std::vector<ComPtr<IPortableDeviceValues>> parts) {
    if (parts.empty()) return nullptr;
    if (parts.size() == 1) return std::move(parts.front());
    ComPtr<IPortableDeviceValues> merged = MakeDeviceValues();
    if (!merged) return nullptr;
    for (const auto &part : parts) {
        if (!part) continue;
        DWORD count = 0;
        if (FAILED(part->GetCount(&count))) return nullptr;
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            PropVariant value;
            if (FAILED(part->GetAt(i, &key, value.Put())) || FAILED(merged->SetValue(key, &value.Get())))
                return nullptr;
        }
    }
    return merged;
}

ComPtr<IPortableDevicePropVariantCollection> MakeIdCollection() {
    ComPtr<IPortableDevicePropVariantCollection> collection;
    if (FAILED(CreatePlatformObject(CLSID_PortableDevicePropVariantCollection, IID_IPortableDevicePropVariantCollection,
                                reinterpret_cast<void **>(collection.GetAddressOf()))))
        return nullptr;
    return collection;
}

bool FillIdCollection(IPortableDevicePropVariantCollection *collection, const std::vector<CoTaskMemString> &ids) {
    if (FAILED(collection->Clear())) return false;
    for (const auto &id : ids) {
        PROPVARIANT value;
        PropVariantInit(&value);
        value.vt = VT_LPWSTR;
        value.pwszVal = id.Get();
        if (FAILED(collection->Add(&value))) return false;
    }
    return true;
}

}  // namespace

ChildRecordReader::ChildRecordReader(IPortableDeviceContent *content, RecordKeys wanted)
    : properties_(PropertiesOf(content)), keys_(wanted == RecordKeys::NamesOnly ? MakeNameKeys() : MakeRecordKeys()) {
    // A device without bulk reads answers E_NOINTERFACE; so may one whose
    // bulk reads are not to be trusted.
    if (properties_ && keys_) properties_.As(&bulk_);
}

RecordRead ChildRecordReader::ReadOne(const wchar_t *id, WIN32_FIND_DATAW &record) {
    ComPtr<IPortableDeviceValues> values;
    // Null keys would ask for every property the object has: not the record.
    if (!properties_ || !keys_ || FAILED(properties_->GetValues(id, keys_.Get(), values.GetAddressOf())) || !values)
        return RecordRead::Failed;
    return ChildRecordFromValues(values.Get(), id, record, false);
}

bool ChildRecordReader::ReadInBulk(const std::vector<CoTaskMemString> &ids,
                                   std::vector<ComPtr<IPortableDeviceValues>> &values) {
    if (!idCollection_) idCollection_ = MakeIdCollection();
    if (!results_) {
        // The new object's own reference is handed over as it is (mingw's
        // ComPtr::Attach would add one more).
        auto *made = new (std::nothrow) BulkResults;
        if (made && made->Usable()) *results_.GetAddressOf() = made;
        else if (made) made->Release();
    }
    if (!idCollection_ || !results_ || !FillIdCollection(idCollection_.Get(), ids)) return false;
    auto *results = static_cast<BulkResults *>(results_.Get());
    GUID context = GUID_NULL;
    bool queued = SUCCEEDED(bulk_->QueueGetValuesByObjectList(idCollection_.Get(), keys_.Get(), results, &context));
    if (!queued) return false;
    results->Expect(context, ids);
    if (FAILED(bulk_->Start(context))) {
        bulk_->Cancel(context);
        return false;
    }
    // A failed or unfinished read still gives what it delivered; the rest
    // is read object by object.
    if (!results->WaitForEnd()) bulk_->Cancel(context);
    values.clear();
    values.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) values.push_back(results->TakeValues(i));
    results->Forget();
    return true;
}

const std::vector<ChildRead> &ChildRecordReader::Read(const std::vector<CoTaskMemString> &ids) {
    std::vector<ChildRead> &reads = reads_;
    reads.resize(ids.size());
    if (ids.empty()) return reads;
    std::vector<ComPtr<IPortableDeviceValues>> bulkValues;
    if (bulk_ && !ReadInBulk(ids, bulkValues)) {
        // A device that will not even start a bulk read will not start the
        // next one either: the rest of the listing goes object by object,
        // in the small batches that suit it.
        bulk_.Reset();
    }
    if (bulkValues.empty()) bulkValues.assign(ids.size(), nullptr);
    for (size_t i = 0; i < ids.size(); ++i) {
        // Values without a name describe nothing the record needs: the
        // object is read on its own, which gives its record or its failure.
        IPortableDeviceValues *values = bulkValues[i].Get();
        RecordRead read = values ? ChildRecordFromValues(values, ids[i].Get(), reads[i].record, true) : RecordRead::Failed;
        reads[i].read = read == RecordRead::Failed ? ReadOne(ids[i].Get(), reads[i].record) : read;
    }
    return reads;
}

}  // namespace kivo

// Object data of a simulated device: the resources interface, the streams
// that read an object and the streams that create one.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "device_parts.h"

namespace sim {

using Microsoft::WRL::ComPtr;

namespace {

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

}  // namespace

HRESULT CreateResources(ConnectionRef connection, IPortableDeviceResources **out) {
    return CreateAndQuery<Resources>(IID_IPortableDeviceResources, reinterpret_cast<void **>(out), std::move(connection));
}

HRESULT CreateUploadStream(ConnectionRef connection, NewObject object, IStream **out) {
    return CreateAndQuery<CreateStream>(IID_IStream, reinterpret_cast<void **>(out), std::move(connection),
                                        std::move(object));
}

}  // namespace sim

// Reading the records of a folder's children: in bulk, one round trip for
// many objects, where the device offers IPortableDevicePropertiesBulk, and
// object by object where it does not or a bulk read fails. The records are
// the same either way.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <vector>

#include "platform/wpd.h"
#include "raii.h"
#include "record.h"

namespace kivo {

struct ChildRead {
    RecordRead read = RecordRead::Failed;
    WIN32_FIND_DATAW record{};
};

class ChildRecordReader {
public:
    ChildRecordReader(IPortableDeviceContent *content, RecordKeys wanted);

    // True when the device reads properties in bulk, so that reading many
    // IDs at once pays.
    bool InBulk() const { return bulk_ != nullptr; }

    // One result per ID, in the IDs' order. An object the bulk read did not
    // describe is read on its own.
    // The results stay valid until the next Read.
    const std::vector<ChildRead> &Read(const std::vector<CoTaskMemString> &ids);

private:
    RecordRead ReadOne(const wchar_t *id, WIN32_FIND_DATAW &record);
    // The bulk values of each ID (null where none came), or false when the
    // read could not even be started.
    bool ReadInBulk(const std::vector<CoTaskMemString> &ids,
                    std::vector<Microsoft::WRL::ComPtr<IPortableDeviceValues>> &values);

    Microsoft::WRL::ComPtr<IPortableDeviceProperties> properties_;
    Microsoft::WRL::ComPtr<IPortableDevicePropertiesBulk> bulk_;
    Microsoft::WRL::ComPtr<IPortableDeviceKeyCollection> keys_;
    // Made with the first bulk read and reused for every later one.
    Microsoft::WRL::ComPtr<IPortableDevicePropVariantCollection> idCollection_;
    Microsoft::WRL::ComPtr<IPortableDevicePropertiesBulkCallback> results_;
    std::vector<ChildRead> reads_;  // reused from window to window
};

}  // namespace kivo

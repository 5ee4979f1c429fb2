// kivo check's direct look at a device, for what the library's exports do
// not tell: whether the device keeps names that differ only in case,
// whether dates can be changed after an upload, whether bulk reads are
// offered and agree with reads object by object, the transfer size the
// driver asks for and the time one property read takes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/raw_wpd.h"

namespace kivocli {

class DeviceProbe {
public:
    // Opens the device whose friendly name is name, ignoring case.
    bool Open(const std::wstring &name);
    // The object ID of a path below the device, by its components; a name
    // of the exact case is taken before one that differs in case.
    std::optional<std::wstring> Find(const std::vector<std::wstring> &components);
    // A folder made beside the library's objects, or the device's refusal.
    HRESULT MakeFolder(const std::wstring &parentId, const std::wstring &name);
    // Sets an object's modified date (VT_DATE); the device's answer.
    HRESULT SetModifiedDate(const std::wstring &id, double date);
    std::optional<DWORD> TransferSize(const std::wstring &fileId);
    // The largest object a storage takes and its file system, as it reports
    // them (empty when it does not).
    std::optional<ULONGLONG> LargestObject(const std::wstring &storageId, std::wstring &fileSystem);
    // The median of five reads of an object's record keys, in milliseconds.
    double PropertyReadMillis(const std::wstring &id);

    struct BulkComparison {
        bool offered = false;
        bool read = false;  // the bulk read ran to its end
        size_t objects = 0;
        std::vector<std::wstring> differing;  // objects whose values disagree
    };
    // Reads a folder's children in bulk and one by one, and compares.
    BulkComparison CompareBulk(const std::wstring &folderId);

private:
    kivoraw::RawDevice raw_;
};

}  // namespace kivocli

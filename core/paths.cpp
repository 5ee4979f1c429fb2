#include "paths.h"

#include <cwchar>

#include "globals.h"
#include "raii.h"
#include "record.h"

namespace kivo {

using Microsoft::WRL::ComPtr;

namespace {

bool IsComputerFolderName(const wchar_t *component) {
    return std::wcscmp(component, GlobalState().computerFolderName) == 0;
}

// The device component of a path, the computer folder's name before it
// passed over, into component; the rest of the path after it, or null
// when the path holds no device component.
const wchar_t *SplitDeviceComponent(const wchar_t *path, wchar_t (&component)[kComponentChars]) {
    const wchar_t *rest = path;
    do rest = SplitPathComponent(component, rest, L"\\");
    while (rest && IsComputerFolderName(component));
    return rest;
}

void NoteProbedLevel(DeviceSession &session, const wchar_t *name) {
    session.probed.device = session.device;
    BoundedCopy(session.probed.name, kPathChars + 1, name);
    BoundedCopy(session.probed.id, kObjectIdChars, session.findData.cAlternateFileName);
}

// True, with the level's ID in the session's findData, when the probe of
// this call found name as the first level on the session's device.
bool TakeProbedLevel(DeviceSession &session, const wchar_t *name) {
    if (!session.probed.device || session.probed.device.Get() != session.device.Get() ||
        std::wcscmp(session.probed.name, name) != 0)
        return false;
    BoundedCopy(session.findData.cAlternateFileName, kObjectIdChars, session.probed.id);
    return true;
}

}  // namespace

namespace detail {

ComPtr<IEnumPortableDeviceObjectIDs> EnumerateChildren(IPortableDeviceContent *content, const wchar_t *parentId) {
    ComPtr<IEnumPortableDeviceObjectIDs> children;
    if (content->EnumObjects(0, parentId, nullptr, children.GetAddressOf()) != S_OK) return nullptr;
    return children;
}

HRESULT NextChildBatch(IEnumPortableDeviceObjectIDs *children, CoTaskMemStringArray &ids, ULONG &fetched) {
    fetched = 0;
    HRESULT hr = children->Next(kChildBatch, ids.Get(), &fetched);
    if (fetched > kChildBatch) fetched = kChildBatch;
    return hr;
}

bool FetchChildWindow(IEnumPortableDeviceObjectIDs *children, size_t window, std::vector<CoTaskMemString> &ids,
                      bool &whole) {
    while (ids.size() < window) {
        CoTaskMemStringArray batch(kChildBatch);
        ULONG fetched = 0;
        HRESULT hr = batch ? NextChildBatch(children, batch, fetched) : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            whole = false;
            return false;
        }
        // A null ID ends the batch early.
        for (ULONG i = 0; i < fetched && batch[i]; ++i) {
            ids.emplace_back(batch[i]);
            batch.Get()[i] = nullptr;
        }
        // An empty batch ends the walk even when the device calls it S_OK.
        if (hr != S_OK || fetched == 0) return false;
    }
    return true;
}

}  // namespace detail

ChildLookup LookUpChildByName(IPortableDeviceContent *content, wchar_t (&objectIdInOut)[kObjectIdChars],
                              const wchar_t *name) {
    // A child of exactly the name is taken at once. One whose name differs
    // only in case is taken when no child of the exact name follows: a
    // device that keeps such names apart must not have one addressed by
    // the other's path.
    wchar_t found[kObjectIdChars] = {};
    bool matched = false, exact = false, complete = false;
    ForEachChildRecord(
        content, objectIdInOut,
        [&](const WIN32_FIND_DATAW &child) {
            // The rest of a batch is still visited after the walk is told
            // to stop: the first exact name stays the one taken.
            if (exact) return true;
            if (!EqualIgnoringAsciiCase(name, child.cFileName)) return false;
            bool same = std::wcscmp(name, child.cFileName) == 0;
            if ((same || !matched) && BoundedCopy(found, kObjectIdChars, child.cAlternateFileName)) {
                matched = true;
                exact = same;
            }
            return exact;
        },
        &complete, RecordKeys::NamesOnly);
    if (matched) {
        BoundedCopy(objectIdInOut, kObjectIdChars, found);
        return ChildLookup::Found;
    }
    return complete ? ChildLookup::Absent : ChildLookup::Unknown;
}

BOOL FindChildByName(IPortableDeviceContent *content, wchar_t (&objectIdInOut)[kObjectIdChars], const wchar_t *name) {
    return LookUpChildByName(content, objectIdInOut, name) == ChildLookup::Found ? TRUE : FALSE;
}

BOOL OpenSessionDevice(const wchar_t *name, DeviceSession &session) {
    session.device = OpenDeviceByFriendlyName(name, session);
    if (!session.device) return FALSE;
    if (FAILED(session.device->Content(session.content.ReleaseAndGetAddressOf()))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL ReadDeviceObjectRecord(DeviceSession &session) {
    ComPtr<IPortableDeviceProperties> properties = PropertiesOf(session.content.Get());
    if (!properties) return FALSE;
    return ReadObjectRecord(WPD_DEVICE_OBJECT_ID, session.findData, std::move(properties));
}

BOOL ProbeDevicePath(const wchar_t *path, DeviceSession &session) {
    if (IsLocalPath(path)) return FALSE;
    wchar_t component[kComponentChars];
    const wchar_t *rest = SplitDeviceComponent(path, component);
    if (!rest || !OpenSessionDevice(component, session) || !ReadDeviceObjectRecord(session)) return FALSE;
    if (!SplitPathComponent(component, rest, L"\\")) return FALSE;
    if (std::wcscmp(component, L"*") == 0) return TRUE;
    if (!FindChildByName(session.content.Get(), session.findData.cAlternateFileName, component)) return FALSE;
    NoteProbedLevel(session, component);
    return TRUE;
}

BOOL TakeObjectById(const wchar_t *path, const wchar_t *objectId, const wchar_t *parentId, DeviceSession &session) {
    if (!objectId || !objectId[0] || !parentId || !parentId[0] || IsLocalPath(path)) return FALSE;
    const wchar_t *lastSeparator = std::wcsrchr(path, L'\\');
    if (!lastSeparator) return FALSE;
    wchar_t component[kComponentChars];
    const wchar_t *rest = SplitDeviceComponent(path, component);
    if (!rest || !OpenSessionDevice(component, session)) return FALSE;
    ComPtr<IPortableDeviceProperties> properties = PropertiesOf(session.content.Get());
    WIN32_FIND_DATAW record;
    wchar_t foundParent[kObjectIdChars];
    if (ReadObjectRecordAndParent(objectId, record, foundParent, std::move(properties)) != RecordRead::Read)
        return FALSE;
    if (std::wcscmp(record.cAlternateFileName, objectId) != 0 || std::wcscmp(foundParent, parentId) != 0 ||
        std::wcscmp(record.cFileName, lastSeparator + 1) != 0)
        return FALSE;
    session.findData = record;
    return TRUE;
}

namespace {

// Takes the child of the session's current object that bears name: its ID
// and record in the session's findData. 0, or the walk's code.
DWORD TakeLevel(DeviceSession &session, const wchar_t *name, const MakeMissingLevel &makeMissing) {
    ChildLookup lookup = LookUpChildByName(session.content.Get(), session.findData.cAlternateFileName, name);
    if (lookup == ChildLookup::Absent && makeMissing) return makeMissing(name, session);
    // A level that may exist but could not be seen is never made again
    // beside itself.
    if (lookup != ChildLookup::Found) return ERROR_PATH_NOT_FOUND;
    return ReadLevelRecord(session);
}

}  // namespace

DWORD ReadLevelRecord(DeviceSession &session) {
    ComPtr<IPortableDeviceProperties> properties = PropertiesOf(session.content.Get());
    if (!properties || !ReadObjectRecord(session.findData.cAlternateFileName, session.findData, std::move(properties)))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

DWORD WalkDevicePath(const wchar_t *path, DeviceSession &session, const MakeMissingLevel &makeMissing) {
    wchar_t component[kComponentChars];
    const wchar_t *rest = SplitDeviceComponent(path, component);
    if (!rest) return ERROR_SUCCESS;  // no device component: nothing to walk
    // A device already open is taken to be the one the path names.
    if (!session.device && !OpenSessionDevice(component, session)) {
        DWORD code = GetLastError();
        return code ? code : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
    }
    rest = SplitPathComponent(component, rest, L"\\");
    // The first level a probe of this call found is not looked up again.
    DWORD code = ERROR_SUCCESS;
    if (rest && TakeProbedLevel(session, component)) {
        code = ReadLevelRecord(session);
    } else {
        if (!ReadDeviceObjectRecord(session)) return ERROR_PATH_NOT_FOUND;
        if (!rest) return ERROR_SUCCESS;
        code = TakeLevel(session, component, makeMissing);
    }
    while (code == ERROR_SUCCESS && (rest = SplitPathComponent(component, rest, L"\\")) != nullptr)
        code = TakeLevel(session, component, makeMissing);
    return code;
}

BOOL ResolveDevicePath(const wchar_t *path, DeviceSession &session) {
    DWORD code = WalkDevicePath(path, session, nullptr);
    if (code == ERROR_SUCCESS) return TRUE;
    SetLastError(code);
    return FALSE;
}

}  // namespace kivo

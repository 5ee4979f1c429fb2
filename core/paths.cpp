#include "paths.h"

#include <cwchar>

#include "globals.h"
#include "raii.h"
#include "record.h"

namespace kivo {

using Microsoft::WRL::ComPtr;

namespace {

constexpr ULONG kChildBatch = 10;

bool IsSeparator(wchar_t c, const wchar_t *separators) { return c != L'\0' && std::wcschr(separators, c) != nullptr; }

bool IsComputerFolderName(const wchar_t *component) {
    return std::wcscmp(component, GlobalState().computerFolderName) == 0;
}

// Examines one batch of child IDs, reading every child's record; true when
// one of them is named name (the first such child is taken).
bool MatchInBatch(IPortableDeviceContent *content, const CoTaskMemStringArray &ids, ULONG fetched,
                  const wchar_t *name, wchar_t (&objectIdOut)[kObjectIdChars]) {
    bool matched = false;
    for (ULONG i = 0; i < fetched && ids[i]; ++i) {
        WIN32_FIND_DATAW child;
        if (!ReadObjectRecord(ids[i], child, PropertiesOf(content))) continue;
        if (matched || !EqualIgnoringAsciiCase(name, child.cFileName)) continue;
        matched = BoundedCopy(objectIdOut, kObjectIdChars, child.cAlternateFileName);
    }
    return matched;
}

}  // namespace

bool IsLocalPath(const wchar_t *path) {
    if (path[0] == L'\\' || path[0] == L'.') return true;
    return path[0] != L'\0' && path[1] == L':';
}

const wchar_t *SplitPathComponent(wchar_t *destination, const wchar_t *source, const wchar_t *separators) {
    while (IsSeparator(*source, separators)) ++source;
    if (*source == L'\0') {
        destination[0] = L'\0';
        return nullptr;
    }
    size_t copied = 0;
    while (*source != L'\0' && !IsSeparator(*source, separators) && copied < kPathChars)
        destination[copied++] = *source++;
    destination[copied] = L'\0';
    if (IsSeparator(*source, separators))
        while (IsSeparator(*source, separators)) ++source;
    return source;
}

BOOL FindChildByName(IPortableDeviceContent *content, wchar_t (&objectIdInOut)[kObjectIdChars], const wchar_t *name) {
    ComPtr<IEnumPortableDeviceObjectIDs> children;
    if (content->EnumObjects(0, objectIdInOut, nullptr, children.GetAddressOf()) != S_OK || !children) return FALSE;
    wchar_t found[kObjectIdChars] = {};
    bool matched = false;
    for (;;) {
        CoTaskMemStringArray ids(kChildBatch);
        if (!ids) break;
        ULONG fetched = 0;
        HRESULT hr = children->Next(kChildBatch, ids.Get(), &fetched);
        if (FAILED(hr)) break;
        if (fetched > kChildBatch) fetched = kChildBatch;
        matched = MatchInBatch(content, ids, fetched, name, found);
        if (matched || hr != S_OK) break;
    }
    if (matched) BoundedCopy(objectIdInOut, kObjectIdChars, found);
    return matched ? TRUE : FALSE;
}

BOOL OpenSessionDevice(const wchar_t *name, DeviceSession &session) {
    session.device = OpenDeviceByFriendlyName(name, session);
    if (!session.device) return FALSE;
    if (FAILED(session.device->Content(session.content.GetAddressOf()))) {
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
    bool beforeDevice = true;
    for (const wchar_t *rest = path; (rest = SplitPathComponent(component, rest, L"\\")) != nullptr;) {
        if (beforeDevice) {
            if (IsComputerFolderName(component)) continue;
            if (!OpenSessionDevice(component, session)) return FALSE;
            if (!ReadDeviceObjectRecord(session)) return FALSE;
            beforeDevice = false;
            continue;
        }
        if (std::wcscmp(component, L"*") == 0) return TRUE;
        return FindChildByName(session.content.Get(), session.findData.cAlternateFileName, component);
    }
    return FALSE;
}

BOOL ResolveDevicePath(const wchar_t *path, DeviceSession &session) {
    wchar_t component[kComponentChars];
    bool atDevice = true;
    for (const wchar_t *rest = path; (rest = SplitPathComponent(component, rest, L"\\")) != nullptr;) {
        if (atDevice) {
            if (IsComputerFolderName(component)) continue;
            // A device already open is taken to be the one the path names.
            if (!session.device && !OpenSessionDevice(component, session)) return FALSE;
            if (!ReadDeviceObjectRecord(session)) {
                SetLastError(ERROR_PATH_NOT_FOUND);
                return FALSE;
            }
            atDevice = false;
            continue;
        }
        if (!FindChildByName(session.content.Get(), session.findData.cAlternateFileName, component)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        ComPtr<IPortableDeviceProperties> properties = PropertiesOf(session.content.Get());
        if (!properties || !ReadObjectRecord(session.findData.cAlternateFileName, session.findData, std::move(properties))) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace kivo

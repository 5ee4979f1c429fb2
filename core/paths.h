// Device paths: the resolvers that turn a device path into an open
// device and the record of the object it names (the text side is in
// path_text.h).
#pragma once

#include <windows.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "child_records.h"
#include "path_text.h"
#include "raii.h"
#include "record.h"
#include "session.h"
#include "text.h"

namespace kivo {

// Reads the records of the children of parentId, in the device's order and
// in batches of ten IDs, and calls visit(record) for each child whose record
// can be read (others are passed over). The listing ends after the batch in
// which visit returned true, at the last batch (short or empty), or when a
// batch cannot be fetched. FALSE when the children cannot be enumerated at all (anything but
// S_OK from EnumObjects).
// With complete, it is set false when a batch or a child's record could not
// be read (a child that does not fit a record is passed over, not a failure).
// With RecordKeys::NamesOnly only the ID and the names are read.
// Where the device reads properties in bulk, IDs are gathered in growing
// windows (ten, then twice as many each time, up to a limit) and each
// window is read in one round trip; visits still stop at the end of the
// batch of ten in which visit returned true.
template <class Visit>
BOOL ForEachChildRecord(IPortableDeviceContent *content, const wchar_t *parentId, Visit &&visit,
                        bool *complete = nullptr, RecordKeys wanted = RecordKeys::Whole);

// Looks for a child of the object whose ID is in objectIdInOut whose name
// equals name ignoring ASCII case; on success the buffer receives the
// child's ID. Children are listed in batches of ten; the search ends with the
// batch in which the first match was found.
BOOL FindChildByName(IPortableDeviceContent *content, wchar_t (&objectIdInOut)[kObjectIdChars], const wchar_t *name);

// The same for a caller that acts on absence (creates or writes in the
// name's place): a listing that could not be read whole is Unknown, never
// Absent.
enum class ChildLookup { Found, Absent, Unknown };
ChildLookup LookUpChildByName(IPortableDeviceContent *content, wchar_t (&objectIdInOut)[kObjectIdChars],
                              const wchar_t *name);

// TRUE when path is a device path whose device opens and whose first
// component under the device is "*" or an existing child of the device.
BOOL ProbeDevicePath(const wchar_t *path, DeviceSession &session);

// Makes a level a walk found absent, as a folder named name below the
// session's current object; 0 with the new level's ID in the session's
// findData, or the code of the failure.
using MakeMissingLevel = std::function<DWORD(const wchar_t *name, DeviceSession &session)>;

// The one walk of a device path: opens its device (unless the session has
// one open, taken to be the path's), takes the level the session's probe
// found, and walks every level below, each looked up by name and its record
// read into the session's findData. An absent level is made by makeMissing
// when given, and ends the walk with ERROR_PATH_NOT_FOUND otherwise; so does
// a level that may exist but could not be seen. 0 when the whole path was
// walked, else the code of the failure.
DWORD WalkDevicePath(const wchar_t *path, DeviceSession &session, const MakeMissingLevel &makeMissing);

// Reads the record of the object whose ID is in the session's findData
// into it; 0, or ERROR_PATH_NOT_FOUND.
DWORD ReadLevelRecord(DeviceSession &session);

// Walks the whole path from the device object down; on TRUE the session's
// findData is the record of the object the path names. On FALSE the code
// is the walk's (ERROR_PATH_NOT_FOUND, or why the device did not open).
BOOL ResolveDevicePath(const wchar_t *path, DeviceSession &session);

// Opens the device a device path names and takes the object the path ends
// in by the ID a listing found it under: TRUE, with the object's record in
// the session's findData, when that object still bears the path's last
// component as its name and parentId as its parent; FALSE otherwise, and
// the caller resolves the path instead. One property read, however wide or
// deep the folders above it.
BOOL TakeObjectById(const wchar_t *path, const wchar_t *objectId, const wchar_t *parentId, DeviceSession &session);

// Opens the device named by a path component into the session, with its
// content; FALSE when it cannot be had (ERROR_PATH_NOT_FOUND when the device
// opened but its content did not).
BOOL OpenSessionDevice(const wchar_t *name, DeviceSession &session);

// Reads the device object's record into the session's findData.
BOOL ReadDeviceObjectRecord(DeviceSession &session);

namespace detail {
// Fetches the next batch of child IDs; the HRESULT of Next, with fetched
// bounded by the batch size.
HRESULT NextChildBatch(IEnumPortableDeviceObjectIDs *children, CoTaskMemStringArray &ids, ULONG &fetched);
Microsoft::WRL::ComPtr<IEnumPortableDeviceObjectIDs> EnumerateChildren(IPortableDeviceContent *content,
                                                                       const wchar_t *parentId);
// Appends the IDs of batches of ten until at least window IDs were
// gathered; false when the listing ended (a short or empty batch, or one
// that could not be fetched, which also clears whole).
bool FetchChildWindow(IEnumPortableDeviceObjectIDs *children, size_t window, std::vector<CoTaskMemString> &ids,
                      bool &whole);

constexpr ULONG kChildBatch = 10;
constexpr size_t kMaxBulkWindow = 640;
}  // namespace detail

template <class Visit>
BOOL ForEachChildRecord(IPortableDeviceContent *content, const wchar_t *parentId, Visit &&visit, bool *complete,
                        RecordKeys wanted) {
    if (complete) *complete = false;
    Microsoft::WRL::ComPtr<IEnumPortableDeviceObjectIDs> children = detail::EnumerateChildren(content, parentId);
    if (!children) return FALSE;
    // One reader, with one key collection, serves every child of the listing.
    ChildRecordReader reader(content, wanted);
    bool whole = true, ended = false, stop = false;
    size_t window = detail::kChildBatch;
    while (!ended && !stop) {
        std::vector<CoTaskMemString> ids;
        ended = !detail::FetchChildWindow(children.Get(), window, ids, whole);
        const std::vector<ChildRead> &reads = reader.Read(ids);
        for (size_t i = 0; i < reads.size(); ++i) {
            // The visits end with the batch of ten in which one said stop.
            if (stop && i % detail::kChildBatch == 0) break;
            if (reads[i].read == RecordRead::Failed) whole = false;
            if (reads[i].read == RecordRead::Read && visit(static_cast<const WIN32_FIND_DATAW &>(reads[i].record)))
                stop = true;
        }
        if (reader.InBulk()) window = std::min(window * 2, detail::kMaxBulkWindow);
    }
    if (complete) *complete = whole;
    return TRUE;
}

}  // namespace kivo

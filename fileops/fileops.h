// The file operations: object transfer, copy, folder creation, deletion,
// move and rename, on devices and on disk.
//
// Every operation reports an OpResult: the flag the export returns and the
// last-error code it leaves. The code is set by the export only after every
// interface of the call has been released, since a release (like any
// platform call) may leave a code of its own.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <unordered_map>

#include "core/paths.h"
#include "core/session.h"
#include "core/text.h"
#include "fileops/progress.h"

namespace kivo {

struct OpResult {
    BOOL ok;
    DWORD code;
};

inline OpResult Succeeded() { return {TRUE, ERROR_SUCCESS}; }
inline OpResult Failed(DWORD code) { return {FALSE, code}; }
// A failure with the code the last platform call left.
inline OpResult FailedWithLastError() {
    DWORD code = GetLastError();
    return {FALSE, code ? code : static_cast<DWORD>(ERROR_GEN_FAILURE)};
}

// The Win32 code a failed platform call carries, or fallback when it
// carries none.
inline DWORD CodeOf(HRESULT hr, DWORD fallback) {
    return HRESULT_FACILITY(hr) == FACILITY_WIN32 && HRESULT_CODE(hr) ? static_cast<DWORD>(HRESULT_CODE(hr)) : fallback;
}

constexpr ULONGLONG kLargeObjectThreshold = 0x4000000;  // 64 MiB

// ---- transfer ----------------------------------------------------------------------

// Copies from to to in chunks of chunkSize bytes; FALSE (code set in
// failureCode) for a failed read, a failed, short or empty write.
// With progress, the host hears of every chunk and may stop the copy
// (kStoppedByHost).
BOOL CopyStream(IStream *from, IStream *to, ULONG chunkSize, DWORD &failureCode, TransferProgress *progress = nullptr);

// The file's creation and last-write times, as local times, into record;
// the record keeps its times when the file cannot be read. A file another
// program holds open is read too.
void ReadLocalFileTimes(const wchar_t *path, WIN32_FIND_DATAW &record);

// A new device object as a transfer makes it. With a staging name, the
// object is stored under that original file name instead of the
// destination's file name; its name, type and format still follow the file
// name, so a rename to the file name leaves exactly what a plain upload
// makes. id receives the committed object's ID when the device tells it.
struct NewObject {
    const wchar_t *stagingName = nullptr;
    std::wstring id;
};

// The code of an in-memory device-to-device transfer whose source turned out
// to hold more data than its record said, more than a copy keeps in memory:
// nothing was created, and the copy goes through a temporary file instead.
// An application-defined code (bit 29), never handed to a host.
constexpr DWORD kOutgrewMemory = 0x20000001;

// Moves one object's data: upload (disk source), download (disk
// destination) or device to device in memory. A side is on a device when its
// session has content. See the copy for how the records are filled. A new
// object is committed only with every byte of its source, read to the end.
// With progress, each leg (the download, the upload, or the read and the
// write of a device-to-device copy) is one stream of it.
OpResult TransferObject(DeviceSession &source, DeviceSession &destination, NewObject *created = nullptr,
                        TransferProgress *progress = nullptr);

// ---- copy ------------------------------------------------------------------------------

// The children of one device destination folder, as a folder copy job
// learns them with its first upload there and keeps them current as it adds
// files, so that an upload into a wide folder does not list it all again to
// look for its target. Empty path: nothing learned.
// A storage's figures, in bytes; each one only when the storage reports it.
struct StorageSpace {
    std::optional<ULONGLONG> capacity;
    std::optional<ULONGLONG> free;
    std::optional<ULONGLONG> maxObjectSize;
};

struct DestinationFolder {
    std::wstring path;  // the folder part of the destinations it serves
    wchar_t id[kObjectIdChars] = {};
    std::unordered_map<std::wstring, std::wstring> children;  // name, a to z folded, to object ID
    // The figures of the storage the job uploads to, read once; empty
    // storageId: not read.
    std::wstring storageId;
    StorageSpace space;

    void Forget() {
        path.clear();
        children.clear();
    }
};

// What a caller that walked the folders already knows about one copy.
struct CopyHints {
    // The device source's object ID and its parent's, as the folder's
    // listing gave them: the copy takes the object by ID while it still has
    // the path's name and parent, and resolves the path otherwise.
    const wchar_t *sourceId = nullptr;
    const wchar_t *sourceParentId = nullptr;
    // The job's knowledge of the destination folder, used and kept current.
    DestinationFolder *destination = nullptr;
    // The host's progress routine and cancel flag, told of every stream
    // and chunk of the copy.
    TransferProgress *progress = nullptr;
};

OpResult CopyFileEntry(const wchar_t *source, const wchar_t *destination, DWORD flags,
                       const CopyHints &hints = CopyHints{});

// ---- folders ---------------------------------------------------------------------------

OpResult CreateFolderEntry(const wchar_t *path);
// Walks a device path, creating every missing level as a folder object.
OpResult ResolveDevicePathCreating(const wchar_t *path, DeviceSession &session);
// Creates one folder under the object whose ID is in objectId; on success
// objectId holds the new folder's ID.
OpResult CreateFolderObject(IPortableDeviceContent *content, wchar_t (&objectId)[kObjectIdChars], const wchar_t *name);
// Creates every missing level of a disk path; PathIsDirectoryW's result and
// the code the last CreateDirectoryW left.
OpResult CreateLocalFolderTree(const wchar_t *path);

// ---- deletion --------------------------------------------------------------------------

OpResult DeleteFileEntry(const wchar_t *path);
OpResult RemoveFolderEntry(const wchar_t *path);
OpResult DeleteFolderEntry(const wchar_t *path);
// Deletes one object without recursion; TRUE only when the device reports
// it deleted (S_OK).
BOOL DeleteDeviceObject(IPortableDeviceContent *content, const wchar_t *objectId);
BOOL DeleteDeviceFolderTree(const wchar_t *folderId, DeviceSession &session);
OpResult DeleteLocalFolderTree(const wchar_t *path);

// ---- move and rename ---------------------------------------------------------------

OpResult MoveFileEntry(const wchar_t *source, const wchar_t *destination);
// Gives a device object a new original file name with the properties-set
// command; the object keeps its ID and every other property.
OpResult RenameDeviceObject(IPortableDevice *device, const wchar_t *objectId, const wchar_t *newName);
// TRUE when the folder parts of the two paths are equal ignoring case.
BOOL IsSameFolder(const wchar_t *a, const wchar_t *b);

// ---- shared helpers -------------------------------------------------------------------

// True when every backslash-separated component of path has fewer than 260
// characters, so no walk ever cuts one into a name of something else.
bool ComponentsFit(const wchar_t *path);

// The device's PnP ID, for telling two devices of one name apart; empty
// when it cannot be read.
std::wstring DevicePnpId(IPortableDevice *device);

}  // namespace kivo

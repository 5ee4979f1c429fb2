// Copying one file in any direction: disk to disk, disk to device, device to
// disk and device to device (large objects through a temporary file).
#include <cwchar>
#include <string>

#include "enum/status.h"
#include "fileops/fileops.h"
#include "fileops/space.h"
#include "include/kivo.h"

namespace kivo {

namespace {

bool SourceIsNewer(const FILETIME &source, const FILETIME &target) { return CompareFileTime(&source, &target) > 0; }

// The last-write time (UTC) of the source: a device record's, or the disk
// file's status.
bool SourceWriteTime(const wchar_t *source, const DeviceSession &session, FILETIME &time) {
    if (session.content) {
        time = session.findData.ftLastWriteTime;
        return true;
    }
    WIN32_FIND_DATAW status{};
    if (!GetStatus(source, &status)) return false;
    time = status.ftLastWriteTime;
    return true;
}

// A disk source must be a readable file before a target is replaced for it.
OpResult CheckDiskSourceReadable(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Failed(ERROR_ACCESS_DENIED);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FailedWithLastError();
    CloseHandle(file);
    return Succeeded();
}

// An object of the new file's name in the destination folder. It is
// replaced only once the new data is complete on the device.
struct DeviceTarget {
    bool exists = false;
    wchar_t id[kObjectIdChars] = {};
};

// Looks for the new file's name in the destination folder, whose ID is in
// id: among the children a job learned, or on the device.
ChildLookup LookUpTarget(DeviceSession &to, const DestinationFolder *known, wchar_t (&id)[kObjectIdChars]) {
    if (!known || known->path.empty()) return LookUpChildByName(to.content.Get(), id, to.findData.cFileName);
    auto found = known->children.find(FoldedAsciiCase(to.findData.cFileName));
    if (found == known->children.end()) return ChildLookup::Absent;
    BoundedCopy(id, kObjectIdChars, found->second.c_str());
    return ChildLookup::Found;
}

// Learns the children of the destination folder the session's ID names;
// nothing when the folder cannot be read whole.
void LearnDestinationFolder(const std::wstring &folder, DeviceSession &to, DestinationFolder &known) {
    known.Forget();
    std::unordered_map<std::wstring, std::wstring> children;
    bool complete = false;
    ForEachChildRecord(
        to.content.Get(), to.findData.cAlternateFileName,
        [&](const WIN32_FIND_DATAW &child) {
            children.emplace(FoldedAsciiCase(child.cFileName), child.cAlternateFileName);  // the first of a name counts
            return false;
        },
        &complete, RecordKeys::NamesOnly);
    if (!complete) return;
    known.path = folder;
    BoundedCopy(known.id, kObjectIdChars, to.findData.cAlternateFileName);
    known.children = std::move(children);
}

// Finds or makes the destination folder, leaving its ID in the session: the
// one a job learned, or by walking the path.
OpResult OpenDestinationFolder(const std::wstring &folder, DeviceSession &to, DestinationFolder *known) {
    if (known && !known->path.empty() && known->path == folder) {
        BoundedCopy(to.findData.cAlternateFileName, kObjectIdChars, known->id);
        return Succeeded();
    }
    OpResult created = ResolveDevicePathCreating(folder.c_str(), to);
    if (!created.ok) return created;
    if (known) LearnDestinationFolder(folder, to, *known);
    return Succeeded();
}

OpResult CheckDeviceTarget(const wchar_t *source, DeviceSession &from, DeviceSession &to, DWORD flags,
                           const DestinationFolder *known, DeviceTarget &target) {
    BoundedCopy(target.id, kObjectIdChars, to.findData.cAlternateFileName);
    ChildLookup lookup = LookUpTarget(to, known, target.id);
    // A target that may exist but could not be seen would be left beside
    // the new copy.
    if (lookup == ChildLookup::Unknown) return Failed(ERROR_READ_FAULT);
    if (lookup == ChildLookup::Absent) return Succeeded();
    target.exists = true;
    // One object has several spellings; replacing it by itself would delete
    // the source before copying from it.
    if (from.content && std::wcscmp(target.id, from.findData.cAlternateFileName) == 0 &&
        DevicePnpId(from.device.Get()) == DevicePnpId(to.device.Get()))
        return Failed(ERROR_INVALID_PARAMETER);
    if (flags & KIVO_COPY_FAIL_IF_EXISTS) return Failed(ERROR_FILE_EXISTS);
    if (flags & KIVO_COPY_NEWER_ONLY) {
        FILETIME sourceTime{};
        if (!SourceWriteTime(source, from, sourceTime)) return Failed(ERROR_FILE_EXISTS);
        WIN32_FIND_DATAW existing{};
        ComPtr<IPortableDeviceProperties> properties = PropertiesOf(to.content.Get());
        if (!properties || !ReadObjectRecord(target.id, existing, std::move(properties)))
            return Failed(ERROR_FILE_EXISTS);
        if (!SourceIsNewer(sourceTime, existing.ftLastWriteTime)) return Failed(ERROR_FILE_EXISTS);
    }
    return Succeeded();
}

// The size of the copy's source: its record's on a device, the file's on disk.
std::optional<ULONGLONG> SourceSize(const wchar_t *source, const DeviceSession &from) {
    if (from.content)
        return (static_cast<ULONGLONG>(from.findData.nFileSizeHigh) << 32) | from.findData.nFileSizeLow;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(source, GetFileExInfoStandard, &data)) return std::nullopt;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Refuses a source the destination's storage says it cannot take, before
// anything is made or replaced for it. The figures a job read stay with the
// job, its free space less what it has put there since.
OpResult CheckStorageRoom(const wchar_t *source, const DeviceSession &from, DeviceSession &to,
                          DestinationFolder *known) {
    std::optional<ULONGLONG> size = SourceSize(source, from);
    if (!size || !to.probed.device) return Succeeded();
    if (!known || known->storageId != to.probed.id) {
        StorageSpace space;
        // A storage that cannot tell its figures is left to refuse the data
        // itself.
        if (!ReadStorageSpace(to.content.Get(), to.probed.id, space).ok) return Succeeded();
        if (!known) return CheckRoomFor(*size, space);
        known->storageId = to.probed.id;
        known->space = space;
    }
    return CheckRoomFor(*size, known->space);
}

OpResult PrepareDeviceDestination(const wchar_t *source, const std::wstring &folder, const PathParts &parts,
                                  DeviceSession &from, DeviceSession &to, DWORD flags, DestinationFolder *known,
                                  DeviceTarget &target) {
    // Checked before anything on the device is made or replaced for it.
    if (!from.content) {
        OpResult readable = CheckDiskSourceReadable(source);
        if (!readable.ok) return readable;
    }
    if (!IsStorableName(parts.FileName().c_str())) return Failed(ERROR_INVALID_NAME);
    OpResult room = CheckStorageRoom(source, from, to, known);
    if (!room.ok) return room;
    OpResult opened = OpenDestinationFolder(folder, to, known);
    if (!opened.ok) return opened;
    if (!BoundedCopy(to.findData.cFileName, kPathChars, parts.FileName().c_str()))
        return Failed(ERROR_FILENAME_EXCED_RANGE);
    return CheckDeviceTarget(source, from, to, flags, known, target);
}

// A unique part for a staging name: the time, the process and thread, and a
// counter, mixed.
unsigned long long StagingUnique() {
    static volatile LONG counter = 0;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    unsigned long long x = static_cast<unsigned long long>(now.QuadPart) ^
                           (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                           (static_cast<unsigned long long>(GetCurrentThreadId()) << 16) ^
                           static_cast<unsigned long long>(InterlockedIncrement(&counter)) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The ID of the staged object, from the device or, when it did not tell,
// by its unique name; empty when neither can be had.
std::wstring StagedObjectId(DeviceSession &to, const NewObject &staged) {
    if (!staged.id.empty()) return staged.id;
    wchar_t id[kObjectIdChars];
    BoundedCopy(id, kObjectIdChars, to.findData.cAlternateFileName);
    if (!FindChildByName(to.content.Get(), id, staged.stagingName)) return std::wstring();
    return id;
}

// Replaces an existing device object so that its data is never lost: the
// new data is uploaded under a staging name, then the old object is
// deleted, then the new one takes the file name. A failure before the
// delete leaves the old object and no staged one; a failure after it leaves
// the whole new data under the staging name.
OpResult ReplaceDeviceObject(DeviceSession &from, DeviceSession &to, const DeviceTarget &target, NewObject &created,
                             TransferProgress *progress) {
    wchar_t stagingName[kStagingNameChars];
    FormatStagingName(stagingName, StagingUnique());
    NewObject staged;
    staged.stagingName = stagingName;
    OpResult uploaded = TransferObject(from, to, &staged, progress);
    if (!uploaded.ok) return uploaded;
    std::wstring stagedId = StagedObjectId(to, staged);
    if (stagedId.empty()) return Failed(ERROR_WRITE_FAULT);
    if (!DeleteDeviceObject(to.content.Get(), target.id)) {
        DeleteDeviceObject(to.content.Get(), stagedId.c_str());
        return Failed(ERROR_ACCESS_DENIED);
    }
    created.id = stagedId;
    return RenameDeviceObject(to.device.Get(), stagedId.c_str(), to.findData.cFileName);
}

OpResult PrepareDiskDestination(const wchar_t *destination, const PathParts &parts, DeviceSession &from,
                                DeviceSession &to, DWORD flags) {
    to.device.Reset();  // a probe may have opened a device for a path that is not one
    to.content.Reset();
    std::wstring folder = parts.drive + parts.folder;
    if (folder.empty() || !IsLocalPath(folder.c_str())) return Failed(ERROR_INVALID_PARAMETER);
    if (folder.size() > 3 && (folder.back() == L'\\')) folder.pop_back();
    if (!CreateLocalFolderTree(folder.c_str()).ok) return Failed(ERROR_CANNOT_MAKE);
    BoundedCopy(to.findData.cFileName, kPathChars, destination);
    // Only the flags look at an existing file; the download replaces it safely.
    if (!from.content || !(flags & (KIVO_COPY_FAIL_IF_EXISTS | KIVO_COPY_NEWER_ONLY))) return Succeeded();
    WIN32_FIND_DATAW target{};
    if (!GetStatus(destination, &target)) return Succeeded();
    if (flags & KIVO_COPY_FAIL_IF_EXISTS) return Failed(ERROR_FILE_EXISTS);
    if ((flags & KIVO_COPY_NEWER_ONLY) && !SourceIsNewer(from.findData.ftLastWriteTime, target.ftLastWriteTime))
        return Failed(ERROR_FILE_EXISTS);
    // The existing file is not deleted: the download replaces it only when
    // it is complete.
    return Succeeded();
}

OpResult CopyOnDisk(const wchar_t *source, const wchar_t *destination, DWORD flags, const TransferProgress *progress) {
    BOOL failIfExists = (flags & KIVO_COPY_FAIL_IF_EXISTS) ? TRUE : FALSE;
    if (!failIfExists && (flags & KIVO_COPY_NEWER_ONLY)) {
        WIN32_FIND_DATAW from{}, to{};
        if (!GetStatus(source, &from)) return Failed(ERROR_FILE_EXISTS);
        if (GetStatus(destination, &to) && !SourceIsNewer(from.ftLastWriteTime, to.ftLastWriteTime))
            return Failed(ERROR_FILE_EXISTS);
    }
    // The file system reports a disk copy's progress itself.
    ProgressRequest request = progress ? progress->Request() : ProgressRequest{};
    if (!CopyFileExW(source, destination, request.routine, request.data, request.cancel,
                     failIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0))
        return FailedWithLastError();
    return Succeeded();
}

// A large device-to-device copy: down to a temporary file, then up from it.
OpResult CopyThroughTemporaryFile(const wchar_t *source, const wchar_t *destination, DWORD flags,
                                  TransferProgress *progress) {
    wchar_t folder[kPathChars] = {};
    wchar_t temporary[kPathChars] = {};
    DWORD length = GetTempPathW(kPathChars, folder);
    if (length == 0 || length >= kPathChars || !GetTempFileNameW(folder, L"KIVO", 0, temporary))
        return Failed(ERROR_PATH_NOT_FOUND);
    // Each leg is one stream of the host's progress.
    CopyHints legs;
    legs.progress = progress;
    OpResult result = CopyFileEntry(source, temporary, 0, legs);
    if (result.ok) result = CopyFileEntry(temporary, destination, flags & KIVO_COPY_FAIL_IF_EXISTS, legs);
    DeleteFileW(temporary);
    return result;
}

// Keeps a job's knowledge of the destination folder current after a copy
// into it: the new object under its name, or nothing known when the copy
// failed or the new object's ID is not known.
void NoteNewChild(DestinationFolder &known, const wchar_t *name, const OpResult &copied, const NewObject &created,
                  bool replaced, std::optional<ULONGLONG> size) {
    // A new object takes its size from the free space; after a replace,
    // which gave back the old one's, the storage is asked again.
    if (!copied.ok || replaced || !size)
        known.storageId.clear();
    else if (known.space.free)
        known.space.free = *known.space.free > *size ? *known.space.free - *size : 0;
    if (known.path.empty()) return;
    if (!copied.ok || created.id.empty() || !FitsBuffer(created.id.c_str(), kObjectIdChars)) {
        known.Forget();
        return;
    }
    known.children[FoldedAsciiCase(name)] = created.id;
}

// The source's session: a device object by the ID a walk found it under
// or by its path, or a disk path.
OpResult OpenSource(const wchar_t *source, const CopyHints &hints, DeviceSession &from) {
    if (TakeObjectById(source, hints.sourceId, hints.sourceParentId, from)) {
        if (from.findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Failed(ERROR_ACCESS_DENIED);
        return Succeeded();
    }
    if (ProbeDevicePath(source, from)) {
        if (!ResolveDevicePath(source, from)) return Failed(ERROR_FILE_NOT_FOUND);
        // A folder has no data to copy; refused before the target side is touched.
        if (from.findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Failed(ERROR_ACCESS_DENIED);
    } else if (!IsLocalPath(source)) {
        return Failed(ERROR_INVALID_PARAMETER);
    } else {
        BoundedCopy(from.findData.cFileName, kPathChars, source);
    }
    return Succeeded();
}

OpResult CopyBetween(const wchar_t *source, const wchar_t *destination, DWORD flags, const CopyHints &hints) {
    DeviceSession from;
    if (!InitSession(&from)) return FailedWithLastError();
    OpResult opened = OpenSource(source, hints, from);
    if (!opened.ok) return opened;
    PathParts parts;
    if (!SplitPathParts(destination, parts)) return Failed(ERROR_PATH_NOT_FOUND);
    DeviceSession to;
    if (!InitSession(&to)) return FailedWithLastError();
    std::wstring folder = parts.drive + parts.folder;
    bool toDevice = !folder.empty() && ProbeDevicePath(folder.c_str(), to);
    DeviceTarget target;
    DestinationFolder *known = toDevice ? hints.destination : nullptr;
    OpResult prepared = toDevice ? PrepareDeviceDestination(source, folder, parts, from, to, flags, known, target)
                                 : PrepareDiskDestination(destination, parts, from, to, flags);
    if (!prepared.ok) return prepared;
    if (!from.content && !to.content) return CopyOnDisk(source, destination, flags, hints.progress);
    bool deviceToDevice = from.content && to.content;
    std::optional<ULONGLONG> size = SourceSize(source, from);
    bool large = size && *size >= kLargeObjectThreshold;
    // A device-to-device copy moves every byte twice, as two streams.
    if (hints.progress && size) hints.progress->SetTotal(deviceToDevice ? *size * 2 : *size);
    NewObject created;
    OpResult copied = Failed(kOutgrewMemory);
    // The second step of the large copy replaces the target itself.
    if (!(deviceToDevice && large))
        copied = target.exists ? ReplaceDeviceObject(from, to, target, created, hints.progress)
                               : TransferObject(from, to, known ? &created : nullptr, hints.progress);
    if (!copied.ok && copied.code == kOutgrewMemory)
        copied = CopyThroughTemporaryFile(source, destination, flags, hints.progress);
    if (known) NoteNewChild(*known, to.findData.cFileName, copied, created, target.exists, SourceSize(source, from));
    return copied;
}

}  // namespace

OpResult CopyFileEntry(const wchar_t *source, const wchar_t *destination, DWORD flags, const CopyHints &hints) {
    if (!source || !destination || lstrcmpiW(source, destination) == 0) return Failed(ERROR_INVALID_PARAMETER);
    if (!FitsBuffer(source, kPathChars) || !FitsBuffer(destination, kPathChars) || !ComponentsFit(source) ||
        !ComponentsFit(destination))
        return Failed(ERROR_FILENAME_EXCED_RANGE);
    return CopyBetween(source, destination, flags, hints);
}

}  // namespace kivo

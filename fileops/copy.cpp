// Copying one file in any direction: disk to disk, disk to device, device to
// disk and device to device (large objects through a temporary file).
#include <cwchar>
#include <string>

#include "enum/status.h"
#include "fileops/fileops.h"
#include "include/kivo.h"

namespace kivo {

namespace {

constexpr size_t kMaxDrive = 2, kMaxFolder = 259, kMaxName = 255, kMaxExtension = 255;

// A destination path split like the platform's path splitter.
struct PathParts {
    std::wstring drive, folder, name, extension;
    std::wstring FileName() const { return name + extension; }
};

bool SplitDestination(const wchar_t *path, PathParts &parts) {
    std::wstring rest(path);
    if (rest.size() >= 2 && rest[1] == L':') {
        parts.drive = rest.substr(0, 2);
        rest = rest.substr(2);
    }
    size_t cut = rest.find_last_of(L"\\/");
    size_t nameStart = cut == std::wstring::npos ? 0 : cut + 1;
    parts.folder = rest.substr(0, nameStart);
    std::wstring file = rest.substr(nameStart);
    size_t dot = file.find_last_of(L'.');
    parts.name = dot == std::wstring::npos ? file : file.substr(0, dot);
    parts.extension = dot == std::wstring::npos ? std::wstring() : file.substr(dot);
    return parts.drive.size() <= kMaxDrive && parts.folder.size() <= kMaxFolder && parts.name.size() <= kMaxName &&
           parts.extension.size() <= kMaxExtension;
}

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

// A disk source must be readable before a target is replaced for it.
OpResult CheckDiskSourceReadable(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FailedWithLastError();
    CloseHandle(file);
    return Succeeded();
}

// Deals with an object of the new file's name in the destination folder:
// refuses it, or deletes it to be replaced.
OpResult ReplaceDeviceTarget(const wchar_t *source, DeviceSession &from, DeviceSession &to, DWORD flags) {
    wchar_t found[kObjectIdChars];
    BoundedCopy(found, kObjectIdChars, to.findData.cAlternateFileName);
    ChildLookup lookup = LookUpChildByName(to.content.Get(), found, to.findData.cFileName);
    // A target that may exist but could not be seen would be left beside
    // the new copy.
    if (lookup == ChildLookup::Unknown) return Failed(ERROR_READ_FAULT);
    if (lookup == ChildLookup::Absent) return Succeeded();
    // One object has several spellings; replacing it by itself would delete
    // the source before copying from it.
    if (from.content && std::wcscmp(found, from.findData.cAlternateFileName) == 0 &&
        DevicePnpId(from.device.Get()) == DevicePnpId(to.device.Get()))
        return Failed(ERROR_INVALID_PARAMETER);
    if (flags & KIVO_COPY_FAIL_IF_EXISTS) return Failed(ERROR_FILE_EXISTS);
    if (flags & KIVO_COPY_NEWER_ONLY) {
        FILETIME sourceTime{};
        if (!SourceWriteTime(source, from, sourceTime)) return Failed(ERROR_FILE_EXISTS);
        WIN32_FIND_DATAW target{};
        ComPtr<IPortableDeviceProperties> properties = PropertiesOf(to.content.Get());
        if (!properties || !ReadObjectRecord(found, target, std::move(properties))) return Failed(ERROR_FILE_EXISTS);
        if (!SourceIsNewer(sourceTime, target.ftLastWriteTime)) return Failed(ERROR_FILE_EXISTS);
    }
    if (!DeleteDeviceObject(to.content.Get(), found)) return Failed(ERROR_ACCESS_DENIED);
    return Succeeded();
}

OpResult PrepareDeviceDestination(const wchar_t *source, const std::wstring &folder, const PathParts &parts,
                                  DeviceSession &from, DeviceSession &to, DWORD flags) {
    // Checked before anything on the device is made or replaced for it.
    if (!from.content) {
        OpResult readable = CheckDiskSourceReadable(source);
        if (!readable.ok) return readable;
    }
    if (!IsStorableName(parts.FileName().c_str())) return Failed(ERROR_INVALID_NAME);
    OpResult created = ResolveDevicePathCreating(folder.c_str(), to);
    if (!created.ok) return created;
    if (!BoundedCopy(to.findData.cFileName, kPathChars, parts.FileName().c_str()))
        return Failed(ERROR_FILENAME_EXCED_RANGE);
    return ReplaceDeviceTarget(source, from, to, flags);
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
    if (!from.content) return Succeeded();
    WIN32_FIND_DATAW target{};
    if (!GetStatus(destination, &target)) return Succeeded();
    if (flags & KIVO_COPY_FAIL_IF_EXISTS) return Failed(ERROR_FILE_EXISTS);
    if ((flags & KIVO_COPY_NEWER_ONLY) && !SourceIsNewer(from.findData.ftLastWriteTime, target.ftLastWriteTime))
        return Failed(ERROR_FILE_EXISTS);
    // The existing file is not deleted: the download replaces it only when
    // it is complete.
    return Succeeded();
}

OpResult CopyOnDisk(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    BOOL failIfExists = (flags & KIVO_COPY_FAIL_IF_EXISTS) ? TRUE : FALSE;
    if (!failIfExists && (flags & KIVO_COPY_NEWER_ONLY)) {
        WIN32_FIND_DATAW from{}, to{};
        if (!GetStatus(source, &from)) return Failed(ERROR_FILE_EXISTS);
        if (GetStatus(destination, &to) && !SourceIsNewer(from.ftLastWriteTime, to.ftLastWriteTime))
            return Failed(ERROR_FILE_EXISTS);
    }
    if (!CopyFileW(source, destination, failIfExists)) return FailedWithLastError();
    return Succeeded();
}

// A large device-to-device copy: down to a temporary file, then up from it.
OpResult CopyThroughTemporaryFile(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    wchar_t folder[kPathChars] = {};
    wchar_t temporary[kPathChars] = {};
    DWORD length = GetTempPathW(kPathChars, folder);
    if (length == 0 || length >= kPathChars || !GetTempFileNameW(folder, L"KIVO", 0, temporary))
        return Failed(ERROR_PATH_NOT_FOUND);
    OpResult result = CopyFileEntry(source, temporary, 0);
    if (result.ok) result = CopyFileEntry(temporary, destination, flags & KIVO_COPY_FAIL_IF_EXISTS);
    DeleteFileW(temporary);
    return result;
}

OpResult CopyBetween(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    DeviceSession from;
    if (!InitSession(&from)) return FailedWithLastError();
    if (ProbeDevicePath(source, from)) {
        if (!ResolveDevicePath(source, from)) return Failed(ERROR_FILE_NOT_FOUND);
    } else if (!IsLocalPath(source)) {
        return Failed(ERROR_INVALID_PARAMETER);
    } else {
        BoundedCopy(from.findData.cFileName, kPathChars, source);
    }
    PathParts parts;
    if (!SplitDestination(destination, parts)) return Failed(ERROR_PATH_NOT_FOUND);
    DeviceSession to;
    if (!InitSession(&to)) return FailedWithLastError();
    std::wstring folder = parts.drive + parts.folder;
    bool toDevice = !folder.empty() && ProbeDevicePath(folder.c_str(), to);
    OpResult prepared = toDevice ? PrepareDeviceDestination(source, folder, parts, from, to, flags)
                                 : PrepareDiskDestination(destination, parts, from, to, flags);
    if (!prepared.ok) return prepared;
    if (!from.content && !to.content) return CopyOnDisk(source, destination, flags);
    bool large = (static_cast<ULONGLONG>(from.findData.nFileSizeHigh) << 32 | from.findData.nFileSizeLow) >=
                 kLargeObjectThreshold;
    if (from.content && to.content && large) return CopyThroughTemporaryFile(source, destination, flags);
    return TransferObject(from, to);
}

}  // namespace

OpResult CopyFileEntry(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    if (!source || !destination || lstrcmpiW(source, destination) == 0) return Failed(ERROR_INVALID_PARAMETER);
    if (!FitsBuffer(source, kPathChars) || !FitsBuffer(destination, kPathChars) || !ComponentsFit(source) ||
        !ComponentsFit(destination))
        return Failed(ERROR_FILENAME_EXCED_RANGE);
    return CopyBetween(source, destination, flags);
}

}  // namespace kivo

// The folder copy job's four calls: First validates and walks, Next copies
// and reports one file, Count and Close.
#include <cwchar>

#include "core/path_text.h"
#include "core/text.h"
#include "enum/status.h"
#include "fileops/fileops.h"
#include "foldercopy/folder_copy.h"
#include "include/kivo.h"

namespace kivo {

namespace {

bool HasWildcard(const wchar_t *path) { return std::wcspbrk(path, L"*?") != nullptr; }

bool IsFolder(const WIN32_FIND_DATAW &record) { return (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// The path without the separators it ends in ("C:\" becomes "C:", which a
// joined "\" and name turn back into a path on that drive's root).
bool CopyWithoutTrailingSeparators(wchar_t (&out)[kPathChars], const wchar_t *path) {
    if (!BoundedCopy(out, kPathChars, path)) return false;
    size_t length = std::wcslen(out);
    while (length > 0 && (out[length - 1] == L'\\' || out[length - 1] == L'/')) out[--length] = L'\0';
    return true;
}

// The walk's starting pattern: a wildcard source as it stands, once its
// folder part is known to be a folder; a folder followed by "\*"; a file
// by itself, its name serving as the mask. 0, or the code First fails with.
DWORD StartingPattern(const wchar_t *source, wchar_t (&pattern)[kPathChars], bool &isFile) {
    WIN32_FIND_DATAW record{};
    isFile = false;
    if (HasWildcard(source)) {
        if (!BoundedCopy(pattern, kPathChars, source)) return ERROR_PATH_NOT_FOUND;
        wchar_t *cut = std::wcsrchr(pattern, L'\\');
        if (cut) *cut = L'\0';
        bool folderExists = GetStatus(pattern, &record) && IsFolder(record);
        BoundedCopy(pattern, kPathChars, source);
        return folderExists ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    }
    if (!GetStatus(source, &record)) return ERROR_PATH_NOT_FOUND;
    if (!IsFolder(record)) {
        isFile = true;
        return BoundedCopy(pattern, kPathChars, source) ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
    }
    wchar_t folder[kPathChars];
    if (!CopyWithoutTrailingSeparators(folder, source) || !BoundedJoin(pattern, kPathChars, folder, L"*"))
        return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

bool DestinationFolderReady(const wchar_t *destination) {
    WIN32_FIND_DATAW record{};
    if (GetStatus(destination, &record) && IsFolder(record)) return true;
    return CreateFolderEntry(destination).ok != FALSE;
}

HANDLE FailFirst(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

OpResult CopyFolderEntry(const FolderCopyEntry &entry, DestinationFolder &destination, TransferProgress *progress) {
    CopyHints hints;
    hints.destination = &destination;
    hints.progress = progress;
    if (entry.sourceId[0]) {
        hints.sourceId = entry.sourceId;
        hints.sourceParentId = entry.sourceParentId;
    }
    return CopyFileEntry(entry.sourcePath, entry.destinationPath, entry.copyFlags, hints);
}

HANDLE FolderCopyFirst(const wchar_t *source, const wchar_t *destination, DWORD flags) {
    if (!source || !destination || ((flags & KIVO_COPY_FAIL_IF_EXISTS) && (flags & KIVO_COPY_NEWER_ONLY)))
        return FailFirst(ERROR_INVALID_PARAMETER);
    if (flags & KIVO_COPY_NO_LIST) flags |= KIVO_COPY_AT_FIRST;

    wchar_t pattern[kPathChars];
    bool sourceIsFile = false;
    if (DWORD code = StartingPattern(source, pattern, sourceIsFile)) return FailFirst(code);
    // The refusal carries a code of its own: the status query before it
    // left ERROR_SUCCESS, which must not stand beside a failure.
    if (HasWildcard(destination)) return FailFirst(ERROR_INVALID_NAME);
    if (!DestinationFolderReady(destination)) return FailFirst(ERROR_PATH_NOT_FOUND);
    wchar_t destinationFolder[kPathChars];
    if (!CopyWithoutTrailingSeparators(destinationFolder, destination)) return FailFirst(ERROR_FILENAME_EXCED_RANGE);

    CopyWalk job;
    job.jobFlags = flags;
    job.descend = (flags & KIVO_COPY_SUBFOLDERS) && !sourceIsFile;
    job.destinationOnDisk = IsLocalPath(destination);
    int32_t walked = CollectCopyEntries(pattern, destinationFolder, job);
    DWORD code = walked ? static_cast<DWORD>(ERROR_SUCCESS) : job.lastError;
    // With no job kept, the code is the host's only word on the copies.
    if (flags & KIVO_COPY_NO_LIST) code = job.firstFailure;

    auto &table = FolderCopyTable();
    uint64_t handle = (flags & KIVO_COPY_NO_LIST) ? table.AllocateHandle()
                                                 : table.Add(std::move(job.records), 0, FolderCopyJob{flags});
    SetLastError(code);
    return KeyHandle(handle);
}

size_t FolderCopyCount(HANDLE handle) { return FolderCopyTable().Count(HandleKey(handle)); }

BOOL FolderCopyNext(HANDLE handle, wchar_t *sourceBuffer, DWORD sourceSize, wchar_t *destinationBuffer,
                    DWORD destinationSize, int32_t *result, uint32_t *error, const ProgressRequest &request) {
    uint64_t key = HandleKey(handle);
    FolderCopyEntry entry{};
    uint32_t index = 0;
    uint32_t jobFlags = 0;
    bool pending = false;
    DestinationFolder destination;
    FolderCopyTable().With(key, [&](FolderCopyTableType::Entry &job) {
        if (job.nextIndex >= job.records.size()) return;
        index = job.nextIndex;
        entry = job.records[index];
        jobFlags = job.extra.jobFlags;
        destination = std::move(job.extra.destination);
        job.extra.destination.Forget();
        pending = true;
    });
    if (!pending) return FALSE;

    // The copy runs without the lock; the job may meanwhile be closed by a
    // host that breaks the one-thread rule, and is then looked up afresh.
    bool copyNow = !(jobFlags & KIVO_COPY_AT_FIRST) && !entry.settled;
    if (copyNow) {
        TransferProgress progress(request);
        OpResult copy = CopyFolderEntry(entry, destination, &progress);
        entry.copyResult = copy.ok;
        entry.copyError = copy.code;
    }
    FolderCopyTable().With(key, [&](FolderCopyTableType::Entry &job) {
        if (job.nextIndex != index) return;
        job.extra.destination = std::move(destination);
        job.records[index].copyResult = entry.copyResult;
        job.records[index].copyError = entry.copyError;
        ++job.nextIndex;
    });

    // A buffer too small gets the path cut and terminated; the entry has
    // advanced all the same, since FALSE would tell the host the job is over.
    if (sourceBuffer && sourceSize) BoundedCopy(sourceBuffer, sourceSize, entry.sourcePath);
    if (destinationBuffer && destinationSize) BoundedCopy(destinationBuffer, destinationSize, entry.destinationPath);
    if (result) *result = entry.copyResult;
    if (error) *error = entry.copyError;
    if (copyNow || entry.settled) SetLastError(entry.copyError);
    return TRUE;
}

int FolderCopyClose(HANDLE handle) {
    FolderCopyTable().Remove(HandleKey(handle));
    return 0;
}

}  // namespace kivo

// The walk of a folder copy job: one folder level per call, depth first,
// through the library's listing and copy operations.
#include <cwchar>
#include <memory>

#include "core/text.h"
#include "enum/file_enum.h"
#include "fileops/fileops.h"
#include "enum/wildcard.h"
#include "foldercopy/copy_names.h"
#include "foldercopy/folder_copy.h"
#include "include/kivo.h"

namespace kivo {

namespace {

constexpr int32_t kSkipped = -1;

// The buffers of one folder level. They live on the heap: a tree as deep
// as a path allows must not use up a host thread's stack.
struct Level {
    wchar_t folder[kPathChars];
    wchar_t listing[kPathChars];
    wchar_t source[kPathChars];
    wchar_t destination[kPathChars];
    wchar_t pattern[kPathChars];
    wchar_t folderId[kObjectIdChars];  // the listed device folder's ID, empty on disk
    WIN32_FIND_DATAW record;
    const wchar_t *mask;
    const wchar_t *destinationFolder;
};

// Splits the pattern at its last backslash: the folder part before it (the
// whole pattern without one), the mask after it (empty without one).
void SplitPattern(const wchar_t *pattern, Level &level) {
    BoundedCopy(level.folder, kPathChars, pattern);
    wchar_t *cut = std::wcsrchr(level.folder, L'\\');
    if (!cut) {
        level.mask = L"";
        return;
    }
    *cut = L'\0';
    level.mask = pattern + (cut - level.folder) + 1;
}

FolderCopyEntry MakeEntry(const CopyWalk &job, const wchar_t *source, const wchar_t *destination) {
    FolderCopyEntry entry{};
    BoundedCopy(entry.sourcePath, kPathChars, source);
    BoundedCopy(entry.destinationPath, kPathChars, destination);
    entry.copyFlags = job.jobFlags;
    return entry;
}

void NoteFailure(CopyWalk &job, DWORD code) {
    if (code == ERROR_SUCCESS) code = ERROR_GEN_FAILURE;
    job.lastError = code;
    if (job.firstFailure == ERROR_SUCCESS) job.firstFailure = code;
}

// An entry whose outcome the walk decided: it is listed as failed with code
// and never copied. The paths are for the host to show; either may be cut.
int32_t AddSettledEntry(CopyWalk &job, const wchar_t *source, const wchar_t *destination, DWORD code) {
    NoteFailure(job, code);
    if (!(job.jobFlags & KIVO_COPY_NO_LIST)) {
        FolderCopyEntry entry = MakeEntry(job, source, destination);
        entry.copyError = code;
        entry.settled = true;
        job.records.push_back(entry);
    }
    return (job.jobFlags & KIVO_COPY_AT_FIRST) ? 0 : 1;
}

// A file to copy: listed for Next, or copied at once in the immediate modes.
int32_t AddFileEntry(CopyWalk &job, const Level &level) {
    FolderCopyEntry entry = MakeEntry(job, level.source, level.destination);
    if (level.folderId[0]) {
        BoundedCopy(entry.sourceId, kObjectIdChars, level.record.cAlternateFileName);
        BoundedCopy(entry.sourceParentId, kObjectIdChars, level.folderId);
    }
    if (!(job.jobFlags & KIVO_COPY_AT_FIRST)) {
        job.records.push_back(entry);
        return 1;
    }
    OpResult copy = CopyFolderEntry(entry, job.destination);
    BOOL copied = copy.ok;
    DWORD code = copy.code;
    if (!copied) NoteFailure(job, code);
    if (!(job.jobFlags & KIVO_COPY_NO_LIST)) {
        entry.copyResult = copied;
        entry.copyError = code;
        job.records.push_back(entry);
    }
    return copied ? 1 : 0;
}

// Claims a destination path for one file of the job; false when an earlier
// file of the job was given it. A disk folder holds one file of a name in
// any case; a device destination is searched ignoring the case of a to z.
bool ClaimDestination(CopyWalk &job, const wchar_t *destination) {
    std::wstring key;
    if (job.destinationOnDisk) {
        key = destination;
        if (!key.empty()) CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    } else {
        key = FoldedAsciiCase(destination);
    }
    return job.takenDestinations.insert(std::move(key)).second;
}

// Closes a listing however the walk of its level ends.
class ListingHold {
public:
    explicit ListingHold(HANDLE handle) : handle_(handle) {}
    ~ListingHold() { CloseFind(handle_); }
    ListingHold(const ListingHold &) = delete;
    ListingHold &operator=(const ListingHold &) = delete;

private:
    HANDLE handle_;
};

// An empty folder, or one where nothing matched, as opposed to one that
// could not be listed.
bool IsEmptyListing(DWORD code) {
    return code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES;
}

// The level's current record: the step's outcome, or kSkipped.
int32_t TakeRecord(Level &level, CopyWalk &job) {
    const wchar_t *name = level.record.cFileName;
    bool isFolder = (level.record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder && (name[0] == L'.' || !job.descend)) return kSkipped;
    if (!isFolder && !MatchFindPattern(level.mask, name)) return kSkipped;

    bool sourceFits = BoundedJoin(level.source, kPathChars, level.folder, name);
    bool destinationFits = BoundedJoin(level.destination, kPathChars, level.destinationFolder, name);
    if (DWORD refusal = CheckCopyName(name, job.destinationOnDisk))
        return AddSettledEntry(job, level.source, level.destination, refusal);
    if (!sourceFits || !destinationFits)
        return AddSettledEntry(job, level.source, level.destination, ERROR_FILENAME_EXCED_RANGE);
    // A second object of a taken name is never copied over the first; a
    // second folder of a name could only be reached as the first again.
    if (!ClaimDestination(job, level.destination))
        return AddSettledEntry(job, level.source, level.destination, ERROR_FILE_EXISTS);
    if (!isFolder) return AddFileEntry(job, level);
    if (!BoundedJoin(level.pattern, kPathChars, level.source, level.mask))
        return AddSettledEntry(job, level.source, level.destination, ERROR_FILENAME_EXCED_RANGE);
    return CollectCopyEntries(level.pattern, level.destination, job);
}

}  // namespace

int32_t CollectCopyEntries(const wchar_t *pattern, const wchar_t *destinationFolder, CopyWalk &job) {
    auto owned = std::make_unique<Level>();
    Level &level = *owned;
    SplitPattern(pattern, level);
    level.destinationFolder = destinationFolder;

    if (!BoundedJoin(level.listing, kPathChars, level.folder, L"*"))
        return AddSettledEntry(job, level.folder, destinationFolder, ERROR_FILENAME_EXCED_RANGE);
    FolderListing listed = OpenFolderListing(level.listing, &level.record);
    HANDLE find = listed.handle;
    DWORD code = GetLastError();
    BoundedCopy(level.folderId, kObjectIdChars, listed.folderId);
    // A folder that cannot be listed, or only in part, is reported, never
    // passed over: its files would be missing without a word.
    bool whole = listed.whole;
    if (find == INVALID_HANDLE_VALUE) {
        if (!IsEmptyListing(code)) return AddSettledEntry(job, level.folder, destinationFolder, code);
        return whole ? 1 : AddSettledEntry(job, level.folder, destinationFolder, ERROR_READ_FAULT);
    }
    ListingHold hold(find);
    int32_t result = 1;
    do {
        int32_t step = TakeRecord(level, job);
        if (step != kSkipped) result = step;
    } while (FindNextEntry(find, &level.record));
    code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) result = AddSettledEntry(job, level.folder, destinationFolder, code);
    else if (!whole) result = AddSettledEntry(job, level.folder, destinationFolder, ERROR_READ_FAULT);
    return result;
}

}  // namespace kivo

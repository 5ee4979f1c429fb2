// Object transfer: upload, download and device to device in memory, with
// the properties of a new object and the times of a downloaded file.
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "core/record.h"
#include "fileops/fileops.h"
#include "fileops/progress.h"

namespace kivo {

namespace {

constexpr ULONG kDefaultChunk = 262144;

struct ExtensionEntry {
    const wchar_t *extension;
    const GUID *contentType;
    const GUID *format;
};

const ExtensionEntry kExtensions[] = {
    {L"jpg", &WPD_CONTENT_TYPE_IMAGE, &WPD_OBJECT_FORMAT_EXIF},  {L"jpeg", &WPD_CONTENT_TYPE_IMAGE, &WPD_OBJECT_FORMAT_EXIF},
    {L"mp3", &WPD_CONTENT_TYPE_AUDIO, &WPD_OBJECT_FORMAT_MP3},   {L"mpg", &WPD_CONTENT_TYPE_VIDEO, &WPD_OBJECT_FORMAT_MPEG},
    {L"mpeg", &WPD_CONTENT_TYPE_VIDEO, &WPD_OBJECT_FORMAT_MPEG}, {L"wmv", &WPD_CONTENT_TYPE_VIDEO, &WPD_OBJECT_FORMAT_WMV},
    {L"gif", &WPD_CONTENT_TYPE_IMAGE, &WPD_OBJECT_FORMAT_GIF},   {L"ogg", &WPD_CONTENT_TYPE_AUDIO, &WPD_OBJECT_FORMAT_OGG},
    {L"3gp", &WPD_CONTENT_TYPE_AUDIO, &WPD_OBJECT_FORMAT_3GP},   {L"m4a", &WPD_CONTENT_TYPE_AUDIO, &WPD_OBJECT_FORMAT_M4A},
    {L"wav", &WPD_CONTENT_TYPE_AUDIO, &WPD_OBJECT_FORMAT_WAVE},  {L"mp4", &WPD_CONTENT_TYPE_VIDEO, &WPD_OBJECT_FORMAT_MP4},
    {L"avi", &WPD_CONTENT_TYPE_VIDEO, &WPD_OBJECT_FORMAT_AVI},
};

// Copies chunk by chunk until read delivers 0 bytes. read(buffer, size,
// got) and write(buffer, size) report success; a failed read, and a write
// that did not take every byte, end the copy as a failure.
template <class Read, class Write>
BOOL CopyChunks(ULONG chunkSize, DWORD &failureCode, Read &&read, Write &&write, TransferProgress *progress) {
    HeapArray<BYTE> buffer(chunkSize);
    if (!buffer) {
        failureCode = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    for (;;) {
        ULONG want = progress ? progress->NextChunk(chunkSize) : chunkSize;
        ULONG got = 0;
        if (!read(buffer.Get(), want, got)) {
            failureCode = ERROR_READ_FAULT;
            return FALSE;
        }
        if (got == 0) return TRUE;
        if (got > want) got = want;
        if (!write(buffer.Get(), got)) {
            failureCode = ERROR_WRITE_FAULT;
            return FALSE;
        }
        if (progress && !progress->Advance(got)) {
            failureCode = kStoppedByHost;
            return FALSE;
        }
    }
}

// Starts a leg of the copy on the host's progress; false when the host
// stops it there.
bool StartLeg(TransferProgress *progress, ULONGLONG size) { return !progress || progress->StartStream(size); }

// A write refused for want of room keeps its own code, which tells the host
// what to do about it; any other failed write is a write fault.
bool IsRoomCode(DWORD code) {
    return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == ERROR_FILE_TOO_LARGE;
}

void KeepRoomCode(DWORD refusal, DWORD &failureCode) {
    if (failureCode == ERROR_WRITE_FAULT && IsRoomCode(refusal)) failureCode = refusal;
}

auto StreamReader(IStream *from) {
    return [from](BYTE *buffer, ULONG size, ULONG &got) { return SUCCEEDED(from->Read(buffer, size, &got)); };
}

ULONGLONG RecordSize(const WIN32_FIND_DATAW &record) {
    return (static_cast<ULONGLONG>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}

ULONG ChunkOr(DWORD optimal) { return optimal ? optimal : kDefaultChunk; }

// A FILETIME as a VT_DATE; a UTC time is first made local.
PROPVARIANT DateValue(FILETIME time, bool isUtc) {
    PROPVARIANT value;
    PropVariantInit(&value);
    FILETIME local = time;
    if (isUtc) FileTimeToLocalFileTime(&time, &local);
    SYSTEMTIME system{};
    double date = 0;
    if (FileTimeToSystemTime(&local, &system) && SystemTimeToVariantTime(&system, &date)) {
        value.vt = VT_DATE;
        value.date = date;
    }
    return value;
}

// The eight properties of a new object, in order; storedName is the
// original file name it is stored under (the file name, or a staging name).
ComPtr<IPortableDeviceValues> NewObjectProperties(const DeviceSession &source, const DeviceSession &destination,
                                                  ULONGLONG size, const wchar_t *storedName) {
    ComPtr<IPortableDeviceValues> values = MakeDeviceValues();
    if (!values) return nullptr;
    const wchar_t *fileName = destination.findData.cFileName;
    const wchar_t *dot = std::wcschr(fileName, L'.');
    std::wstring name = dot ? std::wstring(fileName, dot) : std::wstring(fileName);
    const ExtensionEntry *entry = nullptr;
    if (dot)
        for (const auto &candidate : kExtensions)
            if (!entry && EqualIgnoringAsciiCase(dot + 1, candidate.extension)) entry = &candidate;
    bool utc = source.content != nullptr;  // a device record holds UTC, a disk one local times
    PROPVARIANT modified = DateValue(source.findData.ftLastWriteTime, utc);
    PROPVARIANT created = DateValue(source.findData.ftCreationTime, utc);

    values->SetStringValue(WPD_OBJECT_PARENT_ID, destination.findData.cAlternateFileName);
    values->SetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, size);
    values->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, storedName);
    values->SetValue(WPD_OBJECT_DATE_MODIFIED, &modified);
    values->SetValue(WPD_OBJECT_DATE_CREATED, &created);
    values->SetStringValue(WPD_OBJECT_NAME, name.c_str());
    values->SetGuidValue(WPD_OBJECT_CONTENT_TYPE, entry ? *entry->contentType : WPD_CONTENT_TYPE_DOCUMENT);
    if (entry) values->SetGuidValue(WPD_OBJECT_FORMAT, *entry->format);
    return values;
}

ULONGLONG MeasuredSize(IStream *stream) {
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return 0;
    return stat.cbSize.QuadPart;
}

OpResult OpenDeviceSource(DeviceSession &source, ComPtr<IStream> &stream, DWORD &optimal) {
    ComPtr<IPortableDeviceResources> resources;
    if (FAILED(source.content->Transfer(resources.GetAddressOf()))) return Failed(ERROR_READ_FAULT);
    optimal = 0;
    if (FAILED(resources->GetStream(source.findData.cAlternateFileName, WPD_RESOURCE_DEFAULT, STGM_READ, &optimal,
                                    stream.GetAddressOf())) ||
        !stream)
        return Failed(ERROR_READ_FAULT);
    return Succeeded();
}

OpResult OpenDiskSource(DeviceSession &source, ComPtr<IStream> &stream) {
    ReadLocalFileTimes(source.findData.cFileName, source.findData);
    HRESULT hr = SHCreateStreamOnFileEx(source.findData.cFileName, STGM_READ | STGM_SHARE_DENY_NONE,
                                        FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, stream.GetAddressOf());
    if (FAILED(hr)) return Failed(CodeOf(hr, ERROR_READ_FAULT));
    return Succeeded();
}

// The ID the device gave a committed object; empty when it does not tell.
std::wstring CommittedObjectId(IStream *data) {
    ComPtr<IPortableDeviceDataStream> dataStream;
    CoTaskMemString id;
    if (FAILED(data->QueryInterface(IID_IPortableDeviceDataStream, reinterpret_cast<void **>(dataStream.GetAddressOf()))) ||
        FAILED(dataStream->GetObjectID(id.Put())) || !id)
        return std::wstring();
    return id.Get();
}

// Creates a new object and fills its data stream with fill(stream, chunk
// size); the object is committed only when fill wrote all of it. Released
// uncommitted, a stream leaves nothing on the device.
template <class Fill>
OpResult CreateObject(DeviceSession &destination, IPortableDeviceValues *values, NewObject *created, Fill &&fill) {
    ComPtr<IStream> data;
    DWORD optimal = 0;
    if (FAILED(destination.content->CreateObjectWithPropertiesAndData(values, data.GetAddressOf(), &optimal, nullptr)) ||
        !data)
        return Failed(ERROR_WRITE_FAULT);
    OpResult filled = fill(data.Get(), ChunkOr(optimal));
    if (!filled.ok) return filled;
    if (FAILED(data->Commit(STGC_DEFAULT))) return Failed(ERROR_WRITE_FAULT);
    if (created) created->id = CommittedObjectId(data.Get());
    return Succeeded();
}

// Reads a stream to its end into data; a source whose data reaches the
// large-object threshold is not held in memory (kOutgrewMemory).
OpResult ReadToEnd(IStream *from, DWORD optimal, ULONGLONG recordedSize, std::vector<BYTE> &data,
                   TransferProgress *progress) {
    ULONG chunk = ChunkOr(optimal);
    data.reserve(static_cast<size_t>(std::min<ULONGLONG>(recordedSize, kLargeObjectThreshold)));
    for (;;) {
        size_t filled = data.size();
        if (filled >= kLargeObjectThreshold) return Failed(kOutgrewMemory);
        ULONG next = progress ? progress->NextChunk(chunk) : chunk;
        ULONG want = static_cast<ULONG>(std::min<ULONGLONG>(next, kLargeObjectThreshold - filled));
        data.resize(filled + want);
        ULONG got = 0;
        HRESULT hr = from->Read(data.data() + filled, want, &got);
        got = SUCCEEDED(hr) ? std::min(got, want) : 0;
        data.resize(filled + got);
        if (FAILED(hr)) return Failed(ERROR_READ_FAULT);
        if (got == 0) return Succeeded();
        if (progress && !progress->Advance(got)) return Failed(kStoppedByHost);
    }
}

OpResult WriteWhole(IStream *to, ULONG chunk, const std::vector<BYTE> &data, TransferProgress *progress) {
    size_t written = 0;
    while (written < data.size()) {
        ULONG next = progress ? progress->NextChunk(chunk) : chunk;
        ULONG piece = static_cast<ULONG>(std::min<size_t>(next, data.size() - written));
        ULONG done = 0;
        if (FAILED(to->Write(data.data() + written, piece, &done)) || done != piece) return Failed(ERROR_WRITE_FAULT);
        written += piece;
        if (progress && !progress->Advance(piece)) return Failed(kStoppedByHost);
    }
    return Succeeded();
}

// Device to device in memory: the source is read to its end, whatever its
// record says, and the new object is announced with the size read.
OpResult CopyDeviceToDevice(DeviceSession &source, ComPtr<IStream> &from, DWORD optimal, DeviceSession &destination,
                            const wchar_t *storedName, NewObject *created, TransferProgress *progress) {
    std::vector<BYTE> data;
    if (!StartLeg(progress, RecordSize(source.findData))) return Failed(kStoppedByHost);
    OpResult read = ReadToEnd(from.Get(), optimal, RecordSize(source.findData), data, progress);
    from.Reset();
    if (!read.ok) return read;
    if (!StartLeg(progress, data.size())) return Failed(kStoppedByHost);
    ComPtr<IPortableDeviceValues> values = NewObjectProperties(source, destination, data.size(), storedName);
    if (!values) return Failed(ERROR_NOT_ENOUGH_MEMORY);
    return CreateObject(destination, values.Get(), created,
                        [&](IStream *to, ULONG chunk) { return WriteWhole(to, chunk, data, progress); });
}

OpResult Upload(DeviceSession &source, ComPtr<IStream> &from, DeviceSession &destination, const wchar_t *storedName,
                NewObject *created, TransferProgress *progress) {
    ULONGLONG size = MeasuredSize(from.Get());
    if (!StartLeg(progress, size)) return Failed(kStoppedByHost);
    ComPtr<IPortableDeviceValues> values = NewObjectProperties(source, destination, size, storedName);
    if (!values) return Failed(ERROR_NOT_ENOUGH_MEMORY);
    return CreateObject(destination, values.Get(), created, [&](IStream *to, ULONG chunk) {
        DWORD code = ERROR_SUCCESS;
        return CopyStream(from.Get(), to, chunk, code, progress) ? Succeeded() : Failed(code);
    });
}

// The folder a disk path lies in, without its last backslash.
std::wstring FolderOf(const wchar_t *path) {
    const wchar_t *cut = std::wcsrchr(path, L'\\');
    const wchar_t *slash = std::wcsrchr(path, L'/');
    if (slash && (!cut || slash > cut)) cut = slash;
    if (!cut) return L".";
    std::wstring folder(path, cut);
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
    return folder.empty() ? std::wstring(L"\\") : folder;
}

void StampTimes(const wchar_t *path, const WIN32_FIND_DATAW &record) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFileTime(file, &record.ftCreationTime, nullptr, &record.ftLastWriteTime);
    CloseHandle(file);
}

// Downloads into a temporary file beside the target and puts it in the
// target's place only when every byte has arrived, so a failed download
// never leaves a partial file under the target's name, and an existing
// target survives it.
OpResult Download(ComPtr<IStream> &from, DWORD optimal, const DeviceSession &source, const wchar_t *target,
                  TransferProgress *progress) {
    if (!StartLeg(progress, RecordSize(source.findData))) return Failed(kStoppedByHost);
    wchar_t partial[kPathChars] = {};
    if (!GetTempFileNameW(FolderOf(target).c_str(), L"kdl", 0, partial)) return FailedWithLastError();
    OpResult result = Succeeded();
    HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result = FailedWithLastError();
    } else {
        DWORD code = ERROR_SUCCESS, refusal = ERROR_SUCCESS;
        auto write = [file, &refusal](const BYTE *buffer, ULONG size) {
            DWORD written = 0;
            if (!WriteFile(file, buffer, size, &written, nullptr)) refusal = GetLastError();
            return refusal == ERROR_SUCCESS && written == size;
        };
        if (!CopyChunks(ChunkOr(optimal), code, StreamReader(from.Get()), write, progress)) {
            KeepRoomCode(refusal, code);
            result = Failed(code);
        }
        CloseHandle(file);
    }
    from.Reset();
    if (result.ok) {
        StampTimes(partial, source.findData);
        if (!MoveFileExW(partial, target, MOVEFILE_REPLACE_EXISTING)) result = FailedWithLastError();
    }
    if (!result.ok) DeleteFileW(partial);
    return result;
}

}  // namespace

BOOL CopyStream(IStream *from, IStream *to, ULONG chunkSize, DWORD &failureCode, TransferProgress *progress) {
    // A failed write, a short one and one that reports success with nothing
    // written all end the copy as a failure.
    DWORD refusal = ERROR_SUCCESS;
    auto write = [to, &refusal](const BYTE *buffer, ULONG size) {
        ULONG written = 0;
        HRESULT hr = to->Write(buffer, size, &written);
        if (FAILED(hr)) refusal = CodeOf(hr, ERROR_SUCCESS);
        return SUCCEEDED(hr) && written == size;
    };
    if (CopyChunks(chunkSize, failureCode, StreamReader(from), write, progress)) return TRUE;
    KeepRoomCode(refusal, failureCode);
    return FALSE;
}

void ReadLocalFileTimes(const wchar_t *path, WIN32_FIND_DATAW &record) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return;
    FileTimeToLocalFileTime(&data.ftCreationTime, &record.ftCreationTime);
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &record.ftLastWriteTime);
}

OpResult TransferObject(DeviceSession &source, DeviceSession &destination, NewObject *created,
                        TransferProgress *progress) {
    ComPtr<IStream> from;
    DWORD optimal = 0;
    OpResult opened = source.content ? OpenDeviceSource(source, from, optimal) : OpenDiskSource(source, from);
    if (!opened.ok) return opened;
    if (!destination.content) return Download(from, optimal, source, destination.findData.cFileName, progress);
    const wchar_t *storedName =
        created && created->stagingName ? created->stagingName : destination.findData.cFileName;
    if (!source.content) return Upload(source, from, destination, storedName, created, progress);
    return CopyDeviceToDevice(source, from, optimal, destination, storedName, created, progress);
}

}  // namespace kivo

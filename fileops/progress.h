// Progress and cancel of one copy, as CopyFileExW reports them to its host:
// the routine is told of each stream's start and of every chunk that
// arrives, and its answer, or the cancel flag, can stop the copy.
#pragma once

#include <windows.h>

namespace kivo {

// The host's progress routine (may be null), its data and its cancel flag
// (may be null), as CopyFileExW takes them.
struct ProgressRequest {
    LPPROGRESS_ROUTINE routine = nullptr;
    void *data = nullptr;
    BOOL *cancel = nullptr;
};

class TransferProgress {
public:
    explicit TransferProgress(const ProgressRequest &request) : request_(request) {}

    // The bytes of every stream the copy will move, once known; a later
    // call keeps the first figure.
    void SetTotal(ULONGLONG total);
    // Starts the next stream (the first is 1) of size bytes, with one
    // CALLBACK_STREAM_SWITCH. False when the copy is to stop.
    bool StartStream(ULONGLONG size);
    // Counts bytes more of the current stream with one
    // CALLBACK_CHUNK_FINISHED. False when the copy is to stop.
    bool Advance(ULONG bytes);
    // The size of the next read for a copy whose chunks are chunk bytes:
    // at most 1 MiB, and smaller while a chunk takes more than 250 ms, so
    // that the routine hears of a slow copy often enough.
    ULONG NextChunk(ULONG chunk);
    const ProgressRequest &Request() const { return request_; }

private:
    bool Call(DWORD reason);
    bool CancelRequested() const { return request_.cancel && *const_cast<volatile BOOL *>(request_.cancel); }

    ProgressRequest request_;
    bool quiet_ = false, stopped_ = false, totalKnown_ = false;
    ULONGLONG total_ = 0, done_ = 0, streamSize_ = 0, streamDone_ = 0;
    DWORD stream_ = 0;
    ULONG chunk_ = 0;          // the current read size; 0 until the first read
    ULONGLONG chunkStart_ = 0; // when the last read began, in milliseconds
};

// The code of a copy that its host stopped.
constexpr DWORD kStoppedByHost = ERROR_REQUEST_ABORTED;

}  // namespace kivo

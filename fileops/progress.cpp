#include "fileops/progress.h"

#include <algorithm>

namespace kivo {

namespace {

constexpr ULONG kMostBetweenCalls = 1u << 20;
constexpr ULONG kFewestBytesPerRead = 4096;
constexpr ULONGLONG kLongestChunkMillis = 250;

LARGE_INTEGER Large(ULONGLONG value) {
    LARGE_INTEGER large;
    large.QuadPart = static_cast<LONGLONG>(value);
    return large;
}

}  // namespace

void TransferProgress::SetTotal(ULONGLONG total) {
    if (totalKnown_) return;
    total_ = total;
    totalKnown_ = true;
}

bool TransferProgress::Call(DWORD reason) {
    if (stopped_ || CancelRequested()) {
        stopped_ = true;
        return false;
    }
    if (!request_.routine || quiet_) return true;
    // Never more bytes than the total: a source larger than its record said
    // makes the total grow with it.
    total_ = std::max(total_, done_);
    streamSize_ = std::max(streamSize_, streamDone_);
    DWORD answer = request_.routine(Large(total_), Large(done_), Large(streamSize_), Large(streamDone_), stream_,
                                    reason, nullptr, nullptr, request_.data);
    if (answer == PROGRESS_QUIET) quiet_ = true;
    if (answer == PROGRESS_CANCEL || answer == PROGRESS_STOP || CancelRequested()) stopped_ = true;
    return !stopped_;
}

bool TransferProgress::StartStream(ULONGLONG size) {
    ++stream_;
    streamSize_ = size;
    streamDone_ = 0;
    if (!totalKnown_) SetTotal(size);
    return Call(CALLBACK_STREAM_SWITCH);
}

bool TransferProgress::Advance(ULONG bytes) {
    done_ += bytes;
    streamDone_ += bytes;
    if (chunkStart_ && GetTickCount64() - chunkStart_ > kLongestChunkMillis && chunk_ > kFewestBytesPerRead)
        chunk_ = std::max(kFewestBytesPerRead, chunk_ / 2);
    return Call(CALLBACK_CHUNK_FINISHED);
}

ULONG TransferProgress::NextChunk(ULONG chunk) {
    ULONG most = std::min(chunk, kMostBetweenCalls);
    if (chunk_ == 0 || chunk_ > most) chunk_ = most;
    chunkStart_ = GetTickCount64();
    return chunk_;
}

}  // namespace kivo

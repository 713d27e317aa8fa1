// Page-locked staging for host <-> device transfers. A fixed set of chunks (kStagingChunks x
// kStagingChunkBytes of pinned host memory, allocated on first use and kept for the life of the
// process) carries every staged transfer piece by piece: the caller fills a chunk straight from
// its source while the chunks filled before are copied up asynchronously, and results come back
// into the chunks asynchronously and are drained by the caller while the next pieces are still on
// the bus. Two copy streams of their own (one per direction) and a few events let products
// overlap transfers. Pinned memory held by the module stays kStagingChunks x kStagingChunkBytes
// whatever the matrix size.
//
// One transfer owns the staging at a time (a lease holds its lock). A driver without one of the
// entry points used here gets no lease, and the callers use the blocking copies instead.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "../common/result.hpp"
#include "cuda_core.hpp"

namespace vant::rt {

using drv::CUdeviceptr;
using drv::CUevent;

inline constexpr uint64_t kStagingChunkBytes = uint64_t{8} << 20;
inline constexpr int kStagingChunks = 4;
// Events a caller may record and wait on by index, e.g. one per row panel and direction.
inline constexpr int kStagingMarks = 8;

// Writes `bytes` bytes of the source image, starting at byte `offset` of it, to `out`.
struct StagingFill {
    void (*fn)(void* ctx, uint64_t offset, uint64_t bytes, void* out);
    void* ctx;
};
// Takes `bytes` bytes of the destination image, starting at byte `offset`, from `in`.
struct StagingDrain {
    void (*fn)(void* ctx, uint64_t offset, uint64_t bytes, const void* in);
    void* ctx;
};

struct StagingResources;

class StagingLease {
public:
    StagingLease(StagingLease&& o) noexcept;
    StagingLease& operator=(StagingLease&&) = delete;
    StagingLease(const StagingLease&) = delete;
    ~StagingLease();

    drv::CUstream upload_stream() const noexcept;
    drv::CUstream download_stream() const noexcept;

    // Copies bytes [0, bytes) of the filled image to dst on `stream`, chunk by chunk; returns once
    // the last piece is queued (the chunks are reused only after their copies have run).
    Result<void> upload(CUdeviceptr dst, uint64_t bytes, drv::CUstream stream, StagingFill fill);
    // Copies `bytes` bytes from src on `stream` and hands them to `drain` in order; returns when
    // every piece has been drained.
    Result<void> download(CUdeviceptr src, uint64_t bytes, drv::CUstream stream, StagingDrain drain);
    // The same, but returns once the last piece is queued: the pieces still in flight are handed
    // to `drain` when their chunks are claimed for later copies (of either direction) or by
    // finish(), so `drain` and its context must stay valid until then. Lets the downloads of
    // finished results share the chunks with the uploads of later operands.
    Result<void> queue_download(CUdeviceptr src, uint64_t bytes, drv::CUstream stream, StagingDrain drain);
    // Event `mark` (< kStagingMarks) recorded on `stream`, and a stream waiting for it.
    Result<void> record(int mark, drv::CUstream stream);
    Result<void> wait(drv::CUstream stream, int mark);
    // Waits until every queued copy through the chunks has run, handing over the downloaded
    // pieces not drained yet (oldest first). After a successful finish() the
    // lease is released without synchronising anything; a lease released without one (an error
    // path) first synchronises the copy streams and `work_stream`, so no queued copy or kernel
    // can touch a chunk or a device buffer the caller gives back.
    Result<void> finish();

private:
    friend Result<std::optional<StagingLease>> acquire_staging(drv::CUstream work_stream);
    StagingLease(std::unique_lock<std::mutex> lock, StagingResources* res, drv::CUstream work) noexcept;
    Result<void> claim(int chunk);  // waits for the chunk's last copy (draining it if a download)
    Result<void> claim_all(bool downloads_only);  // oldest use first
    // Walks `bytes` in chunk-sized pieces: claims the next chunk, lets `issue(chunk, offset,
    // piece)` queue its copy, and records the chunk's event on `stream` behind it.
    template <class Issue>
    Result<void> each_piece(uint64_t bytes, drv::CUstream stream, Issue issue);

    std::unique_lock<std::mutex> lock_;
    StagingResources* res_ = nullptr;
    drv::CUstream work_ = nullptr;
    int next_ = 0;
    bool clean_ = false;
};

// The staging, created on first use with the core's context current. nullopt: the driver lacks an
// entry point the staging needs (use the blocking copies). Errors: "Failed to create staging: " +
// the driver's text; nothing created so far is kept and the next call tries again.
// `work_stream` is the stream the caller's kernels run on (synchronised on an error path).
Result<std::optional<StagingLease>> acquire_staging(drv::CUstream work_stream);

// Whether the driver offers every entry point the staging needs.
bool staging_supported() noexcept;

}  // namespace vant::rt

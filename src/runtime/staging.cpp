#include "staging.hpp"

#include <algorithm>
#include <string>

namespace vant::rt {

struct StagingResources {
    void* chunk[kStagingChunks] = {};
    CUevent done[kStagingChunks] = {};
    bool busy[kStagingChunks] = {};      // a queued copy uses the chunk; wait for `done` first
    bool drain_due[kStagingChunks] = {}; // the copy brings a download piece to hand over
    uint64_t drain_offset[kStagingChunks] = {};
    uint64_t drain_bytes[kStagingChunks] = {};
    StagingDrain drain[kStagingChunks] = {};
    drv::CUstream up = nullptr;
    drv::CUstream down = nullptr;
    CUevent marks[kStagingMarks] = {};
    uint64_t generation = 0;  // of the core whose context holds these handles
};

namespace {

constexpr const char* kEntries[] = {
    "cuMemHostAlloc", "cuMemFreeHost", "cuMemcpyHtoDAsync", "cuMemcpyDtoHAsync", "cuStreamDestroy",
    "cuStreamWaitEvent", "cuEventCreate", "cuEventRecord", "cuEventSynchronize", "cuEventDestroy",
};

// Never destroyed: a lease may end during exit.
std::mutex& staging_lock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
StagingResources* g_staging = nullptr;  // guarded by staging_lock()

// Releases whatever a (possibly partial) set of resources holds; statuses ignored. Handles of a
// context that was reset are dropped without a driver call.
void destroy(StagingResources* r) noexcept {
    if (!r) return;
    if (!generation_alive(r->generation)) {
        delete r;
        return;
    }
    ContextScope scope = release_scope();
    for (CUevent e : r->marks)
        if (e) drv::cuEventDestroy(e);
    for (int i = 0; i < kStagingChunks; ++i) {
        if (r->done[i]) drv::cuEventDestroy(r->done[i]);
        if (r->chunk[i]) drv::cuMemFreeHost(r->chunk[i]);
    }
    if (r->up) drv::cuStreamDestroy(r->up);
    if (r->down) drv::cuStreamDestroy(r->down);
    delete r;
}

Result<void> created(CUresult status) {
    if (status == drv::CUDA_SUCCESS) return ok();
    return err("Failed to create staging: " + cuda_status_text(status));
}

Result<StagingResources*> create() {
    auto* r = new StagingResources;
    r->generation = core_generation();
    auto fail = [r](Result<void> e) -> Result<StagingResources*> {
        destroy(r);
        return std::move(e).take_error();
    };
    for (int i = 0; i < kStagingChunks; ++i) {
        if (auto s = created(drv::cuMemHostAlloc(&r->chunk[i], kStagingChunkBytes, 0)); !s) {
            r->chunk[i] = nullptr;
            return fail(std::move(s));
        }
        if (auto s = created(drv::cuEventCreate(&r->done[i], drv::CU_EVENT_DISABLE_TIMING)); !s) {
            r->done[i] = nullptr;
            return fail(std::move(s));
        }
    }
    for (CUevent& e : r->marks) {
        if (auto s = created(drv::cuEventCreate(&e, drv::CU_EVENT_DISABLE_TIMING)); !s) {
            e = nullptr;
            return fail(std::move(s));
        }
    }
    if (auto s = created(drv::cuStreamCreate(&r->up, drv::CU_STREAM_NON_BLOCKING)); !s) {
        r->up = nullptr;
        return fail(std::move(s));
    }
    if (auto s = created(drv::cuStreamCreate(&r->down, drv::CU_STREAM_NON_BLOCKING)); !s) {
        r->down = nullptr;
        return fail(std::move(s));
    }
    return r;
}

Result<void> step(CUresult status, const char* what) {
    if (status == drv::CUDA_SUCCESS) return ok();
    return err(std::string(what) + cuda_status_text(status));
}

}  // namespace

bool staging_supported() noexcept {
    for (const char* name : kEntries)
        if (!drv::entry_available(name)) return false;
    return true;
}

Result<std::optional<StagingLease>> acquire_staging(drv::CUstream work_stream) {
    if (!staging_supported()) return std::optional<StagingLease>{};
    std::unique_lock<std::mutex> lock(staging_lock());
    if (g_staging && g_staging->generation != core_generation()) {
        // Made in a context that was reset since: the driver took everything with it.
        delete g_staging;
        g_staging = nullptr;
    }
    if (!g_staging) {
        auto made = create();
        if (!made) return std::move(made).take_error();
        g_staging = made.value();
    }
    return std::optional<StagingLease>(StagingLease(std::move(lock), g_staging, work_stream));
}

StagingLease::StagingLease(std::unique_lock<std::mutex> lock, StagingResources* res, drv::CUstream work) noexcept
    : lock_(std::move(lock)), res_(res), work_(work) {}

StagingLease::StagingLease(StagingLease&& o) noexcept
    : lock_(std::move(o.lock_)), res_(std::exchange(o.res_, nullptr)), work_(o.work_), next_(o.next_),
      clean_(o.clean_) {}

StagingLease::~StagingLease() {
    if (!res_ || clean_) return;
    // An error path: copies or kernels may still be queued. Wait for all of them before the
    // chunks serve another transfer and before the caller hands its device buffers back.
    bool quiet = drv::cuStreamSynchronize(work_) == drv::CUDA_SUCCESS;
    quiet = drv::cuStreamSynchronize(res_->up) == drv::CUDA_SUCCESS && quiet;
    quiet = drv::cuStreamSynchronize(res_->down) == drv::CUDA_SUCCESS && quiet;
    for (int i = 0; i < kStagingChunks; ++i) res_->busy[i] = res_->drain_due[i] = false;
    if (!quiet) {
        // Nothing can be trusted about the queued work: drop the staging; the next transfer
        // builds a new one.
        destroy(res_);
        g_staging = nullptr;
    }
}

drv::CUstream StagingLease::upload_stream() const noexcept { return res_->up; }
drv::CUstream StagingLease::download_stream() const noexcept { return res_->down; }

Result<void> StagingLease::claim(int i) {
    if (!res_->busy[i]) return ok();
    if (auto s = step(drv::cuEventSynchronize(res_->done[i]), "Failed to synchronize a transfer: "); !s) return s;
    res_->busy[i] = false;
    if (res_->drain_due[i]) {
        res_->drain_due[i] = false;
        res_->drain[i].fn(res_->drain[i].ctx, res_->drain_offset[i], res_->drain_bytes[i], res_->chunk[i]);
    }
    return ok();
}

template <class Issue>
Result<void> StagingLease::each_piece(uint64_t bytes, drv::CUstream stream, Issue issue) {
    clean_ = false;
    for (uint64_t offset = 0; offset < bytes;) {
        const uint64_t piece = std::min(kStagingChunkBytes, bytes - offset);
        const int i = next_;
        next_ = (next_ + 1) % kStagingChunks;
        if (auto s = claim(i); !s) return s;
        if (auto s = issue(i, offset, piece); !s) return s;
        if (auto s = step(drv::cuEventRecord(res_->done[i], stream), "Failed to record a transfer: "); !s) return s;
        res_->busy[i] = true;
        offset += piece;
    }
    return ok();
}

Result<void> StagingLease::upload(CUdeviceptr dst, uint64_t bytes, drv::CUstream stream, StagingFill fill) {
    return each_piece(bytes, stream, [&](int i, uint64_t offset, uint64_t piece) {
        fill.fn(fill.ctx, offset, piece, res_->chunk[i]);
        return step(drv::cuMemcpyHtoDAsync(dst + offset, res_->chunk[i], piece, stream),
                    "Failed to copy data to GPU: ");
    });
}

Result<void> StagingLease::queue_download(CUdeviceptr src, uint64_t bytes, drv::CUstream stream, StagingDrain drain) {
    return each_piece(bytes, stream, [&](int i, uint64_t offset, uint64_t piece) {
        auto s = step(drv::cuMemcpyDtoHAsync(res_->chunk[i], src + offset, piece, stream),
                      "Failed to copy data from GPU: ");
        if (s) {
            // Drained into the caller's memory once the chunk is claimed again.
            res_->drain_due[i] = true;
            res_->drain_offset[i] = offset;
            res_->drain_bytes[i] = piece;
            res_->drain[i] = drain;
        }
        return s;
    });
}

Result<void> StagingLease::claim_all(bool downloads_only) {
    // Oldest first: the chunk after the last one used is the one used longest ago.
    for (int n = 0; n < kStagingChunks; ++n) {
        const int i = (next_ + n) % kStagingChunks;
        if (!downloads_only || res_->drain_due[i])
            if (auto s = claim(i); !s) return s;
    }
    return ok();
}

Result<void> StagingLease::download(CUdeviceptr src, uint64_t bytes, drv::CUstream stream, StagingDrain drain) {
    if (auto queued = queue_download(src, bytes, stream, drain); !queued) return queued;
    return claim_all(true);
}

Result<void> StagingLease::record(int mark, drv::CUstream stream) {
    clean_ = false;
    return step(drv::cuEventRecord(res_->marks[mark], stream), "Failed to record a transfer: ");
}

Result<void> StagingLease::wait(drv::CUstream stream, int mark) {
    clean_ = false;
    return step(drv::cuStreamWaitEvent(stream, res_->marks[mark], 0), "Failed to order a transfer: ");
}

Result<void> StagingLease::finish() {
    if (auto s = claim_all(false); !s) return s;
    clean_ = true;
    return ok();
}

}  // namespace vant::rt

// Process-wide cache of device allocations for the GEMM routes. A block handed back is kept for
// the next request of (nearly) the same size instead of being freed, so a repeated product of
// one shape makes no cuMemAlloc or cuMemFree. The cache is bounded: at most pool_cache_limit()
// bytes are kept (least recently used blocks are freed first), and when the driver refuses an
// allocation every cached block is freed and the allocation is tried once more.
//
// A cached block keeps whatever its last user wrote; every route writes its outputs in full
// before reading them, so reuse never changes a result. Blocks belong to the core's context and
// live until the process ends or the cache gives them back. Blocks of a context that another
// library reset are forgotten, never freed: the driver freed them with the context.
#pragma once

#include <cstdint>
#include <utility>

#include "../common/result.hpp"
#include "cuda_core.hpp"

namespace vant::rt {

using drv::CUdeviceptr;

// Move-only lease of one pooled block of at least `bytes()` bytes; returns it to the cache when
// destroyed or reset.
class PooledBuffer {
public:
    PooledBuffer() = default;
    PooledBuffer(CUdeviceptr ptr, uint64_t bytes, uint64_t capacity, uint64_t generation) noexcept
        : ptr_(ptr), bytes_(bytes), capacity_(capacity), generation_(generation) {}
    PooledBuffer(const PooledBuffer&) = delete;
    PooledBuffer& operator=(const PooledBuffer&) = delete;
    PooledBuffer(PooledBuffer&& o) noexcept
        : ptr_(std::exchange(o.ptr_, 0)), bytes_(std::exchange(o.bytes_, 0)),
          capacity_(std::exchange(o.capacity_, 0)), generation_(o.generation_) {}
    PooledBuffer& operator=(PooledBuffer&& o) noexcept;
    ~PooledBuffer() { reset(); }

    CUdeviceptr ptr() const noexcept { return ptr_; }
    uint64_t bytes() const noexcept { return bytes_; }  // as requested
    bool empty() const noexcept { return ptr_ == 0; }
    // Hands the block back to the cache.
    void reset() noexcept;
    // Frees the block to the driver instead of caching it (after a failure that may have left
    // device work touching it).
    void discard() noexcept;

private:
    CUdeviceptr ptr_ = 0;
    uint64_t bytes_ = 0;
    uint64_t capacity_ = 0;  // size of the driver allocation
    uint64_t generation_ = 0;  // of the core it was allocated for (see generation_alive)
};

// A block of n elements of elem_bytes each, on the calling thread's current context (the core's).
// The error is the bare driver status text, or the 4 GiB refusal of allocate(); a zero-byte
// request goes to the driver unchanged and its status decides, as for allocate().
Result<PooledBuffer> pool_allocate(uint64_t n, uint64_t elem_bytes = 4);

// Bytes the cache keeps at most: 1 GiB, or VANTBLAS_POOL_CACHE_BYTES when set (read once).
uint64_t pool_cache_limit() noexcept;

// Frees every cached block to the driver (status ignored).
void pool_trim() noexcept;

struct PoolStats {
    uint64_t cached_blocks = 0;
    uint64_t cached_bytes = 0;
    uint64_t blocks_in_use = 0;
};
PoolStats pool_stats() noexcept;

}  // namespace vant::rt

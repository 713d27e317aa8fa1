#include "memory_pool.hpp"

#include <cstdlib>
#include <list>
#include <mutex>
#include <vector>

#include "common/env_number.hpp"
#include "device_buffer.hpp"

namespace vant::rt {
namespace {

constexpr uint64_t kDefaultCacheBytes = uint64_t{1} << 30;

struct Block {
    CUdeviceptr ptr;
    uint64_t capacity;
    uint64_t generation;  // of the core whose context holds it
};

struct Pool {
    std::mutex lock;
    std::list<Block> cached;  // most recently returned first
    uint64_t cached_bytes = 0;
    uint64_t in_use = 0;
};

Pool& pool() {
    static Pool* p = new Pool;  // never destroyed: blocks may be returned during exit
    return *p;
}

void free_blocks(const std::vector<Block>& blocks) noexcept {
    if (blocks.empty()) return;
    // Freeing needs the core's context current on this thread (see DeviceBuffer::reset); blocks
    // of a context that was reset are forgotten instead.
    ContextScope scope = release_scope();
    for (const Block& b : blocks)
        if (generation_alive(b.generation)) drv::cuMemFree(b.ptr);
}

// Forgets cached blocks of an older core (their context was reset; the driver freed them).
void drop_stale(Pool& p, uint64_t generation) {
    for (auto it = p.cached.begin(); it != p.cached.end();) {
        if (it->generation == generation) {
            ++it;
            continue;
        }
        p.cached_bytes -= it->capacity;
        it = p.cached.erase(it);
    }
}

// Takes every cached block out of the cache (the caller frees them outside the lock).
std::vector<Block> take_all(Pool& p) {
    std::vector<Block> out(p.cached.begin(), p.cached.end());
    p.cached.clear();
    p.cached_bytes = 0;
    return out;
}

// A cached block that serves `bytes` without wasting more than an eighth of it: the smallest fit.
bool take_cached(Pool& p, uint64_t bytes, Block* out) {
    auto best = p.cached.end();
    for (auto it = p.cached.begin(); it != p.cached.end(); ++it) {
        if (it->capacity < bytes || it->capacity - bytes > bytes / 8) continue;
        if (best == p.cached.end() || it->capacity < best->capacity) best = it;
    }
    if (best == p.cached.end()) return false;
    *out = *best;
    p.cached_bytes -= best->capacity;
    p.cached.erase(best);
    return true;
}

void give_back(CUdeviceptr ptr, uint64_t capacity, uint64_t generation, bool cache) noexcept {
    Pool& p = pool();
    std::vector<Block> evicted;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        --p.in_use;
        const uint64_t limit = pool_cache_limit();
        if (!cache || capacity > limit || generation != core_generation()) {
            evicted.push_back({ptr, capacity, generation});
        } else {
            p.cached.push_front({ptr, capacity, generation});
            p.cached_bytes += capacity;
            while (p.cached_bytes > limit) {
                evicted.push_back(p.cached.back());
                p.cached_bytes -= p.cached.back().capacity;
                p.cached.pop_back();
            }
        }
    }
    free_blocks(evicted);
}

}  // namespace

PooledBuffer& PooledBuffer::operator=(PooledBuffer&& o) noexcept {
    if (this != &o) {
        reset();
        ptr_ = std::exchange(o.ptr_, 0);
        bytes_ = std::exchange(o.bytes_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
        generation_ = o.generation_;
    }
    return *this;
}

void PooledBuffer::reset() noexcept {
    if (ptr_ == 0) return;
    give_back(std::exchange(ptr_, 0), std::exchange(capacity_, 0), generation_, true);
    bytes_ = 0;
}

void PooledBuffer::discard() noexcept {
    if (ptr_ == 0) return;
    give_back(std::exchange(ptr_, 0), std::exchange(capacity_, 0), generation_, false);
    bytes_ = 0;
}

uint64_t pool_cache_limit() noexcept {
    static const uint64_t limit =
        read_env_decimal("VANTBLAS_POOL_CACHE_BYTES", "the default of 1 GiB").value_or(kDefaultCacheBytes);
    return limit;
}

Result<PooledBuffer> pool_allocate(uint64_t n, uint64_t elem_bytes) {
    if (!fits_byte_count(n, elem_bytes))
        return err(std::to_string(n) + " elements of " + std::to_string(elem_bytes) +
                   " bytes exceed the 4 GiB limit of a device buffer");
    const uint64_t bytes = n * elem_bytes;
    Pool& p = pool();
    const uint64_t generation = core_generation();
    if (bytes != 0) {
        std::lock_guard<std::mutex> guard(p.lock);
        drop_stale(p, generation);
        Block b;
        if (take_cached(p, bytes, &b)) {
            ++p.in_use;
            return PooledBuffer(b.ptr, bytes, b.capacity, b.generation);
        }
    }
    CUdeviceptr ptr = 0;
    CUresult status = drv::cuMemAlloc(&ptr, static_cast<uint32_t>(bytes));
    if (status != drv::CUDA_SUCCESS) {
        std::vector<Block> cached;
        {
            std::lock_guard<std::mutex> guard(p.lock);
            cached = take_all(p);
        }
        // Cached blocks may be what stands between this request and the device's memory: give
        // them back and try once more. With nothing cached a retry would only repeat the failure.
        if (cached.empty() || bytes == 0) {
            std::lock_guard<std::mutex> guard(p.lock);
            for (const Block& b : cached) {  // nothing was freed: keep them
                p.cached.push_back(b);
                p.cached_bytes += b.capacity;
            }
            return err(cuda_status_text(status));
        }
        free_blocks(cached);
        ptr = 0;
        status = drv::cuMemAlloc(&ptr, static_cast<uint32_t>(bytes));
        if (status != drv::CUDA_SUCCESS) return err(cuda_status_text(status));
    }
    {
        std::lock_guard<std::mutex> guard(p.lock);
        ++p.in_use;
    }
    return PooledBuffer(ptr, bytes, bytes, generation);
}

void pool_trim() noexcept {
    Pool& p = pool();
    std::vector<Block> cached;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        cached = take_all(p);
    }
    free_blocks(cached);
}

PoolStats pool_stats() noexcept {
    Pool& p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    return {static_cast<uint64_t>(p.cached.size()), p.cached_bytes, p.in_use};
}

}  // namespace vant::rt

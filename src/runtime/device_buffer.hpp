// Device allocations of float32 (or half) elements, each owned by exactly one host object.
// Byte counts handed to the driver fit 32 bits, so a buffer holds fewer than 2^30 floats; larger
// requests are refused with a message instead of wrapping around.
#pragma once

#include <cstdint>
#include <utility>

#include "../common/host_buffer.hpp"
#include "../common/result.hpp"
#include "cuda_core.hpp"

namespace vant::rt {

using drv::CUdeviceptr;

// Move-only owner of one device allocation; frees it (status ignored) when destroyed.
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    // An allocation made now, in the current core's generation.
    DeviceBuffer(CUdeviceptr ptr, uint64_t len) noexcept : ptr_(ptr), len_(len), generation_(core_generation()) {}
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& o) noexcept
        : ptr_(std::exchange(o.ptr_, 0)), len_(std::exchange(o.len_, 0)), generation_(o.generation_) {}
    DeviceBuffer& operator=(DeviceBuffer&& o) noexcept;
    ~DeviceBuffer() { reset(); }

    CUdeviceptr ptr() const noexcept { return ptr_; }
    uint64_t len() const noexcept { return len_; }  // elements
    bool empty() const noexcept { return ptr_ == 0; }
    // False once the context the allocation was made in has been reset by someone else: the
    // address may then belong to another allocation and must not be used.
    bool valid() const noexcept { return generation_alive(generation_); }
    // Frees the allocation now (status ignored). The core's context is made current around the
    // call, so a buffer dropped on a thread other than the one that created it is still freed and
    // the thread's own context is left as it was. An allocation of a context that was reset is
    // forgotten, never freed: its address may belong to someone else by now.
    void reset() noexcept;
    // Gives up ownership without freeing.
    CUdeviceptr release_ownership() noexcept { len_ = 0; return std::exchange(ptr_, 0); }

private:
    CUdeviceptr ptr_ = 0;
    uint64_t len_ = 0;
    uint64_t generation_ = 0;
};

// Whether elements x elem_bytes fits the 32-bit byte counts handed to the driver.
bool fits_byte_count(uint64_t elements, uint64_t elem_bytes) noexcept;

// Gets the core, makes its context current (for the call), allocates n floats and copies them up. A failed
// copy frees the new allocation; counts of 2^30 floats and more are refused.
// Messages: "Failed to get CUDA core: ", "Failed to set CUDA context: ",
// "Failed to allocate CUDA memory: ", "Failed to copy data to GPU: " (+ text).
Result<DeviceBuffer> upload(const float* host, uint64_t n);

// cuMemAlloc of n elements of elem_bytes each, on the calling thread's current context; the
// error is the bare status text (or the size refusal), so callers add their own prefix
// ("Failed to allocate output: ", ...).
Result<DeviceBuffer> allocate(uint64_t n, uint64_t elem_bytes = 4);

// Synchronises the core's stream and copies rows x cols floats back into a new host buffer; the
// device buffer is released after a successful copy (on failure it stays with the caller).
// rows x cols must not exceed the buffer's length.
// Messages: "Failed to get CUDA core: ", "Failed to set CUDA context: ",
// "Failed to synchronize stream: ", "Failed to copy data from GPU: " (+ text).
Result<HostBuffer> download(DeviceBuffer& buffer, uint64_t rows, uint64_t cols, uint64_t ordinal);

// Frees a buffer now (status ignored).
inline void release(DeviceBuffer& buffer) noexcept { buffer.reset(); }

}  // namespace vant::rt

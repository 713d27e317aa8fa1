#include "device_buffer.hpp"

#include <limits>
#include <string>

namespace vant::rt {

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& o) noexcept {
    if (this != &o) {
        reset();
        ptr_ = std::exchange(o.ptr_, 0);
        len_ = std::exchange(o.len_, 0);
        generation_ = o.generation_;
    }
    return *this;
}

void DeviceBuffer::reset() noexcept {
    if (ptr_ == 0) return;
    // Every allocation of the module belongs to the core's context; freeing needs it current on
    // this thread, which is not so when an owner is destroyed on a thread that never used the GPU.
    if (generation_alive(generation_)) {
        ContextScope scope = release_scope();
        drv::cuMemFree(ptr_);
    }
    ptr_ = 0;
    len_ = 0;
}

bool fits_byte_count(uint64_t elements, uint64_t elem_bytes) noexcept {
    uint64_t bytes;
    return checked_mul(elements, elem_bytes, &bytes) && bytes <= std::numeric_limits<uint32_t>::max();
}

namespace {

std::string too_large(uint64_t n, uint64_t elem_bytes) {
    return std::to_string(n) + " elements of " + std::to_string(elem_bytes) +
           " bytes exceed the 4 GiB limit of a device buffer";
}
}  // namespace

Result<DeviceBuffer> allocate(uint64_t n, uint64_t elem_bytes) {
    if (!fits_byte_count(n, elem_bytes)) return err(too_large(n, elem_bytes));
    const auto bytes = static_cast<uint32_t>(n * elem_bytes);
    CUdeviceptr ptr = 0;
    CUresult status = drv::cuMemAlloc(&ptr, bytes);
    if (status != drv::CUDA_SUCCESS) return err(cuda_status_text(status));
    return DeviceBuffer(ptr, n);
}

Result<DeviceBuffer> upload(const float* host, uint64_t n) {
    auto core = current_core(0);
    if (!core) return std::move(core).take_error();

    auto buffer = allocate(n, sizeof(float));
    if (!buffer) return err("Failed to allocate CUDA memory: " + buffer.error());
    const auto bytes = static_cast<uint32_t>(n * sizeof(float));
    CUresult status = drv::cuMemcpyHtoD(buffer->ptr(), host, bytes);
    // On failure the new allocation is freed with `buffer`.
    if (status != drv::CUDA_SUCCESS) return err("Failed to copy data to GPU: " + cuda_status_text(status));
    return std::move(buffer).value();
}

Result<HostBuffer> download(DeviceBuffer& buffer, uint64_t rows, uint64_t cols, uint64_t ordinal) {
    auto core = current_core(ordinal);
    if (!core) return std::move(core).take_error();

    CUresult status = drv::cuStreamSynchronize(core.value()->stream);
    if (status != drv::CUDA_SUCCESS) return err("Failed to synchronize stream: " + cuda_status_text(status));

    uint64_t n = 0;
    if (!checked_mul(rows, cols, &n) || !fits_byte_count(n, sizeof(float)))
        return err("Failed to copy data from GPU: " + std::to_string(rows) + " x " + std::to_string(cols) +
                   " elements exceed the 4 GiB limit of a device buffer");
    // Reading past the allocation would hand back whatever lies beyond it.
    if (n > buffer.len())
        return err("Failed to copy data from GPU: " + std::to_string(rows) + " x " + std::to_string(cols) +
                   " elements requested from a buffer of " + std::to_string(buffer.len()));
    auto host = HostBuffer::uninit(n);  // the copy writes every element
    if (!host) return err("Failed to allocate host memory for " + std::to_string(n) + " floats");

    status = drv::cuMemcpyDtoH(host->data(), buffer.ptr(), static_cast<uint32_t>(n * sizeof(float)));
    if (status != drv::CUDA_SUCCESS) return err("Failed to copy data from GPU: " + cuda_status_text(status));
    buffer.reset();
    return std::move(host).value();
}

}  // namespace vant::rt

#include "resident.hpp"

namespace vant::py {

std::string device_limit_error(const char* what, uint64_t count) {
    if (count <= kMaxDeviceFloats) return {};
    return std::string(what) + " needs " + std::to_string(count) +
           " floats, more than a device buffer can hold (at most 2^30 - 1 floats: byte counts are 32-bit)";
}

uint64_t element_count(uint64_t rows, uint64_t cols) noexcept {
    uint64_t n;
    return checked_mul(rows, cols, &n) ? n : UINT64_MAX;
}

Result<rt::CudaCore*> core_for(uint64_t device_id) {
    Result<rt::CudaCore*> core = rt::get_cuda_core(device_id);
    if (!core) return err("Failed to get CUDA core: " + core.error());
    return core;
}

Result<rt::CudaCore*> current_core(uint64_t device_id) {
    Result<rt::CudaCore*> core = core_for(device_id);
    if (!core) return core;
    if (Result<void> cur = rt::make_current(**core); !cur) return std::move(cur).take_error();
    return core;
}

Result<rt::DeviceBuffer> allocate_and_copy(const float* host, uint64_t count, const char* alloc_prefix,
                                           const char* copy_prefix) {
    Result<rt::DeviceBuffer> buffer = rt::allocate(count);
    if (!buffer) return err(alloc_prefix + buffer.error());
    drv::CUresult status = drv::cuMemcpyHtoD(buffer->ptr(), host, static_cast<size_t>(count) * 4);
    if (status != drv::CUDA_SUCCESS) return err(copy_prefix + rt::cuda_status_text(status));
    return buffer;
}

}  // namespace vant::py

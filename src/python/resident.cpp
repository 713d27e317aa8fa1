#include "resident.hpp"

#include <string>

#include "binding.hpp"

namespace vant::py {

bool within_device_limit(const char* what, uint64_t count) {
    if (rt::fits_byte_count(count, sizeof(float))) return true;
    raise_runtime(std::string(what) + " needs " + std::to_string(count) +
                  " floats, more than a device buffer can hold (at most 2^30 - 1 floats: byte counts are 32-bit)");
    return false;
}

uint64_t element_count(uint64_t rows, uint64_t cols) noexcept {
    uint64_t n;
    return checked_mul(rows, cols, &n) ? n : UINT64_MAX;
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

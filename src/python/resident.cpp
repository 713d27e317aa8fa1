#include "resident.hpp"

namespace vant::py {

std::string device_limit_error(const char* what, uint64_t count) {
    if (count <= kMaxDeviceFloats) return {};
    return std::string(what) + " needs " + std::to_string(count) +
           " floats, more than a device buffer can hold (at most 2^30 - 1 floats: byte counts are 32-bit)";
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

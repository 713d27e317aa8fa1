// Helpers shared by the GPU-resident classes and the chained GEMM.
#pragma once

#include <cstdint>
#include <string>

#include "common/views.hpp"
#include "runtime/device_buffer.hpp"

namespace vant::py {

// Device buffers carry 32-bit byte counts, so one holds at most this many floats.
inline constexpr uint64_t kMaxDeviceFloats = (uint64_t{1} << 30) - 1;

// "" when a buffer of `count` floats fits the 32-bit byte counts, else the refusal text naming
// the limit.
std::string device_limit_error(const char* what, uint64_t count);

// Allocates `count` floats and copies the host data up; messages prefixed with
// alloc_prefix / copy_prefix + the driver's status text. The buffer is freed on a failed copy.
Result<rt::DeviceBuffer> allocate_and_copy(const float* host, uint64_t count, const char* alloc_prefix,
                                           const char* copy_prefix);

}  // namespace vant::py

// Helpers shared by the GPU-resident classes.
#pragma once

#include <cstdint>

#include "common/views.hpp"
#include "runtime/device_buffer.hpp"

namespace vant::py {

// True when a buffer of `count` floats fits the 32-bit byte counts of a device buffer; otherwise
// false with RuntimeError "<what> needs <count> floats, more than a device buffer can hold ..." set.
bool within_device_limit(const char* what, uint64_t count);

// rows x cols, saturated at UINT64_MAX (which no device buffer can hold) instead of wrapping.
uint64_t element_count(uint64_t rows, uint64_t cols) noexcept;

// Allocates `count` floats and copies the host data up; messages prefixed with
// alloc_prefix / copy_prefix + the driver's status text. The buffer is freed on a failed copy.
Result<rt::DeviceBuffer> allocate_and_copy(const float* host, uint64_t count, const char* alloc_prefix,
                                           const char* copy_prefix);

}  // namespace vant::py

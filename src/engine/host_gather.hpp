// Copies between strided NumPy views and contiguous row-major staging memory, a range of
// elements at a time, so that an operand can be gathered straight into fixed-size transfer
// chunks. Large ranges are split across the CPU thread pool; the split never changes a value.
#pragma once

#include <cstdint>

#include "../common/views.hpp"

namespace vant::engine {

// Elements [first, first + count) of the row-major image of `v` (element e is v(e / cols,
// e % cols)) written contiguously to `out`. When `max_abs` is given it receives the largest
// finite |x| of the range (0 when there is none), for callers that scale an operand by it.
void gather_range(const MatView& v, uint64_t first, uint64_t count, float* out, float* max_abs = nullptr);

// memcpy of `bytes` bytes, split across the thread pool when large.
void copy_bytes(void* dst, const void* src, uint64_t bytes);

}  // namespace vant::engine

// The range scan built for AVX2; max_finite_magnitude chooses it at run time.
#include <cstdint>
#include <cstring>

#include "half_range.hpp"

namespace vant::engine {

#include "half_range_scan.inc"

namespace detail {
float max_finite_magnitude_avx2(const float* data, uint64_t n) noexcept { return scan_finite_magnitude(data, n); }
}  // namespace detail

}  // namespace vant::engine

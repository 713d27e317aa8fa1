#include "half_range.hpp"

#include <cfloat>
#include <cmath>

namespace vant::engine {

float max_finite_magnitude(const float* data, uint64_t n) noexcept {
    // Four running maxima so the loop vectorises; a NaN fails both comparisons and an infinity
    // the first, so neither is ever taken.
    float m[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int j = 0; j < 4; ++j) {
            const float a = std::fabs(data[i + j]);
            m[j] = (a <= FLT_MAX && a > m[j]) ? a : m[j];
        }
    for (; i < n; ++i) {
        const float a = std::fabs(data[i]);
        m[0] = (a <= FLT_MAX && a > m[0]) ? a : m[0];
    }
    return std::fmax(std::fmax(m[0], m[1]), std::fmax(m[2], m[3]));
}

int half_scale_exponent(float max) noexcept {
    if (!(max > 0.0f) || !(max <= FLT_MAX)) return 0;
    const int s = 14 - std::ilogb(max);
    return s > 126 ? 126 : s;
}

bool fits_half_unscaled(float max) noexcept {
    return max == 0.0f || (max >= 0x1p-14f && max <= 65504.0f);
}

PowerOfTwo power_of_two(int e) noexcept {
    const int half = e / 2;  // toward zero: |half| <= |e - half|
    return {std::ldexp(1.0f, half), std::ldexp(1.0f, e - half)};
}

}  // namespace vant::engine

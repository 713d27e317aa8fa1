#include "half_range.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace vant::engine {

float max_finite_magnitude(const float* data, uint64_t n) noexcept {
    // On the bit patterns: |x| is x without its sign bit, finite below 0x7f800000, and for
    // non-negative floats the integer order is the float order. Integer compares raise no
    // floating-point flags, so the compiler may select without branches, and sixteen independent
    // running maxima let the loop run as a few vector registers.
    constexpr int kLanes = 16;
    constexpr int32_t kMagnitude = 0x7fffffff, kInfinity = 0x7f800000;
    int32_t m[kLanes] = {};
    uint64_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int j = 0; j < kLanes; ++j) {
            int32_t b;
            std::memcpy(&b, data + i + j, sizeof b);
            b &= kMagnitude;
            b = b < kInfinity ? b : 0;
            m[j] = b > m[j] ? b : m[j];
        }
    for (; i < n; ++i) {
        int32_t b;
        std::memcpy(&b, data + i, sizeof b);
        b &= kMagnitude;
        b = b < kInfinity ? b : 0;
        m[0] = b > m[0] ? b : m[0];
    }
    for (int j = 1; j < kLanes; ++j) m[0] = m[j] > m[0] ? m[j] : m[0];
    float largest;
    std::memcpy(&largest, &m[0], sizeof largest);
    return largest;
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

#include "half_range.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace vant::engine {

float max_finite_magnitude(const float* data, uint64_t n) noexcept {
    // On the bit patterns: |x| is x without its sign bit, and for non-negative floats the integer
    // order is the float order. Adding 2^23 moves every finite |x| into [2^23, 2^31) and every
    // infinity and NaN (from 0x7f800000 up) past 2^31, where it reads as a negative int32: a signed
    // maximum started at 2^23 then ignores them by itself. Integer compares raise no floating-point
    // flags, so the compiler selects without branches, and sixteen independent running maxima let
    // the loop run as a few vector registers.
    constexpr int kLanes = 16;
    constexpr uint32_t kMagnitude = 0x7fffffffu, kShift = 0x00800000u;
    auto shifted = [data](uint64_t i) {
        uint32_t b;
        std::memcpy(&b, data + i, sizeof b);
        return static_cast<int32_t>((b & kMagnitude) + kShift);
    };
    int32_t m[kLanes];
    for (int32_t& lane : m) lane = static_cast<int32_t>(kShift);
    uint64_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int j = 0; j < kLanes; ++j) {
            const int32_t t = shifted(i + j);
            m[j] = t > m[j] ? t : m[j];
        }
    for (; i < n; ++i) {
        const int32_t t = shifted(i);
        m[0] = t > m[0] ? t : m[0];
    }
    for (int j = 1; j < kLanes; ++j) m[0] = m[j] > m[0] ? m[j] : m[0];
    const uint32_t bits = static_cast<uint32_t>(m[0]) - kShift;
    float largest;
    std::memcpy(&largest, &bits, sizeof largest);
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

// Keeping a float32 operand inside half-precision range on the tensor-core route.
//
// Each operand of a half-precision product is scaled by a power of two chosen from its largest
// finite magnitude, so that no finite element becomes an infinity and the operand is not flushed
// to zero as a whole; the product is scaled back by the inverse powers in float32. Powers of two
// change no significand bits, so the only roundings are the one to half and the accumulation.
#pragma once

#include <cstdint>

namespace vant::engine {

// The largest |x| over the finite elements of n contiguous floats (NaN and infinities ignored);
// 0 when there is none. One pass, meant to run where the operand is gathered anyway.
float max_finite_magnitude(const float* data, uint64_t n) noexcept;
namespace detail {
// The same, built for AVX2 (only to be called where the processor has it).
float max_finite_magnitude_avx2(const float* data, uint64_t n) noexcept;
}  // namespace detail

// Largest finite magnitudes of the two operands of one product.
struct OperandRange {
    float a_max = 0.0f;
    float b_max = 0.0f;
};

// Exponent s of the scale 2^s for an operand whose largest finite magnitude is `max`: the largest
// element lands in [2^14, 2^15), half the way up the half-precision range (65504), so nothing
// overflows and as few small elements as possible fall below half's smallest normal 2^-14. Capped
// at 126 (operands below 2^-112), where every float32 element already lands at 2^-23 or more.
// 0 for an operand without a nonzero finite element.
int half_scale_exponent(float max) noexcept;

// True when the operand can be rounded to half without scaling: its largest finite magnitude is
// at most 65504 and, unless it is 0, at least 2^-14 (below that the whole operand would be
// subnormal or zero in half).
bool fits_half_unscaled(float max) noexcept;

// 2^e as two float32 factors (2^(e/2), 2^(e - e/2)) for |e| up to 252: each factor is a normal
// float32, and multiplying by the first and then the second never leaves the float32 range before
// the final value does (the first has the smaller magnitude of exponent).
struct PowerOfTwo {
    float first;
    float second;
};
PowerOfTwo power_of_two(int e) noexcept;

}  // namespace vant::engine

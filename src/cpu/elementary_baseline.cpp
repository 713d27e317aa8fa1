// tanhf with the C runtime's bits, 4 lanes at a time (see elementary.inc).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu/elementary_functions.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace vant::cpu::detail {
namespace {

#define VANT_SPECIAL_EXP 0
constexpr int W = 4;
// Types of the blocks, needed by the mask tests below (elementary.inc uses the same ones).
typedef int32_t mask32 __attribute__((vector_size(4 * W)));
typedef int64_t mask64 __attribute__((vector_size(4 * W)));  // W / 2 lanes
#if defined(__x86_64__) || defined(_M_X64)
inline unsigned lane_bits32(mask32 m) { return static_cast<unsigned>(_mm_movemask_ps(__builtin_bit_cast(__m128, m))); }
inline unsigned lane_bits64(mask64 m) { return static_cast<unsigned>(_mm_movemask_pd(__builtin_bit_cast(__m128d, m))); }
#else
inline unsigned lane_bits32(mask32 m) {
    return (m[0] ? 1u : 0u) | (m[1] ? 2u : 0u) | (m[2] ? 4u : 0u) | (m[3] ? 8u : 0u);
}
inline unsigned lane_bits64(mask64 m) { return (m[0] ? 1u : 0u) | (m[1] ? 2u : 0u); }
#endif

#include "cpu/elementary.inc"

}  // namespace

const SpecialSet* special_baseline() {
    // The C runtime's scalar expf (about 2 ns a call with fused multiply-adds) is as fast as this
    // unit's vectors would be: no vector version.
    static const SpecialSet set{"baseline", nullptr, tanh_many};
    return &set;
}

}  // namespace vant::cpu::detail

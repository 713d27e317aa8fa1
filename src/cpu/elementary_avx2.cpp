// tanhf with the C runtime's bits, 8 lanes at a time (see elementary.inc).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu/elementary_functions.hpp"

#include <immintrin.h>

namespace vant::cpu::detail {
namespace {

#define VANT_SPECIAL_EXP 0
constexpr int W = 8;
typedef int32_t mask32 __attribute__((vector_size(4 * W)));
typedef int64_t mask64 __attribute__((vector_size(4 * W)));  // W / 2 lanes
inline unsigned lane_bits32(mask32 m) { return static_cast<unsigned>(_mm256_movemask_ps(__builtin_bit_cast(__m256, m))); }
inline unsigned lane_bits64(mask64 m) { return static_cast<unsigned>(_mm256_movemask_pd(__builtin_bit_cast(__m256d, m))); }

#include "cpu/elementary.inc"

}  // namespace

const SpecialSet* special_avx2() {
    // The C runtime's scalar expf (about 2 ns a call with fused multiply-adds) is as fast as this
    // unit's vectors would be: no vector version.
    static const SpecialSet set{"avx2", nullptr, tanh_many};
    return &set;
}

}  // namespace vant::cpu::detail

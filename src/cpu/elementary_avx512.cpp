// tanhf and expf with the C runtime's bits, 16 lanes at a time (see elementary.inc).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu/elementary_functions.hpp"

#include <immintrin.h>

namespace vant::cpu::detail {
namespace {

#define VANT_SPECIAL_EXP 1
constexpr int W = 16;
typedef int32_t mask32 __attribute__((vector_size(4 * W)));
typedef int64_t mask64 __attribute__((vector_size(4 * W)));  // W / 2 lanes
inline unsigned lane_bits32(mask32 m) { return _mm512_movepi32_mask(__builtin_bit_cast(__m512i, m)); }
inline unsigned lane_bits64(mask64 m) { return _mm512_movepi64_mask(__builtin_bit_cast(__m512i, m)); }

#include "cpu/elementary.inc"

}  // namespace

const SpecialSet* special_avx512() {
    static const SpecialSet set{"avx512", exp_many, tanh_many};
    return &set;
}

}  // namespace vant::cpu::detail

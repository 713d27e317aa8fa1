// 512-bit path; this unit is compiled with the AVX-512 flags (never contraction into fused
// multiply-adds) and only entered after a run-time check of the processor.
#include <cstring>

#include "cpu/isa_kernels.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace vant::cpu {
namespace {

struct Vec {
    using T = __m512;
    static constexpr int L = 16;
    static T zero() { return _mm512_setzero_ps(); }
    static T load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, T v) { _mm512_storeu_ps(p, v); }
    static T bcast(float x) { return _mm512_set1_ps(x); }
    static T mul(T a, T b) { return _mm512_mul_ps(a, b); }
    static T add(T a, T b) { return _mm512_add_ps(a, b); }
    static T step(T acc, T a, T b) { return add(acc, mul(a, b)); }
};

#include "cpu/tile_kernel.inc"

}  // namespace

// 12 rows of one 16-lane vector. Measured on a 2-core AMD EPYC (AVX-512 executed as two 256-bit
// halves), 1024^3, one thread: 12 x 16 93 GFLOP/s, 16 x 16 and 24 x 16 91, 4 x 64 81, and every
// two-vector-wide shape (6, 8, 12 or 14 rows x 32) 66-67. On cores with full-width units the
// 12 x 16 tile still keeps 24 independent multiplies and adds in flight per k.
const KernelSet* kernels_avx512() {
    static const KernelSet ks{"avx512", 12, 16, &tile_kernel<12, 1>};
    return &ks;
}

}  // namespace vant::cpu
#else
namespace vant::cpu {
const KernelSet* kernels_avx512() { return nullptr; }
}  // namespace vant::cpu
#endif

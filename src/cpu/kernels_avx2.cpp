// 256-bit path; this unit is compiled with -mavx2 (never -mfma) and only entered after a run-time
// check of the processor.
#include <cstring>

#include "cpu/isa_kernels.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace vant::cpu {
namespace {

struct Vec {
    using T = __m256;
    static constexpr int L = 8;
    static T zero() { return _mm256_setzero_ps(); }
    static T load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
    static T bcast(float x) { return _mm256_set1_ps(x); }
    static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
    static T add(T a, T b) { return _mm256_add_ps(a, b); }
    static T step(T acc, T a, T b) { return add(acc, mul(a, b)); }
};

#include "cpu/tile_kernel.inc"

}  // namespace

const KernelSet* kernels_avx2() {
    static const KernelSet ks{"avx2", 6, 16, &tile_kernel<6, 2>};
    return &ks;
}

const KernelSet* kernels_avx2_wide_tiles() {
    static const KernelSet ks{"avx2-12x16", 12, 16, &tile_kernel<12, 2>};
    return &ks;
}

}  // namespace vant::cpu
#else
namespace vant::cpu {
const KernelSet* kernels_avx2() { return nullptr; }
const KernelSet* kernels_avx2_wide_tiles() { return nullptr; }
}  // namespace vant::cpu
#endif

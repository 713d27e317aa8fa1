// 256-bit path of the fused arithmetic: each product step is one fused multiply-add, written
// explicitly. This unit is compiled with -mavx2 -mfma and entered only after a run-time check
// of both.
#include <cstring>

#include "cpu/isa_kernels.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace vant::cpu::fused {
namespace {

struct Vec {
    using T = __m256;
    static constexpr int L = 8;
    static T zero() { return _mm256_setzero_ps(); }
    static T load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
    static T bcast(float x) { return _mm256_set1_ps(x); }
    static T step(T acc, T a, T b) { return _mm256_fmadd_ps(a, b, acc); }
};

#include "cpu/tile_kernel.inc"

}  // namespace
}  // namespace vant::cpu::fused

namespace vant::cpu {

const KernelSet* kernels_avx2_fused() {
    static const KernelSet ks{"avx2-fused", 6, 16, &fused::tile_kernel<6, 2>};
    return &ks;
}

const KernelSet* kernels_avx2_wide_tiles_fused() {
    static const KernelSet ks{"avx2-12x16-fused", 12, 16, &fused::tile_kernel<12, 2>};
    return &ks;
}

}  // namespace vant::cpu
#else
namespace vant::cpu {
const KernelSet* kernels_avx2_fused() { return nullptr; }
const KernelSet* kernels_avx2_wide_tiles_fused() { return nullptr; }
}  // namespace vant::cpu
#endif

// 512-bit path of the fused arithmetic: each product step is one fused multiply-add, written
// explicitly (the build never contracts on its own). Entered only after a run-time check of the
// processor; AVX-512F carries the fused multiply-add.
#include <cstring>

#include "cpu/isa_kernels.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace vant::cpu::fused {
namespace {

struct Vec {
    using T = __m512;
    static constexpr int L = 16;
    static T zero() { return _mm512_setzero_ps(); }
    static T load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, T v) { _mm512_storeu_ps(p, v); }
    static T bcast(float x) { return _mm512_set1_ps(x); }
    static T step(T acc, T a, T b) { return _mm512_fmadd_ps(a, b, acc); }
};

#include "cpu/tile_kernel.inc"

}  // namespace
}  // namespace vant::cpu::fused

namespace vant::cpu {

// 14 rows of two 16-lane vectors: 28 accumulators, 2 loads and 14 broadcasts per 28 fused
// multiply-adds. On an Intel Xeon with two 512-bit FMA units (one thread, 1024^3, CPU time on a
// busy machine) 108 GFLOP/s against 93-101 for 12 x 16; 8 x 32 and 6 x 32 gave 94-108.
const KernelSet* kernels_avx512_fused() {
    static const KernelSet ks{"avx512-fused", 14, 32, &fused::tile_kernel<14, 2>};
    return &ks;
}

}  // namespace vant::cpu
#else
namespace vant::cpu {
// 14 rows of two 16-lane vectors: 28 accumulators, 2 loads and 14 broadcasts per 28 fused
// multiply-adds. On an Intel Xeon with two 512-bit FMA units (one thread, 1024^3, CPU time on a
// busy machine) 108 GFLOP/s against 93-101 for 12 x 16; 8 x 32 and 6 x 32 gave 94-108.
const KernelSet* kernels_avx512_fused() { return nullptr; }
}  // namespace vant::cpu
#endif

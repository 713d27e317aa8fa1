// The path every machine has: SSE2 on x86-64 (part of the architecture), plain floats elsewhere.
#include <cstring>

#include "cpu/isa_kernels.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define VANT_CPU_SSE2 1
#endif

namespace vant::cpu {
namespace {

#if VANT_CPU_SSE2
struct Vec {
    using T = __m128;
    static constexpr int L = 4;
    static T zero() { return _mm_setzero_ps(); }
    static T load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, T v) { _mm_storeu_ps(p, v); }
    static T bcast(float x) { return _mm_set1_ps(x); }
    static T mul(T a, T b) { return _mm_mul_ps(a, b); }
    static T add(T a, T b) { return _mm_add_ps(a, b); }
    static T step(T acc, T a, T b) { return add(acc, mul(a, b)); }
};
constexpr int kMr = 4, kNv = 2;
#else
struct Vec {
    using T = float;
    static constexpr int L = 1;
    static T zero() { return 0.0f; }
    static T load(const float* p) { return *p; }
    static void store(float* p, T v) { *p = v; }
    static T bcast(float x) { return x; }
    static T mul(T a, T b) { return a * b; }
    static T add(T a, T b) { return a + b; }
    static T step(T acc, T a, T b) { return add(acc, mul(a, b)); }
};
constexpr int kMr = 4, kNv = 4;
#endif

#include "cpu/tile_kernel.inc"

}  // namespace

const KernelSet* kernels_baseline() {
    static const KernelSet ks{VANT_CPU_SSE2 ? "sse2" : "scalar", kMr, kNv * Vec::L,
                              &tile_kernel<kMr, kNv>};
    return &ks;
}

}  // namespace vant::cpu

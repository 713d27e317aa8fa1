// C entry points over the CPU arithmetic for tests and benchmarks (loaded with ctypes). Never part
// of the module: it exists so that the instruction-set path and the thread count can be chosen,
// and the plain loops run, from Python.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <chrono>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

#include "common/panic.hpp"
#include "common/views.hpp"
#include "cpu/cpu_ops.hpp"
#include "cpu/elementary_functions.hpp"

using vant::MatView;
using vant::Tensor3View;
namespace cpu = vant::cpu;

namespace {

// 0 success, 1 index fault, 2 memory, 3 anything else
template <class F>
int guarded(F&& f) {
    try {
        f();
        return 0;
    } catch (const vant::Panic&) {
        return 1;
    } catch (const std::bad_alloc&) {
        return 2;
    } catch (...) {
        return 3;
    }
}

}  // namespace

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

// Arithmetic peak of one thread: 12 independent accumulators, each step acc = acc + a * b, as a
// rounded multiply and a rounded add or as one fused multiply-add, on the given vector type.
// Returns the sum of the accumulators so that nothing is optimised away.
#define VANT_PEAK_LOOP(T, MUL, ADD, FMA, SET1)                                                  \
    T acc[12];                                                                                  \
    T a[12]; /* one factor per accumulator: twelve distinct products per step */                \
    for (int i = 0; i < 12; ++i) {                                                              \
        acc[i] = SET1(1e-3f * static_cast<float>(i));                                           \
        a[i] = SET1(0.9999f - 1e-6f * static_cast<float>(i));                                   \
    }                                                                                           \
    T b = SET1(1e-7f);                                                                          \
    if (fused) {                                                                                \
        for (uint64_t it = 0; it < iters; ++it) {                                               \
            _Pragma("GCC unroll 12") for (int i = 0; i < 12; ++i) acc[i] = FMA(a[i], b, acc[i]);   \
            __asm__ volatile("" : "+v"(b));                                                     \
        }                                                                                       \
    } else {                                                                                    \
        for (uint64_t it = 0; it < iters; ++it) {                                               \
            _Pragma("GCC unroll 12") for (int i = 0; i < 12; ++i) acc[i] = ADD(acc[i], MUL(a[i], b)); \
            __asm__ volatile("" : "+v"(b)); /* the products are computed every step */         \
        }                                                                                       \
    }                                                                                           \
    float out[sizeof(T) / 4], sum = 0;                                                          \
    for (int i = 0; i < 12; ++i) {                                                              \
        std::memcpy(out, &acc[i], sizeof out);                                                  \
        sum += out[0];                                                                          \
    }                                                                                           \
    return sum;

__attribute__((target("avx512f"))) static float peak_avx512(bool fused, uint64_t iters) {
    VANT_PEAK_LOOP(__m512, _mm512_mul_ps, _mm512_add_ps, _mm512_fmadd_ps, _mm512_set1_ps)
}
__attribute__((target("avx2,fma"))) static float peak_avx2(bool fused, uint64_t iters) {
    VANT_PEAK_LOOP(__m256, _mm256_mul_ps, _mm256_add_ps, _mm256_fmadd_ps, _mm256_set1_ps)
}
static __m128 sse_no_fma(__m128 a, __m128 b, __m128 c) { return _mm_add_ps(c, _mm_mul_ps(a, b)); }
static float peak_sse(bool, uint64_t iters) {
    const bool fused = false;  // SSE has no fused multiply-add
    VANT_PEAK_LOOP(__m128, _mm_mul_ps, _mm_add_ps, sse_no_fma, _mm_set1_ps)
}
#endif

extern "C" {

// GFLOP/s (two per multiply-add per lane) of `threads` threads running the peak loop at once on
// the widest vectors this machine has, with separate multiplies and adds (fused 0) or fused
// multiply-adds (fused 1; 0 is returned where the machine has none). lanes receives the vector
// width in floats, per_cpu_second the rate per second of CPU time of one thread (what a core
// gives whatever else runs on the machine).
__attribute__((visibility("default"))) double vc_peak_gflops(int fused, unsigned threads, int* lanes,
                                                            double* per_cpu_second) {
#if defined(__x86_64__) || defined(_M_X64)
    const auto best = cpu::testing::best_isa();
    float (*loop)(bool, uint64_t) = peak_sse;
    *lanes = 4;
    if (best >= cpu::testing::Isa::Avx512) {
        loop = peak_avx512;
        *lanes = 16;
    } else if (best >= cpu::testing::Isa::Avx2 && __builtin_cpu_supports("fma")) {
        loop = peak_avx2;
        *lanes = 8;
    }
    if (fused && loop == peak_sse) return 0.0;
    const uint64_t iters = 20'000'000;
    std::vector<std::thread> pool;
    std::vector<float> sink(threads);
    std::vector<double> cpu_s(threads);
    const auto t0 = std::chrono::steady_clock::now();
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            timespec a, b;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
            sink[t] = loop(fused != 0, iters);
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
            cpu_s[t] = static_cast<double>(b.tv_sec - a.tv_sec) + 1e-9 * static_cast<double>(b.tv_nsec - a.tv_nsec);
        });
    for (auto& th : pool) th.join();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double gflop = 2.0 * 12 * *lanes * static_cast<double>(iters) / 1e9;
    double total_cpu = 0;
    for (double c : cpu_s) total_cpu += c;
    *per_cpu_second = gflop * threads / total_cpu + 0.0 * sink[0];
    return gflop * threads / s;
#else
    (void)fused;
    (void)threads;
    *lanes = 1;
    *per_cpu_second = 0.0;
    return 0.0;
#endif
}


__attribute__((visibility("default"))) int vc_gemm(int plain, const MatView* a, const MatView* b,
                                                   float* c) {
    return guarded([&] { plain ? cpu::reference::gemm(*a, *b, c) : (void)cpu::gemm(*a, *b, c); });
}

__attribute__((visibility("default"))) int vc_gemm_batched(int plain, const Tensor3View* a,
                                                           const Tensor3View* b, float* c) {
    return guarded([&] {
        plain ? cpu::reference::gemm_batched(*a, *b, c) : (void)cpu::gemm_batched(*a, *b, c);
    });
}

__attribute__((visibility("default"))) int vc_attention(int plain, const Tensor3View* q,
                                                        const Tensor3View* k, const Tensor3View* v,
                                                        float scale, float* out) {
    return guarded([&] {
        plain ? cpu::reference::attention(*q, *k, *v, scale, out)
              : (void)cpu::attention(*q, *k, *v, scale, out);
    });
}

__attribute__((visibility("default"))) int vc_linear_gelu(int plain, const MatView* x,
                                                          const MatView* w, const MatView* bias,
                                                          float* out) {
    return guarded([&] {
        plain ? cpu::reference::linear_gelu(*x, *w, bias, out) : (void)cpu::linear_gelu(*x, *w, bias, out);
    });
}

__attribute__((visibility("default"))) int vc_rmsnorm(int plain, const MatView* x, const MatView* w,
                                                      float eps, float* out) {
    return guarded([&] {
        plain ? cpu::reference::rmsnorm(*x, *w, eps, out) : (void)cpu::rmsnorm(*x, *w, eps, out);
    });
}

__attribute__((visibility("default"))) float vc_default_scale(uint64_t d) {
    return cpu::default_attention_scale(d);
}

// Compares the vector expf (which 0) or tanhf (which 1) with the scalar function for the floats
// whose bits are lo, lo + stride, ... up to hi: the versions in `sets` (bit 0 baseline, 1 AVX2,
// 2 AVX-512; those this machine lacks, or without a vector version, are left out), in place. Returns the number of differing
// results (bits, NaN payloads included) and the first offending input's bits.
__attribute__((visibility("default"))) uint64_t vc_special_sweep(int which, uint32_t lo, uint32_t hi,
                                                                 uint32_t stride, int sets,
                                                                 uint32_t* first_bad) {
    namespace d = vant::cpu::detail;
    std::vector<const d::SpecialSet*> use;
    const auto best = cpu::testing::best_isa();
    if (sets & 1) use.push_back(d::special_baseline());
    if ((sets & 2) && best >= cpu::testing::Isa::Avx2) use.push_back(d::special_avx2());
    if ((sets & 4) && best >= cpu::testing::Isa::Avx512) use.push_back(d::special_avx512());
    constexpr size_t kChunk = 8192;
    std::vector<float> x(kChunk), want(kChunk), got(kChunk);
    uint64_t bad = 0;
    uint64_t u = lo;
    while (u <= hi) {
        size_t n = 0;
        for (; n < kChunk && u <= hi; ++n, u += stride) {
            const uint32_t bits = static_cast<uint32_t>(u);
            std::memcpy(&x[n], &bits, 4);
            want[n] = which == 0 ? expf(x[n]) : tanhf(x[n]);
        }
        for (const d::SpecialSet* set : use) {
            if (which == 0 && !set->exp_nonpositive) continue;
            std::memcpy(got.data(), x.data(), n * sizeof(float));
            (which == 0 ? set->exp_nonpositive : set->tanh)(got.data(), got.data(), n);
            for (size_t i = 0; i < n; ++i) {
                if (std::memcmp(&got[i], &want[i], 4) != 0 && bad++ == 0)
                    std::memcpy(first_bad, &x[i], 4);
            }
        }
    }
    return bad;
}

// The versions (bits as in vc_special_sweep) that this machine runs and that carry a vector
// expf (which 0) or tanhf (which 1).
__attribute__((visibility("default"))) int vc_special_sets(int which) {
    namespace d = vant::cpu::detail;
    const d::SpecialSet* sets[] = {d::special_baseline(), d::special_avx2(), d::special_avx512()};
    const int runs = static_cast<int>(cpu::testing::best_isa());  // 1 baseline .. 3 AVX-512
    int mask = 0;
    for (int i = 0; i < 3 && i < runs; ++i)
        if ((which == 0 ? sets[i]->exp_nonpositive : sets[i]->tanh) != nullptr) mask |= 1 << i;
    return mask;
}

// Whether the vector version of the active path passed its first-use check (which as above).
__attribute__((visibility("default"))) int vc_special_checked_ok(int which) {
    return vant::cpu::detail::special_checked_ok(which) ? 1 : 0;
}

__attribute__((visibility("default"))) void vc_set_arithmetic(int fused) {
    cpu::set_arithmetic(fused ? cpu::Arithmetic::Fused : cpu::Arithmetic::Exact);
}
__attribute__((visibility("default"))) int vc_arithmetic() {
    return cpu::arithmetic() == cpu::Arithmetic::Fused ? 1 : 0;
}

__attribute__((visibility("default"))) int vc_force_isa(int isa) {
    return cpu::testing::force_isa(static_cast<cpu::testing::Isa>(isa)) ? 1 : 0;
}
__attribute__((visibility("default"))) int vc_active_isa() {
    return static_cast<int>(cpu::testing::active_isa());
}
__attribute__((visibility("default"))) int vc_best_isa() {
    return static_cast<int>(cpu::testing::best_isa());
}
__attribute__((visibility("default"))) void vc_force_threads(unsigned n) {
    cpu::testing::force_threads(n);
}
__attribute__((visibility("default"))) unsigned vc_thread_count() {
    return cpu::testing::thread_count();
}

}  // extern "C"

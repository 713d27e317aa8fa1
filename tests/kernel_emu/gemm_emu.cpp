// Host run of every GEMM and conversion kernel source against a double-precision reference.
// Prints one line per case and exits non-zero when any case fails; built and run by
// tests/test_kernel_emulation.py with AddressSanitizer, so any read or write outside the exactly
// sized operands aborts the run.
#include "../../kernels/gemm/src/small.cu"
#include "../../kernels/gemm/src/basic.cu"
#include "../../kernels/gemm/src/shared.cu"
#include "../../kernels/gemm/src/reg8x8.cu"
#include "../../kernels/gemm/src/batched.cu"
#include "../../kernels/gemm/src/convert.cu"
#include "../../kernels/gemm/src/v1.cu"
#include "../../kernels/gemm/src/v2.cu"
#include "../../kernels/gemm/src/wmma_opt.cu"
#include "../../kernels/gemm/src/wmma_max.cu"
#include "../../kernels/gemm/src/fp16_pure.cu"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

int failures = 0;

// A device-like allocation of exactly `count` elements (256-byte aligned like cuMemAlloc).
template <typename T>
struct Buf {
    T* p = nullptr;
    size_t n = 0;
    explicit Buf(size_t count) : n(count) {
        void* raw = nullptr;
        if (posix_memalign(&raw, 256, count ? count * sizeof(T) : 1) != 0) std::abort();
        p = static_cast<T*>(raw);
    }
    Buf(const Buf&) = delete;
    ~Buf() { std::free(p); }
};

uint64_t rng_state = 0x9E3779B97F4A7C15ull;
float next_value() {
    rng_state = rng_state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<float>((rng_state >> 40) & 0xFFFFFF) / 8388608.0f - 1.0f;
}

void fill(float* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = next_value();
}
void poison(float* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = std::numeric_limits<float>::quiet_NaN();
}
float as_half(float x) { return static_cast<float>(static_cast<_Float16>(x)); }

// Relative Frobenius error of C against alpha * A B + beta * C0 in double precision.
double error(const float* c, const float* a, const float* b, const float* c0, unsigned m, unsigned n, unsigned k,
             double alpha, double beta, bool round_half) {
    double num = 0.0, den = 0.0;
    for (unsigned i = 0; i < m; ++i)
        for (unsigned j = 0; j < n; ++j) {
            double s = 0.0;
            for (unsigned q = 0; q < k; ++q) {
                double x = a[(size_t)i * k + q], y = b[(size_t)q * n + j];
                if (round_half) x = as_half(float(x)), y = as_half(float(y));
                s += x * y;
            }
            double want = alpha * s + (c0 ? beta * c0[(size_t)i * n + j] : 0.0);
            double got = c[(size_t)i * n + j];
            if (std::isnan(got)) return std::numeric_limits<double>::infinity();
            num += (got - want) * (got - want);
            den += want * want;
        }
    return den == 0.0 ? std::sqrt(num) : std::sqrt(num / den);
}

void report(const std::string& name, unsigned m, unsigned n, unsigned k, double err, double tol) {
    const bool ok = err < tol;
    if (!ok) ++failures;
    std::printf("%s %s M=%u N=%u K=%u err=%.3g\n", ok ? "PASS" : "FAIL", name.c_str(), m, n, k, err);
}

unsigned cdiv(unsigned a, unsigned b) { return (a + b - 1) / b; }

using Fp32Kernel6 = void (*)(const float*, const float*, float*, u32, u32, u32);
using Fp32Kernel6Cab = void (*)(float*, const float*, const float*, u32, u32, u32);
using Fp32KernelScaled = void (*)(const float*, const float*, float*, u32, u32, u32, float, float);

struct Sizes {
    unsigned m, n, k;
};

template <typename Launch>
void fp32_case(const std::string& name, Sizes s, Launch launch, bool scaled = false) {
    Buf<float> a(size_t(s.m) * s.k), b(size_t(s.k) * s.n), c(size_t(s.m) * s.n), c0(size_t(s.m) * s.n);
    fill(a.p, a.n);
    fill(b.p, b.n);
    poison(c.p, c.n);
    launch(a.p, b.p, c.p, s, 1.0f, 0.0f);
    report(name, s.m, s.n, s.k, error(c.p, a.p, b.p, nullptr, s.m, s.n, s.k, 1.0, 0.0, false), 1e-5);
    if (scaled) {
        fill(c0.p, c0.n);
        std::memcpy(c.p, c0.p, c.n * sizeof(float));
        launch(a.p, b.p, c.p, s, 2.0f, 0.5f);
        report(name + "(alpha=2,beta=0.5)", s.m, s.n, s.k, error(c.p, a.p, b.p, c0.p, s.m, s.n, s.k, 2.0, 0.5, false),
               1e-5);
    }
}

template <typename T>
void to_input(const float* src, T* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if constexpr (std::is_same_v<T, float>) dst[i] = src[i];
        else dst[i] = __float2half_rn(src[i]);
    }
}

template <typename T>
void wmma_case(const std::string& name, void (*kernel)(float*, const T*, const T*, u32, u32, u32), Sizes s,
               unsigned tile_m, unsigned tile_n, unsigned threads) {
    Buf<float> a(size_t(s.m) * s.k), b(size_t(s.k) * s.n), c(size_t(s.m) * s.n);
    Buf<T> ai(a.n), bi(b.n);
    fill(a.p, a.n);
    fill(b.p, b.n);
    to_input(a.p, ai.p, a.n);
    to_input(b.p, bi.p, b.n);
    poison(c.p, c.n);
    emu_launch(kernel, dim3{cdiv(s.n, tile_n), cdiv(s.m, tile_m), 1}, dim3{threads, 1, 1}, c.p,
               static_cast<const T*>(ai.p), static_cast<const T*>(bi.p), s.m, s.n, s.k);
    report(name, s.m, s.n, s.k, error(c.p, a.p, b.p, nullptr, s.m, s.n, s.k, 1.0, 0.0, true), 1e-5);
}

void fp32_suite() {
    const Sizes sizes[] = {{1, 1, 1}, {17, 33, 9}, {65, 1, 3}, {64, 64, 64}, {33, 17, 17}, {70, 130, 37}, {1, 200, 1}};
    auto grid = [](Sizes s, unsigned t) { return dim3{cdiv(s.n, t), cdiv(s.m, t), 1}; };
    for (Sizes s : sizes) {
        fp32_case("small", s, [&](const float* a, const float* b, float* c, Sizes z, float, float) {
            emu_launch(vantblas_gemm_small_16x16, grid(z, 16), dim3{16, 16, 1}, c, a, b, z.m, z.n, z.k);
        });
        fp32_case("basic", s, [&](const float* a, const float* b, float* c, Sizes z, float, float) {
            emu_launch(vantblas_gemm_64x64, grid(z, 64), dim3{16, 16, 1}, a, b, c, z.m, z.n, z.k);
        });
        fp32_case("shared", s, [&](const float* a, const float* b, float* c, Sizes z, float, float) {
            emu_launch(vantblas_gemm_shared_64x64, grid(z, 64), dim3{16, 16, 1}, a, b, c, z.m, z.n, z.k);
        });
        // Slices of 16 and one more, empty, slice; then their sum.
        fp32_case("shared split", s, [&](const float* a, const float* b, float* c, Sizes z, float, float) {
            const unsigned slice = 16, slices = cdiv(z.k, slice) + 1;
            Buf<float> p(size_t(slices) * z.m * z.n);
            poison(p.p, p.n);
            emu_launch(vantblas_gemm_shared_split, dim3{cdiv(z.n, 64), cdiv(z.m, 64), slices}, dim3{16, 16, 1}, a, b,
                       p.p, z.m, z.n, z.k, slice);
            emu_launch(vantblas_splitk_reduce, dim3{cdiv(z.m * z.n, 256), 1, 1}, dim3{256, 1, 1}, c,
                       static_cast<const float*>(p.p), z.m * z.n, slices, 1.0f, 1.0f);
        });
        fp32_case("reg8x8", s, [&](const float* a, const float* b, float* c, Sizes z, float, float) {
            emu_launch(vantblas_gemm_reg8x8, grid(z, 128), dim3{16, 16, 1}, a, b, c, z.m, z.n, z.k);
        });
        fp32_case("small_optimized", s, [&](const float* a, const float* b, float* c, Sizes z, float, float) {
            emu_launch(vantblas_gemm_small_optimized, grid(z, 32), dim3{16, 16, 1}, c, a, b, z.m, z.n, z.k);
        });
        auto scaled = [&](const char* name, Fp32KernelScaled kernel, unsigned tile, dim3 block, Sizes z) {
            fp32_case(name, z, [&](const float* a, const float* b, float* c, Sizes q, float alpha, float beta) {
                emu_launch(kernel, grid(q, tile), block, a, b, c, q.m, q.n, q.k, alpha, beta);
            }, true);
        };
        scaled("v3", vantblas_gemm_v3, 128, dim3{256, 1, 1}, s);
        scaled("small_v1", vantblas_gemm_small_v1, 64, dim3{16, 16, 1}, s);
        scaled("medium_v1", vantblas_gemm_medium_v1, 96, dim3{16, 16, 1}, s);
        Sizes v2 = s;
        v2.n = cdiv(s.n, 4) * 4;
        scaled("v2", vantblas_gemm_v2, 128, dim3{256, 1, 1}, v2);
        v2.k = s.k + 3;  // the other A staging form (K % 4 == 0 or not)
        scaled("v2", vantblas_gemm_v2, 128, dim3{256, 1, 1}, v2);
    }
    // One more tile in every direction for the big-tile kernels.
    fp32_case("v2", {257, 260, 24}, [&](const float* a, const float* b, float* c, Sizes z, float al, float be) {
        emu_launch(vantblas_gemm_v2, grid(z, 128), dim3{256, 1, 1}, a, b, c, z.m, z.n, z.k, al, be);
    }, true);
    fp32_case("shared(256x1 block)", {130, 67, 20}, [&](const float* a, const float* b, float* c, Sizes z, float,
                                                         float) {
        emu_launch(vantblas_gemm_shared_64x64, grid(z, 64), dim3{256, 1, 1}, a, b, c, z.m, z.n, z.k);
    });
}

void batched_suite() {
    const unsigned m = 5, n = 7, k = 9, count = 3;
    Buf<float> a(m * k), b(count * k * n), c(5 * m * n);
    fill(a.p, a.n);
    fill(b.p, b.n);
    poison(c.p, c.n);
    // A shared by every member (stride 0), a grid z beyond batch_count.
    emu_launch(vantblas_gemm_batched, dim3{1, 1, 5}, dim3{16, 16, 1}, c.p, static_cast<const float*>(a.p),
               static_cast<const float*>(b.p), m, n, k, count, 0u, k * n, m * n);
    for (unsigned i = 0; i < count; ++i)
        report("batched[" + std::to_string(i) + "]", m, n, k,
               error(c.p + i * m * n, a.p, b.p + i * k * n, nullptr, m, n, k, 1.0, 0.0, false), 1e-5);
    bool untouched = true;
    for (size_t i = count * m * n; i < c.n; ++i) untouched = untouched && std::isnan(c.p[i]);
    report("batched(extra z blocks write nothing)", m, n, k, untouched ? 0.0 : 1.0, 0.5);
}

void wmma_suite() {
    const Sizes sizes[] = {{16, 16, 16}, {16, 16, 48}, {48, 80, 96}, {144, 208, 80}, {32, 32, 0}, {128, 128, 32}};
    for (Sizes s : sizes) {
        wmma_case<float>("wmma_opt_vec", vantblas_gemm_wmma_opt_vec, s, 64, 64, 128);
        wmma_case<float>("wmma_opt_64", vantblas_gemm_wmma_opt_64, s, 64, 64, 128);
        wmma_case<float>("wmma_opt_128", vantblas_gemm_wmma_opt_128, s, 128, 128, 256);
        wmma_case<float>("wmma_max", vantblas_gemm_wmma_max, s, 128, 128, 256);
        wmma_case<__half>("wmma_max_f16", vantblas_gemm_wmma_max_f16, s, 128, 128, 256);
        wmma_case<__half>("wmma_fp16_pure", vantblas_gemm_wmma_fp16_pure, s, 64, 64, 128);
        wmma_case<__half>("wmma_fp16_pure_large", vantblas_gemm_wmma_fp16_pure_large, s, 128, 64, 256);
        wmma_case<__half>("wmma_v2", vantblas_gemm_wmma_v2, s, 128, 128, 256);
    }
    // Scalar-read kernels take any K; the partial last k-tile is zero-filled.
    wmma_case<float>("wmma_opt_64", vantblas_gemm_wmma_opt_64, {32, 48, 37}, 64, 64, 128);
    wmma_case<float>("wmma_max", vantblas_gemm_wmma_max, {32, 48, 37}, 128, 128, 256);
}

void convert_suite() {
    const float specials[] = {1.0f / 3.0f, 100000.0f, 65504.0f, 65519.0f, 65520.0f, -65520.0f, 6e-8f, 2e-8f,
                              -0.0f, INFINITY, -INFINITY, 1e-40f};
    for (unsigned n : {1u, 12u, 257u, 1028u}) {
        Buf<float> in(n), back(n);
        Buf<__half> out(n), out4(n);
        fill(in.p, n);
        for (unsigned i = 0; i < n && i < 12; ++i) in.p[i] = specials[i] * 1.0f;
        std::memset(out.p, 0xFF, n * 2);
        std::memset(out4.p, 0xFF, n * 2);
        poison(back.p, n);
        emu_launch(convert_f32_to_f16, dim3{cdiv(n, 256), 1, 1}, dim3{256, 1, 1}, out.p,
                   static_cast<const float*>(in.p), n);
        emu_launch(convert_f16_to_f32, dim3{cdiv(n, 256), 1, 1}, dim3{256, 1, 1}, back.p,
                   static_cast<const __half*>(out.p), n);
        bool ok = true, ok4 = true;
        if (n % 4 == 0) {
            emu_launch(convert_f32_to_f16_vec4, dim3{cdiv(n, 1024), 1, 1}, dim3{256, 1, 1}, out4.p,
                       static_cast<const float*>(in.p), n);
        }
        for (unsigned i = 0; i < n; ++i) {
            const _Float16 want = static_cast<_Float16>(in.p[i]);
            ok = ok && std::memcmp(&out.p[i].v, &want, 2) == 0 && back.p[i] == static_cast<float>(want);
            if (n % 4 == 0) ok4 = ok4 && std::memcmp(&out4.p[i].v, &want, 2) == 0;
        }
        report("convert_f32_to_f16+back", n, 1, 1, ok ? 0.0 : 1.0, 0.5);
        if (n % 4 == 0) report("convert_f32_to_f16_vec4", n, 1, 1, ok4 ? 0.0 : 1.0, 0.5);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    if (only.empty() || only == "fp32") fp32_suite();
    if (only.empty() || only == "batched") batched_suite();
    if (only.empty() || only == "wmma") wmma_suite();
    if (only.empty() || only == "convert") convert_suite();
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}

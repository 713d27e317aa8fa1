// CPU executors of the GEMM and conversion kernels that the engine launches. Each one honours the
// launch it is given: only the tiles its grid covers are computed and written, so a wrong grid
// leaves parts of C untouched (the stand-in fills new memory with a garbage pattern), and a
// block shape other than the one the kernel is written for fails the launch. Memory is reached
// only through the checked accessors, over exactly the span the kernel would read or write.
//
// Arithmetic mirrors the kernels: single-precision paths accumulate with fused multiply-adds
// (round to nearest even) in increasing k from +0.0, V2 in flush-to-zero form; tensor-core paths
// round both operands to half (round to nearest even) and accumulate in float32 in increasing k.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_driver.hpp"

namespace {

using fake::BoundsError;
using fake::Launch;
using fake::require_params;

void fail(const std::string& what) { throw BoundsError(what); }

void require_block(const Launch& l, unsigned x, unsigned y, unsigned z) {
    if (l.block[0] != x || l.block[1] != y || l.block[2] != z)
        fail(l.kernel + ": launched with block (" + std::to_string(l.block[0]) + "," +
             std::to_string(l.block[1]) + "," + std::to_string(l.block[2]) +
             ") but written for (" + std::to_string(x) + "," + std::to_string(y) + "," +
             std::to_string(z) + ")");
}

uint64_t min64(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Elements from the first to the last one touched of a row-major region: rows x cols elements
// with leading dimension ld.
uint64_t span(uint64_t rows, uint64_t cols, uint64_t ld) {
    if (rows == 0 || cols == 0) return 0;
    return (rows - 1) * ld + cols;
}

float* region(uint64_t addr, uint64_t elements) {
    return elements ? fake::dev_f32(addr, elements) : nullptr;
}

// Kernels that form byte offsets in 32 bits would wrap past 4 GiB and touch the wrong memory.
void require_32bit_offsets(const Launch& l, uint64_t elements) {
    if (elements * 4 > 0xFFFFFFFFull) fail(l.kernel + ": byte offset does not fit 32 bits");
}

void require_aligned16(const Launch& l, uint64_t addr) {
    if (addr % 16 != 0) fail(l.kernel + ": misaligned 16-byte access");
}

float ftz(float x) {
    return std::fpclassify(x) == FP_SUBNORMAL ? std::copysign(0.0f, x) : x;
}

// ---- half precision ------------------------------------------------------------------------

uint16_t f32_to_f16_bits(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    uint32_t sign = (x >> 16) & 0x8000u;
    uint32_t exp = (x >> 23) & 0xFFu;
    uint32_t man = x & 0x7FFFFFu;
    if (exp == 0xFF) return static_cast<uint16_t>(sign | 0x7C00u | (man ? 0x200u | (man >> 13) : 0));
    int e = static_cast<int>(exp) - 127 + 15;
    if (e >= 31) return static_cast<uint16_t>(sign | 0x7C00u);
    if (e <= 0) {
        if (e < -10) return static_cast<uint16_t>(sign);  // below half the smallest subnormal
        uint32_t m = man | 0x800000u;
        unsigned shift = static_cast<unsigned>(14 - e);
        uint32_t half = m >> shift;
        uint32_t rest = m & ((1u << shift) - 1);
        uint32_t mid = 1u << (shift - 1);
        if (rest > mid || (rest == mid && (half & 1u))) ++half;
        return static_cast<uint16_t>(sign | half);
    }
    uint32_t half = (static_cast<uint32_t>(e) << 10) | (man >> 13);
    uint32_t rest = man & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u))) ++half;  // may carry into infinity
    return static_cast<uint16_t>(sign | half);
}

float f16_bits_to_f32(uint16_t h) {
    uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    uint32_t exp = (h >> 10) & 0x1Fu;
    uint32_t man = h & 0x3FFu;
    uint32_t x;
    if (exp == 0) {
        if (man == 0) {
            x = sign;
        } else {
            int e = -1;
            do {
                ++e;
                man <<= 1;
            } while (!(man & 0x400u));
            x = sign | (static_cast<uint32_t>(127 - 15 - e) << 23) | ((man & 0x3FFu) << 13);
        }
    } else if (exp == 0x1F) {
        x = sign | 0x7F800000u | (man << 13);
    } else {
        x = sign | ((exp - 15 + 127) << 23) | (man << 13);
    }
    float f;
    std::memcpy(&f, &x, 4);
    return f;
}

float round_to_half(float f) { return f16_bits_to_f32(f32_to_f16_bits(f)); }

// ---- the product ---------------------------------------------------------------------------

enum class Arith { Fma, FmaFtz, Half };

// An operand as the kernel stages it.
float staged(Arith arith, float x) {
    if (arith == Arith::Half) return round_to_half(x);
    if (arith == Arith::FmaFtz) return ftz(x);
    return x;
}

// C[i][j] for i < rows and j < cols, from A (M x K, row-major) and B (K x N). A zero A element
// is skipped when its B row is all finite: the fused multiply-add would return the accumulator
// unchanged, so the result is the same and large products stay cheap when A is sparse.
void product(const float* a, const float* b, float* c, uint64_t rows, uint64_t cols, uint64_t k,
             uint64_t n, Arith arith) {
    if (rows == 0 || cols == 0) return;
    std::vector<float> bv;
    if (arith != Arith::Fma) {
        bv.resize(k * n);
        for (uint64_t i = 0; i < k; ++i)
            for (uint64_t j = 0; j < cols; ++j) bv[i * n + j] = staged(arith, b[i * n + j]);
    }
    const float* bb = bv.empty() ? b : bv.data();
    std::vector<char> finite(k, 1);
    for (uint64_t kk = 0; kk < k; ++kk)
        for (uint64_t j = 0; j < cols; ++j)
            if (!std::isfinite(bb[kk * n + j])) finite[kk] = 0;
    std::vector<float> acc(cols);
    for (uint64_t i = 0; i < rows; ++i) {
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (uint64_t kk = 0; kk < k; ++kk) {
            const float x = staged(arith, a[i * k + kk]);
            if (x == 0.0f && finite[kk]) continue;
            const float* brow = bb + kk * n;
            if (arith == Arith::FmaFtz) {
                for (uint64_t j = 0; j < cols; ++j) acc[j] = ftz(std::fma(x, brow[j], acc[j]));
            } else {
                for (uint64_t j = 0; j < cols; ++j) acc[j] = std::fma(x, brow[j], acc[j]);
            }
        }
        for (uint64_t j = 0; j < cols; ++j) c[i * n + j] = acc[j];
    }
}

// Single-precision kernels whose block covers a tile x tile region of C with a 16 x 16 block and
// guarded element loads and stores. Parameters (A, B, C, M, N, K), or (C, A, B, M, N, K) where
// c_first is set.
void run_tiled_f32(const Launch& l, bool c_first, unsigned tile, bool offsets32) {
    require_params(l, 6);
    const auto& p = l.params;
    const uint64_t A = p[c_first ? 1 : 0].u64(), B = p[c_first ? 2 : 1].u64(), C = p[c_first ? 0 : 2].u64();
    const uint32_t m = p[3].u32(), n = p[4].u32(), k = p[5].u32();
    require_block(l, 16, 16, 1);
    uint64_t rows = min64(m, uint64_t{tile} * l.grid[1]);
    uint64_t cols = min64(n, uint64_t{tile} * l.grid[0]);
    if (rows == 0 || cols == 0) return;
    uint64_t a_span = k ? span(rows, k, k) : 0;
    uint64_t b_span = span(k, cols, n);
    uint64_t c_span = span(rows, cols, n);
    if (offsets32) {
        require_32bit_offsets(l, a_span);
        require_32bit_offsets(l, b_span);
        require_32bit_offsets(l, c_span);
    }
    const float* a = region(A, a_span);
    const float* b = region(B, b_span);
    float* c = region(C, c_span);
    product(a, b, c, rows, cols, k, n, Arith::Fma);
}

}  // namespace

FAKE_KERNEL(vantblas_gemm_small_16x16) { run_tiled_f32(launch, true, 16, false); }

FAKE_KERNEL(vantblas_gemm_64x64) { run_tiled_f32(launch, false, 64, true); }

FAKE_KERNEL(vantblas_gemm_shared_64x64) { run_tiled_f32(launch, false, 64, true); }

// 128 x 128 tiles, B read and C written in 16-byte groups of four columns; a group is moved only
// when its last column is inside the matrix, so N must be a multiple of 4 for C to be complete.
FAKE_KERNEL(vantblas_gemm_v2) {
    require_params(launch, 8);
    require_block(launch, 256, 1, 1);
    const auto& p = launch.params;
    uint64_t A = p[0].u64(), B = p[1].u64(), C = p[2].u64();
    int32_t m = p[3].s32(), n = p[4].s32(), k = p[5].s32();
    float alpha = p[6].f32(), beta = p[7].f32();
    if (m <= 0 || n <= 0) return;
    uint64_t rows = min64(static_cast<uint64_t>(m), 128ull * launch.grid[1]);
    uint64_t covered = min64(static_cast<uint64_t>(n), 128ull * launch.grid[0]);
    uint64_t kk = k > 0 ? static_cast<uint64_t>(k) : 0;
    // Groups of four whose last column is below N; a partial group at the right edge is neither
    // read nor written.
    uint64_t cols = covered / 4 * 4;
    if (cols == 0) return;
    for (uint64_t r = 0; r < kk; ++r) require_aligned16(launch, B + 4 * r * static_cast<uint64_t>(n));
    for (uint64_t r = 0; r < rows; ++r) require_aligned16(launch, C + 4 * r * static_cast<uint64_t>(n));
    const float* a = region(A, kk ? span(rows, kk, kk) : 0);
    const float* b = region(B, span(kk, cols, static_cast<uint64_t>(n)));
    float* c = region(C, span(rows, cols, static_cast<uint64_t>(n)));
    std::vector<float> out(rows * static_cast<uint64_t>(n));
    product(a, b, out.data(), rows, cols, kk, static_cast<uint64_t>(n), Arith::FmaFtz);
    for (uint64_t i = 0; i < rows; ++i) {
        for (uint64_t j = 0; j < cols; ++j) {
            float acc = out[i * n + j];
            // beta = 0 means C is not an input: a newly allocated C holds no defined value.
            float base = 0.0f;
            if (beta != 0.0f) base = ftz(ftz(beta) * ftz(c[i * n + j]));
            c[i * n + j] = ftz(std::fma(ftz(alpha), acc, base));
        }
    }
}

namespace {

// Tensor-core kernels: float32 operands rounded to half while staging, 16 x 16 fragments stored
// only when they lie wholly inside C.
void run_tensor_core(const Launch& l, unsigned tile, unsigned threads, bool vector_reads) {
    require_params(l, 6);
    require_block(l, threads, 1, 1);
    const auto& p = l.params;
    uint64_t C = p[0].u64(), A = p[1].u64(), B = p[2].u64();
    int32_t m = p[3].s32(), n = p[4].s32(), k = p[5].s32();
    if (m <= 0 || n <= 0) return;
    uint64_t kk = k > 0 ? static_cast<uint64_t>(k) : 0;
    uint64_t rows_cov = min64(static_cast<uint64_t>(m), uint64_t{tile} * l.grid[1]);
    uint64_t cols_cov = min64(static_cast<uint64_t>(n), uint64_t{tile} * l.grid[0]);
    // Whole fragments only.
    uint64_t rows = rows_cov / 16 * 16;
    uint64_t cols = cols_cov / 16 * 16;
    if (rows == 0 || cols == 0) return;
    if (vector_reads) {
        for (uint64_t r = 0; r < rows_cov; ++r) require_aligned16(l, A + 4 * r * kk);
        for (uint64_t r = 0; r < kk; ++r) require_aligned16(l, B + 4 * r * static_cast<uint64_t>(n));
    }
    const float* a = region(A, kk ? span(rows, kk, kk) : 0);
    const float* b = region(B, span(kk, cols, static_cast<uint64_t>(n)));
    float* c = region(C, span(rows, cols, static_cast<uint64_t>(n)));
    product(a, b, c, rows, cols, kk, static_cast<uint64_t>(n), Arith::Half);
}

}  // namespace

FAKE_KERNEL(vantblas_gemm_wmma_opt_vec) { run_tensor_core(launch, 64, 128, true); }

FAKE_KERNEL(vantblas_gemm_wmma_max) { run_tensor_core(launch, 128, 256, false); }

namespace {

// Elements converted by a (dst, src, n) conversion kernel: one per thread of its one-dimensional
// launch, at most n.
uint64_t conversion_count(const Launch& l) {
    require_params(l, 3);
    if (l.grid[1] != 1 || l.grid[2] != 1 || l.block[1] != 1 || l.block[2] != 1)
        fail(l.kernel + ": written for a one-dimensional launch");
    return min64(l.params[2].u32(), uint64_t{l.grid[0]} * l.block[0]);
}

}  // namespace

FAKE_KERNEL(convert_f32_to_f16) {
    uint64_t count = conversion_count(launch);
    if (count == 0) return;
    const uint64_t dst = launch.params[0].u64(), src = launch.params[1].u64();
    const float* in = fake::dev_f32(src, count);
    uint16_t* out = fake::dev_u16(dst, count);
    for (uint64_t i = 0; i < count; ++i) out[i] = f32_to_f16_bits(in[i]);
}

FAKE_KERNEL(convert_f16_to_f32) {
    uint64_t count = conversion_count(launch);
    if (count == 0) return;
    const uint64_t dst = launch.params[0].u64(), src = launch.params[1].u64();
    const uint16_t* in = fake::dev_u16(src, count);
    float* out = fake::dev_f32(dst, count);
    for (uint64_t i = 0; i < count; ++i) out[i] = f16_bits_to_f32(in[i]);
}

// Split-K: slice z of the shared kernel's split variant covers k in [z k_slice, min(K, (z+1)
// k_slice)) and writes its raw fused-multiply-add sums (increasing k from +0.0) to P + z M N, over
// the tiles its grid covers; the reduction adds the S slices of each element in slice order and
// multiplies by f1, then f2.
FAKE_KERNEL(vantblas_gemm_shared_split) {
    require_params(launch, 7);
    require_block(launch, 16, 16, 1);
    const auto& p = launch.params;
    const uint64_t A = p[0].u64(), B = p[1].u64(), P = p[2].u64();
    const uint64_t m = p[3].u32(), n = p[4].u32(), k = p[5].u32(), slice = p[6].u32();
    const uint64_t rows = min64(m, 64ull * launch.grid[1]);
    const uint64_t cols = min64(n, 64ull * launch.grid[0]);
    if (rows == 0 || cols == 0) return;
    const float* a = region(A, k ? span(rows, k, k) : 0);
    const float* b = region(B, span(k, cols, n));
    for (uint64_t z = 0; z < launch.grid[2]; ++z) {
        const uint64_t first = z * slice, last = min64(k, first + slice);
        float* out = region(P + 4 * z * m * n, span(rows, cols, n));
        for (uint64_t i = 0; i < rows; ++i)
            for (uint64_t j = 0; j < cols; ++j) {
                float acc = 0.0f;
                for (uint64_t kk = first; kk < last; ++kk) acc = std::fma(a[i * k + kk], b[kk * n + j], acc);
                out[i * n + j] = acc;
            }
    }
}

FAKE_KERNEL(vantblas_splitk_reduce) {
    require_params(launch, 6);
    if (launch.grid[1] != 1 || launch.grid[2] != 1 || launch.block[1] != 1 || launch.block[2] != 1)
        fail(launch.kernel + ": written for a one-dimensional launch");
    const auto& p = launch.params;
    const uint64_t total = p[2].u32(), slices = p[3].u32();
    const uint64_t count = min64(total, uint64_t{launch.grid[0]} * launch.block[0]);
    const float f1 = p[4].f32(), f2 = p[5].f32();
    if (count == 0 || slices == 0) return;
    const float* in = fake::dev_f32(p[1].u64(), (slices - 1) * total + count);
    float* out = fake::dev_f32(p[0].u64(), count);
    for (uint64_t i = 0; i < count; ++i) {
        float acc = in[i];
        for (uint64_t z = 1; z < slices; ++z) acc += in[z * total + i];
        out[i] = (acc * f1) * f2;
    }
}

// Tensor-core GEMM body shared by the WMMA modules: C (float32) = A x B with A and B rounded to
// FP16 (cvt.rn, or taken as they are when already FP16) while they are staged in shared memory,
// m16n16k16 fragment products with float32 accumulation, row-major everywhere.
//
// A block of WARPS_M x WARPS_N warps computes a BM x BN tile of C over k-tiles of 32; each warp a
// (BM/WARPS_M) x (BN/WARPS_N) sub-tile, warp w at sub-tile row w / WARPS_N, column w % WARPS_N.
// Staging: the A slice (BM x 32) and the B slice (32 x BN) are cut into groups of VEC consecutive
// elements; thread t takes groups t, t + threads, ...; group g of A is row g / (32/VEC), columns
// VEC (g % (32/VEC)) .., of B row g / (BN/VEC), columns VEC (g % (BN/VEC)) ... A group that is not
// wholly inside its matrix is staged as zeros, so no read leaves A or B; vector groups therefore
// need K (for A) and N (for B) to be multiples of VEC and 16-byte aligned rows.
// Shared rows carry padding (PA - 32 and PB - BN halves) that nothing reads; it staggers the rows
// across banks for the fragment loads.
// STAGES == 2: the next k-tile is fetched into registers and stored into the other stage while the
// current one is multiplied (one barrier per k-tile). STAGES == 1: the next k-tile is fetched into
// registers during the products and stored after a barrier.
// Output: a 16 x 16 fragment is stored only if it lies wholly inside C (first row + 16 <= M, first
// column + 16 <= N), with row stride N; with M and N multiples of 16 that is all of C.
#pragma once
#include <mma.h>
#include <type_traits>
#include "common.cuh"

namespace wt {

using namespace nvcuda;

template <typename T, int VEC> struct Group;

// Single elements travel in pairs (groups i and i + 1 of a thread), rounded to FP16 as soon as they
// arrive and packed into one register, which halves the registers that hold the next k-tile.
template <typename T> struct Pair;

template <> struct Pair<float> {
    __half2 v;
    __device__ __forceinline__ void load(const float* p0, bool in0, const float* p1, bool in1) {
        const float x0 = in0 ? ldg(p0) : 0.0f;
        const float x1 = in1 ? ldg(p1) : 0.0f;
        v = __floats2half2_rn(x0, x1);
    }
    __device__ __forceinline__ void put(__half* d0, __half* d1) const {
        *d0 = __low2half(v);
        *d1 = __high2half(v);
    }
};

template <> struct Pair<__half> {
    __half2 v;
    __device__ __forceinline__ void load(const __half* p0, bool in0, const __half* p1, bool in1) {
        const __half zero = __ushort_as_half(0);
        v = __halves2half2(in0 ? __ldg(p0) : zero, in1 ? __ldg(p1) : zero);
    }
    __device__ __forceinline__ void put(__half* d0, __half* d1) const {
        *d0 = __low2half(v);
        *d1 = __high2half(v);
    }
};

template <> struct Group<float, 4> {
    float4 v;
    __device__ __forceinline__ void load(const float* p) { v = ldg4(p); }
    __device__ __forceinline__ void zero() { v = make_float4(0.f, 0.f, 0.f, 0.f); }
    __device__ __forceinline__ void put(__half* dst) const {
        __half2 lo = __floats2half2_rn(v.x, v.y);
        __half2 hi = __floats2half2_rn(v.z, v.w);
        uint2 packed;
        packed.x = *reinterpret_cast<const u32*>(&lo);
        packed.y = *reinterpret_cast<const u32*>(&hi);
        *reinterpret_cast<uint2*>(dst) = packed;
    }
};

template <> struct Group<__half, 8> {
    uint4 v;
    __device__ __forceinline__ void load(const __half* p) {
        v = __ldg(reinterpret_cast<const uint4*>(p));
    }
    __device__ __forceinline__ void zero() { v = make_uint4(0u, 0u, 0u, 0u); }
    __device__ __forceinline__ void put(__half* dst) const { *reinterpret_cast<uint4*>(dst) = v; }
};

template <typename T, int BM, int BN, int WARPS_M, int WARPS_N, int STAGES, int VEC, int PA,
          int PB>
struct WmmaGemm {
    static constexpr int BK = 32;
    static constexpr int THREADS = WARPS_M * WARPS_N * 32;
    static constexpr int WM = BM / WARPS_M, WN = BN / WARPS_N;
    static constexpr int FM = WM / 16, FN = WN / 16;
    static constexpr int A_PER_ROW = BK / VEC, B_PER_ROW = BN / VEC;
    static constexpr int A_GROUPS = BM * BK / VEC / THREADS;
    static constexpr int B_GROUPS = BK * BN / VEC / THREADS;
    static_assert(THREADS % A_PER_ROW == 0 && THREADS % B_PER_ROW == 0, "fixed column per thread");
    static constexpr int A_STEP = THREADS / A_PER_ROW, B_STEP = THREADS / B_PER_ROW;  // rows
    static constexpr int A_STAGE = BM * PA, B_STAGE = BK * PB;  // halves
    static constexpr int SMEM_A = STAGES * A_STAGE, SMEM_B = STAGES * B_STAGE;
    static_assert(A_GROUPS * VEC * THREADS == BM * BK, "A slice splits evenly");
    static_assert(B_GROUPS * VEC * THREADS == BK * BN, "B slice splits evenly");
    static_assert(WM % 16 == 0 && WN % 16 == 0, "whole fragments per warp");
    static_assert(PA % 8 == 0 && PB % 8 == 0, "fragment rows 16-byte aligned");
    static_assert(VEC != 1 || (A_GROUPS % 2 == 0 && B_GROUPS % 2 == 0), "single elements pair up");
    // Registers holding the next k-tile: one per vector group, one per pair of single elements.
    using Slot = typename std::conditional<VEC == 1, Pair<T>, Group<T, VEC>>::type;
    static constexpr int A_SLOTS = VEC == 1 ? A_GROUPS / 2 : A_GROUPS;
    static constexpr int B_SLOTS = VEC == 1 ? B_GROUPS / 2 : B_GROUPS;

    using FragA = wmma::fragment<wmma::matrix_a, 16, 16, 16, __half, wmma::row_major>;
    using FragB = wmma::fragment<wmma::matrix_b, 16, 16, 16, __half, wmma::row_major>;
    using FragC = wmma::fragment<wmma::accumulator, 16, 16, 16, float>;

    __device__ __forceinline__ static void run(float* __restrict__ C, const T* __restrict__ A,
                                               const T* __restrict__ B, u32 M, u32 N, u32 K,
                                               __half* smA, __half* smB) {
        const u32 t = threadIdx.x;
        const u32 warp = t >> 5;
        const u32 wm = warp / WARPS_N, wn = warp % WARPS_N;
        const u32 row_base = blockIdx.y * BM, col_base = blockIdx.x * BN;

        // Thread t's groups share one column of the slice and step down its rows: group t + i x
        // threads sits at row r0 + i x STEP, column c, which keeps the address arithmetic to one
        // running 64-bit offset per operand.
        const u32 a_r0 = t / A_PER_ROW, a_c = (t % A_PER_ROW) * VEC;
        const u32 b_r0 = t / B_PER_ROW, b_c = (t % B_PER_ROW) * VEC;
        const bool b_col_in = col_base + b_c + (VEC - 1) < N;

        Slot ra[A_SLOTS], rb[B_SLOTS];
        auto fetch = [&](u32 kt) {
            const u32 k0 = kt * BK;
            const bool a_col_in = k0 + a_c + (VEC - 1) < K;
            u64 a_off = (u64)(row_base + a_r0) * K + k0 + a_c;
            u64 b_off = (u64)(k0 + b_r0) * N + col_base + b_c;
            const u64 a_step = (u64)A_STEP * K, b_step = (u64)B_STEP * N;
            if constexpr (VEC == 1) {
#pragma unroll
                for (int i = 0; i < A_SLOTS; ++i) {
                    const bool in0 = a_col_in && row_base + a_r0 + (2 * i) * A_STEP < M;
                    const bool in1 = a_col_in && row_base + a_r0 + (2 * i + 1) * A_STEP < M;
                    ra[i].load(A + a_off, in0, A + a_off + a_step, in1);
                    a_off += 2 * a_step;
                }
#pragma unroll
                for (int i = 0; i < B_SLOTS; ++i) {
                    const bool in0 = b_col_in && k0 + b_r0 + (2 * i) * B_STEP < K;
                    const bool in1 = b_col_in && k0 + b_r0 + (2 * i + 1) * B_STEP < K;
                    rb[i].load(B + b_off, in0, B + b_off + b_step, in1);
                    b_off += 2 * b_step;
                }
            } else {
#pragma unroll
                for (int i = 0; i < A_SLOTS; ++i) {
                    if (a_col_in && row_base + a_r0 + i * A_STEP < M) ra[i].load(A + a_off);
                    else ra[i].zero();
                    a_off += a_step;
                }
#pragma unroll
                for (int i = 0; i < B_SLOTS; ++i) {
                    if (b_col_in && k0 + b_r0 + i * B_STEP < K) rb[i].load(B + b_off);
                    else rb[i].zero();
                    b_off += b_step;
                }
            }
        };
        auto stash = [&](u32 stage) {
            __half* dA = smA + stage * A_STAGE + a_r0 * PA + a_c;
            __half* dB = smB + stage * B_STAGE + b_r0 * PB + b_c;
            if constexpr (VEC == 1) {
#pragma unroll
                for (int i = 0; i < A_SLOTS; ++i)
                    ra[i].put(dA + (2 * i) * A_STEP * PA, dA + (2 * i + 1) * A_STEP * PA);
#pragma unroll
                for (int i = 0; i < B_SLOTS; ++i)
                    rb[i].put(dB + (2 * i) * B_STEP * PB, dB + (2 * i + 1) * B_STEP * PB);
            } else {
#pragma unroll
                for (int i = 0; i < A_SLOTS; ++i) ra[i].put(dA + i * A_STEP * PA);
#pragma unroll
                for (int i = 0; i < B_SLOTS; ++i) rb[i].put(dB + i * B_STEP * PB);
            }
        };

        FragC acc[FM][FN];
#pragma unroll
        for (int i = 0; i < FM; ++i)
#pragma unroll
            for (int j = 0; j < FN; ++j) wmma::fill_fragment(acc[i][j], 0.0f);

        auto multiply = [&](u32 stage) {
            const __half* a_base = smA + stage * A_STAGE + wm * WM * PA;
            const __half* b_base = smB + stage * B_STAGE + wn * WN;
#pragma unroll
            for (int f = 0; f < BK / 16; ++f) {
                FragA a[FM];
#pragma unroll
                for (int i = 0; i < FM; ++i)
                    wmma::load_matrix_sync(a[i], a_base + 16 * i * PA + 16 * f, PA);
#pragma unroll
                for (int j = 0; j < FN; ++j) {
                    FragB b;
                    wmma::load_matrix_sync(b, b_base + 16 * f * PB + 16 * j, PB);
#pragma unroll
                    for (int i = 0; i < FM; ++i) wmma::mma_sync(acc[i][j], a[i], b, acc[i][j]);
                }
            }
        };

        const u32 tiles = tiles_for(K, BK);
        if (STAGES == 2) {
            if (tiles != 0u) {
                fetch(0);
                stash(0);
                __syncthreads();
            }
            for (u32 kt = 0; kt < tiles; ++kt) {
                const u32 stage = kt & 1u;
                const bool more = kt + 1u < tiles;
                if (more) fetch(kt + 1u);
                multiply(stage);
                // The other stage was last read before the previous barrier.
                if (more) stash(stage ^ 1u);
                __syncthreads();
            }
        } else {
            if (tiles != 0u) fetch(0);
            for (u32 kt = 0; kt < tiles; ++kt) {
                stash(0);
                __syncthreads();
                if (kt + 1u < tiles) fetch(kt + 1u);
                multiply(0);
                __syncthreads();
            }
        }

#pragma unroll
        for (int i = 0; i < FM; ++i) {
#pragma unroll
            for (int j = 0; j < FN; ++j) {
                const u32 r = row_base + wm * WM + 16 * i, c = col_base + wn * WN + 16 * j;
                if (r + 16u <= M && c + 16u <= N)
                    wmma::store_matrix_sync(C + (u64)r * N + c, acc[i][j], N, wmma::mem_row_major);
            }
        }
    }
};

}  // namespace wt

// Declares the static staging arrays of one kernel and runs the body.
#define VANT_WMMA_KERNEL_BODY(GEMM)                                   \
    __shared__ __align__(128) __half smA[GEMM::SMEM_A];               \
    __shared__ __align__(128) __half smB[GEMM::SMEM_B];               \
    GEMM::run(C, A, B, M, N, K, smA, smB)

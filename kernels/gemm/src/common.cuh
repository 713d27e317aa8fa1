// Helpers shared by the GEMM kernel sources. Everything here is inlined into the kernels; the
// generated modules contain only the entries each .cu file declares.
#pragma once

#include <cuda_fp16.h>

typedef unsigned int u32;
typedef unsigned long long u64;

// Whole k-tiles needed for K columns, without the overflow of (K + t - 1) / t near 2^32.
__device__ __forceinline__ u32 tiles_for(u32 k, u32 tile) {
    return k / tile + (k % tile != 0u ? 1u : 0u);
}

// Read-only loads through the non-coherent path: the operands never alias the output.
__device__ __forceinline__ float ldg(const float* p) { return __ldg(p); }
__device__ __forceinline__ float4 ldg4(const float* p) {
    return __ldg(reinterpret_cast<const float4*>(p));
}

// The 16 x 16 tile of the small and batched kernels: thread (tx, ty) of a (16, 16) block computes
// C[16by+ty][16bx+tx] from 16-wide k-tiles staged in sA/sB (elements outside the matrices read
// as 0), fma.rn.f32 in increasing k from +0.0 stopping at K; outputs outside C are not written.
__device__ __forceinline__ void tile16_product(float (*sA_tile)[16], float (*sB_tile)[16],
                                               float* __restrict__ C, const float* __restrict__ A,
                                               const float* __restrict__ B, u32 M, u32 N, u32 K) {
    const u32 tx = threadIdx.x, ty = threadIdx.y;
    const u32 row = blockIdx.y * 16u + ty;
    const u32 col = blockIdx.x * 16u + tx;
    const bool row_in = row < M, col_in = col < N;
    const float* a_row = A + (u64)(row_in ? row : 0u) * K;

    float acc = 0.0f;
    for (u32 k0 = 0; k0 < K; k0 += 16u) {
        __syncthreads();
        const u32 ka = k0 + tx, kb = k0 + ty;
        sA_tile[ty][tx] = (row_in && ka < K) ? ldg(a_row + ka) : 0.0f;
        sB_tile[ty][tx] = (kb < K && col_in) ? ldg(B + (u64)kb * N + col) : 0.0f;
        __syncthreads();
        if (K - k0 >= 16u) {
#pragma unroll
            for (int kk = 0; kk < 16; ++kk) acc = fmaf(sA_tile[ty][kk], sB_tile[kk][tx], acc);
        } else {
            for (u32 kk = 0; kk < K - k0; ++kk) acc = fmaf(sA_tile[ty][kk], sB_tile[kk][tx], acc);
        }
    }
    if (row_in && col_in) C[(u64)row * N + col] = acc;
}

// Generic register-tiled FP32 GEMM for the kernels that no host path launches: every block of
// 256 threads (any 2-D shape whose product is 256) computes a BM x BN tile of C, each thread TM x TN
// outputs spread with strides BM/TM and BN/TN so that neighbouring threads read neighbouring
// shared words. sA holds the A slice row-major with pitch PA (>= BK), sB the B slice with pitch PB
// (>= BN). Elements outside A or B are staged as 0; every product is accumulated with fma.rn in
// increasing k.
template <int BM, int BN, int BK, int TM, int TN, int PA, int PB>
struct GenericTile {
    static_assert((BM / TM) * (BN / TN) == 256, "256 threads per block");
    static constexpr int TX = BN / TN;  // threads across a row of the tile
    static constexpr int TY = BM / TM;

    float acc[TM][TN];

    __device__ __forceinline__ void run(const float* __restrict__ A, const float* __restrict__ B,
                                        u32 M, u32 N, u32 K, u32 row0, u32 col0, float* sA,
                                        float* sB) {
        const u32 t = threadIdx.y * blockDim.x + threadIdx.x;
        const u32 tx = t % TX, ty = t / TX;
#pragma unroll
        for (int i = 0; i < TM; ++i)
#pragma unroll
            for (int j = 0; j < TN; ++j) acc[i][j] = 0.0f;

        const u32 tiles = tiles_for(K, BK);
        for (u32 kt = 0; kt < tiles; ++kt) {
            const u32 k0 = kt * BK;
            for (u32 e = t; e < u32(BM * BK); e += 256u) {
                const u32 m = e / BK, k = e % BK;
                const u32 r = row0 + m, c = k0 + k;
                sA[m * PA + k] = (r < M && c < K) ? ldg(A + (u64)r * K + c) : 0.0f;
            }
            for (u32 e = t; e < u32(BK * BN); e += 256u) {
                const u32 k = e / BN, n = e % BN;
                const u32 r = k0 + k, c = col0 + n;
                sB[k * PB + n] = (r < K && c < N) ? ldg(B + (u64)r * N + c) : 0.0f;
            }
            __syncthreads();
            const u32 depth = (K - k0 < u32(BK)) ? K - k0 : u32(BK);
            if (depth == u32(BK)) {
#pragma unroll
                for (int kk = 0; kk < BK; ++kk) step(sA, sB, kk, tx, ty);
            } else {
                for (u32 kk = 0; kk < depth; ++kk) step(sA, sB, kk, tx, ty);
            }
            __syncthreads();
        }
    }

    __device__ __forceinline__ void step(const float* sA, const float* sB, u32 kk, u32 tx, u32 ty) {
        float a[TM], b[TN];
#pragma unroll
        for (int i = 0; i < TM; ++i) a[i] = sA[(ty + i * TY) * PA + kk];
#pragma unroll
        for (int j = 0; j < TN; ++j) b[j] = sB[kk * PB + tx + j * TX];
#pragma unroll
        for (int i = 0; i < TM; ++i)
#pragma unroll
            for (int j = 0; j < TN; ++j) acc[i][j] = fmaf(a[i], b[j], acc[i][j]);
    }

    // C = alpha * acc + beta * C_old; C_old is not read when beta is 0, so an uninitialised
    // (possibly NaN) C cannot leak into the result.
    __device__ __forceinline__ void store(float* __restrict__ C, u32 M, u32 N, u32 row0, u32 col0,
                                          float alpha, float beta) {
        const u32 t = threadIdx.y * blockDim.x + threadIdx.x;
        const u32 tx = t % TX, ty = t / TX;
#pragma unroll
        for (int i = 0; i < TM; ++i) {
            const u32 r = row0 + ty + i * TY;
            if (r >= M) continue;
#pragma unroll
            for (int j = 0; j < TN; ++j) {
                const u32 c = col0 + tx + j * TX;
                if (c >= N) continue;
                float* p = C + (u64)r * N + c;
                const float old = (beta != 0.0f) ? beta * *p : 0.0f;
                *p = fmaf(alpha, acc[i][j], old);
            }
        }
    }
};

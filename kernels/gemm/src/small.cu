// Module gemm/small.ptx (.version 7.0, .target sm_75)
//
// vantblas_gemm_small_16x16(C, A, B, M, N, K)
//   C, A, B: u64 device addresses of row-major float32 matrices (C is M x N, A M x K, B K x N)
//   M, N, K: u32
//   grid (ceil(N/16), ceil(M/16), 1), block (16, 16, 1); static shared sA_tile, sB_tile 256 floats
//   each; any dynamic shared memory passed at launch is ignored.
//   Thread (tx, ty) of block (bx, by) computes C[16by+ty][16bx+tx] = sum_k A[row][k] * B[k][col]
//   with fma.rn.f32 in increasing k from +0.0, over 16-wide k-tiles whose elements outside A or B
//   read as 0; the last partial tile stops at K. Elements outside C are not written. Addresses
//   are 64-bit.
#include "common.cuh"

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_small_16x16(float* __restrict__ C, const float* __restrict__ A,
                          const float* __restrict__ B, u32 M, u32 N, u32 K) {
    __shared__ float sA_tile[16][16];
    __shared__ float sB_tile[16][16];
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

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
    tile16_product(sA_tile, sB_tile, C, A, B, M, N, K);
}

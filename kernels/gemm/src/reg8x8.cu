// Module gemm/reg8x8.ptx (.version 7.0, .target sm_75)
//
// vantblas_gemm_reg8x8(A, B, C, M, N, K)
//   A, B, C: u64 device addresses of row-major float32 matrices (A M x K, B K x N, C M x N)
//   M, N, K: u32
//   grid (ceil(N/128), ceil(M/128), 1), block (16, 16, 1) (any 256 threads work); static shared
//   smem_A 128 x 8 and smem_B 8 x 128 floats (4 KB each).
//   Block (bx, by) computes the 128 x 128 tile of C at rows 128by.., columns 128bx..; each thread
//   owns 8 x 8 outputs (rows t/16 + 16i, columns t%16 + 16j), k-tiles of 8, fma.rn.f32 in
//   increasing k from +0.0; elements outside A or B read as 0, the last partial k-tile stops at
//   K, outputs outside C are not written. Any M, N, K; addresses are 64-bit.
#include "common.cuh"

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_reg8x8(const float* __restrict__ A, const float* __restrict__ B,
                     float* __restrict__ C, u32 M, u32 N, u32 K) {
    __shared__ float smem_A[128 * 8];
    __shared__ float smem_B[8 * 128];
    GenericTile<128, 128, 8, 8, 8, 8, 128> tile;
    const u32 row0 = blockIdx.y * 128u, col0 = blockIdx.x * 128u;
    tile.run(A, B, M, N, K, row0, col0, smem_A, smem_B);
    tile.store(C, M, N, row0, col0, 1.0f, 0.0f);
}

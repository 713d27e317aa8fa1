// Module gemm/v1.ptx (.version 8.2, .target sm_80)
//
// Both kernels: (A, B, C, M, N, K, alpha, beta)
//   A, B, C: u64 device addresses of row-major float32 matrices (A M x K, B K x N, C M x N)
//   M, N, K: u32; alpha, beta: f32
//   C = alpha * (A x B) + beta * C, the old C read only when beta is not 0 (so an uninitialised C
//   is fine with beta = 0). Products accumulate with fma.rn.f32 in increasing k from +0.0;
//   elements outside A or B read as 0, the last partial k-tile stops at K; each output is
//   fma.rn(alpha, acc, beta * C_old); outputs outside C are not written. Any M, N, K; 64-bit
//   addresses. Block: 256 threads, (16, 16, 1) or (256, 1, 1).
// vantblas_gemm_small_v1: 64 x 64 tile per block, grid (ceil(N/64), ceil(M/64), 1); 4 x 4 outputs
//   per thread, k-tiles of 16; static shared 64 x 17 + 16 x 65 floats (4352 + 4160 bytes).
// vantblas_gemm_medium_v1: 96 x 96 tile per block, grid (ceil(N/96), ceil(M/96), 1); 6 x 6
//   outputs per thread, k-tiles of 8; static shared 96 x 9 + 8 x 97 floats (3456 + 3104 bytes).
#include "common.cuh"

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_small_v1(const float* __restrict__ A, const float* __restrict__ B,
                       float* __restrict__ C, u32 M, u32 N, u32 K, float alpha, float beta) {
    __shared__ float sA[64 * 17];
    __shared__ float sB[16 * 65];
    GenericTile<64, 64, 16, 4, 4, 17, 65> tile;
    const u32 row0 = blockIdx.y * 64u, col0 = blockIdx.x * 64u;
    tile.run(A, B, M, N, K, row0, col0, sA, sB);
    tile.store(C, M, N, row0, col0, alpha, beta);
}

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_medium_v1(const float* __restrict__ A, const float* __restrict__ B,
                        float* __restrict__ C, u32 M, u32 N, u32 K, float alpha, float beta) {
    __shared__ float sA[96 * 9];
    __shared__ float sB[8 * 97];
    GenericTile<96, 96, 8, 6, 6, 9, 97> tile;
    const u32 row0 = blockIdx.y * 96u, col0 = blockIdx.x * 96u;
    tile.run(A, B, M, N, K, row0, col0, sA, sB);
    tile.store(C, M, N, row0, col0, alpha, beta);
}

// Module gemm/batched.ptx (.version 7.0, .target sm_75)
//
// vantblas_gemm_batched(C, A, B, M, N, K, batch_count, stride_A, stride_B, stride_C)
//   C, A, B: u64 device addresses; member b of each starts stride_X * b floats after its base
//   (the product formed in 64 bits), each member a row-major float32 matrix (A M x K, B K x N,
//   C M x N). M, N, K, batch_count and the three strides: u32. A stride of 0 reuses one matrix.
//   grid (ceil(N/16), ceil(M/16), batch_count or more), block (16, 16, 1); blockIdx.z is the batch
//   member, blocks at or beyond batch_count return at once. Static shared sA_tile, sB_tile 256
//   floats each.
//   Thread (tx, ty) computes C[b][16by+ty][16bx+tx] exactly like vantblas_gemm_small_16x16:
//   16-wide k-tiles, elements outside the matrices read as 0, fma.rn.f32 in increasing k from
//   +0.0 stopping at K, outputs outside C not written. Addresses are 64-bit.
#include "common.cuh"

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_batched(float* __restrict__ C, const float* __restrict__ A,
                      const float* __restrict__ B, u32 M, u32 N, u32 K, u32 batch_count,
                      u32 stride_A, u32 stride_B, u32 stride_C) {
    __shared__ float sA_tile[16][16];
    __shared__ float sB_tile[16][16];
    const u32 b = blockIdx.z;
    if (b >= batch_count) return;
    A += (u64)b * stride_A;
    B += (u64)b * stride_B;
    C += (u64)b * stride_C;

    tile16_product(sA_tile, sB_tile, C, A, B, M, N, K);
}

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

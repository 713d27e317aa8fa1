// Module gemm/basic.ptx (.version 7.0, .target sm_75)
//
// vantblas_gemm_64x64(A, B, C, M, N, K)
//   A, B, C: u64 device addresses of row-major float32 matrices (A M x K, B K x N, C M x N)
//   M, N, K: u32
//   grid (ceil(N/64), ceil(M/64), 1), block (16, 16, 1) (or any 256 threads); no shared memory
//   of its own, dynamic shared memory passed at launch is ignored.
//   Thread t = 16 ty + tx of block (bx, by) computes the 4 x 4 outputs at rows 64by + 4(t/16) + i
//   and columns 64bx + 4(t%16) + j straight from global memory, one k at a time, fma.rn.f32 in
//   increasing k from +0.0; elements outside A or B read as 0, outputs outside C are not written.
//   Stands in for the small and shared-memory kernels when their modules are missing, so it
//   accepts their 64 x 64 launch geometry unchanged. Addresses are 64-bit.
#include "common.cuh"

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_64x64(const float* __restrict__ A, const float* __restrict__ B,
                    float* __restrict__ C, u32 M, u32 N, u32 K) {
    const u32 t = threadIdx.y * blockDim.x + threadIdx.x;
    const u32 row0 = blockIdx.y * 64u + 4u * (t / 16u);
    const u32 col0 = blockIdx.x * 64u + 4u * (t % 16u);

    bool row_in[4], col_in[4];
    const float* a_row[4];
#pragma unroll
    for (int i = 0; i < 4; ++i) {
        row_in[i] = row0 + i < M;
        a_row[i] = A + (u64)(row_in[i] ? row0 + i : 0u) * K;
        col_in[i] = col0 + i < N;
    }

    float acc[4][4];
#pragma unroll
    for (int i = 0; i < 4; ++i)
#pragma unroll
        for (int j = 0; j < 4; ++j) acc[i][j] = 0.0f;

    const float* b_row = B + col0;
    for (u32 k = 0; k < K; ++k, b_row += N) {
        float a[4], b[4];
#pragma unroll
        for (int i = 0; i < 4; ++i) a[i] = row_in[i] ? ldg(a_row[i] + k) : 0.0f;
#pragma unroll
        for (int j = 0; j < 4; ++j) b[j] = col_in[j] ? ldg(b_row + j) : 0.0f;
#pragma unroll
        for (int i = 0; i < 4; ++i)
#pragma unroll
            for (int j = 0; j < 4; ++j) acc[i][j] = fmaf(a[i], b[j], acc[i][j]);
    }

#pragma unroll
    for (int i = 0; i < 4; ++i) {
        if (!row_in[i]) break;
        float* c_row = C + (u64)(row0 + i) * N + col0;
#pragma unroll
        for (int j = 0; j < 4; ++j)
            if (col_in[j]) c_row[j] = acc[i][j];
    }
}

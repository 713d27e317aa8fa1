// Module gemm/fp16_pure.ptx (.version 8.2, .target sm_80)
//
// Both: (C, A, B, M, N, K); C u64 address of the row-major float32 output (M x N), A (M x K) and
//   B (K x N) u64 addresses of row-major FP16 inputs, M, N, K u32. C = A x B with m16n16k16
//   tensor-core products and float32 accumulation; k-tiles of 32, double-buffered; 16-byte reads
//   of eight halves, so K and N must be multiples of 8 and A, B 16-byte aligned; M and N multiples
//   of 16 (a 16 x 16 output fragment is written only when it lies wholly inside C). Reads never
//   leave A or B; no dynamic shared memory is used.
// vantblas_gemm_wmma_fp16_pure: grid (ceil(N/64), ceil(M/64), 1), block (128, 1, 1); 64 x 64
//   block tile, warp w computes rows 32(w/2).., columns 32(w%2).. (2 x 2 fragments). Static
//   shared smA 2 x 64 x 40 halves (10240 bytes), smB 2 x 32 x 72 halves (9216 bytes).
// vantblas_gemm_wmma_fp16_pure_large: grid (ceil(N/64), ceil(M/128), 1), block (256, 1, 1);
//   128 x 64 block tile, warp w computes rows 32(w/2).., columns 32(w%2).. (2 x 2 fragments).
//   Static shared smA 2 x 128 x 40 halves (20480 bytes), smB 2 x 32 x 72 halves (9216 bytes).
#include "wmma_tile.cuh"

using Pure = wt::WmmaGemm<__half, 64, 64, 2, 2, 2, 8, 40, 72>;
using PureLarge = wt::WmmaGemm<__half, 128, 64, 4, 2, 2, 8, 40, 72>;

extern "C" __global__ void __launch_bounds__(128, 4)
vantblas_gemm_wmma_fp16_pure(float* __restrict__ C, const __half* __restrict__ A,
                             const __half* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(Pure);
}

extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_wmma_fp16_pure_large(float* __restrict__ C, const __half* __restrict__ A,
                                   const __half* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(PureLarge);
}

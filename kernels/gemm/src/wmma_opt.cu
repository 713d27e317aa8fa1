// Module gemm/wmma_opt.ptx (.version 8.2, .target sm_80)
//
// All three: (C, A, B, M, N, K); C, A, B u64 device addresses of row-major float32 matrices
//   (C M x N, A M x K, B K x N), M, N, K u32. C = A x B with every element of A and B rounded to
//   FP16 (cvt.rn: 65520 and above in magnitude become infinities) while it is staged, m16n16k16
//   tensor-core products, float32 accumulation. M and N must be multiples of 16 (a 16 x 16 output
//   fragment is written only when it lies wholly inside C); no dynamic shared memory is used.
//   Reads never leave A or B.
// vantblas_gemm_wmma_opt_vec: grid (ceil(N/64), ceil(M/64), 1), block (128, 1, 1); 64 x 64 block
//   tile, warp w computes rows 32(w/2).., columns 32(w%2).. (2 x 2 fragments); k-tiles of 32,
//   double-buffered; 16-byte reads of four floats, so K and N must be multiples of 4 (16 on the
//   host path) and A, B 16-byte aligned. Static shared smA 2 x 64 x 40 halves (10240 bytes), smB
//   2 x 32 x 72 halves (9216 bytes). .maxntid 128, .minnctapersm 4.
// vantblas_gemm_wmma_opt_64: as opt_vec but one float per read (any K; a partial last k-tile is
//   zero-filled), same geometry and shared arrays.
// vantblas_gemm_wmma_opt_128: grid (ceil(N/128), ceil(M/128), 1), block (256, 1, 1); 128 x 128
//   block tile, warp w computes rows 32(w/2).., columns 64(w%2).. (2 x 4 fragments); k-tiles of
//   32, double-buffered; 16-byte reads (K, N multiples of 4). Static shared smA 2 x 128 x 40
//   halves (20480 bytes), smB 2 x 32 x 136 halves (17408 bytes).
#include "wmma_tile.cuh"

using OptVec = wt::WmmaGemm<float, 64, 64, 2, 2, 2, 4, 40, 72>;
using Opt64 = wt::WmmaGemm<float, 64, 64, 2, 2, 2, 1, 40, 72>;
using Opt128 = wt::WmmaGemm<float, 128, 128, 4, 2, 2, 4, 40, 136>;

extern "C" __global__ void __launch_bounds__(128, 4)
vantblas_gemm_wmma_opt_64(float* __restrict__ C, const float* __restrict__ A,
                          const float* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(Opt64);
}

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_wmma_opt_128(float* __restrict__ C, const float* __restrict__ A,
                           const float* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(Opt128);
}

extern "C" __global__ void __launch_bounds__(128, 4)
vantblas_gemm_wmma_opt_vec(float* __restrict__ C, const float* __restrict__ A,
                           const float* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(OptVec);
}

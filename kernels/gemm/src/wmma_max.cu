// Module gemm/wmma_max.ptx (.version 8.2, .target sm_80)
//
// Both: (C, A, B, M, N, K); C u64 address of the row-major float32 output (M x N), A (M x K) and
//   B (K x N) u64 addresses of row-major inputs, M, N, K u32. grid (ceil(N/128), ceil(M/128), 1),
//   block (256, 1, 1), .maxntid 256, .minnctapersm 2. 128 x 128 block tile; warp w computes rows
//   32(w/2).., columns 64(w%2).. (2 x 4 m16n16k16 fragments); k-tiles of 32, single-buffered,
//   one element per read (any K: a partial last k-tile is zero-filled). Static shared smA 128 x
//   40 halves (10240 bytes), smB 32 x 136 halves (8704 bytes); dynamic shared memory passed at
//   launch (20480 bytes on the host path) is ignored. M and N must be multiples of 16 (a 16 x 16
//   output fragment is written only when it lies wholly inside C). Reads never leave A or B.
// vantblas_gemm_wmma_max: A and B float32, rounded to FP16 with cvt.rn while staged (65520 and
//   above in magnitude become infinities); float32 accumulation.
// vantblas_gemm_wmma_max_f16: A and B FP16, staged unchanged; float32 accumulation.
#include "wmma_tile.cuh"

using MaxF32 = wt::WmmaGemm<float, 128, 128, 4, 2, 1, 1, 40, 136>;
using MaxF16 = wt::WmmaGemm<__half, 128, 128, 4, 2, 1, 1, 40, 136>;

extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_wmma_max(float* __restrict__ C, const float* __restrict__ A,
                       const float* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(MaxF32);
}

extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_wmma_max_f16(float* __restrict__ C, const __half* __restrict__ A,
                           const __half* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(MaxF16);
}

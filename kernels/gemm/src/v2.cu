// Module gemm/v2.ptx (.version 7.0, .target sm_80). Compiled with flush-to-zero float arithmetic.
//
// vantblas_gemm_v2(A, B, C, M, N, K, alpha, beta)
//   A, B, C: u64 device addresses of row-major float32 matrices (A M x K, B K x N, C M x N)
//   M, N, K: u32 (N a multiple of 4: B is read and C written in 16-byte groups; B and C 16-byte
//   aligned); alpha, beta: f32.
//   grid (ceil(N/128), ceil(M/128), 1), block (256, 1, 1); static shared sA 2 x 128 x 9 floats,
//   sB 2 x 8 x 129 floats; no dynamic shared memory.
//   Block (bx, by) computes the 128 x 128 tile at rows 128by.., columns 128bx..; each thread 8 x 8
//   outputs; k-tiles of 8, double-buffered (the next tile is fetched while the current one is
//   multiplied, one barrier per tile). Products accumulate with fma.rn.ftz.f32 in increasing k
//   from +0.0, elements outside A or B staged as 0. Each 16-byte group of C that lies wholly
//   inside C (row < M, last column < N) becomes fma.rn.ftz(acc, alpha, beta * C_old); C_old is
//   read only when beta is not 0, so beta = 0 works on an uninitialised C. Addresses are 64-bit.
// vantblas_gemm_v3(A, B, C, M, N, K, alpha, beta): same launch as vantblas_gemm_v2 (grid
//   (ceil(N/128), ceil(M/128), 1), 256 threads) and the same C = alpha A x B + beta C contract, for
//   any M, N, K and alignment: single floats, each thread 8 x 8 outputs at rows t/16 + 16i and
//   columns t%16 + 16j of the tile, k-tiles of 8 stopping at K, fma.rn.ftz.f32.
// vantblas_gemm_small_optimized(C, A, B, M, N, K): C = A x B for any sizes; grid (ceil(N/32),
//   ceil(M/32), 1), block (16, 16, 1) (any 256 threads); 32 x 32 tile, 2 x 2 outputs per thread at
//   rows t/16 + 16i and columns t%16 + 16j, k-tiles of 16 stopping at K, fma.rn.ftz.f32.
// vantblas_gemm_wmma_v2(C, A, B, M, N, K): C float32 = A x B with A, B row-major FP16; grid
//   (ceil(N/128), ceil(M/128), 1), block (256, 1, 1); 128 x 128 tile, warp w computes rows
//   32(w/2).., columns 64(w%2).. (2 x 4 m16n16k16 fragments, float32 accumulation); k-tiles of 32,
//   single-buffered, 16-byte reads of eight halves (K and N multiples of 8, A and B 16-byte
//   aligned); M and N multiples of 16 (whole output fragments only). Static shared smA 128 x 48
//   halves (12288 bytes), smB 32 x 136 halves (8704 bytes).
#include "v2_fp32.cuh"
#include "wmma_tile.cuh"

// Two blocks per multiprocessor: 128 registers hold the 8 x 8 accumulators without spilling.
extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_v2(const float* __restrict__ A, const float* __restrict__ B, float* __restrict__ C,
                 u32 M, u32 N, u32 K, float alpha, float beta) {
    __shared__ __align__(16) float sA[2 * 128 * 9];
    __shared__ __align__(16) float sB[2 * 8 * 129];
    v2_gemm_body(A, B, C, M, N, K, alpha, beta, sA, sB);
}

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_v3(const float* __restrict__ A, const float* __restrict__ B, float* __restrict__ C,
                 u32 M, u32 N, u32 K, float alpha, float beta) {
    __shared__ float sA[128 * 9];
    __shared__ float sB[8 * 129];
    GenericTile<128, 128, 8, 8, 8, 9, 129> tile;
    const u32 row0 = blockIdx.y * 128u, col0 = blockIdx.x * 128u;
    tile.run(A, B, M, N, K, row0, col0, sA, sB);
    tile.store(C, M, N, row0, col0, alpha, beta);
}

using WmmaV2 = wt::WmmaGemm<__half, 128, 128, 4, 2, 1, 8, 48, 136>;

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_wmma_v2(float* __restrict__ C, const __half* __restrict__ A,
                      const __half* __restrict__ B, u32 M, u32 N, u32 K) {
    VANT_WMMA_KERNEL_BODY(WmmaV2);
}

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_small_optimized(float* __restrict__ C, const float* __restrict__ A,
                              const float* __restrict__ B, u32 M, u32 N, u32 K) {
    __shared__ float sA[32 * 17];
    __shared__ float sB[16 * 33];
    GenericTile<32, 32, 16, 2, 2, 17, 33> tile;
    const u32 row0 = blockIdx.y * 32u, col0 = blockIdx.x * 32u;
    tile.run(A, B, M, N, K, row0, col0, sA, sB);
    tile.store(C, M, N, row0, col0, 1.0f, 0.0f);
}

// Module gemm/shared.ptx (.version 7.0, .target sm_75)
//
// vantblas_gemm_shared_64x64(A, B, C, M, N, K)
//   A, B, C: u64 device addresses of row-major float32 matrices (A M x K, B K x N, C M x N)
//   M, N, K: u32
//   grid (ceil(N/64), ceil(M/64), 1), block (16, 16, 1) (any 256 threads work); static shared
//   smem_A and smem_B, 512 floats each (4 KB in all); dynamic shared memory passed at launch
//   (4096 bytes on the host paths) is ignored.
//   Block (bx, by) computes the 64 x 64 tile of C at rows 64by.., columns 64bx.., each thread a
//   4 x 4 register block, over k-tiles of 8: C[i][j] = sum_k A[i][k] * B[k][j] with fma.rn.f32 in
//   increasing k from +0.0. Elements outside A or B are staged as 0 (their products add +0.0
//   exactly like a skipped term); outputs outside C are not written, row by row, each column
//   checked against N. Addresses are 64-bit.
//
// Layout choices, all internal to the block:
//   - warp w covers rows 16(w/2) + [0, 16) and columns 32(w%2) + [0, 32) of the tile, lane l the
//     rows 4(l/8) + [0, 4) and columns 4(l%8) + [0, 4) of that: per k a warp then reads four
//     distinct 16-byte A groups and eight contiguous B groups, one shared-memory wavefront each.
//   - smem_A holds the A slice k-major (8 rows of 64) with the row index XOR-swizzled by 4k, so
//     the transposing stores of a warp hit 32 distinct banks while 4-row groups stay contiguous.
//   - the next k-tile is fetched into registers while the current one is multiplied.
//
// vantblas_gemm_shared_split(A, B, P, M, N, K, k_slice)
//   A, B as above, P: u64 address of S x M x N float32 (S = gridDim.z), k_slice: u32 (> 0).
//   grid (ceil(N/64), ceil(M/64), S), block (16, 16, 1); static shared memory as above;
//   .minnctapersm 2.
//   Slice z covers k in [z k_slice, min(K, (z+1) k_slice)) (empty when z k_slice >= K) and writes
//   the tile computed exactly as above, over that k range only, to P + z M N: the raw sum of the
//   slice's products with fma.rn.f32 in increasing k from +0.0 (+0.0 for an empty slice).
// vantblas_splitk_reduce(C, P, count, S, f1, f2)
//   C: u64 address of count float32, P: u64 address of S x count float32, count, S: u32 (S > 0),
//   f1, f2: f32. grid (ceil(count/256), 1, 1), block (256, 1, 1). Thread i < count writes
//   C[i] = ((P[i] + P[count + i] + ... + P[(S-1) count + i]) * f1) * f2, the sum taken in that
//   order with add.rn.f32, each product rounded (mul.rn.f32): the partial sums of a split product
//   in a fixed order, then the route's scale-back (f1 = f2 = 1 leaves the sum as it is).
#include "common.cuh"

namespace {

// The tile of block (blockIdx.x, blockIdx.y) over the K columns of A, whose rows lie lda floats
// apart (lda = K for a whole product, the full row length for one k slice of it).
__device__ __forceinline__ void shared_tile(const float* __restrict__ A, const float* __restrict__ B,
                                            float* __restrict__ C, u32 M, u32 N, u32 K, u32 lda,
                                            float* smem_A, float* smem_B) {
    const u32 t = threadIdx.y * blockDim.x + threadIdx.x;
    const u32 warp = t >> 5, lane = t & 31u;
    const u32 row_base = blockIdx.y * 64u, col_base = blockIdx.x * 64u;
    const u32 tr = 16u * (warp >> 1) + 4u * (lane >> 3);  // first of the thread's 4 rows
    const u32 tc = 32u * (warp & 1u) + 4u * (lane & 7u);  // first of its 4 columns

    // Staging assignment: A elements (m, k) = (t/8 + 32r, t%8), B elements (k, n) = (t/64 + 4r, t%64).
    const u32 ak = t & 7u, am = t >> 3;
    const u32 bk = t >> 6, bn = t & 63u;
    const bool a_in0 = row_base + am < M, a_in1 = row_base + am + 32u < M;
    const float* a_src0 = A + (u64)(a_in0 ? row_base + am : 0u) * lda + ak;
    const float* a_src1 = A + (u64)(a_in1 ? row_base + am + 32u : 0u) * lda + ak;
    const bool b_in = col_base + bn < N;
    const float* b_src = B + (b_in ? col_base + bn : 0u);
    const u32 a_dst0 = ak * 64u + (am ^ (ak << 2));
    const u32 a_dst1 = ak * 64u + ((am + 32u) ^ (ak << 2));
    const u32 b_dst0 = bk * 64u + bn, b_dst1 = (bk + 4u) * 64u + bn;

    float ra0 = 0.0f, ra1 = 0.0f, rb0 = 0.0f, rb1 = 0.0f;
    auto fetch = [&](u32 kt) {
        const u32 ka = kt * 8u + ak, kb = kt * 8u + bk;
        const bool ka_in = ka < K;
        ra0 = (a_in0 && ka_in) ? ldg(a_src0 + kt * 8u) : 0.0f;
        ra1 = (a_in1 && ka_in) ? ldg(a_src1 + kt * 8u) : 0.0f;
        rb0 = (b_in && kb < K) ? ldg(b_src + (u64)kb * N) : 0.0f;
        rb1 = (b_in && kb + 4u < K) ? ldg(b_src + (u64)(kb + 4u) * N) : 0.0f;
    };

    float acc[4][4];
#pragma unroll
    for (int i = 0; i < 4; ++i)
#pragma unroll
        for (int j = 0; j < 4; ++j) acc[i][j] = 0.0f;

    const u32 tiles = tiles_for(K, 8u);
    if (tiles != 0u) fetch(0);
    for (u32 kt = 0; kt < tiles; ++kt) {
        smem_A[a_dst0] = ra0;
        smem_A[a_dst1] = ra1;
        smem_B[b_dst0] = rb0;
        smem_B[b_dst1] = rb1;
        __syncthreads();
        if (kt + 1u < tiles) fetch(kt + 1u);
#pragma unroll
        for (u32 kk = 0; kk < 8u; ++kk) {
            const float4 a = *reinterpret_cast<const float4*>(&smem_A[kk * 64u + (tr ^ (kk << 2))]);
            const float4 b = *reinterpret_cast<const float4*>(&smem_B[kk * 64u + tc]);
            const float av[4] = {a.x, a.y, a.z, a.w};
            const float bv[4] = {b.x, b.y, b.z, b.w};
#pragma unroll
            for (int i = 0; i < 4; ++i)
#pragma unroll
                for (int j = 0; j < 4; ++j) acc[i][j] = fmaf(av[i], bv[j], acc[i][j]);
        }
        __syncthreads();
    }

    const u32 col = col_base + tc;
    const bool vec_store = (N & 3u) == 0u && col + 3u < N && ((u64)C & 15u) == 0u;
#pragma unroll
    for (int i = 0; i < 4; ++i) {
        const u32 row = row_base + tr + i;
        if (row >= M) break;
        float* dst = C + (u64)row * N + col;
        if (vec_store) {
            *reinterpret_cast<float4*>(dst) = make_float4(acc[i][0], acc[i][1], acc[i][2], acc[i][3]);
        } else {
#pragma unroll
            for (int j = 0; j < 4; ++j)
                if (col + j < N) dst[j] = acc[i][j];
        }
    }
}

}  // namespace

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_shared_64x64(const float* __restrict__ A, const float* __restrict__ B,
                           float* __restrict__ C, u32 M, u32 N, u32 K) {
    __shared__ __align__(16) float smem_A[8 * 64];
    __shared__ __align__(16) float smem_B[8 * 64];
    shared_tile(A, B, C, M, N, K, K, smem_A, smem_B);
}

// Two blocks a multiprocessor are what a split grid provides (see the split-K plan); asking for no
// more leaves the compiler the registers to keep the slice's pointers without spilling.
extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_shared_split(const float* __restrict__ A, const float* __restrict__ B,
                           float* __restrict__ P, u32 M, u32 N, u32 K, u32 k_slice) {
    __shared__ __align__(16) float smem_A[8 * 64];
    __shared__ __align__(16) float smem_B[8 * 64];
    const u64 first = (u64)blockIdx.z * k_slice;
    const u32 k0 = first < K ? (u32)first : 0u;
    const u32 length = first < K ? (K - k0 < k_slice ? K - k0 : k_slice) : 0u;
    shared_tile(A + k0, B + (u64)k0 * N, P + (u64)blockIdx.z * M * N, M, N, length, K, smem_A, smem_B);
}

extern "C" __global__ void __launch_bounds__(256)
vantblas_splitk_reduce(float* __restrict__ C, const float* __restrict__ P, u32 count, u32 slices,
                       float f1, float f2) {
    const u32 i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) return;
    float acc = ldg(P + i);
    for (u32 z = 1; z < slices; ++z) acc = __fadd_rn(acc, ldg(P + (u64)z * count + i));
    C[i] = __fmul_rn(__fmul_rn(acc, f1), f2);
}

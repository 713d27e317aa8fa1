// Module gemm/mma_pipe.ptx (.version 7.0, .target sm_80)
//
// vantblas_convert_scaled_f16(out, in, n, f1, f2): out u64 address of n FP16 values, in u64
//   address of n float32 values (16-byte aligned), n u32 (a multiple of 4), f1, f2 f32 powers of
//   two. grid (ceil(n/1024), 1, 1), block (256, 1, 1). Thread i with 4i < n converts elements
//   4i .. 4i+3: out[e] = cvt.rn.f16.f32((in[e] * f1) * f2), one 16-byte read, one 8-byte write.
//   Both multiplications are exact unless the product leaves the normal float32 range, so the
//   result is the element scaled by f1 * f2 and rounded once to half; NaN and infinities pass.
// vantblas_gemm_mma_pipe(C, A, B, M, N, K, f1, f2): C u64 address of M x N float32, A of M x K
//   and B of K x N FP16 values (row-major), M, N, K u32 multiples of 16, f1, f2 f32 powers of two.
//   C = ((A x B) * f1) * f2 with mma.sync m16n8k16 (FP16 products, float32 accumulation).
//   grid (ceil(M/128), min(T, 65535), ceil(T/65535)) with T = ceil(N/128); block (256, 1, 1);
//   dynamic shared memory 49152 bytes (no static shared memory). With i = x + gridDim.x (y +
//   gridDim.y z) (blocks with y + gridDim.y z >= T return at once), groups of 16 row tiles are
//   swept column tile by column tile: group g = i / (16 T), r = min(16, gridDim.x - 16 g) rows in
//   it, j = i mod (16 T); the block computes the 128 x 128 tile at row tile 16 g + j mod r and
//   column tile j / r. Warp w computes the 64 x 32 sub-tile at rows 64(w/4), columns 32(w%4)
//   (4 x 4 mma tiles). K advances in steps of 32 through a 3-stage cp.async pipeline; rows of A
//   past M, columns of B past N and k past K are zero-filled (src-size 0), never read. Shared
//   rows are XOR-swizzled in 16-byte chunks so that every ldmatrix.x4 phase touches 8 distinct
//   bank groups. Stores are 8-byte float pairs, guarded by M and N. .maxntid 256, .minnctapersm 2.
// vantblas_gemm_mma_split(P, A, B, M, N, K, k_slice): P u64 address of S x M x N float32
//   (S = gridDim.z), A, B and M, N, K as for vantblas_gemm_mma_pipe, k_slice u32 (> 0, a multiple
//   of 32). grid (ceil(M/128), ceil(N/128), S); block (256, 1, 1); dynamic shared memory 49152
//   bytes. The block order of vantblas_gemm_mma_pipe with T = gridDim.y column tiles and z
//   taken as the slice: slice z covers k in [z k_slice, min(K, (z+1) k_slice)) (empty when
//   z k_slice >= K) and writes its tile's raw float32 accumulators, unscaled, to P + z M N,
//   computed exactly as the unsplit kernel computes C over that k range (+0.0 for an empty slice).
//   The slices are summed and scaled back by vantblas_splitk_reduce (gemm/shared.ptx).
// Byte offsets are 64-bit.
#include "mma_sync.cuh"

namespace {

constexpr int kTile = 128;   // block tile, rows and columns of C
constexpr int kStep = 32;    // k per pipeline stage
constexpr int kStages = 3;
constexpr int kThreads = 256;
constexpr u32 kGroup = 16;   // row tiles per group of the block order
// One stage: A slice 128 rows x 32 halves (64 bytes, 4 chunks a row), B slice 32 rows x 128
// halves (256 bytes, 16 chunks a row).
constexpr u32 kStageA = kTile * kStep * 2;   // 8192 bytes
constexpr u32 kStageB = kStep * kTile * 2;   // 8192 bytes
constexpr u32 kStageBytes = kStageA + kStageB;

// Byte offset of 16-byte chunk c of row r in a stage's A slice: chunks of a row permuted by
// bits 1-2 of the row, so the 8 rows an ldmatrix phase reads (same logical chunk) fall into 8
// different bank groups.
__device__ __forceinline__ u32 a_offset(u32 r, u32 c) { return r * 64u + ((c ^ ((r >> 1) & 3u)) << 4); }
// Byte offset of chunk c of k-row r in a stage's B slice: chunks permuted by the low 3 row bits.
__device__ __forceinline__ u32 b_offset(u32 r, u32 c) { return r * 256u + ((c ^ (r & 7u)) << 4); }

// Issues the copies of k-tile kt of the range [k_begin, k_end) into stage s: thread t copies A
// chunks t and t + 256 (row i/4, chunk i%4) and B chunks t and t + 256 (k-row i/16, chunk i%16).
// Rows of A are K halves long.
__device__ __forceinline__ void load_stage(u32 smem, u32 s, u32 kt, const __half* __restrict__ A,
                                           const __half* __restrict__ B, u32 M, u32 N, u32 K,
                                           u32 k_begin, u32 k_end, u32 row0, u32 col0, u32 t) {
    const u32 base = smem + s * kStageBytes;
    const u32 k0 = k_begin + kt * kStep;
#pragma unroll
    for (u32 j = 0; j < 2; ++j) {
        const u32 i = t + j * kThreads;
        const u32 r = i >> 2, c = i & 3u;
        const u32 row = row0 + r, k = k0 + c * 8u;
        const u32 dst = base + a_offset(r, c);
        if (row < M && k < k_end) cp_async16(dst, A + (u64)row * K + k);
        else cp_async_zero16(dst, A);
    }
#pragma unroll
    for (u32 j = 0; j < 2; ++j) {
        const u32 i = t + j * kThreads;
        const u32 r = i >> 4, c = i & 15u;
        const u32 k = k0 + r, col = col0 + c * 8u;
        const u32 dst = base + kStageA + b_offset(r, c);
        if (k < k_end && col < N) cp_async16(dst, B + (u64)k * N + col);
        else cp_async_zero16(dst, B);
    }
}

}  // namespace

extern "C" __global__ void __launch_bounds__(256)
vantblas_convert_scaled_f16(__half* __restrict__ out, const float* __restrict__ in, u32 n, float f1,
                            float f2) {
    const u32 i = blockIdx.x * blockDim.x + threadIdx.x;
    const u64 first = (u64)i * 4u;
    if (first >= n) return;
    const float4 v = ldg4(in + first);
    const __half2 lo = __floats2half2_rn(__fmul_rn(__fmul_rn(v.x, f1), f2), __fmul_rn(__fmul_rn(v.y, f1), f2));
    const __half2 hi = __floats2half2_rn(__fmul_rn(__fmul_rn(v.z, f1), f2), __fmul_rn(__fmul_rn(v.w, f1), f2));
    uint2 packed;
    packed.x = *reinterpret_cast<const u32*>(&lo);
    packed.y = *reinterpret_cast<const u32*>(&hi);
    *reinterpret_cast<uint2*>(out + first) = packed;
}

namespace {

// The block's 128 x 128 tile of C over k in [k_begin, k_end), raw_n being the block's index
// along the column tiles of the launch order. kScaled: C = ((A x B) * f1) * f2, else the raw
// float32 accumulators.
template <bool kScaled>
__device__ __forceinline__ void mma_tile(float* __restrict__ C, const __half* __restrict__ A,
                                         const __half* __restrict__ B, u32 M, u32 N, u32 K,
                                         u32 k_begin, u32 k_end, u32 raw_n, float f1, float f2,
                                         u32 smem) {
    const u32 tiles_m = gridDim.x, tiles_n = tiles_for(N, kTile);
    if (raw_n >= tiles_n) return;  // the whole block leaves before any barrier
    // Grouped order: blocks in launch order (x fastest) sweep kGroup row tiles across every column
    // tile before moving on, so the A rows and B columns in flight together stay in L2.
    const u32 linear = blockIdx.x + tiles_m * raw_n;
    const u32 per_group = kGroup * tiles_n;
    const u32 first_m = linear / per_group * kGroup;
    const u32 rows_here = tiles_m - first_m < kGroup ? tiles_m - first_m : kGroup;
    const u32 in_group = linear % per_group;
    const u32 row0 = (first_m + in_group % rows_here) * kTile, col0 = in_group / rows_here * kTile;
    const u32 t = threadIdx.x, lane = t & 31u, warp = t >> 5;
    const u32 wm = (warp >> 2) * 64u, wn = (warp & 3u) * 32u;

    float acc[4][4][4];
#pragma unroll
    for (int i = 0; i < 4; ++i)
#pragma unroll
        for (int j = 0; j < 4; ++j)
#pragma unroll
            for (int e = 0; e < 4; ++e) acc[i][j][e] = 0.0f;

    const u32 tiles = tiles_for(k_end - k_begin, kStep);
#pragma unroll
    for (u32 s = 0; s < kStages - 1; ++s) {
        if (s < tiles) load_stage(smem, s, s, A, B, M, N, K, k_begin, k_end, row0, col0, t);
        cp_async_commit();
    }

    // ldmatrix lane roles: lane l addresses row l%8 of matrix l/8.
    const u32 lrow = lane & 7u, lmat = lane >> 3;
    for (u32 kt = 0; kt < tiles; ++kt) {
        cp_async_wait<kStages - 2>();  // this thread's copies of tile kt have landed
        __syncthreads();               // everyone's have, and stage (kt-1)%3 is free again
        const u32 next = kt + kStages - 1;
        if (next < tiles) load_stage(smem, next % kStages, next, A, B, M, N, K, k_begin, k_end, row0, col0, t);
        cp_async_commit();

        const u32 a_base = smem + (kt % kStages) * kStageBytes;
        const u32 b_base = a_base + kStageA;
#pragma unroll
        for (u32 kk = 0; kk < 2; ++kk) {
            u32 af[4][4];
#pragma unroll
            for (u32 i = 0; i < 4; ++i) {
                // matrices: rows +0/+8 (bit 0 of lmat), k chunk 2kk / 2kk+1 (bit 1)
                const u32 r = wm + i * 16u + lrow + (lmat & 1u) * 8u;
                ldsm_x4(af[i], a_base + a_offset(r, kk * 2u + (lmat >> 1)));
            }
            u32 bf[2][4];
#pragma unroll
            for (u32 j = 0; j < 2; ++j) {
                // matrices: k rows +0/+8 (bit 0), columns +0/+8 (bit 1)
                const u32 r = kk * 16u + lrow + (lmat & 1u) * 8u;
                ldsm_x4_trans(bf[j], b_base + b_offset(r, (wn >> 3) + j * 2u + (lmat >> 1)));
            }
#pragma unroll
            for (u32 i = 0; i < 4; ++i)
#pragma unroll
                for (u32 j = 0; j < 4; ++j)
                    mma_16816(acc[i][j], af[i], bf[j >> 1][(j & 1u) * 2u], bf[j >> 1][(j & 1u) * 2u + 1u]);
        }
    }
    cp_async_wait<0>();  // only empty groups can remain; leave none behind

    const u32 g = lane >> 2, tq = lane & 3u;
#pragma unroll
    for (u32 i = 0; i < 4; ++i) {
#pragma unroll
        for (u32 h = 0; h < 2; ++h) {
            const u32 row = row0 + wm + i * 16u + g + h * 8u;
            if (row >= M) continue;
            float* crow = C + (u64)row * N;
#pragma unroll
            for (u32 j = 0; j < 4; ++j) {
                const u32 col = col0 + wn + j * 8u + tq * 2u;
                if (col >= N) continue;
                float2 v;
                if (kScaled) {
                    v.x = __fmul_rn(__fmul_rn(acc[i][j][h * 2u], f1), f2);
                    v.y = __fmul_rn(__fmul_rn(acc[i][j][h * 2u + 1u], f1), f2);
                } else {
                    v.x = acc[i][j][h * 2u];
                    v.y = acc[i][j][h * 2u + 1u];
                }
                *reinterpret_cast<float2*>(crow + col) = v;
            }
        }
    }
}

}  // namespace

extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_mma_pipe(float* __restrict__ C, const __half* __restrict__ A,
                       const __half* __restrict__ B, u32 M, u32 N, u32 K, float f1, float f2) {
    extern __shared__ __align__(128) unsigned char shared_bytes[];
    mma_tile<true>(C, A, B, M, N, K, 0u, K, blockIdx.y + gridDim.y * blockIdx.z, f1, f2,
                   (u32)__cvta_generic_to_shared(shared_bytes));
}

extern "C" __global__ void __launch_bounds__(256, 2)
vantblas_gemm_mma_split(float* __restrict__ P, const __half* __restrict__ A,
                        const __half* __restrict__ B, u32 M, u32 N, u32 K, u32 k_slice) {
    extern __shared__ __align__(128) unsigned char shared_bytes[];
    const u64 first = (u64)blockIdx.z * k_slice;
    const u32 k_begin = first < K ? (u32)first : K;
    const u32 k_end = K - k_begin < k_slice ? K : k_begin + k_slice;
    mma_tile<false>(P + (u64)blockIdx.z * M * N, A, B, M, N, K, k_begin, k_end, blockIdx.y, 1.0f, 1.0f,
                    (u32)__cvta_generic_to_shared(shared_bytes));
}

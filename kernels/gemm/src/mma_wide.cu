// Module gemm/mma_wide.ptx (.version 7.0, .target sm_80)
//
// vantblas_gemm_mma_wide(C, A, B, M, N, K, f1, f2): C u64 address of M x N float32, A of M x K
//   and B of K x N FP16 values (row-major), M, N, K u32 multiples of 16, f1, f2 f32 powers of two.
//   C = ((A x B) * f1) * f2 with mma.sync m16n8k16 (FP16 products, float32 accumulation).
//   grid (ceil(M/128), min(T, 65535), ceil(T/65535)) with T = ceil(N/256); block (256, 1, 1);
//   dynamic shared memory 98304 bytes (no static shared memory), so the function's maximum
//   dynamic shared size must be raised first (cuFuncSetAttribute, attribute 8). With
//   i = x + gridDim.x (y + gridDim.y z) (blocks with y + gridDim.y z >= T return at once), groups
//   of 16 row tiles are swept column tile by column tile: group g = i / (16 T), r = min(16,
//   gridDim.x - 16 g) rows in it, j = i mod (16 T); the block computes the 128 x 256 tile at row
//   tile 16 g + j mod r and column tile j / r. Warp w computes the 64 x 64 sub-tile at rows
//   64(w/4), columns 64(w%4) (4 x 8 mma tiles a k16). K advances in steps of 32 through a 4-stage
//   cp.async ring of 24 KiB stages (A 128 x 32, B 32 x 256); rows of A past M, columns of B past N
//   and k past K are zero-filled (src-size 0), never read. A stage is refilled only after the
//   barrier that follows every warp's last ldmatrix of it. The fragments of the next k16 are
//   loaded while the mma of the current one issue (two register sets). Shared rows are
//   XOR-swizzled in 16-byte chunks so that every ldmatrix.x4 phase and every cp.async row touches
//   8 distinct bank groups. Every address is hoisted out of the K loop: per-thread shared offsets
//   with the stage as an immediate, and one A and one B source pointer advanced each step. Stores
//   are 8-byte float pairs, guarded by M and N. .maxntid 256.
// Byte offsets are 64-bit.
#include "mma_sync.cuh"

namespace {

constexpr u32 kRows = 128;   // block tile: rows of C
constexpr u32 kCols = 256;   // block tile: columns of C
constexpr u32 kStep = 32;    // k per pipeline stage
constexpr u32 kStages = 4;
constexpr u32 kGroup = 16;   // row tiles per group of the block order
// One stage: A slice 128 rows x 32 halves (64 bytes, 4 chunks a row), B slice 32 rows x 256
// halves (512 bytes, 32 chunks a row).
constexpr u32 kStageA = kRows * kStep * 2;   // 8192 bytes
constexpr u32 kStageB = kStep * kCols * 2;   // 16384 bytes
constexpr u32 kStageBytes = kStageA + kStageB;

// Byte offset of 16-byte chunk c of row r in a stage's A slice: the chunks of a row permuted by
// bits 1-2 of the row, so the 8 rows an ldmatrix phase reads (same logical chunk, two rows per
// 128 bytes) fall into 8 different bank groups.
__device__ __forceinline__ u32 a_offset(u32 r, u32 c) { return r * 64u + ((c ^ ((r >> 1) & 3u)) << 4); }
// Byte offset of chunk c of k-row r in a stage's B slice: the low 3 chunk bits permuted by the
// low 3 row bits (rows are 512 bytes, so the bank group is the chunk's low 3 bits).
__device__ __forceinline__ u32 b_offset(u32 r, u32 c) { return r * 512u + ((c ^ (r & 7u)) << 4); }

// One k16's fragments of a warp: A for its 4 row tiles of 16, B for its 4 column pairs of 8.
struct Fragments {
    u32 a[4][4];
    u32 b[4][4];
};

}  // namespace

extern "C" __global__ void __launch_bounds__(256)
vantblas_gemm_mma_wide(float* __restrict__ C, const __half* __restrict__ A,
                       const __half* __restrict__ B, u32 M, u32 N, u32 K, float f1, float f2) {
    extern __shared__ __align__(128) unsigned char shared_bytes[];
    const u32 tiles_m = gridDim.x, tiles_n = tiles_for(N, kCols);
    const u32 raw_n = blockIdx.y + gridDim.y * blockIdx.z;
    if (raw_n >= tiles_n) return;  // the whole block leaves before any barrier
    // Grouped order: blocks in launch order (x fastest) sweep kGroup row tiles across every column
    // tile before moving on, so the A rows and B columns in flight together stay in L2.
    const u32 linear = blockIdx.x + tiles_m * raw_n;
    const u32 per_group = kGroup * tiles_n;
    const u32 first_m = linear / per_group * kGroup;
    const u32 rows_here = tiles_m - first_m < kGroup ? tiles_m - first_m : kGroup;
    const u32 in_group = linear % per_group;
    const u32 row0 = (first_m + in_group % rows_here) * kRows, col0 = in_group / rows_here * kCols;
    const u32 t = threadIdx.x, lane = t & 31u, warp = t >> 5;
    const u32 wm = (warp >> 2) * 64u, wn = (warp & 3u) * 64u;
    const u32 smem = (u32)__cvta_generic_to_shared(shared_bytes);

    // Copy roles. A: thread t copies chunk t%4 of rows t/4 and t/4 + 64 (the same swizzle, 4096
    // bytes apart). B: chunk t%32 of k-rows t/32 + 8j, j < 4 (the same swizzle, 4096 bytes apart).
    const u32 a_r = t >> 2, a_k = (t & 3u) * 8u;
    const u32 b_r = t >> 5, b_c = t & 31u;
    const u32 a_dst = smem + a_offset(a_r, t & 3u);
    const u32 b_dst = smem + kStageA + b_offset(b_r, b_c);
    const bool a_in0 = row0 + a_r < M, a_in1 = row0 + a_r + 64u < M;
    const bool b_in = col0 + b_c * 8u < N;
    const char* a_src = reinterpret_cast<const char*>(A + (u64)(row0 + a_r) * K + a_k);
    const char* b_src = reinterpret_cast<const char*>(B + (u64)b_r * N + col0 + b_c * 8u);
    const u64 a_rows64 = (u64)K * 128u;  // bytes from row a_r to row a_r + 64
    const u64 b_rows8 = (u64)N * 16u;    // bytes of 8 k-rows
    const u64 b_step = (u64)N * 64u;     // bytes of one step's 32 k-rows
    u32 rem = K;                          // k left from the next step to be copied

    // Issues the copies of the next step into the stage at byte offset `stage` and advances.
    auto copy_step = [&](u32 stage) {
        const bool ka = a_k < rem;
        cp_async16_or_zero(a_dst + stage, a_src, A, a_in0 && ka);
        cp_async16_or_zero(a_dst + stage + 4096u, a_src + a_rows64, A, a_in1 && ka);
#pragma unroll
        for (u32 j = 0; j < 4; ++j)
            cp_async16_or_zero(b_dst + stage + j * 4096u, b_src + j * b_rows8, B, b_in && b_r + j * 8u < rem);
        a_src += kStep * 2u;
        b_src += b_step;
        rem -= kStep;
    };

    // ldmatrix roles: lane l addresses row l%8 of matrix l/8. A matrices: rows +0/+8 (bit 0 of
    // l/8), k chunk 2kk / 2kk+1 (bit 1); row tile i adds 16 rows (1024 bytes). B matrices: k rows
    // +0/+8 (bit 0), columns +0/+8 (bit 1) of column pair j; the second k16 adds 16 rows (8192 bytes).
    const u32 lrow = lane & 7u, lmat = lane >> 3;
    u32 a_ld[2], b_ld[4];
#pragma unroll
    for (u32 kk = 0; kk < 2; ++kk)
        a_ld[kk] = smem + a_offset(wm + lrow + (lmat & 1u) * 8u, kk * 2u + (lmat >> 1));
#pragma unroll
    for (u32 j = 0; j < 4; ++j)
        b_ld[j] = smem + kStageA + b_offset(lrow + (lmat & 1u) * 8u, (wn >> 3) + j * 2u + (lmat >> 1));

    auto load_fragments = [&](Fragments& f, u32 stage, u32 kk) {
#pragma unroll
        for (u32 i = 0; i < 4; ++i) ldsm_x4(f.a[i], a_ld[kk] + stage * kStageBytes + i * 1024u);
#pragma unroll
        for (u32 j = 0; j < 4; ++j) ldsm_x4_trans(f.b[j], b_ld[j] + stage * kStageBytes + kk * 8192u);
    };

    float acc[4][8][4];
#pragma unroll
    for (u32 i = 0; i < 4; ++i)
#pragma unroll
        for (u32 j = 0; j < 8; ++j)
#pragma unroll
            for (u32 e = 0; e < 4; ++e) acc[i][j][e] = 0.0f;
    auto multiply = [&](const Fragments& f) {
#pragma unroll
        for (u32 i = 0; i < 4; ++i)
#pragma unroll
            for (u32 j = 0; j < 8; ++j)
                mma_16816(acc[i][j], f.a[i], f.b[j >> 1][(j & 1u) * 2u], f.b[j >> 1][(j & 1u) * 2u + 1u]);
    };

    // Every stage starts filled (tiles past the end commit empty groups), so step kt is group kt.
    const u32 tiles = tiles_for(K, kStep);
#pragma unroll
    for (u32 s = 0; s < kStages; ++s) {
        if (s < tiles) copy_step(s * kStageBytes);
        cp_async_commit();
    }
    Fragments f[2];
    cp_async_wait<kStages - 1>();  // this thread's copies of step 0 have landed
    __syncthreads();                // everyone's have
    if (tiles > 0) load_fragments(f[0], 0, 0);  // (K = 0 reads nothing and stores zeros)

    // Step kt = kt0 + s lives in stage s. Its first k16's fragments are in f[0] on entry.
    for (u32 kt0 = 0; kt0 < tiles; kt0 += kStages) {
#pragma unroll
        for (u32 s = 0; s < kStages; ++s) {
            const u32 kt = kt0 + s;
            if (kt >= tiles) break;
            load_fragments(f[1], s, 1);  // the last reads of stage s for this step
            multiply(f[0]);
            if (kt + 1u < tiles) {
                cp_async_wait<kStages - 2>();  // groups up to kt + 1 of this thread have landed
                __syncthreads();  // everyone's have, and every warp is done reading stage s
                if (kt + kStages < tiles) copy_step(s * kStageBytes);
                cp_async_commit();
                load_fragments(f[0], (s + 1u) % kStages, 0);
            }
            multiply(f[1]);
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
            float* crow = C + (u64)row * N + col0 + wn + tq * 2u;
#pragma unroll
            for (u32 j = 0; j < 8; ++j) {
                if (col0 + wn + j * 8u + tq * 2u >= N) continue;
                float2 v;
                v.x = __fmul_rn(__fmul_rn(acc[i][j][h * 2u], f1), f2);
                v.y = __fmul_rn(__fmul_rn(acc[i][j][h * 2u + 1u], f1), f2);
                *reinterpret_cast<float2*>(crow + j * 8u) = v;
            }
        }
    }
}

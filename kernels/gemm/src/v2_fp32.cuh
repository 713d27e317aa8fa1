// The 128 x 128 double-buffered FP32 kernel body of gemm/v2.ptx (see v2.cu for the contract).
#pragma once
#include "common.cuh"

// Shared layout (the arrays keep their declared sizes, 2 x 128 x 9 and 2 x 8 x 129 floats):
//   sA: stage s at s * 1152 floats, k-major, row k at k * 132 floats, 128 A rows per k-row. The
//       pitch of 132 (4 mod 32 banks) makes the transposing stores of a warp conflict-free.
//   sB: stage s at s * 1032 floats, row k at k * 128 floats.
// Thread mapping: warp w, lane l; tr = 4(w/2) + l/8 (0..15), tc = 8(w%2) + l%8 (0..15). The thread
// owns rows 4tr + [0,4) and 64 + 4tr + [0,4), columns 4tc + [0,4) and 64 + 4tc + [0,4): per k a
// warp reads 4 + 4 distinct A groups and 8 + 8 contiguous B groups, one wavefront per load.
constexpr u32 kV2StageA = 1152u, kV2PitchA = 132u;
constexpr u32 kV2StageB = 1032u, kV2PitchB = 128u;

__device__ __forceinline__ void v2_gemm_body(const float* __restrict__ A,
                                             const float* __restrict__ B, float* __restrict__ C,
                                             u32 M, u32 N, u32 K, float alpha, float beta,
                                             float* sA, float* sB) {
    const u32 t = threadIdx.y * blockDim.x + threadIdx.x;
    const u32 warp = t >> 5, lane = t & 31u;
    const u32 tr = 4u * (warp >> 1) + (lane >> 3);
    const u32 tc = 8u * (warp & 1u) + (lane & 7u);
    const u32 row_base = blockIdx.y * 128u, col_base = blockIdx.x * 128u;

    // A staging. Fast form (K a multiple of 4, A 16-byte aligned): one 16-byte group per thread,
    // row t/2, columns 4(t%2)..+3. General form: four single floats, rows t/8 + 32r, column t%8.
    const bool a_vec = (K & 3u) == 0u && ((u64)A & 15u) == 0u;
    const u32 av_m = t >> 1, av_k = (t & 1u) * 4u;
    const u32 as_m = t >> 3, as_k = t & 7u;
    const u32 a_m = a_vec ? av_m : as_m;
    const u32 a_k = a_vec ? av_k : as_k;
    bool a_row_in[4];
    const float* a_src[4];
#pragma unroll
    for (int r = 0; r < 4; ++r) {
        const u32 row = row_base + a_m + (a_vec ? 0u : 32u * r);
        a_row_in[r] = row < M;
        a_src[r] = A + (u64)(a_row_in[r] ? row : 0u) * K + a_k;
    }
    // B staging: one 16-byte group per thread, row t/32, columns 4(t%32)..+3 (N % 4 == 0).
    const u32 b_k = t >> 5, b_n = 4u * (t & 31u);
    const bool b_col_in = col_base + b_n + 3u < N;
    const float* b_src = B + (b_col_in ? col_base + b_n : 0u);

    float ra[4];
    float4 rb;
    auto fetch = [&](u32 kt) {
        const u32 k0 = kt * 8u;
        if (a_vec) {
            const float4 v = (a_row_in[0] && k0 + av_k < K) ? ldg4(a_src[0] + k0)
                                                           : make_float4(0.f, 0.f, 0.f, 0.f);
            ra[0] = v.x; ra[1] = v.y; ra[2] = v.z; ra[3] = v.w;
        } else {
#pragma unroll
            for (int r = 0; r < 4; ++r)
                ra[r] = (a_row_in[r] && k0 + as_k < K) ? ldg(a_src[r] + k0) : 0.0f;
        }
        const u32 kb = k0 + b_k;
        rb = (b_col_in && kb < K) ? ldg4(b_src + (u64)kb * N) : make_float4(0.f, 0.f, 0.f, 0.f);
    };
    auto stash = [&](u32 stage) {
        float* dA = sA + stage * kV2StageA;
        if (a_vec) {
#pragma unroll
            for (int i = 0; i < 4; ++i) dA[(av_k + i) * kV2PitchA + av_m] = ra[i];
        } else {
#pragma unroll
            for (int r = 0; r < 4; ++r) dA[as_k * kV2PitchA + as_m + 32u * r] = ra[r];
        }
        *reinterpret_cast<float4*>(sB + stage * kV2StageB + b_k * kV2PitchB + b_n) = rb;
    };

    float acc[8][8];
#pragma unroll
    for (int i = 0; i < 8; ++i)
#pragma unroll
        for (int j = 0; j < 8; ++j) acc[i][j] = 0.0f;

    const u32 tiles = tiles_for(K, 8u);
    if (tiles != 0u) {
        fetch(0);
        stash(0);
        __syncthreads();
    }
    for (u32 kt = 0; kt < tiles; ++kt) {
        const u32 stage = kt & 1u;
        const bool more = kt + 1u < tiles;
        if (more) fetch(kt + 1u);
        const float* cA = sA + stage * kV2StageA + 4u * tr;
        const float* cB = sB + stage * kV2StageB + 4u * tc;
#pragma unroll
        for (u32 kk = 0; kk < 8u; ++kk) {
            const float4 a0 = *reinterpret_cast<const float4*>(cA + kk * kV2PitchA);
            const float4 a1 = *reinterpret_cast<const float4*>(cA + kk * kV2PitchA + 64u);
            const float4 b0 = *reinterpret_cast<const float4*>(cB + kk * kV2PitchB);
            const float4 b1 = *reinterpret_cast<const float4*>(cB + kk * kV2PitchB + 64u);
            const float a[8] = {a0.x, a0.y, a0.z, a0.w, a1.x, a1.y, a1.z, a1.w};
            const float b[8] = {b0.x, b0.y, b0.z, b0.w, b1.x, b1.y, b1.z, b1.w};
#pragma unroll
            for (int i = 0; i < 8; ++i)
#pragma unroll
                for (int j = 0; j < 8; ++j) acc[i][j] = fmaf(a[i], b[j], acc[i][j]);
        }
        // The other stage was last read before the previous barrier, so it can be refilled now;
        // one barrier per k-tile publishes it and retires the stage just read.
        if (more) stash(stage ^ 1u);
        __syncthreads();
    }

    // Epilogue: beta * C_old (not read when beta is 0) plus alpha * acc, in 16-byte groups that lie
    // wholly inside C.
    const bool read_old = beta != 0.0f;
#pragma unroll
    for (int i = 0; i < 8; ++i) {
        const u32 row = row_base + 4u * tr + (i & 3) + (i >= 4 ? 64u : 0u);
        if (row >= M) continue;
#pragma unroll
        for (int g = 0; g < 2; ++g) {
            const u32 col = col_base + 4u * tc + 64u * g;
            if (col + 3u >= N) continue;
            float4* dst = reinterpret_cast<float4*>(C + (u64)row * N + col);
            float4 old = make_float4(0.f, 0.f, 0.f, 0.f);
            if (read_old) {
                const float4 c = *dst;
                old = make_float4(beta * c.x, beta * c.y, beta * c.z, beta * c.w);
            }
            float4 out;
            out.x = fmaf(acc[i][4 * g + 0], alpha, old.x);
            out.y = fmaf(acc[i][4 * g + 1], alpha, old.y);
            out.z = fmaf(acc[i][4 * g + 2], alpha, old.z);
            out.w = fmaf(acc[i][4 * g + 3], alpha, old.w);
            *dst = out;
        }
    }
}

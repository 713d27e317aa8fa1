// Causal attention kernels over [batch, heads, seq_len, head_dim] float tensors.
//
// Built without flush-to-zero and without multiply-add contraction: every fused multiply-add
// below is written out as fmaf, everything else rounds after each operation.
// Regenerate the PTX with scripts/regen_fused_ptx.sh.

#include "approx.cuh"
#include "block_reduce.cuh"

namespace {

constexpr unsigned kTileRows = 64;        // query and key rows per tile of the online kernel
constexpr float kMaskedScore = -1.0e9f;   // score of a key after the query (causal mask)

__device__ __forceinline__ float warp_max(float v) {
    for (int offset = 16; offset > 0; offset >>= 1)
        v = fmaxf(v, __shfl_down_sync(0xffffffffu, v, offset));
    return v;
}

// The maximum counterpart of vant_block_sum, through the same `red` array.
__device__ float block_max(float v, float* red) {
    v = warp_max(v);
    if ((threadIdx.x & 31u) == 0) red[threadIdx.x >> 5] = v;
    __syncthreads();
    if (threadIdx.x == 0) {
        float m = kMaskedScore;
        for (unsigned w = 0; w < blockDim.x / 32; ++w) m = fmaxf(m, red[w]);
        red[kRedSlots - 1] = m;
    }
    __syncthreads();
    return red[kRedSlots - 1];
}

__device__ __forceinline__ float dot_row(const float* a, const float* b, unsigned n) {
    float acc = 0.0f;
    for (unsigned i = 0; i < n; ++i) acc = fmaf(a[i], b[i], acc);
    return acc;
}

// Causal scores of query q against every key, written to scores[0 .. seq_len-1] by threads
// striding over keys; returns this thread's maximum (starting from the masked score).
__device__ float causal_scores(float* scores, const float* q_row, const float* K, unsigned q,
                               unsigned seq_len, unsigned head_dim, float scale) {
    float local_max = kMaskedScore;
    for (unsigned j = threadIdx.x; j < seq_len; j += blockDim.x) {
        float s = kMaskedScore;
        if (j <= q) s = dot_row(q_row, K + static_cast<size_t>(j) * head_dim, head_dim) * scale;
        scores[j] = s;
        local_max = fmaxf(local_max, s);
    }
    return local_max;
}

// O[q, d] = sum over keys in order of p[k] * V[k, d], threads striding over d.
__device__ void weighted_values(float* o_row, const float* p, const float* V, unsigned seq_len,
                                unsigned head_dim) {
    for (unsigned d = threadIdx.x; d < head_dim; d += blockDim.x) {
        float acc = 0.0f;
        for (unsigned k = 0; k < seq_len; ++k)
            acc = fmaf(p[k], V[static_cast<size_t>(k) * head_dim + d], acc);
        o_row[d] = acc;
    }
}

}  // namespace

// Causal attention with an online softmax over 64-key tiles.
// Grid (1, ceil(seq_len / 64), batch * heads); block 64 * head_dim threads (head_dim <= 16);
// dynamic shared memory 3 * 64 * head_dim floats (Q, K and V tiles). Thread (row, dim) owns
// O[tile * 64 + row, dim]; the row's running maximum and sum are recomputed by each of its
// head_dim threads, which keeps the threads of a row independent of each other.
extern "C" __global__ void vantblas_fused_attention_f32(float* O, const float* Q, const float* K,
                                                        const float* V, unsigned /*slices*/,
                                                        unsigned seq_len, unsigned head_dim,
                                                        float scale) {
    VANT_DYNAMIC_SHARED(float, tiles);
    // A block too small for the 64-row tiles would read tile rows nobody loaded.
    if (head_dim == 0 || head_dim > kTileRows || blockDim.x < kTileRows * head_dim) return;

    const unsigned row = threadIdx.x / head_dim;
    const unsigned dim = threadIdx.x % head_dim;
    const bool in_tile = row < kTileRows;
    const unsigned q = blockIdx.y * kTileRows + row;
    const bool active = in_tile && q < seq_len;
    const size_t slice = static_cast<size_t>(blockIdx.z) * seq_len * head_dim;

    float* q_tile = tiles;
    float* k_tile = tiles + kTileRows * head_dim;
    float* v_tile = k_tile + kTileRows * head_dim;
    const unsigned own = row * head_dim + dim;

    if (in_tile) q_tile[own] = active ? Q[slice + static_cast<size_t>(q) * head_dim + dim] : 0.0f;

    float m = -INFINITY;
    float l = 0.0f;
    float acc = 0.0f;
    // Every thread runs every tile (the barriers need the whole block), rows past seq_len included.
    for (unsigned base = 0; base < seq_len; base += kTileRows) {
        const unsigned key = base + row;
        if (in_tile) {
            const bool key_ok = key < seq_len;
            const size_t at = slice + static_cast<size_t>(key) * head_dim + dim;
            k_tile[own] = key_ok ? K[at] : 0.0f;
            v_tile[own] = key_ok ? V[at] : 0.0f;
        }
        __syncthreads();
        if (active) {
            const unsigned keys = min(kTileRows, seq_len - base);
            for (unsigned j = 0; j < keys; ++j) {
                float s = dot_row(q_tile + row * head_dim, k_tile + j * head_dim, head_dim) * scale;
                if (base + j > q) s = -INFINITY;
                const float m_new = fmaxf(m, s);
                const float p = vant_ex2_approx((s - m_new) * VANT_LOG2E);
                const float c = vant_ex2_approx((m - m_new) * VANT_LOG2E);
                l = l * c + p;
                acc = acc * c + p * v_tile[j * head_dim + dim];
                m = m_new;
            }
        }
        __syncthreads();
    }
    if (active) O[slice + static_cast<size_t>(q) * head_dim + dim] = acc * vant_rcp_approx(l);
}

// Causal attention, one block per query row of one slice.
// Grid (seq_len, batch * heads, 1); block a multiple of 32 threads; dynamic shared memory
// seq_len floats (the score row).
extern "C" __global__ void vantblas_fused_attention_simple(float* O, const float* Q,
                                                           const float* K, const float* V,
                                                           unsigned /*slices*/, unsigned seq_len,
                                                           unsigned head_dim, float scale) {
    VANT_DYNAMIC_SHARED(float, scores);
    __shared__ float red[kRedSlots];
    const unsigned q = blockIdx.x;
    if (q >= seq_len || blockDim.x % 32 != 0) return;

    const size_t slice = static_cast<size_t>(blockIdx.y) * seq_len * head_dim;
    const float* q_row = Q + slice + static_cast<size_t>(q) * head_dim;

    const float local_max = causal_scores(scores, q_row, K + slice, q, seq_len, head_dim, scale);
    __syncthreads();
    const float row_max = block_max(local_max, red);

    float local_sum = 0.0f;
    for (unsigned j = threadIdx.x; j < seq_len; j += blockDim.x) {
        const float e = vant_ex2_approx((scores[j] - row_max) * VANT_LOG2E);
        scores[j] = e;
        local_sum += e;
    }
    const float row_sum = vant_block_sum(local_sum, red);
    __syncthreads();

    const float inv = vant_rcp_approx(row_sum);
    for (unsigned j = threadIdx.x; j < seq_len; j += blockDim.x) scores[j] *= inv;
    __syncthreads();

    weighted_values(O + slice + static_cast<size_t>(q) * head_dim, scores, V + slice, seq_len,
                    head_dim);
}

// Causal attention with heads and batch on their own grid axes.
// Grid (seq_len, heads, batch); any block size; dynamic shared memory seq_len floats.
extern "C" __global__ void vantblas_multihead_attention(float* O, const float* Q, const float* K,
                                                        const float* V, unsigned /*batch*/,
                                                        unsigned num_heads, unsigned seq_len,
                                                        unsigned head_dim, float scale) {
    VANT_DYNAMIC_SHARED(float, scores);
    const unsigned q = blockIdx.x;
    if (q >= seq_len) return;

    const size_t slice =
        (static_cast<size_t>(blockIdx.z) * num_heads + blockIdx.y) * seq_len * head_dim;
    const float* q_row = Q + slice + static_cast<size_t>(q) * head_dim;

    causal_scores(scores, q_row, K + slice, q, seq_len, head_dim, scale);
    __syncthreads();

    // One thread normalises the row, in key order, so the result needs no block reduction.
    if (threadIdx.x == 0) {
        float row_max = kMaskedScore;
        for (unsigned j = 0; j < seq_len; ++j) row_max = fmaxf(row_max, scores[j]);
        float row_sum = 0.0f;
        for (unsigned j = 0; j < seq_len; ++j) {
            const float e = vant_ex2_approx((scores[j] - row_max) * VANT_LOG2E);
            scores[j] = e;
            row_sum += e;
        }
        const float inv = vant_rcp_approx(row_sum);
        for (unsigned j = 0; j < seq_len; ++j) scores[j] *= inv;
    }
    __syncthreads();

    weighted_values(O + slice + static_cast<size_t>(q) * head_dim, scores, V + slice, seq_len,
                    head_dim);
}

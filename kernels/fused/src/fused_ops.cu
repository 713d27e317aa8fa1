// Fused element-wise and normalisation kernels of a transformer layer, in float32.
//
// Built with flush-to-zero and without multiply-add contraction: every fused multiply-add below
// is written out as fmaf. Inputs are read through the read-only data path (__ldg).
// Regenerate the PTX with scripts/regen_fused_ptx.sh.

#include "approx.cuh"
#include "block_reduce.cuh"

namespace {

// tanh form of GELU.
__device__ __forceinline__ float gelu(float y) {
    const float y3 = y * (y * y);
    const float inner = fmaf(0.044715f, y3, y);
    const float t = vant_tanh_approx(0.7978846f * inner);
    return 0.5f * y * (1.0f + t);
}

__device__ __forceinline__ float silu(float y) {
    return vant_div_approx_ftz(y, 1.0f + vant_ex2_approx_ftz(-y * VANT_LOG2E));
}

// X[row, :] . W[:, col], in k order, four terms per step.
__device__ __forceinline__ float linear_dot(const float* X, const float* W, int row, int col,
                                            int N, int K) {
    const float* x = X + static_cast<size_t>(row) * K;
    const float* w = W + col;
    const size_t n = static_cast<size_t>(N);
    float acc = 0.0f;
    int k = 0;
    for (; k < K - 3; k += 4) {
        acc = fmaf(__ldg(x + k), __ldg(w + k * n), acc);
        acc = fmaf(__ldg(x + k + 1), __ldg(w + (k + 1) * n), acc);
        acc = fmaf(__ldg(x + k + 2), __ldg(w + (k + 2) * n), acc);
        acc = fmaf(__ldg(x + k + 3), __ldg(w + (k + 3) * n), acc);
    }
    for (; k < K; ++k) acc = fmaf(__ldg(x + k), __ldg(w + k * n), acc);
    return acc;
}

__device__ __forceinline__ size_t global_index() {
    return static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__device__ __forceinline__ bool in_range(size_t i, int n) {
    return n > 0 && i < static_cast<size_t>(n);
}

}  // namespace

// out[M, N] = gelu(X[M, K] @ W[K, N] + bias[N]).
// 2-D launch of any block shape: x covers the N columns, y the M rows.
extern "C" __global__ void vantblas_fused_linear_bias_gelu(float* out, const float* X,
                                                           const float* W, const float* bias,
                                                           int M, int N, int K) {
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    if (row >= M || col >= N) return;
    const float y = linear_dot(X, W, row, col, N, K) + __ldg(bias + col);
    out[static_cast<size_t>(row) * N + col] = gelu(y);
}

// out[M, N] = silu(X[M, K] @ W[K, N] + bias[N]); launched like the GELU kernel.
extern "C" __global__ void vantblas_fused_linear_bias_silu(float* out, const float* X,
                                                           const float* W, const float* bias,
                                                           int M, int N, int K) {
    const int row = blockIdx.y * blockDim.y + threadIdx.y;
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    if (row >= M || col >= N) return;
    const float y = linear_dot(X, W, row, col, N, K) + __ldg(bias + col);
    out[static_cast<size_t>(row) * N + col] = silu(y);
}

// h = x + residual; out = h * rsqrt(mean(h^2) + eps) * weight, one row of `hidden` per block.
// Block size a multiple of 32; dynamic shared memory `hidden` floats (the row h).
extern "C" __global__ void vantblas_fused_rmsnorm_residual(float* out, const float* x,
                                                           const float* residual,
                                                           const float* weight, int /*rows*/,
                                                           int hidden, float eps) {
    VANT_DYNAMIC_SHARED(float, h);
    __shared__ float red[kRedSlots];
    if (blockDim.x % 32 != 0) return;
    const size_t base = static_cast<size_t>(blockIdx.x) * hidden;

    float squares = 0.0f;
    for (int i = threadIdx.x; i < hidden; i += blockDim.x) {
        const float v = __ldg(x + base + i) + __ldg(residual + base + i);
        h[i] = v;
        squares = fmaf(v, v, squares);
    }
    const float total = vant_block_sum(squares, red);
    const float rstd =
        vant_rsqrt_approx_ftz(vant_div_approx_ftz(total, static_cast<float>(hidden)) + eps);
    for (int i = threadIdx.x; i < hidden; i += blockDim.x)
        out[base + i] = (rstd * h[i]) * __ldg(weight + i);
}

// h = x + residual; out = gamma * (h - mean) * rsqrt(var + eps) + beta, one row per block.
// Block size a multiple of 32; dynamic shared memory `hidden` floats.
extern "C" __global__ void vantblas_fused_layernorm_residual(float* out, const float* x,
                                                             const float* residual,
                                                             const float* gamma,
                                                             const float* beta, int /*rows*/,
                                                             int hidden, float eps) {
    VANT_DYNAMIC_SHARED(float, h);
    __shared__ float red[kRedSlots];
    if (blockDim.x % 32 != 0) return;
    const size_t base = static_cast<size_t>(blockIdx.x) * hidden;
    const float n = static_cast<float>(hidden);

    float sum = 0.0f;
    for (int i = threadIdx.x; i < hidden; i += blockDim.x) {
        const float v = __ldg(x + base + i) + __ldg(residual + base + i);
        h[i] = v;
        sum += v;
    }
    const float mean = vant_div_approx_ftz(vant_block_sum(sum, red), n);

    float squares = 0.0f;
    for (int i = threadIdx.x; i < hidden; i += blockDim.x) {
        const float d = h[i] - mean;
        squares = fmaf(d, d, squares);
    }
    const float var = vant_div_approx_ftz(vant_block_sum(squares, red), n);
    const float rstd = vant_rsqrt_approx_ftz(var + eps);

    for (int i = threadIdx.x; i < hidden; i += blockDim.x)
        out[base + i] = fmaf(__ldg(gamma + i), (h[i] - mean) * rstd, __ldg(beta + i));
}

// out[i] = silu(gate[i]) * up[i]; 1-D launch over n elements.
extern "C" __global__ void vantblas_fused_swiglu(float* out, const float* gate, const float* up,
                                                 int n) {
    const size_t i = global_index();
    if (!in_range(i, n)) return;
    out[i] = silu(__ldg(gate + i)) * __ldg(up + i);
}

// out[i] = x[i] * mask[i] * scale + residual[i], mask holding 0 or 1; 1-D launch over n.
extern "C" __global__ void vantblas_fused_residual_dropout(float* out, const float* x,
                                                           const float* residual,
                                                           const float* mask, float scale,
                                                           int n) {
    const size_t i = global_index();
    if (!in_range(i, n)) return;
    out[i] = fmaf(__ldg(x + i) * __ldg(mask + i), scale, __ldg(residual + i));
}

// out[r, i] = x[r, i] + bias[i] + residual[r, i]; one block per row, threads stride the row.
extern "C" __global__ void vantblas_fused_bias_residual(float* out, const float* x,
                                                        const float* bias,
                                                        const float* residual, int /*rows*/,
                                                        int hidden) {
    const size_t base = static_cast<size_t>(blockIdx.x) * hidden;
    for (int i = threadIdx.x; i < hidden; i += blockDim.x)
        out[base + i] = (__ldg(x + base + i) + __ldg(bias + i)) + __ldg(residual + base + i);
}

// out[row, :] = X[row, :] @ W[H, H] + bias + residual[row, :] for row = batch * seq_len + pos.
// Grid x covers the H columns, y = position (< seq_len), z = batch.
extern "C" __global__ void vantblas_fused_attn_output(float* out, const float* X, const float* W,
                                                      const float* bias, const float* residual,
                                                      int /*batch*/, int seq_len, int H) {
    const int col = blockIdx.x * blockDim.x + threadIdx.x;
    if (col >= H || static_cast<int>(blockIdx.y) >= seq_len) return;
    const size_t row = static_cast<size_t>(blockIdx.z) * seq_len + blockIdx.y;
    const float* x = X + row * H;
    float acc = 0.0f;
    for (int k = 0; k < H; ++k)
        acc = fmaf(__ldg(x + k), __ldg(W + static_cast<size_t>(k) * H + col), acc);
    out[row * H + col] = (acc + __ldg(bias + col)) + __ldg(residual + row * H + col);
}

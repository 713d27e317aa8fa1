// 8-bit floating-point pipeline emulated with float32 arithmetic: per-tensor scaled quantisation,
// dequantisation and GEMMs over quantised operands.
//
// Code byte: bit 7 sign, bits 6-3 exponent E (bias 7), bits 2-0 mantissa m. E = 0 holds m/8 * 2^-6;
// there is no infinity or NaN. The encoder's largest value is 448 (E = 15, m = 6).
//
// Built with flush-to-zero and without multiply-add contraction: every fused multiply-add below
// is written out as fmaf. Float inputs are read through the read-only data path (__ldg).
// Regenerate the PTX with scripts/regen_fused_ptx.sh.

#include "approx.cuh"

namespace {

constexpr float kFp8Max = 448.0f;
constexpr float kFp8ZeroBelow = 0.001953125f;  // 2^-9: smaller magnitudes encode as zero
constexpr unsigned kTile = 32;

// 2^e for -126 <= e <= 127, built from the exponent bits so that it is exact.
__device__ __forceinline__ float pow2i(int e) { return __int_as_float((e + 127) << 23); }

__device__ __forceinline__ float fp8_decode(unsigned code) {
    const int e = static_cast<int>((code >> 3) & 15u);
    const float f = vant_div_approx_ftz(static_cast<float>(code & 7u), 8.0f);
    const float v = e != 0 ? (1.0f + f) * pow2i(e - 7) : f * 0.015625f;
    return (code & 0x80u) ? -v : v;
}

__device__ __forceinline__ unsigned fp8_encode(float x, float scale) {
    const float v = fminf(fmaxf(x * scale, -kFp8Max), kFp8Max);
    const unsigned sign = v < 0.0f ? 1u : 0u;
    const float a = fabsf(v);
    if (a < kFp8ZeroBelow) return sign << 7;
    const int e = static_cast<int>(floorf(vant_lg2_approx_ftz(a)));
    const int biased = min(max(e + 7, 0), 15);
    // a / 2^(biased - 7), as an exact multiplication by the inverse power of two.
    const float mant = (a * pow2i(7 - biased) - 1.0f) * 8.0f;
    const int m = min(max(static_cast<int>(roundf(mant)), 0), 7);
    return (sign << 7) | (static_cast<unsigned>(biased) << 3) | static_cast<unsigned>(m);
}

// Maximum of buf[0 .. blockDim.x-1] into buf[0]. Halving strides from the power of two at or
// above the block size; for a power-of-two block this is the plain tree, and other block sizes
// still see every element.
__device__ void block_tree_max(float* buf) {
    unsigned span = 1;
    while (span < blockDim.x) span <<= 1;
    for (unsigned stride = span / 2; stride > 0; stride >>= 1) {
        const unsigned other = threadIdx.x + stride;
        if (threadIdx.x < stride && other < blockDim.x)
            buf[threadIdx.x] = fmaxf(buf[threadIdx.x], buf[other]);
        __syncthreads();
    }
}

__device__ __forceinline__ size_t global_index() {
    return static_cast<size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__device__ __forceinline__ unsigned k_tiles(unsigned K) { return K / kTile + (K % kTile != 0); }

}  // namespace

// Quantises in[0 .. n-1] with scale = 448 / max|in| (1.0 for an all-zero block) and writes the
// scale of block 0 to *scale_out. The maximum is taken over the block's own elements, so one
// block covering n (block size >= n) quantises the whole tensor with one scale.
// 1-D launch; dynamic shared memory block-size floats.
extern "C" __global__ void vantblas_quantize_fp8(unsigned char* out, const float* in,
                                                 float* scale_out, unsigned n) {
    VANT_DYNAMIC_SHARED(float, amax_buf);
    const size_t i = global_index();
    const bool valid = i < n;
    amax_buf[threadIdx.x] = valid ? fabsf(__ldg(in + i)) : 0.0f;
    __syncthreads();
    block_tree_max(amax_buf);
    const float amax = amax_buf[0];
    const float scale = amax > 0.0f ? vant_div_approx_ftz(kFp8Max, amax) : 1.0f;
    if (blockIdx.x == 0 && threadIdx.x == 0) *scale_out = scale;
    if (!valid) return;
    out[i] = static_cast<unsigned char>(fp8_encode(__ldg(in + i), scale));
}

// out[i] = decode(in[i]) / scale, with the approximate reciprocal; 1-D launch over n.
extern "C" __global__ void vantblas_dequantize_fp8(float* out, const unsigned char* in,
                                                   float scale, unsigned n) {
    const size_t i = global_index();
    if (i >= n) return;
    out[i] = fp8_decode(__ldg(in + i)) * vant_rcp_approx_ftz(scale);
}

// C[M, N] = dequant(A[M, K]) @ dequant(B[K, N]), one thread per element of C.
// 2-D launch of any block shape: x covers the N columns, y the M rows.
extern "C" __global__ void vantblas_gemm_fp8_simulated(float* C, const unsigned char* A,
                                                       const unsigned char* B, float scale_a,
                                                       float scale_b, unsigned M, unsigned N,
                                                       unsigned K) {
    const unsigned row = blockIdx.y * blockDim.y + threadIdx.y;
    const unsigned col = blockIdx.x * blockDim.x + threadIdx.x;
    if (row >= M || col >= N) return;
    const float inv_a = vant_rcp_approx_ftz(scale_a);
    const float inv_b = vant_rcp_approx_ftz(scale_b);
    const unsigned char* a = A + static_cast<size_t>(row) * K;
    const unsigned char* b = B + col;
    const size_t n = N;
    float acc = 0.0f;
    unsigned k = 0;
    for (; k + 1 < K; k += 2) {
        acc = fmaf(fp8_decode(__ldg(a + k)) * inv_a, fp8_decode(__ldg(b + k * n)) * inv_b, acc);
        acc = fmaf(fp8_decode(__ldg(a + k + 1)) * inv_a,
                   fp8_decode(__ldg(b + (k + 1) * n)) * inv_b, acc);
    }
    if (k < K)
        acc = fmaf(fp8_decode(__ldg(a + k)) * inv_a, fp8_decode(__ldg(b + k * n)) * inv_b, acc);
    C[static_cast<size_t>(row) * N + col] = acc;
}

// C[M, N] = dequant(A[M, K]) @ dequant(B[K, N]) through 32 x 32 shared tiles.
// Block 32 x 32 threads, grid (ceil(N / 32), ceil(M / 32)); thread (tx, ty) owns
// C[by * 32 + ty, bx * 32 + tx].
extern "C" __global__ void vantblas_gemm_fp8_tiled(float* C, const unsigned char* A,
                                                   const unsigned char* B, float scale_a,
                                                   float scale_b, unsigned M, unsigned N,
                                                   unsigned K) {
    __shared__ float a_tile[kTile][kTile];
    __shared__ float b_tile[kTile][kTile];
    // The tiles are indexed by thread position: any other block shape would leave them partly
    // unloaded or overrun them.
    if (blockDim.x != kTile || blockDim.y != kTile) return;
    const unsigned tx = threadIdx.x;
    const unsigned ty = threadIdx.y;
    const unsigned row = blockIdx.y * kTile + ty;
    const unsigned col = blockIdx.x * kTile + tx;

    float acc = 0.0f;
    const unsigned tiles = k_tiles(K);
    for (unsigned t = 0; t < tiles; ++t) {
        const unsigned ka = t * kTile + tx;
        const unsigned kb = t * kTile + ty;
        a_tile[ty][tx] = (row < M && ka < K)
                             ? fp8_decode(__ldg(A + static_cast<size_t>(row) * K + ka)) / scale_a
                             : 0.0f;
        b_tile[ty][tx] = (kb < K && col < N)
                             ? fp8_decode(__ldg(B + static_cast<size_t>(kb) * N + col)) / scale_b
                             : 0.0f;
        __syncthreads();
#pragma unroll
        for (unsigned kk = 0; kk < kTile; ++kk) acc = fmaf(a_tile[ty][kk], b_tile[kk][tx], acc);
        __syncthreads();
    }
    if (row < M && col < N) C[static_cast<size_t>(row) * N + col] = acc;
}

// Raises *amax_out to max|in[i]|. The maximum is combined across blocks with an integer atomic
// on the float's bits, which orders non-negative floats correctly; *amax_out must hold 0.0 before
// the launch. 1-D grid-stride launch; dynamic shared memory block-size floats.
extern "C" __global__ void vantblas_compute_fp8_scale(float* amax_out, const float* in,
                                                      unsigned n) {
    VANT_DYNAMIC_SHARED(float, amax_buf);
    const size_t stride = static_cast<size_t>(gridDim.x) * blockDim.x;
    float m = 0.0f;
    for (size_t i = global_index(); i < n; i += stride) m = fmaxf(m, fabsf(__ldg(in + i)));
    amax_buf[threadIdx.x] = m;
    __syncthreads();
    block_tree_max(amax_buf);
    if (threadIdx.x == 0) atomicMax(reinterpret_cast<int*>(amax_out), __float_as_int(amax_buf[0]));
}

// out[M, N] = input[M, K] @ dequant(weight[K, N]) + bias[N] through 32 x 32 shared tiles.
// Block 32 x 32 threads, grid (ceil(N / 32), ceil(M / 32)).
extern "C" __global__ void vantblas_fused_fp8_linear(float* out, const float* input,
                                                     const unsigned char* weight,
                                                     const float* bias, float weight_scale,
                                                     unsigned M, unsigned N, unsigned K) {
    __shared__ float x_tile[kTile][kTile];
    __shared__ float w_tile[kTile][kTile];
    if (blockDim.x != kTile || blockDim.y != kTile) return;
    const unsigned tx = threadIdx.x;
    const unsigned ty = threadIdx.y;
    const unsigned row = blockIdx.y * kTile + ty;
    const unsigned col = blockIdx.x * kTile + tx;
    const float inv_w = vant_rcp_approx_ftz(weight_scale);

    float acc = 0.0f;
    const unsigned tiles = k_tiles(K);
    for (unsigned t = 0; t < tiles; ++t) {
        const unsigned kx = t * kTile + tx;
        const unsigned kw = t * kTile + ty;
        x_tile[ty][tx] =
            (row < M && kx < K) ? __ldg(input + static_cast<size_t>(row) * K + kx) : 0.0f;
        w_tile[ty][tx] = (kw < K && col < N)
                             ? fp8_decode(__ldg(weight + static_cast<size_t>(kw) * N + col)) * inv_w
                             : 0.0f;
        __syncthreads();
#pragma unroll
        for (unsigned kk = 0; kk < kTile; ++kk) acc = fmaf(x_tile[ty][kk], w_tile[kk][tx], acc);
        __syncthreads();
    }
    if (row < M && col < N) out[static_cast<size_t>(row) * N + col] = acc + __ldg(bias + col);
}

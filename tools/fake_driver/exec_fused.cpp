// CPU executors of the attention, fused-operation and FP8 kernels.
//
// The compiler-generated modules run their own CUDA sources (kernels/fused/src/*.cu), compiled
// here as plain C++ through host_compat.cuh: every thread of a block is a host thread with the
// launch's thread and block indices, barriers and shuffles are real, and the approximate
// instructions are replaced by the exact functions. Running the gpu tests against the stand-in
// therefore checks the kernels' indexing, reductions and the launcher, though not the PTX that
// nvcc makes of them. The hand-written attention module has a plain reference of its algorithm.
//
// Every buffer is bounds-checked over the extent the kernel's parameters and grid give it.
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "fake_driver.hpp"

// The sources carry nvcc's loop pragmas, which mean nothing here.
#pragma GCC diagnostic ignored "-Wunknown-pragmas"

#include "../../kernels/fused/src/approx.cuh"
#include "../../kernels/fused/src/block_reduce.cuh"

namespace fused_attention_src {
#include "../../kernels/fused/src/fused_attention.cu"
}
namespace fused_ops_src {
#include "../../kernels/fused/src/fused_ops.cu"
}
namespace fp8_src {
#include "../../kernels/fused/src/fp8.cu"
}

namespace {

using fake::Launch;
using fake::require_params;

float* f32_at(const Launch& l, size_t i, uint64_t count) { return fake::dev_f32(l.params[i].u64(), count); }
uint8_t* u8_at(const Launch& l, size_t i, uint64_t count) { return fake::dev_u8(l.params[i].u64(), count); }

// Runs `kernel` over the launch's grid, one block at a time, with one host thread per GPU thread.
template <class... P, class... A>
void run_grid(const Launch& l, void (*kernel)(P...), A... args) {
    vant_host::Block b;
    b.grid = {l.grid[0], l.grid[1], l.grid[2]};
    b.block = {l.block[0], l.block[1], l.block[2]};
    b.threads = l.block[0] * l.block[1] * l.block[2];
    b.exchange.assign(b.threads, 0.0f);
    for (unsigned z = 0; z < l.grid[2]; ++z)
        for (unsigned y = 0; y < l.grid[1]; ++y)
            for (unsigned x = 0; x < l.grid[0]; ++x) {
                b.index = {x, y, z};
                b.dynamic_shared.assign(l.shared_bytes + 16, 0xA5);  // garbage, as on a device
                b.barrier = std::make_unique<std::barrier<>>(b.threads);
                b.warp_barriers.clear();
                for (unsigned w = 0; w * 32 < b.threads; ++w)
                    b.warp_barriers.push_back(
                        std::make_unique<std::barrier<>>(std::min(32u, b.threads - w * 32)));
                vant_host::current = &b;
                std::vector<std::thread> threads;
                threads.reserve(b.threads);
                for (unsigned t = 0; t < b.threads; ++t)
                    threads.emplace_back([&b, t, kernel, args...] {
                        vant_host::thread_index = {t % b.block.x, (t / b.block.x) % b.block.y,
                                                   t / (b.block.x * b.block.y)};
                        vant_host::linear_thread = t;
                        kernel(args...);
                        // An exited thread no longer holds up the others' barriers.
                        b.barrier->arrive_and_drop();
                        b.warp_barriers[t / 32]->arrive_and_drop();
                    });
                for (auto& th : threads) th.join();
                vant_host::current = nullptr;
            }
}

// ---- hand-written unmasked attention: reference of its algorithm --------------------------

FAKE_KERNEL(vantblas_fused_attention) {
    require_params(launch, 9);
    const uint32_t batch = launch.params[4].u32(), heads = launch.params[5].u32();
    const uint32_t seq = launch.params[6].u32(), hd = launch.params[7].u32();
    const float scale = launch.params[8].f32();
    const uint64_t total = uint64_t(batch) * heads * seq * hd;
    float* O = f32_at(launch, 0, total);
    const float* Q = f32_at(launch, 1, total);
    const float* K = f32_at(launch, 2, total);
    const float* V = f32_at(launch, 3, total);
    if (seq > 256) return;
    std::vector<float> p(seq);
    for (uint32_t slice = 0; slice < launch.grid[0]; ++slice) {
        if (uint64_t(slice) >= uint64_t(batch) * heads) continue;
        for (uint32_t q = 0; q < launch.grid[1] && q < seq; ++q) {
            const uint64_t base = uint64_t(slice) * seq * hd;
            float m = -INFINITY;
            for (uint32_t t = 0; t < seq; ++t) {
                float acc = 0.0f;
                for (uint32_t i = 0; i < hd; ++i) acc = std::fma(Q[base + q * hd + i], K[base + t * hd + i], acc);
                p[t] = acc * scale;
                m = std::fmax(m, p[t]);
            }
            float sum = 0.0f;
            for (uint32_t t = 0; t < seq; ++t) {
                p[t] = std::exp2((p[t] - m) * 1.442695f);
                sum += p[t];
            }
            const float r = 1.0f / sum;
            for (uint32_t t = 0; t < seq; ++t) p[t] *= r;
            for (uint32_t d = 0; d < hd; ++d) {
                float acc = 0.0f;
                for (uint32_t k = 0; k < seq; ++k) acc = std::fma(p[k], V[base + k * hd + d], acc);
                O[base + q * hd + d] = acc;
            }
        }
    }
}

// ---- causal attention ----------------------------------------------------------------------

void causal(const Launch& l, uint64_t slices, size_t first_size) {
    const uint32_t seq = l.params[first_size].u32(), hd = l.params[first_size + 1].u32();
    const uint64_t total = slices * seq * hd;
    for (size_t i = 0; i < 4; ++i) f32_at(l, i, total);
}

// The single-head causal kernels: (O, Q, K, V, slices, seq, head_dim, scale), slices on grid
// dimension `slice_dim`.
void causal_single_head(const Launch& l, unsigned slice_dim,
                        void (*kernel)(float*, const float*, const float*, const float*, unsigned, unsigned,
                                       unsigned, float)) {
    require_params(l, 8);
    causal(l, l.grid[slice_dim], 5);
    run_grid(l, kernel, f32_at(l, 0, 0), (const float*)f32_at(l, 1, 0), (const float*)f32_at(l, 2, 0),
             (const float*)f32_at(l, 3, 0), l.params[4].u32(), l.params[5].u32(), l.params[6].u32(),
             l.params[7].f32());
}

FAKE_KERNEL(vantblas_fused_attention_f32) {
    causal_single_head(launch, 2, &fused_attention_src::vantblas_fused_attention_f32);
}

FAKE_KERNEL(vantblas_fused_attention_simple) {
    causal_single_head(launch, 1, &fused_attention_src::vantblas_fused_attention_simple);
}

FAKE_KERNEL(vantblas_multihead_attention) {
    require_params(launch, 9);
    causal(launch, uint64_t(launch.grid[2]) * launch.params[5].u32(), 6);
    run_grid(launch, &fused_attention_src::vantblas_multihead_attention, f32_at(launch, 0, 0),
             (const float*)f32_at(launch, 1, 0), (const float*)f32_at(launch, 2, 0),
             (const float*)f32_at(launch, 3, 0), launch.params[4].u32(), launch.params[5].u32(),
             launch.params[6].u32(), launch.params[7].u32(), launch.params[8].f32());
}

// ---- fused element-wise and normalisation ---------------------------------------------------

void linear(const Launch& l, void (*kernel)(float*, const float*, const float*, const float*, int, int, int)) {
    require_params(l, 7);
    const int m = l.params[4].s32(), n = l.params[5].s32(), k = l.params[6].s32();
    run_grid(l, kernel, f32_at(l, 0, uint64_t(m) * n), (const float*)f32_at(l, 1, uint64_t(m) * k),
             (const float*)f32_at(l, 2, uint64_t(k) * n), (const float*)f32_at(l, 3, n), m, n, k);
}

FAKE_KERNEL(vantblas_fused_linear_bias_gelu) { linear(launch, &fused_ops_src::vantblas_fused_linear_bias_gelu); }
FAKE_KERNEL(vantblas_fused_linear_bias_silu) { linear(launch, &fused_ops_src::vantblas_fused_linear_bias_silu); }

FAKE_KERNEL(vantblas_fused_rmsnorm_residual) {
    require_params(launch, 7);
    const int hidden = launch.params[5].s32();
    const uint64_t rows = launch.grid[0], total = rows * hidden;
    run_grid(launch, &fused_ops_src::vantblas_fused_rmsnorm_residual, f32_at(launch, 0, total),
             (const float*)f32_at(launch, 1, total), (const float*)f32_at(launch, 2, total),
             (const float*)f32_at(launch, 3, hidden), launch.params[4].s32(), hidden, launch.params[6].f32());
}

FAKE_KERNEL(vantblas_fused_layernorm_residual) {
    require_params(launch, 8);
    const int hidden = launch.params[6].s32();
    const uint64_t rows = launch.grid[0], total = rows * hidden;
    run_grid(launch, &fused_ops_src::vantblas_fused_layernorm_residual, f32_at(launch, 0, total),
             (const float*)f32_at(launch, 1, total), (const float*)f32_at(launch, 2, total),
             (const float*)f32_at(launch, 3, hidden), (const float*)f32_at(launch, 4, hidden),
             launch.params[5].s32(), hidden, launch.params[7].f32());
}

FAKE_KERNEL(vantblas_fused_swiglu) {
    require_params(launch, 4);
    const int n = launch.params[3].s32();
    run_grid(launch, &fused_ops_src::vantblas_fused_swiglu, f32_at(launch, 0, n), (const float*)f32_at(launch, 1, n),
             (const float*)f32_at(launch, 2, n), n);
}

FAKE_KERNEL(vantblas_fused_residual_dropout) {
    require_params(launch, 6);
    const int n = launch.params[5].s32();
    run_grid(launch, &fused_ops_src::vantblas_fused_residual_dropout, f32_at(launch, 0, n),
             (const float*)f32_at(launch, 1, n), (const float*)f32_at(launch, 2, n),
             (const float*)f32_at(launch, 3, n), launch.params[4].f32(), n);
}

FAKE_KERNEL(vantblas_fused_bias_residual) {
    require_params(launch, 6);
    const int hidden = launch.params[5].s32();
    const uint64_t total = uint64_t(launch.grid[0]) * hidden;
    run_grid(launch, &fused_ops_src::vantblas_fused_bias_residual, f32_at(launch, 0, total),
             (const float*)f32_at(launch, 1, total), (const float*)f32_at(launch, 2, hidden),
             (const float*)f32_at(launch, 3, total), launch.params[4].s32(), hidden);
}

FAKE_KERNEL(vantblas_fused_attn_output) {
    require_params(launch, 8);
    const int seq = launch.params[6].s32(), h = launch.params[7].s32();
    const uint64_t rows = uint64_t(launch.grid[2]) * seq, total = rows * h;
    run_grid(launch, &fused_ops_src::vantblas_fused_attn_output, f32_at(launch, 0, total),
             (const float*)f32_at(launch, 1, total), (const float*)f32_at(launch, 2, uint64_t(h) * h),
             (const float*)f32_at(launch, 3, h), (const float*)f32_at(launch, 4, total), launch.params[5].s32(), seq,
             h);
}

// ---- FP8 ------------------------------------------------------------------------------------

FAKE_KERNEL(vantblas_quantize_fp8) {
    require_params(launch, 4);
    const uint32_t n = launch.params[3].u32();
    run_grid(launch, &fp8_src::vantblas_quantize_fp8, (unsigned char*)u8_at(launch, 0, n),
             (const float*)f32_at(launch, 1, n), f32_at(launch, 2, 1), n);
}

FAKE_KERNEL(vantblas_dequantize_fp8) {
    require_params(launch, 4);
    const uint32_t n = launch.params[3].u32();
    run_grid(launch, &fp8_src::vantblas_dequantize_fp8, f32_at(launch, 0, n),
             (const unsigned char*)u8_at(launch, 1, n), launch.params[2].f32(), n);
}

void gemm_fp8(const Launch& l, void (*kernel)(float*, const unsigned char*, const unsigned char*, float, float,
                                              unsigned, unsigned, unsigned)) {
    require_params(l, 8);
    const uint32_t m = l.params[5].u32(), n = l.params[6].u32(), k = l.params[7].u32();
    run_grid(l, kernel, f32_at(l, 0, uint64_t(m) * n), (const unsigned char*)u8_at(l, 1, uint64_t(m) * k),
             (const unsigned char*)u8_at(l, 2, uint64_t(k) * n), l.params[3].f32(), l.params[4].f32(), m, n, k);
}

FAKE_KERNEL(vantblas_gemm_fp8_simulated) { gemm_fp8(launch, &fp8_src::vantblas_gemm_fp8_simulated); }
FAKE_KERNEL(vantblas_gemm_fp8_tiled) { gemm_fp8(launch, &fp8_src::vantblas_gemm_fp8_tiled); }

FAKE_KERNEL(vantblas_compute_fp8_scale) {
    require_params(launch, 3);
    const uint32_t n = launch.params[2].u32();
    run_grid(launch, &fp8_src::vantblas_compute_fp8_scale, f32_at(launch, 0, 1), (const float*)f32_at(launch, 1, n),
             n);
}

FAKE_KERNEL(vantblas_fused_fp8_linear) {
    require_params(launch, 8);
    const uint32_t m = launch.params[5].u32(), n = launch.params[6].u32(), k = launch.params[7].u32();
    run_grid(launch, &fp8_src::vantblas_fused_fp8_linear, f32_at(launch, 0, uint64_t(m) * n),
             (const float*)f32_at(launch, 1, uint64_t(m) * k), (const unsigned char*)u8_at(launch, 2, uint64_t(k) * n),
             (const float*)f32_at(launch, 3, n), launch.params[4].f32(), m, n, k);
}

}  // namespace

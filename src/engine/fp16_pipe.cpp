// The half-precision route through the pipelined mma.sync kernel: both operands converted once
// into half scratch, each scaled into half range by a power of two, the product scaled back in
// float32; and the self-test that decides at load time whether the kernel is used at all.
#include <cmath>
#include <string>
#include <vector>

#include "../runtime/device_buffer.hpp"
#include "../runtime/memory_pool.hpp"
#include "canary.hpp"
#include "kernel_set.hpp"
#include "launch.hpp"
#include "paths.hpp"

namespace vant::engine {

CudaResult<void> KernelSet::gemm_mma_scaled(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c,
                                            uint32_t m, uint32_t n, uint32_t k,
                                            OperandRange range, CUstream stream,
                                            HalfScratch* keep, MmaTile tile) const {
    // A product of few tiles is split along K on every device, Hopper included (the persistent
    // wgmma kernel would be starved just the same); without its workspace the unsplit route serves.
    // A forced tile (the wide kernel's canary) is never split.
    const SplitPlan split = tile == MmaTile::Auto ? mma_split_plan(m, n, k) : SplitPlan{1, k};
    rt::PooledBuffer partials = split_workspace(split, m, n);
    if (partials.empty() && has_wgmma() && tile == MmaTile::Auto)
        return gemm_wgmma_scaled(a, b, c, m, n, k, range, stream, keep);
    if (!has_mma_pipe()) return CudaError::launch_failed("MMA pipeline kernel not loaded");
    if (tile == MmaTile::Wide && !has_mma_wide()) return CudaError::launch_failed("MMA wide kernel not loaded");
    if (!multiples_of_16(m, n, k) || m == 0 || n == 0 || k == 0)
        return CudaError::invalid_dimensions("MMA pipeline requires nonzero multiples of 16");

    // Pooled scratch. Blocks go back to the pool while the kernels reading them are still
    // queued: their next user queues on the same stream, or waits for it first.
    HalfScratch local;
    HalfScratch& s = keep ? *keep : local;
    if (s.a.bytes() < uint64_t{m} * k * 2) {
        s.a.reset();
        auto half_a = rt::pool_allocate(uint64_t{m} * k, 2);
        if (!half_a) return CudaError::launch_failed("Failed to allocate a_f16: " + half_a.error());
        s.a = std::move(half_a).value();
    }
    const int sa = half_scale_exponent(range.a_max);
    const int sb = half_scale_exponent(range.b_max);
    auto convert = [&](CUdeviceptr source, CUdeviceptr destination, uint32_t count, int e) {
        PowerOfTwo scale = power_of_two(e);
        void* params[] = {&destination, &source, &count, &scale.first, &scale.second};
        return launched(launch(convert_scaled_f16, convert_scaled_shape(count), stream, params),
                        "convert_scaled_f16 failed: ");
    };
    if (auto done = convert(a, s.a.ptr(), m * k, sa); !done) return done;
    if (!s.b_ready || s.b_source != b || s.b_scale != sb || s.b.bytes() != uint64_t{k} * n * 2) {
        s.b_ready = false;
        s.b.reset();
        auto half_b = rt::pool_allocate(uint64_t{k} * n, 2);
        if (!half_b) return CudaError::launch_failed("Failed to allocate b_f16: " + half_b.error());
        s.b = std::move(half_b).value();
        if (auto done = convert(b, s.b.ptr(), k * n, sb); !done) return done;
        s.b_ready = true;
        s.b_source = b;
        s.b_scale = sb;
    }

    // Both scales stay within [-113, 126], so the inverse fits two normal float32 factors.
    PowerOfTwo back = power_of_two(-(sa + sb));
    CUdeviceptr ha = s.a.ptr(), hb = s.b.ptr();
    if (!partials.empty()) return launch_mma_split(c, ha, hb, m, n, k, split, partials.ptr(), back, stream);
    if (tile == MmaTile::Auto) tile = choose_mma_tile(m, n, has_mma_wide(), sm_count);
    return launch_mma_tile(tile, c, ha, hb, m, n, k, back.first, back.second, stream);
}

namespace {
// Runs `product` on a fixed product of m x k and k x n operands and compares it with the shared
// kernel. False when any driver call fails or an element differs by more than half-precision
// rounding allows.
template <class Product>
bool agrees_with_shared(const KernelSet& set, CUstream stream, uint32_t m, uint32_t n, uint32_t k,
                        Product product) {
    const auto [a, b] = canary_operands(m, n, k);
    auto da = rt::upload(a.data(), a.size());
    if (!da) return false;
    auto db = rt::upload(b.data(), b.size());
    if (!db) return false;
    auto dc = rt::allocate(uint64_t{m} * n);
    if (!dc) return false;
    auto dr = rt::allocate(uint64_t{m} * n);
    if (!dr) return false;
    DrainOnExit drain{stream};
    const OperandRange range{max_finite_magnitude(a.data(), a.size()),
                             max_finite_magnitude(b.data(), b.size())};
    if (!product(da->ptr(), db->ptr(), dc->ptr(), range)) return false;
    if (!set.launch_shared(da->ptr(), db->ptr(), dr->ptr(), m, n, k, stream)) return false;
    auto c = rt::download(dc.value(), m, n, 0);
    if (!c) return false;
    auto r = rt::download(dr.value(), m, n, 0);
    if (!r) return false;
    drain.armed = false;

    // Half-precision rounding of the operands is exact here, so any difference beyond 2^-10 of
    // the magnitude sum is a fault of the kernel.
    for (uint32_t i = 0; i < m; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            double bound = 0.0;
            for (uint32_t p = 0; p < k; ++p)
                bound += std::fabs(double{a[size_t{i} * k + p]} * b[size_t{p} * n + j]);
            const double got = c->data()[size_t{i} * n + j];
            const double want = r->data()[size_t{i} * n + j];
            if (!(std::fabs(got - want) <= bound * 0x1p-10)) return false;
        }
    return true;
}
}  // namespace

bool mma_pipe_self_test(const KernelSet& set, CUstream stream) {
    return agrees_with_shared(set, stream, 272, 144, 112, [&](CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, OperandRange r) {
        return static_cast<bool>(set.gemm_mma_scaled(a, b, c, 272, 144, 112, r, stream));
    });
}

bool mma_wide_self_test(const KernelSet& set, CUstream stream) {
    return agrees_with_shared(set, stream, 272, 528, 208, [&](CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, OperandRange r) {
        return static_cast<bool>(set.gemm_mma_scaled(a, b, c, 272, 528, 208, r, stream, nullptr, MmaTile::Wide));
    });
}

bool wgmma_self_test(const KernelSet& set, CUstream stream) {
    return agrees_with_shared(set, stream, 400, 272, 208, [&](CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, OperandRange r) {
        return static_cast<bool>(set.gemm_wgmma_scaled(a, b, c, 400, 272, 208, r, stream, nullptr, 3));
    });
}

}  // namespace vant::engine

// Split-K for products of few tiles: S slices of K computed side by side (grid z) into a pooled
// workspace of S x M x N floats, then summed per element in slice order by one more kernel, which
// also applies the route's scale-back. The same operands are rounded the same way as on the
// unsplit route; only the order in which the partial sums are added differs, and it is fixed by
// the plan, which depends on the sizes and the device alone.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "../runtime/device_buffer.hpp"
#include "../runtime/memory_pool.hpp"
#include "canary.hpp"
#include "kernel_set.hpp"
#include "launch.hpp"
#include "paths.hpp"

namespace vant::engine {

namespace {

constexpr SplitPlan whole(uint32_t k) noexcept { return {1, k}; }

// C = ((sum of the slices in order) * f1) * f2 over M x N elements.
CudaResult<void> reduce(CUfunction fn, CUdeviceptr c, CUdeviceptr partials, uint32_t m, uint32_t n,
                        uint32_t slices, PowerOfTwo back, CUstream stream) {
    uint32_t count = m * n;  // below 2^30: a split product has few tiles (see plan_split_k)
    void* params[] = {&c, &partials, &count, &slices, &back.first, &back.second};
    return launched(launch(fn, splitk_reduce_shape(count), stream, params), "cuLaunchKernel (split-K sum) failed: ");
}

// Few tiles mean a small C; the guard only keeps M x N within the 32-bit count of the reduction.
bool small_output(uint32_t m, uint32_t n) noexcept { return uint64_t{m} * n <= 0x3FFFFFFFu; }

}  // namespace

rt::PooledBuffer split_workspace(SplitPlan plan, uint32_t m, uint32_t n) {
    if (plan.slices < 2) return {};
    auto block = rt::pool_allocate(uint64_t{plan.slices} * m * n);
    if (!block) return {};
    return std::move(block).value();
}

SplitPlan KernelSet::shared_split_plan(uint32_t m, uint32_t n, uint32_t k) const noexcept {
    if (!gemm_shared_split || !splitk_reduce || !small_output(m, n)) return whole(k);
    // Grid y carries the row tiles: a product that needs bands of rows stays unsplit.
    if (rows_per_launch(m, kSharedTile, max_grid_y) != m) return whole(k);
    return plan_split_k(m, n, k, kSharedTile, kSharedStep, sm_count);
}

SplitPlan KernelSet::mma_split_plan(uint32_t m, uint32_t n, uint32_t k) const noexcept {
    if (!gemm_mma_split || !splitk_reduce || !has_mma_pipe() || !multiples_of_16(m, n, k) || !small_output(m, n))
        return whole(k);
    const SplitPlan plan = plan_split_k(m, n, k, kMmaPipeTile, kMmaPipeStep, sm_count);
    // Column tiles go along grid y, which must hold them all.
    return ceil_div(n, kMmaPipeTile) <= max_grid_y ? plan : whole(k);
}

CudaResult<bool> KernelSet::gemm_shared_split_k(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                                uint32_t n, uint32_t k, CUstream stream) const {
    SplitPlan plan = shared_split_plan(m, n, k);
    rt::PooledBuffer partials = split_workspace(plan, m, n);
    if (partials.empty()) return false;
    // The block goes back to the pool while the kernels using it are queued: its next user queues
    // on the same stream, or waits for it first.
    CUdeviceptr p = partials.ptr();
    void* params[] = {&a, &b, &p, &m, &n, &k, &plan.k_slice};
    if (auto done = launched(launch(gemm_shared_split, shared_split_shape(m, n, plan.slices), stream, params),
                             "cuLaunchKernel (shared split) failed: ");
        !done)
        return done.error();
    if (auto done = reduce(splitk_reduce, c, p, m, n, plan.slices, {1.0f, 1.0f}, stream); !done) return done.error();
    return true;
}

CudaResult<void> KernelSet::launch_mma_split(CUdeviceptr c, CUdeviceptr ha, CUdeviceptr hb, uint32_t m,
                                             uint32_t n, uint32_t k, SplitPlan plan, CUdeviceptr partials,
                                             PowerOfTwo back, CUstream stream) const {
    void* params[] = {&partials, &ha, &hb, &m, &n, &k, &plan.k_slice};
    if (auto done = launched(launch(gemm_mma_split, mma_split_shape(m, n, plan.slices), stream, params),
                             "cuLaunchKernel (MMA split) failed: ");
        !done)
        return done;
    return reduce(splitk_reduce, c, partials, m, n, plan.slices, back, stream);
}

bool mma_split_self_test(const KernelSet& set, CUstream stream) {
    constexpr uint32_t m = 48, n = 144, k = 112;  // partial tiles in M and N
    constexpr SplitPlan plan{2, 64};
    const auto [a, b] = canary_operands(m, n, k);

    auto da = rt::upload(a.data(), a.size());
    if (!da) return false;
    auto db = rt::upload(b.data(), b.size());
    if (!db) return false;
    auto ha = rt::allocate(uint64_t{m} * k, 2);
    if (!ha) return false;
    auto hb = rt::allocate(uint64_t{k} * n, 2);
    if (!hb) return false;
    auto whole_c = rt::allocate(uint64_t{m} * n);
    if (!whole_c) return false;
    auto split_c = rt::allocate(uint64_t{m} * n);
    if (!split_c) return false;
    auto partials = rt::allocate(uint64_t{plan.slices} * m * n);
    if (!partials) return false;
    DrainOnExit drain{stream};

    float one = 1.0f;
    auto convert = [&](CUdeviceptr source, CUdeviceptr destination, uint32_t count) {
        void* params[] = {&destination, &source, &count, &one, &one};
        return launch(set.convert_scaled_f16, convert_scaled_shape(count), stream, params) == drv::CUDA_SUCCESS;
    };
    if (!convert(da->ptr(), ha->ptr(), m * k) || !convert(db->ptr(), hb->ptr(), k * n)) return false;
    CUdeviceptr c = whole_c->ptr(), pa = ha->ptr(), pb = hb->ptr();
    uint32_t mm = m, nn = n, kk = k;
    void* params[] = {&c, &pa, &pb, &mm, &nn, &kk, &one, &one};
    if (launch(set.gemm_mma_pipe, mma_pipe_shape(m, n), stream, params) != drv::CUDA_SUCCESS) return false;
    if (!set.launch_mma_split(split_c->ptr(), pa, pb, m, n, k, plan, partials->ptr(), {1.0f, 1.0f}, stream))
        return false;
    auto whole = rt::download(whole_c.value(), m, n, 0);
    if (!whole) return false;
    auto split = rt::download(split_c.value(), m, n, 0);
    if (!split) return false;
    drain.armed = false;
    return std::memcmp(whole->data(), split->data(), size_t{m} * n * sizeof(float)) == 0;
}

}  // namespace vant::engine

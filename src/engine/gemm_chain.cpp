#include "gemm_chain.hpp"

#include <cfloat>
#include <string>
#include <vector>

#include "../runtime/memory_pool.hpp"
#include "gpu_gemm.hpp"
#include "half_range.hpp"
#include "kernel_set.hpp"
#include "staged_product.hpp"

namespace vant::engine {
namespace {

std::string dims(const char* name, uint64_t rows, uint64_t cols) {
    return std::string(name) + "[" + std::to_string(rows) + "," + std::to_string(cols) + "]";
}

// An upper bound of the finite magnitudes of H = A x W1 that never reaches the host:
// K x max|A| x max|W1|, capped at the float32 maximum.
float product_bound(float a_max, float w_max, uint32_t k) {
    const double bound = double{a_max} * w_max * k;
    return bound < double{FLT_MAX} ? static_cast<float>(bound) : FLT_MAX;
}

}  // namespace

Result<HostBuffer> gpu_gemm_chain(const MatView& a, const MatView& w1, const MatView& w2) {
    if (static_cast<uint32_t>(a.cols) != static_cast<uint32_t>(w1.rows))
        return err("Shape mismatch: " + dims("A", a.rows, a.cols) + " x " + dims("W1", w1.rows, w1.cols));
    if (static_cast<uint32_t>(w1.cols) != static_cast<uint32_t>(w2.rows))
        return err("Shape mismatch: " + dims("H", a.rows, w1.cols) + " x " + dims("W2", w2.rows, w2.cols));
    if (!fits_device_sizes(a.rows, w1.cols, a.cols) || !fits_device_sizes(a.rows, w2.cols, w1.cols) ||
        a.cols != w1.rows || w1.cols != w2.rows)
        return err("Matrix too large for the GPU: " + dims("A", a.rows, a.cols) + " x " +
                   dims("W1", w1.rows, w1.cols) + " x " + dims("W2", w2.rows, w2.cols));
    const uint32_t m = static_cast<uint32_t>(a.rows);
    const uint32_t k = static_cast<uint32_t>(a.cols);
    const uint32_t n1 = static_cast<uint32_t>(w1.cols);
    const uint32_t n2 = static_cast<uint32_t>(w2.cols);

    auto device = gemm_device();
    if (!device) return std::move(device).take_error();
    const KernelSet& set = *device->set;

    // H stays on the device; only A, W1 and W2 go up and only C comes back.
    auto core = rt::current_core(0);
    if (!core) return std::move(core).take_error();
    auto h = rt::pool_allocate(uint64_t{m} * n1);
    if (!h) return err("Failed to allocate H: " + h.error());

    // Ranges for the tensor-core route, found while the operands are gathered: W1's, W2's, then
    // that of the A rows being issued. A product the seed kernels may serve needs A's whole range
    // before its first launch, so such a chain is not cut into panels.
    const bool first_tensor = multiples_of_16(m, n1, k), second_tensor = multiples_of_16(m, n2, n1);
    std::vector<float> maxes;
    const ProductSizes sizes[] = {{n1, k}, {n2, n1}};
    const bool seed_route = (first_tensor || second_tensor) && !set.has_mma_pipe() && set.has_tensor_cores();
    const uint32_t panel_rows = seed_route ? m : plan_panel_rows(m, sizes, 2, set.gemm_v2 != nullptr, set.sm_count);

    // Each product keeps, across row panels, the route its first panel got.
    PanelRoute route1, route2;
    const drv::CUdeviceptr h_base = h->ptr();
    auto product = [&](const std::vector<drv::CUdeviceptr>& whole, drv::CUdeviceptr pa, drv::CUdeviceptr pc,
                       uint32_t row0, uint32_t rows, drv::CUstream stream) -> Result<void> {
        // Both products queue on the one stream, which orders them; no copy or synchronisation
        // between them. H never comes to the host, so its range is bounded instead of measured: a
        // bound above the true maximum only scales H lower than needed (or sends the product to
        // single precision where the seed kernels would serve it).
        const float a_max = maxes.empty() ? 0.0f : maxes[2];
        const float w1_max = maxes.empty() ? 0.0f : maxes[0];
        const float w2_max = maxes.empty() ? 0.0f : maxes[1];
        const drv::CUdeviceptr ph = h_base + uint64_t{row0} * n1 * 4;
        auto first = route1.run(set, pa, whole[0], ph, rows, n1, k, {a_max, w1_max}, stream);
        if (!first) return err("First GEMM failed: " + first.error().display());
        auto second = route2.run(set, ph, whole[1], pc, rows, n2, n1,
                                 {product_bound(a_max, w1_max, k), w2_max}, stream);
        if (!second) return err("Second GEMM failed: " + second.error().display());
        return ok();
    };
    StagedJob job{&a, {&w1, &w2}, n2, panel_rows, first_tensor || second_tensor ? &maxes : nullptr};
    return run_staged(*device, job, product);
}

}  // namespace vant::engine

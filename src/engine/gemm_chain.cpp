#include "gemm_chain.hpp"

#include <optional>
#include <string>
#include <vector>

#include "../runtime/memory_pool.hpp"
#include "gpu_gemm.hpp"
#include "kernel_set.hpp"
#include "staged_product.hpp"

namespace vant::engine {
namespace {

std::string dims(const char* name, uint64_t rows, uint64_t cols) {
    return std::string(name) + "[" + std::to_string(rows) + "," + std::to_string(cols) + "]";
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
    if (auto core = rt::current_core(0); !core) return std::move(core).take_error();
    auto h = rt::pool_allocate(uint64_t{m} * n1);
    if (!h) return err("Failed to allocate H: " + h.error());

    // Each product keeps, across row panels, the precision its first panel got.
    std::optional<Precision> route1, route2;
    auto product_with = [&set](std::optional<Precision>& route, drv::CUdeviceptr x, drv::CUdeviceptr w,
                               drv::CUdeviceptr out, uint32_t rows, uint32_t cols, uint32_t inner,
                               drv::CUstream stream) -> CudaResult<void> {
        if (!route) {
            auto first = gemm_f16_or_f32(set, x, w, out, rows, cols, inner, stream);
            if (!first) return first.error();
            route = first.value();
            return {};
        }
        return *route == Precision::F16 ? set.gemm_f16(x, w, out, rows, cols, inner, stream)
                                        : set.gemm_f32(x, w, out, rows, cols, inner, stream);
    };
    const drv::CUdeviceptr h_base = h->ptr();
    auto product = [&](const std::vector<drv::CUdeviceptr>& whole, drv::CUdeviceptr pa, drv::CUdeviceptr pc,
                       uint32_t row0, uint32_t rows, drv::CUstream stream) -> Result<void> {
        // Both products queue on the one stream, which orders them; no copy or synchronisation
        // between them.
        const drv::CUdeviceptr ph = h_base + uint64_t{row0} * n1 * 4;
        auto first = product_with(route1, pa, whole[0], ph, rows, n1, k, stream);
        if (!first) return err("First GEMM failed: " + first.error().display());
        auto second = product_with(route2, ph, whole[1], pc, rows, n2, n1, stream);
        if (!second) return err("Second GEMM failed: " + second.error().display());
        return ok();
    };
    const ProductSizes sizes[] = {{n1, k}, {n2, n1}};
    StagedJob job{&a, {&w1, &w2}, n2, plan_panel_rows(m, sizes, 2, set.gemm_v2 != nullptr)};
    return run_staged(*device, job, product);
}

}  // namespace vant::engine

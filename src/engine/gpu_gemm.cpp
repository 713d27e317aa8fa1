#include "gpu_gemm.hpp"

#include <string>
#include <vector>

#include "../runtime/cuda_core.hpp"
#include "../runtime/device_buffer.hpp"
#include "half_range.hpp"
#include "kernel_set.hpp"
#include "paths.hpp"
#include "staged_product.hpp"

namespace vant::engine {

namespace {

std::string shape_text(const MatView& a, const MatView& b) {
    return "A[" + std::to_string(a.rows) + "," + std::to_string(a.cols) + "] x B[" +
           std::to_string(b.rows) + "," + std::to_string(b.cols) + "]";
}

bool below_4_gib(uint64_t rows, uint64_t cols) noexcept {
    uint64_t elements;
    return checked_mul(rows, cols, &elements) && rt::fits_byte_count(elements, 4);
}

}  // namespace

bool fits_device_sizes(uint64_t m, uint64_t n, uint64_t k) noexcept {
    constexpr uint64_t kLimit = uint64_t{1} << 32;
    if (m >= kLimit || n >= kLimit || k >= kLimit) return false;
    return below_4_gib(m, k) && below_4_gib(k, n) && below_4_gib(m, n);
}

Result<GemmDevice> gemm_device() {
    auto set = KernelSet::get();
    if (!set) return err("Failed to get VantBLAS: " + set.error().display());
    auto core = rt::core_for(0);
    if (!core) return std::move(core).take_error();
    return GemmDevice{set.value(), core.value()->stream};
}

Result<HostBuffer> gpu_gemm(const MatView& a, const MatView& b) {
    // All 64 bits: inner extents that agree only in their low 32 bits are a mismatch, not a
    // product to stage (a broadcast B of 2^32 + K rows would otherwise be gathered in full).
    if (a.cols != b.rows) return err("Shape mismatch: " + shape_text(a, b));
    // The device layer counts in 32 bits: larger extents would be truncated into a product of
    // the wrong shape, and larger buffers into short copies. Refusing them here sends the call to
    // the CPU before anything is allocated.
    if (!fits_device_sizes(a.rows, b.cols, a.cols))
        return err("Matrix too large for the GPU: " + shape_text(a, b));
    const uint32_t m = static_cast<uint32_t>(a.rows);
    const uint32_t k = static_cast<uint32_t>(a.cols);
    const uint32_t n = static_cast<uint32_t>(b.cols);

    auto device = gemm_device();
    if (!device) return std::move(device).take_error();
    // The core's context is current until the route's scratch has gone back to the pool.
    auto core = rt::current_core(0);
    if (!core) return std::move(core).take_error();

    const KernelSet& set = *device->set;
    // Only the tensor-core route (every size a multiple of 16) needs the operands' ranges, found
    // while they are gathered. The seed kernels round without scaling and so need A's whole range
    // before the first launch: a product they may serve is not cut into panels.
    const bool tensor_route = multiples_of_16(m, n, k);
    std::vector<float> maxes;  // B's, then that of the A rows being issued
    const ProductSizes sizes[] = {{n, k}};
    const bool seed_route = tensor_route && !set.has_mma_pipe() && set.has_tensor_cores();
    const uint32_t panel_rows = seed_route ? m : plan_panel_rows(m, sizes, 1, set.gemm_v2 != nullptr, set.sm_count);

    // Row panels of a large product keep the route the first panel got (see PanelRoute).
    PanelRoute route;
    auto product = [&](const std::vector<drv::CUdeviceptr>& whole, drv::CUdeviceptr pa, drv::CUdeviceptr pc,
                       uint32_t, uint32_t rows, drv::CUstream stream) -> Result<void> {
        const OperandRange range = maxes.empty() ? OperandRange{} : OperandRange{maxes[1], maxes[0]};
        auto done = route.run(set, pa, whole[0], pc, rows, n, k, range, stream);
        if (!done) return err("VantBLAS GEMM failed: " + done.error().display());
        return ok();
    };
    StagedJob job{&a, {&b}, n, panel_rows, tensor_route ? &maxes : nullptr};
    return run_staged(*device, job, product);
}

}  // namespace vant::engine

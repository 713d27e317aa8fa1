#include "gpu_gemm.hpp"

#include <optional>
#include <string>
#include <vector>

#include "../runtime/cuda_core.hpp"
#include "../runtime/device_buffer.hpp"
#include "kernel_set.hpp"
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

    // Row panels of a large product keep the precision the first panel got: a tensor-core route
    // refused there is single precision for all of them, and one refused later fails the call.
    std::optional<Precision> route;
    const KernelSet& set = *device->set;
    auto product = [&](const std::vector<drv::CUdeviceptr>& whole, drv::CUdeviceptr pa, drv::CUdeviceptr pc,
                       uint32_t, uint32_t rows, drv::CUstream stream) -> Result<void> {
        // The tensor-core kernels read float32 operands and round them while staging, so dA and
        // dB go to them as they are; a failure of that route falls back to single precision
        // silently.
        CudaResult<void> done;
        if (!route) {
            auto first = gemm_f16_or_f32(set, pa, whole[0], pc, rows, n, k, stream);
            if (first) route = first.value();
            else done = first.error();
        } else if (*route == Precision::F16) {
            done = set.gemm_f16(pa, whole[0], pc, rows, n, k, stream);
        } else {
            done = set.gemm_f32(pa, whole[0], pc, rows, n, k, stream);
        }
        if (!done) return err("VantBLAS GEMM failed: " + done.error().display());
        return ok();
    };
    const ProductSizes sizes[] = {{n, k}};
    StagedJob job{&a, {&b}, n, plan_panel_rows(m, sizes, 1, set.gemm_v2 != nullptr)};
    return run_staged(*device, job, product);
}

}  // namespace vant::engine

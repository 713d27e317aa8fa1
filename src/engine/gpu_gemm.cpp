#include "gpu_gemm.hpp"

#include <string>

#include "../runtime/cuda_core.hpp"
#include "../runtime/device_buffer.hpp"
#include "half_range.hpp"
#include "kernel_set.hpp"
#include "paths.hpp"

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

    auto host_a = gather_host_matrix(a);
    auto host_b = gather_host_matrix(b);
    if (!host_a || !host_b) return err("Failed to allocate host memory for the operands");
    // Only the tensor-core route (every size a multiple of 16) needs the operands' ranges.
    OperandRange range;
    if (multiples_of_16(m, n, k))
        range = {max_finite_magnitude(host_a->data(), host_a->size()),
                 max_finite_magnitude(host_b->data(), host_b->size())};

    auto dev_a = rt::upload(host_a->data(), host_a->size());
    if (!dev_a) return std::move(dev_a).take_error();
    auto dev_b = rt::upload(host_b->data(), host_b->size());
    if (!dev_b) return std::move(dev_b).take_error();

    auto dev_c = rt::allocate(uint64_t{m} * n, 4);
    if (!dev_c) return err("Failed to allocate output: " + dev_c.error());

    // The tensor-core route takes dA and dB as float32 (the pipelined kernel converts them into
    // scaled half scratch, the seed kernels round them while staging); a failure of that route
    // falls back to single precision silently.
    auto product = gemm_f16_or_f32(*device->set, dev_a->ptr(), dev_b->ptr(), dev_c->ptr(), m, n,
                                   k, range, device->stream);
    if (!product) return err("VantBLAS GEMM failed: " + product.error().display());

    rt::release(dev_a.value());
    rt::release(dev_b.value());
    // download releases C after a successful copy; on failure C is freed with dev_c.
    return rt::download(dev_c.value(), m, n, 0);
}

}  // namespace vant::engine

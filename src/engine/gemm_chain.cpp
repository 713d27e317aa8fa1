#include "gemm_chain.hpp"

#include <cfloat>
#include <string>

#include "../runtime/device_buffer.hpp"
#include "gpu_gemm.hpp"
#include "half_range.hpp"
#include "kernel_set.hpp"

namespace vant::engine {
namespace {

std::string dims(const char* name, uint64_t rows, uint64_t cols) {
    return std::string(name) + "[" + std::to_string(rows) + "," + std::to_string(cols) + "]";
}

// Uploads a view and records its largest finite magnitude in *max.
Result<rt::DeviceBuffer> upload_view(const MatView& v, float* max) {
    std::optional<HostBuffer> host = gather_host_matrix(v);
    if (!host) return err("Failed to allocate host memory for an operand");
    *max = max_finite_magnitude(host->data(), host->size());
    return rt::upload(host->data(), host->size());
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
    const drv::CUstream stream = device->stream;

    float a_max = 0.0f, w1_max = 0.0f, w2_max = 0.0f;
    auto da = upload_view(a, &a_max);
    if (!da) return std::move(da).take_error();
    auto dw1 = upload_view(w1, &w1_max);
    if (!dw1) return std::move(dw1).take_error();
    auto dw2 = upload_view(w2, &w2_max);
    if (!dw2) return std::move(dw2).take_error();
    auto h = rt::allocate(uint64_t{m} * n1);
    if (!h) return err("Failed to allocate H: " + h.error());
    auto c = rt::allocate(uint64_t{m} * n2);
    if (!c) return err("Failed to allocate C: " + c.error());

    // Both products queue on the one stream, which orders them; no copy or synchronisation
    // between them.
    // H never comes to the host, so its range is bounded instead of measured: a bound above the
    // true maximum only scales H lower than needed (or sends the product to single precision
    // where the seed kernels would serve it).
    auto first = gemm_f16_or_f32(set, da->ptr(), dw1->ptr(), h->ptr(), m, n1, k,
                                 {a_max, w1_max}, stream);
    if (!first) return err("First GEMM failed: " + first.error().display());
    auto second = gemm_f16_or_f32(set, h->ptr(), dw2->ptr(), c->ptr(), m, n2, n1,
                                  {product_bound(a_max, w1_max, k), w2_max}, stream);
    if (!second) return err("Second GEMM failed: " + second.error().display());

    da->reset();
    dw1->reset();
    dw2->reset();
    h->reset();
    return rt::download(c.value(), m, n2, 0);
}

}  // namespace vant::engine

// One product on device memory becomes one kernel launch (two when the WMMA-max launch is refused
// and the shared kernel takes over). Kernel parameters are passed by address: 64-bit device
// addresses and 32-bit unsigned sizes, in each kernel's own order.
#include <string>

#include "../common/stdout_line.hpp"
#include "kernel_set.hpp"
#include "paths.hpp"

namespace vant::engine {

namespace {

CUresult launch(CUfunction fn, const LaunchShape& s, CUstream stream, void** params) {
    return drv::cuLaunchKernel(fn, s.grid[0], s.grid[1], s.grid[2], s.block[0], s.block[1],
                               s.block[2], s.shared_bytes, stream, params, nullptr);
}

// Success, or "<what><status>" as a launch failure when the driver refused the launch.
CudaResult<void> launched(CUresult status, const char* what) {
    if (status == drv::CUDA_SUCCESS) return {};
    return CudaError::launch_failed(std::string(what) + std::to_string(status));
}

std::string sizes_text(uint32_t m, uint32_t n, uint32_t k) {
    return "M=" + std::to_string(m) + ", N=" + std::to_string(n) + ", K=" + std::to_string(k);
}

}  // namespace

CudaResult<void> KernelSet::launch_shared(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                          uint32_t n, uint32_t k, CUstream stream) const {
    void* params[] = {&a, &b, &c, &m, &n, &k};
    return launched(launch(gemm_shared, shared_shape(m, n), stream, params),
                    "cuLaunchKernel (shared) failed: ");
}

CudaResult<void> KernelSet::gemm_f32(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                     uint32_t n, uint32_t k, CUstream stream) const {
    switch (choose_f32_path(m, n, k, gemm_v2 != nullptr)) {
        case F32Path::ZeroDimension:
            return CudaError::invalid_dimensions("Zero dimension: " + sizes_text(m, n, k));
        case F32Path::Small: {
            CUresult status;
            if (gemm_small == gemm_basic) {
                // The small module failed and the basic kernel stands in: it takes A, B, C and
                // covers 64x64 tiles, so it gets its own order and grid.
                void* params[] = {&a, &b, &c, &m, &n, &k};
                status = launch(gemm_small, basic_shape(m, n), stream, params);
            } else {
                void* params[] = {&c, &a, &b, &m, &n, &k};
                status = launch(gemm_small, small_shape(m, n), stream, params);
            }
            return launched(status, "cuLaunchKernel (small) failed: ");
        }
        case F32Path::Shared:
            return launch_shared(a, b, c, m, n, k, stream);
        case F32Path::V2: {
            float alpha = 1.0f;
            float beta = 0.0f;  // C is newly allocated: the kernel must not read it
            void* params[] = {&a, &b, &c, &m, &n, &k, &alpha, &beta};
            return launched(launch(gemm_v2, v2_shape(m, n), stream, params),
                            "cuLaunchKernel (V2) failed: ");
        }
    }
    return CudaError::launch_failed("no kernel path");  // unreachable: every path returns above
}

CudaResult<void> KernelSet::convert_f32_to_f16(CUdeviceptr source, CUdeviceptr destination,
                                               uint32_t n, CUstream stream) const {
    if (!convert_f32_to_f16_fn) return CudaError::launch_failed("FP16 conversion kernel not loaded");
    void* params[] = {&destination, &source, &n};
    return launched(launch(convert_f32_to_f16_fn, convert_shape(n), stream, params),
                    "convert_f32_to_f16 failed: ");
}

CudaResult<void> KernelSet::gemm_f16(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                     uint32_t n, uint32_t k, CUstream stream) const {
    switch (choose_f16_path(m, n, k, gemm_wmma_max != nullptr, gemm_wmma_opt_vec != nullptr)) {
        case F16Path::Unavailable:
            return CudaError::launch_failed("WMMA kernel not available for FP16 GEMM");
        case F16Path::BadDimensions:
            return CudaError::invalid_dimensions(
                "FP16 GEMM requires dimensions to be multiples of 16. Got " + sizes_text(m, n, k));
        case F16Path::OptVec: {
            void* params[] = {&c, &a, &b, &m, &n, &k};
            return launched(launch(gemm_wmma_opt_vec, opt_vec_shape(m, n), stream, params),
                            "cuLaunchKernel (OptVec) failed: ");
        }
        case F16Path::WmmaMax:
            return launch_wmma(a, b, c, m, n, k, stream);
    }
    return CudaError::launch_failed("no kernel path");  // unreachable: every path returns above
}

CudaResult<void> KernelSet::launch_wmma(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                        uint32_t n, uint32_t k, CUstream stream) const {
    void* params[] = {&c, &a, &b, &m, &n, &k};
    CUresult status = launch(gemm_wmma_max, wmma_max_shape(m, n), stream, params);
    if (status == drv::CUDA_SUCCESS) return {};
    write_stdout_line("[VantBLAS] WMMA launch failed: " + std::to_string(status) +
                      ", falling back to shared");
    return launch_shared(a, b, c, m, n, k, stream);
}

CudaResult<Precision> gemm_f16_or_f32(const KernelSet& set, CUdeviceptr a, CUdeviceptr b,
                                      CUdeviceptr c, uint32_t m, uint32_t n, uint32_t k,
                                      OperandRange range, CUstream stream) {
    const bool fit = fits_half_unscaled(range.a_max) && fits_half_unscaled(range.b_max);
    switch (choose_route(m, n, k, set.has_mma_pipe(), set.has_tensor_cores(), fit)) {
        case ProductRoute::MmaPipe:
            if (set.gemm_mma_scaled(a, b, c, m, n, k, range, stream).ok()) return Precision::F16;
            break;
        case ProductRoute::SeedF16:
            if (set.gemm_f16(a, b, c, m, n, k, stream).ok()) return Precision::F16;
            break;
        case ProductRoute::F32:
            break;
    }
    auto single = set.gemm_f32(a, b, c, m, n, k, stream);
    if (!single) return single.error();
    return Precision::F32;
}

}  // namespace vant::engine

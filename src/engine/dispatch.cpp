// One product on device memory becomes one kernel launch (two when the WMMA-max launch is refused
// and the shared kernel takes over), or one launch per band of rows when the product has more
// block rows than the device's grid admits. Kernel parameters are passed by address: 64-bit
// device addresses and 32-bit unsigned sizes, in each kernel's own order.
#include <algorithm>
#include <string>

#include "../common/stdout_line.hpp"
#include "kernel_set.hpp"
#include "launch.hpp"
#include "paths.hpp"

namespace vant::engine {

namespace {

std::string sizes_text(uint32_t m, uint32_t n, uint32_t k) {
    return "M=" + std::to_string(m) + ", N=" + std::to_string(n) + ", K=" + std::to_string(k);
}

}  // namespace

CUresult KernelSet::launch_tiled(CUfunction fn, ShapeFn shape, uint32_t tile, ParamOrder order,
                                 CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                 uint32_t n, uint32_t k, CUstream stream) const {
    const uint32_t band = rows_per_launch(m, tile, max_grid_y);
    float alpha = 1.0f;
    float beta = 0.0f;  // C is newly allocated: the kernel must not read it
    uint32_t first = 0;
    do {  // once even for M = 0, which the driver judges as before
        uint32_t rows = std::min(band, m - first);
        CUdeviceptr band_a = a + uint64_t{first} * k * sizeof(float);
        CUdeviceptr band_c = c + uint64_t{first} * n * sizeof(float);
        // A kernel reads as many entries as it declares: the six-parameter ones ignore alpha, beta.
        void* abc[] = {&band_a, &b, &band_c, &rows, &n, &k, &alpha, &beta};
        void* cab[] = {&band_c, &band_a, &b, &rows, &n, &k};
        CUresult status = launch(fn, shape(rows, n), stream, order == ParamOrder::Cab ? cab : abc);
        if (status != drv::CUDA_SUCCESS) return status;
        first += rows;
    } while (first < m);
    return drv::CUDA_SUCCESS;
}

CudaResult<void> KernelSet::launch_shared(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                          uint32_t n, uint32_t k, CUstream stream) const {
    return launched(launch_tiled(gemm_shared, shared_shape, kSharedTile, ParamOrder::Abc, a, b, c,
                                 m, n, k, stream),
                    "cuLaunchKernel (shared) failed: ");
}

CudaResult<void> KernelSet::gemm_f32(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                     uint32_t n, uint32_t k, CUstream stream) const {
    switch (choose_f32_path(m, n, k, gemm_v2 != nullptr)) {
        case F32Path::ZeroDimension:
            return CudaError::invalid_dimensions("Zero dimension: " + sizes_text(m, n, k));
        case F32Path::Small: {
            // When the small module failed the basic kernel stands in: it takes A, B, C and
            // covers 64x64 tiles, so it gets its own order and grid.
            CUresult status =
                gemm_small == gemm_basic
                    ? launch_tiled(gemm_small, basic_shape, kBasicTile, ParamOrder::Abc, a, b, c, m,
                                   n, k, stream)
                    : launch_tiled(gemm_small, small_shape, kSmallTile, ParamOrder::Cab, a, b, c, m,
                                   n, k, stream);
            return launched(status, "cuLaunchKernel (small) failed: ");
        }
        case F32Path::Shared: {
            // Few tiles over a long K: split along K when the workspace can be had.
            auto split = gemm_shared_split_k(a, b, c, m, n, k, stream);
            if (!split) return split.error();
            if (split.value()) return {};
            return launch_shared(a, b, c, m, n, k, stream);
        }
        case F32Path::V2:
            return launched(launch_tiled(gemm_v2, v2_shape, kV2Tile, ParamOrder::AbcAlphaBeta, a, b,
                                         c, m, n, k, stream),
                            "cuLaunchKernel (V2) failed: ");
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
        case F16Path::OptVec:
            return launched(launch_tiled(gemm_wmma_opt_vec, opt_vec_shape, kOptVecTile,
                                         ParamOrder::Cab, a, b, c, m, n, k, stream),
                            "cuLaunchKernel (OptVec) failed: ");
        case F16Path::WmmaMax:
            return launch_wmma(a, b, c, m, n, k, stream);
    }
    return CudaError::launch_failed("no kernel path");  // unreachable: every path returns above
}

CudaResult<void> KernelSet::launch_wmma(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                        uint32_t n, uint32_t k, CUstream stream) const {
    // A refused band sends the whole product to the shared kernel, which rewrites every row
    // after the bands already queued.
    CUresult status = launch_tiled(gemm_wmma_max, wmma_max_shape, kWmmaMaxTile, ParamOrder::Cab, a,
                                   b, c, m, n, k, stream);
    if (status == drv::CUDA_SUCCESS) return {};
    write_stdout_line("[VantBLAS] WMMA launch failed: " + std::to_string(status) +
                      ", falling back to shared");
    return launch_shared(a, b, c, m, n, k, stream);
}

CudaResult<ProductRoute> gemm_f16_or_f32(const KernelSet& set, CUdeviceptr a, CUdeviceptr b,
                                         CUdeviceptr c, uint32_t m, uint32_t n, uint32_t k,
                                         OperandRange range, CUstream stream, HalfScratch* keep) {
    const bool fit = fits_half_unscaled(range.a_max) && fits_half_unscaled(range.b_max);
    const ProductRoute route = choose_route(m, n, k, set.has_mma_pipe(), set.has_tensor_cores(), fit);
    switch (route) {
        case ProductRoute::MmaPipe:
            if (set.gemm_mma_scaled(a, b, c, m, n, k, range, stream, keep).ok()) return route;
            break;
        case ProductRoute::SeedF16:
            if (set.gemm_f16(a, b, c, m, n, k, stream).ok()) return route;
            break;
        case ProductRoute::F32:
            break;
    }
    auto single = set.gemm_f32(a, b, c, m, n, k, stream);
    if (!single) return single.error();
    return ProductRoute::F32;
}

CudaResult<void> PanelRoute::run(const KernelSet& set, CUdeviceptr a, CUdeviceptr b, CUdeviceptr c,
                                 uint32_t m, uint32_t n, uint32_t k, OperandRange range,
                                 CUstream stream) {
    if (!chosen_) {
        auto first = gemm_f16_or_f32(set, a, b, c, m, n, k, range, stream, &scratch_);
        if (!first) return first.error();
        chosen_ = true;
        route_ = first.value();
        return {};
    }
    switch (route_) {
        case ProductRoute::MmaPipe:
            return set.gemm_mma_scaled(a, b, c, m, n, k, range, stream, &scratch_);
        case ProductRoute::SeedF16:
            return set.gemm_f16(a, b, c, m, n, k, stream);
        case ProductRoute::F32:
            break;
    }
    return set.gemm_f32(a, b, c, m, n, k, stream);
}

}  // namespace vant::engine

namespace vant::engine {

CudaResult<void> KernelSet::gather_strided_f32(CUdeviceptr dst, CUdeviceptr src, uint32_t rows, uint32_t cols,
                                               int64_t row_stride, int64_t col_stride, CUstream stream) const {
    if (!gather_strided) return CudaError::launch_failed("strided gather kernel not loaded");
    const uint64_t total = uint64_t{rows} * cols;
    if (total == 0) return {};
    // A grid-stride loop: a bounded grid covers any size.
    const uint32_t blocks = static_cast<uint32_t>(std::min<uint64_t>((total + 255) / 256, 65535));
    long long rs = row_stride, cs = col_stride;
    void* params[] = {&dst, &src, &rows, &cols, &rs, &cs};
    return launched(launch(gather_strided, LaunchShape{{blocks, 1, 1}, {256, 1, 1}, 0}, stream, params),
                    "gather failed: ");
}

}  // namespace vant::engine

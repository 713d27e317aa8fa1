// The half-precision route through the compute capability 9.0 kernel: both operands converted
// into zero-padded half scratch (rows and columns rounded up to whole tiles, so no copy ever
// reaches past a tensor), described by two tensor maps, and multiplied by a persistent kernel
// with 128 x 256 tiles; the scales are those of the pipelined route.
#include <algorithm>
#include <cstdint>
#include <string>

#include "../runtime/device_buffer.hpp"
#include "../runtime/memory_pool.hpp"
#include "kernel_set.hpp"
#include "launch.hpp"
#include "paths.hpp"

namespace vant::engine {

namespace {

constexpr uint32_t kRows = 128, kCols = 256, kDepth = 64;  // CTA tile and k step
constexpr uint32_t kThreads = 384;
constexpr uint32_t kShared = 4 * 49152 + 1024;  // four ring stages and the alignment slack

constexpr uint64_t round_up(uint64_t x, uint64_t t) { return (x + t - 1) / t * t; }

// The 128-byte swizzled map of a rows x cols half matrix (row-major) read in boxes of
// box_rows x 64 halves.
drv::CUresult encode(drv::CUtensorMap* map, CUdeviceptr base, uint64_t rows, uint64_t cols, uint32_t box_rows) {
    const unsigned long long dims[2] = {cols, rows};
    const unsigned long long strides[1] = {cols * 2};
    const unsigned box[2] = {kDepth, box_rows};
    const unsigned element_strides[2] = {1, 1};
    return drv::cuTensorMapEncodeTiled(map, drv::CU_TENSOR_MAP_DATA_TYPE_FLOAT16, 2,
                                       reinterpret_cast<void*>(static_cast<uintptr_t>(base)), dims, strides, box,
                                       element_strides, 0, drv::CU_TENSOR_MAP_SWIZZLE_128B, 2, 0);
}

}  // namespace

CudaResult<void> KernelSet::gemm_wgmma_scaled(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                              uint32_t n, uint32_t k, OperandRange range, CUstream stream,
                                              HalfScratch* keep, uint32_t max_blocks) const {
    if (!has_wgmma()) return CudaError::launch_failed("wgmma kernel not loaded");
    if (!multiples_of_16(m, n, k) || m == 0 || n == 0 || k == 0)
        return CudaError::invalid_dimensions("wgmma kernel requires nonzero multiples of 16");
    const uint64_t mp = round_up(m, kRows), np = round_up(n, kCols), kp = round_up(k, kDepth);

    HalfScratch local;
    HalfScratch& s = keep ? *keep : local;
    if (s.a.bytes() < mp * kp * 2) {
        s.a.reset();
        auto half_a = rt::pool_allocate(mp * kp, 2);
        if (!half_a) return CudaError::launch_failed("Failed to allocate a_f16: " + half_a.error());
        s.a = std::move(half_a).value();
    }
    const int sa = half_scale_exponent(range.a_max);
    const int sb = half_scale_exponent(range.b_max);
    auto convert = [&](CUdeviceptr source, CUdeviceptr destination, uint32_t rows, uint32_t cols,
                       uint64_t out_rows, uint64_t out_cols, int e) {
        PowerOfTwo scale = power_of_two(e);
        uint32_t orow = static_cast<uint32_t>(out_rows), ocol = static_cast<uint32_t>(out_cols);
        void* params[] = {&destination, &source, &rows, &cols, &orow, &ocol, &scale.first, &scale.second};
        const uint64_t blocks = (out_rows * out_cols + 1023) / 1024;
        if (blocks > 0x7FFFFFFFu) return CudaResult<void>(CudaError::invalid_dimensions("operand too large"));
        LaunchShape shape{{static_cast<uint32_t>(blocks), 1, 1}, {256, 1, 1}, 0};
        return launched(launch(convert_pad_f16, shape, stream, params), "convert_pad_f16 failed: ");
    };
    if (auto done = convert(a, s.a.ptr(), m, k, mp, kp, sa); !done) return done;
    // The cached B must also have this route's padded layout: its size tells (a padded B is
    // never the size of the unpadded one of the same source unless they coincide exactly).
    if (!s.b_ready || s.b_source != b || s.b_scale != sb || s.b.bytes() != kp * np * 2) {
        s.b_ready = false;
        s.b.reset();
        auto half_b = rt::pool_allocate(kp * np, 2);
        if (!half_b) return CudaError::launch_failed("Failed to allocate b_f16: " + half_b.error());
        s.b = std::move(half_b).value();
        if (auto done = convert(b, s.b.ptr(), k, n, kp, np, sb); !done) return done;
        s.b_ready = true;
        s.b_source = b;
        s.b_scale = sb;
    }

    drv::CUtensorMap map_a, map_b;
    if (drv::CUresult st = encode(&map_a, s.a.ptr(), mp, kp, kRows); st != drv::CUDA_SUCCESS)
        return CudaError::launch_failed("cuTensorMapEncodeTiled (A) failed: " + std::to_string(st));
    if (drv::CUresult st = encode(&map_b, s.b.ptr(), kp, np, kDepth); st != drv::CUDA_SUCCESS)
        return CudaError::launch_failed("cuTensorMapEncodeTiled (B) failed: " + std::to_string(st));

    const uint64_t tiles = (mp / kRows) * (np / kCols);
    uint32_t blocks = std::max<uint32_t>(1, max_blocks ? max_blocks : sm_count);
    if (tiles < blocks) blocks = static_cast<uint32_t>(tiles);
    PowerOfTwo back = power_of_two(-(sa + sb));
    void* params[] = {&c, &map_a, &map_b, &m, &n, &k, &back.first, &back.second};
    drv::CUlaunchAttribute cluster{};
    cluster.id = drv::CU_LAUNCH_ATTRIBUTE_CLUSTER_DIMENSION;
    cluster.value.clusterDim = {1, 1, 1};
    drv::CUlaunchConfig config{blocks, 1, 1, kThreads, 1, 1, kShared, stream, &cluster, 1};
    return launched(drv::cuLaunchKernelEx(&config, gemm_wgmma_tma, params, nullptr),
                    "cuLaunchKernelEx (wgmma) failed: ");
}

}  // namespace vant::engine

// The 128 x 256 tile of the pipelined mma.sync route: its launch on half operands the route has
// converted and scaled, the raise of its dynamic shared memory limit, its canary, and the
// multiprocessor count the tile choice weighs it by.
#include <cstdint>

#include "../driver/driver_api.hpp"
#include "kernel_set.hpp"
#include "launch.hpp"
#include "paths.hpp"

namespace vant::engine {

namespace {
constexpr int kMaxDynamicSharedAttribute = 8;  // CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES
}  // namespace

uint32_t multiprocessor_count(uint64_t device_id) noexcept {
    drv::CUdevice dev;
    int sms = 0;
    if (drv::cuDeviceGet(&dev, static_cast<int>(device_id)) != drv::CUDA_SUCCESS ||
        drv::cuDeviceGetAttribute(&sms, drv::CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT, dev) != drv::CUDA_SUCCESS ||
        sms < 1)
        return 1;
    return static_cast<uint32_t>(sms);
}

CudaResult<void> KernelSet::launch_mma_tile(MmaTile tile, CUdeviceptr c, CUdeviceptr ha, CUdeviceptr hb,
                                            uint32_t m, uint32_t n, uint32_t k, float f1, float f2,
                                            CUstream stream) const {
    void* params[] = {&c, &ha, &hb, &m, &n, &k, &f1, &f2};
    if (tile == MmaTile::Wide)
        return launched(launch(gemm_mma_wide, mma_wide_shape(m, n), stream, params),
                        "cuLaunchKernel (MMA wide) failed: ");
    return launched(launch(gemm_mma_pipe, mma_pipe_shape(m, n), stream, params),
                    "cuLaunchKernel (MMA pipeline) failed: ");
}

WideStatus enable_mma_wide(const KernelSet& set, CUstream stream) {
    if (!set.has_mma_wide() || !drv::entry_available("cuFuncSetAttribute")) return WideStatus::Unavailable;
    if (drv::cuFuncSetAttribute(set.gemm_mma_wide, kMaxDynamicSharedAttribute, static_cast<int>(kMmaWideShared)) !=
        drv::CUDA_SUCCESS)
        return WideStatus::Unavailable;
    return mma_wide_self_test(set, stream) ? WideStatus::Enabled : WideStatus::CanaryFailed;
}

}  // namespace vant::engine

// The one process-wide GPU context: driver initialised, device 0, one context, one stream and
// the nine training kernels. Built lazily by the first GPU operation, never torn down.
#pragma once

#include <cstdint>
#include <string>

#include "../common/result.hpp"
#include "../driver/driver_api.hpp"

namespace vant::rt {

using drv::CUcontext;
using drv::CUfunction;
using drv::CUmodule;
using drv::CUresult;
using drv::CUstream;

struct TrainingKernel {
    CUmodule module = nullptr;
    CUfunction function = nullptr;
};

// Index of each training kernel in CudaCore::kernels.
enum TrainingKernelIndex : int {
    kMatmulKernel, kSoftmaxKernel, kAdamwKernel, kOneHotKernel, kOneHotChunkKernel,
    kCrossEntropyBackwardKernel, kReduceSumKernel, kEmbeddingKernel, kTransposeKernel,
    kTrainingKernelCount
};

struct CudaCore {
    CUcontext context = nullptr;
    TrainingKernel kernels[kTrainingKernelCount];
    CUstream stream = nullptr;
    uint64_t device_id = 0;
    // The device's largest grid y extent: launches whose grid rows exceed it are split.
    uint32_t max_grid_y = 65535;
};

// The least compute capability the embedded modules are built for (sm_75).
inline constexpr int kLeastCapabilityMajor = 7;
inline constexpr int kLeastCapabilityMinor = 5;

// The process-wide core, built on first use; on failure nothing is cached and the next call
// starts again, except for a device below the least compute capability: that verdict holds for
// the rest of the process, and later calls fail at once with the same message, without any
// driver call. The returned pointer stays valid for the rest of the process.
// The build holds the slot's lock, so concurrent first callers wait for one build instead of
// each creating a context; a failed build releases what it created before the failing step.
Result<CudaCore*> get_cuda_core(uint64_t ordinal);

// The core when it has been built, else null; never builds, never calls the driver.
CudaCore* built_cuda_core() noexcept;

// The driver's description of a status, or "Unknown CUDA error: <status>".
std::string cuda_status_text(CUresult status);
// Success for status 0, otherwise an error carrying cuda_status_text(status).
Result<void> check_status(CUresult status);

// Makes the core's context current on the calling thread:
// "Failed to set CUDA context: " + status text on failure.
Result<void> make_current(const CudaCore& core);

// The core for a device: "Failed to get CUDA core: " + the core's message on failure.
Result<CudaCore*> core_for(uint64_t ordinal);
// The same, with the core's context made current on the calling thread (which need not be the
// thread that built the core): "Failed to set CUDA context: " + status text on failure.
Result<CudaCore*> current_core(uint64_t ordinal);

// True when the driver loads, cuInit succeeds, at least one device is present and device 0
// reaches the least compute capability, that is when the core can be built. Creates no context
// and prints nothing. A device found too old is remembered as get_cuda_core remembers it.
bool cuda_usable() noexcept;

// Error value of the GEMM launch and dispatch layer.
class CudaError {
public:
    enum class Kind { DriverStatus, InvalidDimensions, LaunchFailed };

    static CudaError driver_status(CUresult status) { return CudaError(Kind::DriverStatus, status, {}); }
    static CudaError invalid_dimensions(std::string m) { return CudaError(Kind::InvalidDimensions, 0, std::move(m)); }
    static CudaError launch_failed(std::string m) { return CudaError(Kind::LaunchFailed, 0, std::move(m)); }

    Kind kind() const noexcept { return kind_; }
    CUresult status() const noexcept { return status_; }
    const std::string& message() const noexcept { return message_; }
    // "CUDA error: <status>", "Invalid dimensions: <msg>" or "Kernel launch failed: <msg>".
    std::string display() const;

private:
    CudaError(Kind k, CUresult s, std::string m) : kind_(k), status_(s), message_(std::move(m)) {}
    Kind kind_;
    CUresult status_;
    std::string message_;
};

}  // namespace vant::rt

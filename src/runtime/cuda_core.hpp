// The one process-wide GPU core: driver initialised, device 0, its primary context (shared with
// every other library of the process), one stream and the nine training kernels. Built lazily by
// the first GPU operation and kept for the process, unless another library resets the device:
// then the next operation builds a new core (a new generation) and everything made for the old
// one is dropped without handing its handles to the driver again.
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
    CUcontext context = nullptr;  // the device's primary context, retained by this core
    drv::CUdevice device = 0;
    // 1 for the first core of the process; each rebuild after a reset counts up. Device objects
    // remember the generation they were made in.
    uint64_t generation = 0;
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

// The generation of the published core, 0 while there is none (before the first build, or after
// a reset was found and before the rebuild).
uint64_t core_generation() noexcept;

// Whether objects made in generation `generation` may still be handed to the driver. When some
// driver call answered with a status that can mean a reset since the last check, the core's own
// stream is probed first; a core found gone is unpublished, so the next get_cuda_core builds a
// new one. Without such a status this is two atomic reads.
bool generation_alive(uint64_t generation) noexcept;

// Makes a context current on the calling thread for the scope's life and then leaves the
// thread's current context exactly as it was (none stays none, another library's stays). When
// the context is current already this costs one cuCtxGetCurrent; inside another scope of the
// same context on this thread it costs no driver call at all. Scopes nest strictly (they live on
// the stack); a moved-from scope restores nothing.
class ContextScope {
public:
    ContextScope() noexcept = default;
    explicit ContextScope(CUcontext ctx) noexcept;
    ContextScope(ContextScope&& other) noexcept;
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    ContextScope& operator=(ContextScope&&) = delete;
    ~ContextScope();

    // The status of making the context current (success when it is).
    CUresult status() const noexcept { return status_; }
    // "Failed to set CUDA context: " + status text when the context could not be made current.
    Result<void> check() const;

private:
    CUresult status_ = 0;
    bool active_ = false;   // counted in this thread's scope depth
    bool pushed_ = false;   // pushed onto the thread's context stack: popped at the end
    CUcontext outer_ = nullptr;
};

// The core together with its context made current for as long as the value lives.
class CoreUse {
public:
    CoreUse(CudaCore* core, ContextScope&& scope) noexcept : core_(core), scope_(std::move(scope)) {}
    CudaCore* operator->() const noexcept { return core_; }
    CudaCore& operator*() const noexcept { return *core_; }
    CudaCore* get() const noexcept { return core_; }

private:
    CudaCore* core_;
    ContextScope scope_;
};

// The core for a device: "Failed to get CUDA core: " + the core's message on failure.
Result<CudaCore*> core_for(uint64_t ordinal);
// The same, with the core's context made current on the calling thread while the result lives:
// "Failed to set CUDA context: " + status text on failure.
Result<CoreUse> current_core(uint64_t ordinal);
// The built core's context made current for a release path (status ignored by such callers):
// an inactive scope when no core is built.
ContextScope release_scope() noexcept;

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

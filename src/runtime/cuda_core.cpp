#include "cuda_core.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "../common/kernel_texts.hpp"
#include "../common/stdout_line.hpp"

namespace vant::rt {
namespace {

struct KernelSpec {
    const char* short_name;  // used in the messages and progress lines
    const char* ptx_path;    // below kernels/
    const char* entry;
    bool null_checked;       // a null handle with a zero status is refused
    const char* notes[2];    // lines about kernels this core leaves out, printed after this one
};

constexpr KernelSpec kTrainingKernels[kTrainingKernelCount] = {
    {"matmul", "training/matmul.ptx", "matmul_kernel", true,
     {"[CUDA] rmsnorm SKIPPED (not used in basic training)", nullptr}},
    {"softmax", "training/softmax.ptx", "softmax_kernel", true,
     {"[CUDA] softmax_backward SKIPPED (using fused cross_entropy_backward)", nullptr}},
    {"adamw", "training/adamw.ptx", "adamw_kernel", true, {nullptr, nullptr}},
    {"one_hot", "training/one_hot.ptx", "one_hot_kernel", true, {nullptr, nullptr}},
    {"one_hot_chunk", "training/one_hot_chunk.ptx", "one_hot_chunk_kernel", true, {nullptr, nullptr}},
    {"cross_entropy_backward", "training/cross_entropy_backward.ptx", "cross_entropy_backward_kernel", true,
     {"[CUDA] matmul_fp16 SKIPPED (FP32 training)", nullptr}},
    {"reduce_sum", "training/reduce_sum.ptx", "reduce_sum_kernel", false,
     {"[CUDA] matmul_wmma SKIPPED (JIT issue)", "[CUDA] matmul_bias_gelu SKIPPED (JIT issue)"}},
    {"embedding", "training/embedding.ptx", "embedding_kernel", true, {nullptr, nullptr}},
    {"transpose", "training/transpose.ptx", "transpose_2d_kernel", false,
     {"[CUDA] batch_matmul SKIPPED (for attention only)", "[CUDA] batch_softmax SKIPPED (for attention only)"}},
};

// The slot: the core is published through an atomic pointer so that steady-state calls take no
// lock; the mutex serialises builds. Never destroyed.
std::mutex g_core_mutex;
std::atomic<CudaCore*> g_core{nullptr};

// Handles created so far by a build; released when the build fails part-way, so a device that
// cannot load the modules keeps no module loaded and no retain of its primary context.
struct PartialCore {
    CudaCore core;
    bool retained = false;
    bool committed = false;

    ~PartialCore() {
        if (committed || !retained) return;
        {
            ContextScope scope(core.context);
            for (TrainingKernel& k : core.kernels)
                if (k.module) drv::cuModuleUnload(k.module);
        }
        drv::cuDevicePrimaryCtxRelease(core.device);
    }
};

void print_line(std::string_view text) { write_stdout_line(text); }

// A device below the least compute capability, as major * 100 + minor, once one has been seen;
// -1 until then. The device of a process does not change, so the verdict is never cleared.
std::atomic<int> g_too_old{-1};

std::string too_old_text(int capability) {
    return "Compute capability " + std::to_string(capability / 100) + "." +
           std::to_string(capability % 100) + " is not supported: the CUDA kernels need " +
           std::to_string(kLeastCapabilityMajor) + "." + std::to_string(kLeastCapabilityMinor) +
           " or later";
}

// Reads the device's compute capability into *capability (major * 100 + minor) and records a
// device that is too old. Returns the status of a failed read.
CUresult read_capability(drv::CUdevice device, int* capability) noexcept {
    int major = 0, minor = 0;
    CUresult status =
        drv::cuDeviceGetAttribute(&major, drv::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device);
    if (status == drv::CUDA_SUCCESS)
        status = drv::cuDeviceGetAttribute(&minor, drv::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR,
                                           device);
    if (status != drv::CUDA_SUCCESS) return status;
    *capability = std::max(major, 0) * 100 + std::max(minor, 0);  // a nonsense value reads as 0.0
    if (major < kLeastCapabilityMajor ||
        (major == kLeastCapabilityMajor && minor < kLeastCapabilityMinor))
        g_too_old.store(*capability, std::memory_order_release);
    return drv::CUDA_SUCCESS;
}

bool capability_sufficient(int capability) noexcept {
    return capability >= kLeastCapabilityMajor * 100 + kLeastCapabilityMinor;
}

Result<CudaCore*> build_core() {
    auto partial = std::make_unique<PartialCore>();
    CudaCore& core = partial->core;

    CUresult status = drv::cuInit(0);
    if (status != drv::CUDA_SUCCESS)
        return err("cuInit failed: " + ("cuInit failed with error: " + std::to_string(status)));

    drv::CUdevice device = 0;
    status = drv::cuDeviceGet(&device, 0);
    if (status != drv::CUDA_SUCCESS) return err("cuDeviceGet failed: " + cuda_status_text(status));

    // Before any context exists: a device the modules cannot serve gets none.
    int capability = 0;
    status = read_capability(device, &capability);
    if (status != drv::CUDA_SUCCESS)
        return err("cuDeviceGetAttribute failed: " + cuda_status_text(status));
    if (!capability_sufficient(capability)) return err(too_old_text(capability));
    int grid_y = 0;
    status = drv::cuDeviceGetAttribute(&grid_y, drv::CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y, device);
    if (status != drv::CUDA_SUCCESS)
        return err("cuDeviceGetAttribute failed: " + cuda_status_text(status));
    if (grid_y > 0) core.max_grid_y = static_cast<uint32_t>(grid_y);

    // The primary context: the one PyTorch, CuPy and the CUDA runtime use, so their work and ours
    // share streams, events and memory, and the device carries no second context.
    core.device = device;
    status = drv::cuDevicePrimaryCtxRetain(&core.context, device);
    if (status != drv::CUDA_SUCCESS)
        return err("cuDevicePrimaryCtxRetain failed: " + cuda_status_text(status));
    partial->retained = true;

    ContextScope scope(core.context);
    if (scope.status() != drv::CUDA_SUCCESS)
        return err("cuCtxPushCurrent failed: " + cuda_status_text(scope.status()));

    print_line("[CUDA] Context created, loading ESSENTIAL modules only...");

    for (int i = 0; i < kTrainingKernelCount; ++i) {
        const KernelSpec& spec = kTrainingKernels[i];
        TrainingKernel& slot = core.kernels[i];
        const std::string name = spec.short_name;

        std::string_view text = kernel_text(spec.ptx_path);
        if (size_t nul = text.find('\0'); nul != std::string_view::npos)
            return err("Failed to create CString from " + name +
                       " PTX: nul byte found in provided data at position: " + std::to_string(nul));
        // The embedded text is NUL-terminated already; a missing one is handed over as "".
        status = drv::cuModuleLoadData(&slot.module, text.empty() ? "" : text.data());
        if (status != drv::CUDA_SUCCESS) {
            slot.module = nullptr;
            return err("Failed to load " + name + " module: " + cuda_status_text(status));
        }
        if (spec.null_checked && !slot.module) return err("cuModuleLoadData returned null " + name + " module");
        print_line("[CUDA] " + name + " module loaded OK");

        status = drv::cuModuleGetFunction(&slot.function, slot.module, spec.entry);
        if (status != drv::CUDA_SUCCESS) return err("Failed to get " + name + " function: " + cuda_status_text(status));
        if (spec.null_checked && !slot.function)
            return err("cuModuleGetFunction returned null " + name + " function");
        char hex[32];
        print_line("[CUDA] " + name + " function resolved OK: " + std::string(format_handle(slot.function, hex)));

        for (const char* note : spec.notes)
            if (note) print_line(note);
    }

    // A blocking stream (flags 0), on purpose: the resident objects upload and download with the
    // blocking copies, which run on the legacy stream, and only a blocking stream orders its
    // kernels after them (a pageable upload may still be in flight when cuMemcpyHtoD returns).
    status = drv::cuStreamCreate(&core.stream, 0);
    if (status != drv::CUDA_SUCCESS) {
        core.stream = nullptr;
        return err("cuStreamCreate failed: " + cuda_status_text(status));
    }

    auto* built = new CudaCore(core);  // never freed: a holder may outlive a reset
    partial->committed = true;
    return built;
}

// Appends `in` to `out`, replacing each maximal invalid UTF-8 subsequence with U+FFFD.
void append_utf8_lossy(std::string& out, std::string_view in) {
    size_t i = 0;
    while (i < in.size()) {
        auto lead = static_cast<unsigned char>(in[i]);
        size_t len = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
        size_t good = len == 0 ? 0 : 1;  // bytes of the sequence seen valid so far
        while (good > 0 && good < len && i + good < in.size()) {
            auto c = static_cast<unsigned char>(in[i + good]);
            unsigned char lo = 0x80, hi = 0xBF;
            if (good == 1) {
                if (lead == 0xE0) lo = 0xA0;       // overlong
                if (lead == 0xED) hi = 0x9F;       // surrogates
                if (lead == 0xF0) lo = 0x90;       // overlong
                if (lead == 0xF4) hi = 0x8F;       // beyond U+10FFFF
            }
            if (c < lo || c > hi) break;
            ++good;
        }
        if (len != 0 && good == len) {
            out.append(in.substr(i, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += good == 0 ? 1 : good;
        }
    }
}

}  // namespace

namespace {

// The suspect-status count (see drv::suspect_status_count) up to which the published core has
// been checked.
std::atomic<uint64_t> g_checked{0};
uint64_t g_last_generation = 0;            // guarded by g_core_mutex
std::vector<drv::CUdevice> g_lost_retains;  // retains of lost cores, released after a rebuild

// Probes the published core after suspect statuses; unpublishes it when its handles are gone.
// Holds g_core_mutex.
void verify_locked() noexcept {
    CudaCore* core = g_core.load(std::memory_order_relaxed);
    const uint64_t seen = drv::suspect_status_count();
    if (!core || seen == g_checked.load(std::memory_order_relaxed)) return;
    bool lost = false;
    {
        ContextScope scope(core->context);
        CUresult status = scope.status();
        if (status == drv::CUDA_SUCCESS) status = drv::cuStreamSynchronize(core->stream);
        lost = status == drv::CUDA_ERROR_CONTEXT_IS_DESTROYED || status == drv::CUDA_ERROR_INVALID_CONTEXT ||
               status == drv::CUDA_ERROR_INVALID_HANDLE;
    }
    g_checked.store(drv::suspect_status_count(), std::memory_order_relaxed);
    if (!lost) return;
    // Everything made for this core is dropped by its owners when they see the generation gone;
    // the core object itself stays allocated for holders that still point at it.
    g_core.store(nullptr, std::memory_order_release);
    try {
        g_lost_retains.push_back(core->device);
    } catch (...) {
    }
}

bool suspect_pending() noexcept {
    return drv::suspect_status_count() != g_checked.load(std::memory_order_relaxed);
}

}  // namespace

Result<CudaCore*> get_cuda_core(uint64_t ordinal) {
    if (ordinal != 0) return err("Only device 0 supported for now, got device_id " + std::to_string(ordinal));
    if (int capability = g_too_old.load(std::memory_order_acquire); capability >= 0)
        return err(too_old_text(capability));
    if (CudaCore* core = g_core.load(std::memory_order_acquire); core && !suspect_pending()) return core;
    std::lock_guard<std::mutex> lock(g_core_mutex);
    verify_locked();
    if (CudaCore* core = g_core.load(std::memory_order_relaxed)) return core;
    auto built = build_core();
    if (built) {
        built.value()->generation = ++g_last_generation;
        g_checked.store(drv::suspect_status_count(), std::memory_order_relaxed);
        g_core.store(built.value(), std::memory_order_release);
        // The new core holds its own retain now; those of lost cores can go.
        for (drv::CUdevice device : g_lost_retains) drv::cuDevicePrimaryCtxRelease(device);
        g_lost_retains.clear();
    }
    return built;
}

CudaCore* built_cuda_core() noexcept { return g_core.load(std::memory_order_acquire); }

uint64_t core_generation() noexcept {
    CudaCore* core = g_core.load(std::memory_order_acquire);
    return core ? core->generation : 0;
}

bool generation_alive(uint64_t generation) noexcept {
    if (suspect_pending()) {
        std::lock_guard<std::mutex> lock(g_core_mutex);
        verify_locked();
    }
    return generation != 0 && core_generation() == generation;
}

namespace {
// The context this thread's outermost scope made current, and how many scopes are open.
thread_local CUcontext t_active = nullptr;
thread_local int t_depth = 0;
}  // namespace

ContextScope::ContextScope(CUcontext ctx) noexcept {
    if (t_depth > 0 && t_active == ctx) {
        active_ = true;
        outer_ = t_active;
        ++t_depth;
        return;
    }
    CUcontext current = nullptr;
    status_ = drv::cuCtxGetCurrent(&current);
    if (status_ != drv::CUDA_SUCCESS) return;
    if (current != ctx) {
        status_ = drv::cuCtxPushCurrent(ctx);
        if (status_ != drv::CUDA_SUCCESS) return;
        pushed_ = true;
    }
    active_ = true;
    outer_ = t_active;
    t_active = ctx;
    ++t_depth;
}

ContextScope::ContextScope(ContextScope&& other) noexcept
    : status_(other.status_), active_(std::exchange(other.active_, false)),
      pushed_(std::exchange(other.pushed_, false)), outer_(other.outer_) {}

ContextScope::~ContextScope() {
    if (!active_) return;
    --t_depth;
    t_active = outer_;
    if (pushed_) {
        CUcontext popped = nullptr;
        drv::cuCtxPopCurrent(&popped);
    }
}

Result<void> ContextScope::check() const {
    if (status_ == drv::CUDA_SUCCESS) return ok();
    return err("Failed to set CUDA context: " + cuda_status_text(status_));
}

ContextScope release_scope() noexcept {
    CudaCore* core = g_core.load(std::memory_order_acquire);
    return core ? ContextScope(core->context) : ContextScope();
}

std::string cuda_status_text(CUresult status) {
    const char* text = nullptr;
    if (drv::cuGetErrorString(status, &text) == drv::CUDA_SUCCESS && text) {
        std::string out;
        append_utf8_lossy(out, text);
        return out;
    }
    return "Unknown CUDA error: " + std::to_string(status);
}

Result<void> check_status(CUresult status) {
    if (status == drv::CUDA_SUCCESS) return ok();
    return err(cuda_status_text(status));
}

Result<CudaCore*> core_for(uint64_t ordinal) {
    auto core = get_cuda_core(ordinal);
    if (!core) return err("Failed to get CUDA core: " + core.error());
    return core;
}

Result<CoreUse> current_core(uint64_t ordinal) {
    auto core = core_for(ordinal);
    if (!core) return std::move(core).take_error();
    ContextScope scope(core.value()->context);
    if (auto made = scope.check(); !made) return std::move(made).take_error();
    return CoreUse(core.value(), std::move(scope));
}

bool cuda_usable() noexcept {
    if (g_too_old.load(std::memory_order_acquire) >= 0) return false;
    if (drv::ensure_loaded() != 0) return false;
    if (drv::cuInit(0) != drv::CUDA_SUCCESS) return false;
    int count = 0;
    if (drv::cuDeviceGetCount(&count) != drv::CUDA_SUCCESS || count < 1) return false;
    drv::CUdevice device = 0;
    if (drv::cuDeviceGet(&device, 0) != drv::CUDA_SUCCESS) return false;
    int capability = 0;
    return read_capability(device, &capability) == drv::CUDA_SUCCESS &&
           capability_sufficient(capability);
}

std::string CudaError::display() const {
    switch (kind_) {
        case Kind::DriverStatus: return "CUDA error: " + std::to_string(status_);
        case Kind::InvalidDimensions: return "Invalid dimensions: " + message_;
        case Kind::LaunchFailed: return "Kernel launch failed: " + message_;
    }
    return {};
}

}  // namespace vant::rt

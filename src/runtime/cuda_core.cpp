#include "cuda_core.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>

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
// cannot load the modules does not leak a context on every call.
struct PartialCore {
    CudaCore core;
    bool context_created = false;
    bool committed = false;

    ~PartialCore() {
        if (committed) return;
        for (TrainingKernel& k : core.kernels)
            if (k.module) drv::cuModuleUnload(k.module);
        if (context_created) drv::cuCtxDestroy(core.context);
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

    status = drv::cuCtxCreate(&core.context, 0, device);
    if (status != drv::CUDA_SUCCESS) return err("cuCtxCreate failed: " + cuda_status_text(status));
    partial->context_created = true;

    status = drv::cuCtxSetCurrent(core.context);
    if (status != drv::CUDA_SUCCESS) return err("cuCtxSetCurrent failed: " + cuda_status_text(status));

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

    auto* built = new CudaCore(core);  // lives until the process exits
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

Result<CudaCore*> get_cuda_core(uint64_t ordinal) {
    if (ordinal != 0) return err("Only device 0 supported for now, got device_id " + std::to_string(ordinal));
    if (int capability = g_too_old.load(std::memory_order_acquire); capability >= 0)
        return err(too_old_text(capability));
    if (CudaCore* core = g_core.load(std::memory_order_acquire)) return core;
    std::lock_guard<std::mutex> lock(g_core_mutex);
    if (CudaCore* core = g_core.load(std::memory_order_relaxed)) return core;
    auto built = build_core();
    if (built) g_core.store(built.value(), std::memory_order_release);
    return built;
}

CudaCore* built_cuda_core() noexcept { return g_core.load(std::memory_order_acquire); }

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

Result<void> make_current(const CudaCore& core) {
    CUresult status = drv::cuCtxSetCurrent(core.context);
    if (status != drv::CUDA_SUCCESS) return err("Failed to set CUDA context: " + cuda_status_text(status));
    return ok();
}

Result<CudaCore*> core_for(uint64_t ordinal) {
    auto core = get_cuda_core(ordinal);
    if (!core) return err("Failed to get CUDA core: " + core.error());
    return core;
}

Result<CudaCore*> current_core(uint64_t ordinal) {
    auto core = core_for(ordinal);
    if (!core) return core;
    if (auto current = make_current(*core.value()); !current) return std::move(current).take_error();
    return core;
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

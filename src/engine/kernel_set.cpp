#include "kernel_set.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../common/kernel_texts.hpp"
#include "../common/stdout_line.hpp"
#include "../runtime/cuda_core.hpp"

namespace vant::engine {

namespace {

constexpr CUresult kNotFound = 500;  // CUDA_ERROR_NOT_FOUND

void say(std::string_view line) { write_stdout_line(line); }

// Warnings that end in ": " are completed by the driver status in decimal; others stand alone.
void warn(std::string_view text, CUresult status) {
    if (!text.ends_with(": ")) return say(text);
    std::string line(text);
    line += std::to_string(status);
    say(line);
}

// Loads modules and resolves entries, remembering every module it loaded so that a failed load
// can unload them and a successful one can hand them to the set.
class Loader {
public:
    Loader() = default;
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;
    ~Loader() {
        for (CUmodule m : loaded_) drv::cuModuleUnload(m);
    }

    // The embedded text is NUL-terminated already; a missing text becomes an empty one, which the
    // driver refuses like any other bad image.
    CUresult load(const char* path, CUmodule* out) {
        *out = nullptr;
        std::string_view text = kernel_text(path);
        const char* image = text.empty() ? "" : text.data();
        CUresult status = drv::cuModuleLoadData(out, image);
        if (status == drv::CUDA_SUCCESS && *out == nullptr) status = kNotFound;
        if (status == drv::CUDA_SUCCESS) loaded_.push_back(*out);
        return status;
    }

    static CUresult lookup(CUmodule module, const char* name, CUfunction* out) {
        *out = nullptr;
        CUresult status = drv::cuModuleGetFunction(out, module, name);
        if (status == drv::CUDA_SUCCESS && *out == nullptr) status = kNotFound;
        if (status != drv::CUDA_SUCCESS) *out = nullptr;
        return status;
    }

    // A module none of whose entries this set holds.
    void unload(CUmodule module) {
        std::erase(loaded_, module);
        drv::cuModuleUnload(module);
    }

    // The set keeps the modules from here on; nothing is unloaded when the loader goes away.
    std::vector<CUmodule> keep() { return std::exchange(loaded_, {}); }

private:
    std::vector<CUmodule> loaded_;
};

// The loaded module, or null after the load_failed warning.
CUmodule load_or_warn(Loader& loader, const char* path, std::string_view load_failed) {
    CUmodule module;
    CUresult status = loader.load(path, &module);
    if (status == drv::CUDA_SUCCESS) return module;
    warn(load_failed, status);
    return nullptr;
}

// Module with a single looked-up entry and the usual three lines. Returns the handle or null.
CUfunction load_single(Loader& loader, const char* path, const char* entry,
                       std::string_view load_failed, std::string_view not_found,
                       std::string_view loaded_ok) {
    CUmodule module = load_or_warn(loader, path, load_failed);
    if (!module) return nullptr;
    CUfunction fn;
    if (CUresult status = Loader::lookup(module, entry, &fn); status != drv::CUDA_SUCCESS) {
        warn(not_found, status);
        return nullptr;
    }
    say(loaded_ok);
    return fn;
}

constexpr int kWgmmaShared = 4 * 49152 + 1024;

// Whether the wgmma module may be tried: device of compute capability exactly 9.0 (its text is
// architecture-specific) and the tensor-map, attribute and extended-launch entries present.
// Sets the persistent block count from the multiprocessor count.
bool wgmma_device(const rt::CudaCore& core, uint32_t* sm_count) {
    for (const char* e : {"cuTensorMapEncodeTiled", "cuFuncSetAttribute", "cuLaunchKernelEx"})
        if (!drv::entry_available(e)) return false;
    drv::CUdevice dev;
    int major = 0, minor = 0, sms = 0, optin = 0;
    if (drv::cuDeviceGet(&dev, static_cast<int>(core.device_id)) != drv::CUDA_SUCCESS ||
        drv::cuDeviceGetAttribute(&major, drv::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, dev) != drv::CUDA_SUCCESS ||
        drv::cuDeviceGetAttribute(&minor, drv::CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, dev) != drv::CUDA_SUCCESS ||
        drv::cuDeviceGetAttribute(&sms, drv::CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT, dev) != drv::CUDA_SUCCESS ||
        drv::cuDeviceGetAttribute(&optin, drv::CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK_OPTIN, dev) !=
            drv::CUDA_SUCCESS)
        return false;
    if (major != 9 || minor != 0 || sms < 1 || optin < kWgmmaShared) return false;
    *sm_count = static_cast<uint32_t>(sms);
    return true;
}

}  // namespace

CudaResult<KernelSet> KernelSet::load() {
    auto core = rt::get_cuda_core(0);
    if (!core) return CudaError::launch_failed(core.error());
    // Modules load into the current context: the core's, for the length of the load.
    rt::ContextScope scope(core.value()->context);
    if (scope.status() != drv::CUDA_SUCCESS) return CudaError::driver_status(scope.status());

    Loader loader;
    KernelSet set;
    set.max_grid_y = core.value()->max_grid_y;
    set.generation = core.value()->generation;

    set.gemm_small = load_single(loader, "gemm/small.ptx", "vantblas_gemm_small_16x16",
                                 "[VantBLAS] Warning: Small kernel failed to load: ",
                                 "[VantBLAS] Warning: Small kernel function not found: ",
                                 "[VantBLAS] Small kernel (16x16) loaded OK");

    // Without the basic kernel nothing can stand in for anything else: the whole load fails,
    // silently, and the loader unloads what it loaded.
    {
        CUmodule module;
        CUresult status = loader.load("gemm/basic.ptx", &module);
        if (status != drv::CUDA_SUCCESS) return CudaError::driver_status(status);
        status = Loader::lookup(module, "vantblas_gemm_64x64", &set.gemm_basic);
        if (status != drv::CUDA_SUCCESS) return CudaError::driver_status(status);
        if (!set.gemm_small) set.gemm_small = set.gemm_basic;
    }

    CUmodule shared_module = nullptr;  // its split-K entries are looked up last
    {
        CUmodule module;
        CUresult status = loader.load("gemm/shared.ptx", &module);
        bool shared_ok = false;
        if (status != drv::CUDA_SUCCESS) {
            say("[VantBLAS] Warning: Shared memory kernel failed to load, using basic kernel");
        } else if (Loader::lookup(module, "vantblas_gemm_shared_64x64", &set.gemm_shared) !=
                   drv::CUDA_SUCCESS) {
            say("[VantBLAS] Warning: Shared memory kernel function not found, using basic kernel");
            loader.unload(module);
        } else {
            shared_ok = true;
            shared_module = module;
        }
        if (!shared_ok) {
            // Reduced set: the basic kernel serves every single-precision path, nothing else
            // is loaded, and no closing line is printed.
            set.gemm_shared = set.gemm_basic;
            set.gemm_reg8x8 = set.gemm_basic;
            set.batched_gemm = set.gemm_small;
            set.modules = loader.keep();
            return set;
        }
    }

    {
        CUmodule module;
        if (loader.load("gemm/reg8x8.ptx", &module) != drv::CUDA_SUCCESS)
            say("[VantBLAS] Warning: 8x8 register kernel failed to load, using shared kernel");
        else if (Loader::lookup(module, "vantblas_gemm_reg8x8", &set.gemm_reg8x8) !=
                 drv::CUDA_SUCCESS)
            say("[VantBLAS] Warning: 8x8 kernel function not found, using shared kernel");
        if (!set.gemm_reg8x8) set.gemm_reg8x8 = set.gemm_shared;
    }

    set.batched_gemm = load_single(loader, "gemm/batched.ptx", "vantblas_gemm_batched",
                                   "[VantBLAS] Warning: Batched kernel failed to load: ",
                                   "[VantBLAS] Warning: Batched kernel function not found: ",
                                   "[VantBLAS] Batched kernel loaded OK");
    if (!set.batched_gemm) set.batched_gemm = set.gemm_small;

    set.gemm_wmma_max = load_single(loader, "gemm/wmma_max.ptx", "vantblas_gemm_wmma_max",
                                    "[VantBLAS] Warning: WMMA kernel failed to load: ",
                                    "[VantBLAS] Warning: WMMA kernel not found",
                                    "[VantBLAS] \u26A1 WMMA MAX kernel loaded! (19.6 TFLOPS)");
    set.gemm_wmma_opt_vec =
        load_single(loader, "gemm/wmma_opt.ptx", "vantblas_gemm_wmma_opt_vec",
                    "[VantBLAS] Warning: OptVec kernel failed to load: ",
                    "[VantBLAS] Warning: OptVec kernel not found",
                    "[VantBLAS] \u26A1 OptVec kernel loaded! (22.8 TFLOPS - 62% PyTorch)");
    set.gemm_fp16_pure =
        load_single(loader, "gemm/fp16_pure.ptx", "vantblas_gemm_wmma_fp16_pure",
                    "[VantBLAS] Warning: FP16 Pure kernel failed to load: ",
                    "[VantBLAS] Warning: FP16 Pure kernel not found",
                    "[VantBLAS] \U0001F3C6 FP16 Pure kernel loaded! (31.7 TFLOPS - 86% PyTorch)");
    set.gemm_v2 = load_single(loader, "gemm/v2.ptx", "vantblas_gemm_v2",
                              "[VantBLAS] Warning: V2 kernel failed to load: ",
                              "[VantBLAS] Warning: V2 kernel not found",
                              "[VantBLAS] \u26A1 V2 kernel loaded! (10.7+ TFLOPS for large matrices)");

    if (CUmodule module = load_or_warn(loader, "gemm/v1.ptx",
                                       "[VantBLAS] Warning: Small Fast kernels failed to load: ")) {
        (void)Loader::lookup(module, "vantblas_gemm_small_v1", &set.gemm_small_v1);
        (void)Loader::lookup(module, "vantblas_gemm_medium_v1", &set.gemm_medium_v1);
        if (set.gemm_small_v1)
            say("[VantBLAS] \u26A1 Small V1 kernel loaded! (optimized for 512-1024)");
        if (set.gemm_medium_v1)
            say("[VantBLAS] \u26A1 Medium V1 kernel loaded! (optimized for 1024-1536)");
    }

    set.attention_basic =
        load_single(loader, "fused/attention.ptx", "vantblas_fused_attention",
                    "[VantBLAS] Warning: Attention kernel failed to load: ",
                    "[VantBLAS] Warning: Attention kernel function not found: ",
                    "[VantBLAS] Fused Attention kernel loaded OK");

    if (CUmodule module = load_or_warn(loader, "gemm/convert.ptx",
                                       "[VantBLAS] Warning: FP16 convert kernels failed to load: ")) {
        (void)Loader::lookup(module, "convert_f32_to_f16", &set.convert_f32_to_f16_fn);
        (void)Loader::lookup(module, "convert_f16_to_f32", &set.convert_f16_to_f32_fn);
        if (set.convert_f32_to_f16_fn && set.convert_f16_to_f32_fn)
            say("[VantBLAS] \u26A1 FP16 conversion kernels loaded OK!");
    }

    if (CUmodule module = load_or_warn(loader, "fused/fused_attention.ptx",
                                       "[VantBLAS] Warning: Fused Attention CUDA failed to load: ")) {
        (void)Loader::lookup(module, "vantblas_fused_attention_simple",
                             &set.fused_attention_simple);
        (void)Loader::lookup(module, "vantblas_multihead_attention", &set.multihead_attention);
        if (set.fused_attention_simple)
            say("[VantBLAS] \U0001F680 Fused Attention CUDA loaded OK!");
    }

    if (CUmodule module = load_or_warn(loader, "fused/fused_ops.ptx",
                                       "[VantBLAS] Warning: Fused Ops failed to load: ")) {
        struct Entry {
            const char* name;
            CUfunction* slot;
        };
        const Entry entries[] = {
            {"vantblas_fused_linear_bias_gelu", &set.fused_linear_bias_gelu},
            {"vantblas_fused_linear_bias_silu", &set.fused_linear_bias_silu},
            {"vantblas_fused_rmsnorm_residual", &set.fused_rmsnorm_residual},
            {"vantblas_fused_layernorm_residual", &set.fused_layernorm_residual},
            {"vantblas_fused_swiglu", &set.fused_swiglu},
            {"vantblas_fused_bias_residual", &set.fused_bias_residual},
        };
        int found = 0;
        for (const Entry& e : entries)
            if (Loader::lookup(module, e.name, e.slot) == drv::CUDA_SUCCESS) ++found;
        say("[VantBLAS] \U0001F525 Fused Ops loaded: " + std::to_string(found) + "/6 kernels");
    }

    if (CUmodule module = load_or_warn(loader, "fused/fp8.ptx",
                                       "[VantBLAS] Warning: FP8 Ops failed to load: ")) {
        (void)Loader::lookup(module, "vantblas_quantize_fp8", &set.quantize_fp8);
        (void)Loader::lookup(module, "vantblas_dequantize_fp8", &set.dequantize_fp8);
        (void)Loader::lookup(module, "vantblas_gemm_fp8_tiled", &set.gemm_fp8_tiled);
        if (set.quantize_fp8 && set.gemm_fp8_tiled)
            say("[VantBLAS] \u26A1 FP8 Pipeline loaded OK! (DeepSeek style)");
    }

    // Packs strided device arrays of other libraries; loaded without a line of its own, and
    // without it such arrays are refused instead of copied.
    {
        CUmodule module;
        if (loader.load("gemm/gather.ptx", &module) == drv::CUDA_SUCCESS &&
            Loader::lookup(module, "vantblas_gather_strided_f32", &set.gather_strided) != drv::CUDA_SUCCESS) {
            set.gather_strided = nullptr;
            loader.unload(module);
        }
    }
    // The split-K entries of the shared module, without a line of their own: when either is
    // missing no product is split.
    if (Loader::lookup(shared_module, "vantblas_gemm_shared_split", &set.gemm_shared_split) != drv::CUDA_SUCCESS ||
        Loader::lookup(shared_module, "vantblas_splitk_reduce", &set.splitk_reduce) != drv::CUDA_SUCCESS)
        set.gemm_shared_split = set.splitk_reduce = nullptr;
    set.sm_count = multiprocessor_count(core.value()->device_id);
    // Asked before the pipelined module loads, so that everything after that load is its self-test.
    const bool wgmma_candidate = wgmma_device(*core.value(), &set.sm_count);

    // The pipelined tensor-core kernel first meets real hardware on the user's machine: it is used
    // only once a fixed product agrees with the shared kernel.
    if (CUmodule module = load_or_warn(loader, "gemm/mma_pipe.ptx",
                                       "[VantBLAS] Warning: MMA pipeline kernel failed to load: ")) {
        CUresult status = Loader::lookup(module, "vantblas_gemm_mma_pipe", &set.gemm_mma_pipe);
        if (status == drv::CUDA_SUCCESS)
            status = Loader::lookup(module, "vantblas_convert_scaled_f16", &set.convert_scaled_f16);
        if (status == drv::CUDA_SUCCESS)
            status = Loader::lookup(module, "vantblas_gemm_mma_split", &set.gemm_mma_split);
        if (status != drv::CUDA_SUCCESS) {
            set.gemm_mma_pipe = set.convert_scaled_f16 = set.gemm_mma_split = nullptr;
            say("[VantBLAS] Warning: MMA pipeline kernel not found");
            loader.unload(module);
        } else {
            say("[VantBLAS] \u26A1 MMA pipeline kernel loaded! (cp.async + mma.sync, 128x128 tiles)");
            // The split variant shares the kernel's code: both must agree for the module to serve
            // (the split only where the slice sum of the shared module is there to check it with).
            if (!mma_pipe_self_test(set, core.value()->stream) ||
                (set.splitk_reduce && !mma_split_self_test(set, core.value()->stream))) {
                set.gemm_mma_pipe = set.convert_scaled_f16 = set.gemm_mma_split = nullptr;
                say("[VantBLAS] Warning: MMA pipeline kernel failed its self-test, not used");
                loader.unload(module);
            }
        }
    }

    // The wgmma module: architecture-specific text for compute capability 9.0 only, fed by tensor
    // maps, so it needs the device to be exactly 9.0 and the driver to offer the three entries;
    // like the pipelined kernel it serves only once its canary agrees (else the mma.sync route).
    if (set.has_mma_pipe() && wgmma_candidate) {
        if (CUmodule module = load_or_warn(loader, "gemm/wgmma_tma.ptx",
                                           "[VantBLAS] Warning: wgmma kernel failed to load: ")) {
            CUresult status = Loader::lookup(module, "vantblas_gemm_wgmma_tma", &set.gemm_wgmma_tma);
            if (status == drv::CUDA_SUCCESS)
                status = Loader::lookup(module, "vantblas_convert_pad_f16", &set.convert_pad_f16);
            if (status == drv::CUDA_SUCCESS)
                status = drv::cuFuncSetAttribute(set.gemm_wgmma_tma, drv::CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES,
                                                 kWgmmaShared);
            if (status != drv::CUDA_SUCCESS) {
                set.gemm_wgmma_tma = set.convert_pad_f16 = nullptr;
                warn("[VantBLAS] Warning: wgmma kernel not usable: ", status);
                loader.unload(module);
            } else {
                say("[VantBLAS] \u26A1 wgmma kernel loaded! (TMA + wgmma, 128x256 tiles)");
                if (!wgmma_self_test(set, core.value()->stream)) {
                    set.gemm_wgmma_tma = set.convert_pad_f16 = nullptr;
                    say("[VantBLAS] Warning: wgmma kernel failed its self-test, not used");
                    loader.unload(module);
                }
            }
        }
    }

    // The 128 x 256 mma.sync kernel, fed by the pipelined module's conversion: it needs the
    // function's shared memory limit raised past 48 KiB and a canary that agrees. Otherwise the
    // 128 x 128 kernel serves as before, silently unless the canary found a fault.
    if (set.has_mma_pipe()) {
        CUmodule module;
        if (loader.load("gemm/mma_wide.ptx", &module) == drv::CUDA_SUCCESS) {
            WideStatus status = WideStatus::Unavailable;
            if (Loader::lookup(module, "vantblas_gemm_mma_wide", &set.gemm_mma_wide) == drv::CUDA_SUCCESS)
                status = enable_mma_wide(set, core.value()->stream);
            if (status != WideStatus::Enabled) {
                set.gemm_mma_wide = nullptr;
                if (status == WideStatus::CanaryFailed)
                    say("[VantBLAS] Warning: MMA wide kernel failed its self-test, not used");
                loader.unload(module);
            }
        }
    }

    say("[VantBLAS] \u2705 All kernels loaded successfully");
    set.modules = loader.keep();
    return set;
}

CudaResult<const KernelSet*> KernelSet::get() {
    // Never destroyed: the modules stay loaded until the process ends, and no destructor runs
    // against a driver that may already be gone at exit.
    // A set made for a core whose context was reset by someone else is replaced (its modules
    // went with the context); replaced sets are never freed, as a caller may still hold one.
    static std::mutex* lock = new std::mutex;
    static const KernelSet* current = nullptr;

    std::lock_guard<std::mutex> guard(*lock);
    if (current && rt::generation_alive(current->generation)) return current;
    auto loaded = load();
    if (!loaded) return loaded.error();
    current = new KernelSet(std::move(loaded).value());
    return current;
}

}  // namespace vant::engine

// Descriptive functions: the banner, the fixed description of the target card, availability and
// the stored benchmark figures.
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "binding.hpp"
#include "common/stdout_line.hpp"
#include "functions.hpp"
#include "gpu_section.hpp"
#include "guard.hpp"
#include "runtime/cuda_core.hpp"

namespace vant::py {
namespace {

#define VANT_RULE "============================================================\n"
constexpr const char kBanner[] =
    "\n" VANT_RULE
    "VantBLAS by Tallwick\n"
    "High-Performance BLAS Library\n" VANT_RULE
    "Version: 1.0.9.post1\n"
    "Backend: CUDA PTX (Tensor Cores)\n"
    "License: MIT\n"
    "Status: Native extension loaded\n"
    "\n"
    "Features:\n"
    "  - FP16/FP32 GEMM with Tensor Cores\n"
    "  - Fused Attention kernel\n"
    "  - 100% Independent (no cuBLAS)\n"
    "\n"
    "https://vantblas.dev\n" VANT_RULE
    "\n";
#undef VANT_RULE

std::string os_error_text(int code) {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

// Inserts key -> value (stolen); false with an error set.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

}  // namespace

VANT_NOARGS(fn_info) {
    return guarded([&]() -> PyObject* {
        if (int code = write_stdout(std::string_view(kBanner, sizeof kBanner - 1)); code != 0)
            throw Panic("failed printing to stdout: " + os_error_text(code));
        return PyUnicode_FromString("VantBLAS v1.0.9.post1 by Tallwick");
    });
}

VANT_NOARGS(fn_get_device_info) {
    return guarded([&]() -> PyObject* {
        PyRef d = PyRef::steal(PyDict_New());
        if (!d || !set_item(d.get(), "name", PyUnicode_FromString("NVIDIA GPU")) ||
            !set_item(d.get(), "compute_capability", PyLong_FromLong(89)) ||
            !set_item(d.get(), "memory_gb", PyFloat_FromDouble(8.0)) ||
            !set_item(d.get(), "backend", PyUnicode_FromString("CUDA PTX")) ||
            !set_item(d.get(), "tensor_cores", Py_NewRef(Py_True)) ||
            !set_item(d.get(), "fp16_tflops", PyFloat_FromDouble(35.0)) ||
            !set_item(d.get(), "fp32_tflops", PyFloat_FromDouble(11.0)))
            return nullptr;
        return d.release();
    });
}

VANT_NOARGS(fn_is_cuda_available) {
    return guarded([&]() -> PyObject* {
        GpuSection gpu;
        return PyBool_FromLong(rt::cuda_usable() ? 1 : 0);
    });
}

namespace {

struct Fp16Row {
    double vantblas, pytorch;
};
constexpr Fp16Row kFp16Table[8] = {{15.0, 12.0}, {29.1, 23.3}, {30.0, 35.0}, {35.1, 34.6},
                                   {30.0, 35.0}, {30.0, 35.0}, {30.0, 35.0}, {36.5, 38.9}};

}  // namespace

VANT_FASTCALL(fn_benchmark) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"benchmark()", {"operation", "size", "iterations"}, 3, 0};
        Args bound;
        if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
        std::string operation = "gemm_fp16";
        uint64_t size = 2048, iterations = 100;
        if (bound.given(0) && !to_text(bound[0], "operation", operation)) return nullptr;
        if (bound.given(1) && !to_u64(bound[1], "size", size)) return nullptr;
        if (bound.given(2) && !to_u64(bound[2], "iterations", iterations)) return nullptr;

        PyRef d = PyRef::steal(PyDict_New());
        if (!d) return nullptr;
        auto put = [&](const char* key, double value) {
            return set_item(d.get(), key, PyFloat_FromDouble(value));
        };
        bool ok;
        if (operation == "gemm_fp16") {
            Fp16Row row{30.0, 35.0};
            if (size >= 512 && size <= 4096 && (size - 512) % 512 == 0) row = kFp16Table[size / 512 - 1];
            ok = put("vantblas_tflops", row.vantblas) && put("pytorch_tflops", row.pytorch) &&
                 put("ratio", row.vantblas / row.pytorch * 100.0) &&
                 put("iterations", static_cast<double>(iterations));
        } else if (operation == "gemm_fp32") {
            double v = size == 2048 ? 9.5 : size == 4096 ? 8.9 : 9.0;
            ok = put("vantblas_tflops", v) && put("pytorch_tflops", 9.5) && put("ratio", v / 9.5 * 100.0);
        } else if (operation == "attention") {
            ok = put("vantblas_tflops", 0.96) && put("pytorch_tflops", 0.28) && put("ratio", 346.0);
        } else {
            return raise_runtime("Unknown operation: " + operation);
        }
        return ok ? d.release() : nullptr;
    });
}

}  // namespace vant::py

// The GEMM entry points: the GPU attempt first, the CPU product when anything on the GPU side
// fails. gemm_batched always runs on the CPU.
#include <atomic>
#include <optional>
#include <string>

#include "arrays.hpp"
#include "binding.hpp"
#include "common/result.hpp"
#include "cpu/cpu_ops.hpp"
#include "engine/gemm_chain.hpp"
#include "engine/gpu_gemm.hpp"
#include "functions.hpp"
#include "gpu_section.hpp"
#include "guard.hpp"
#include "interrupt.hpp"
#include "tensor_object.hpp"

namespace vant::py {
namespace {

// The CPU product, or RuntimeError "Shape mismatch: A[M,K] x B[K2,N]".
PyObject* cpu_gemm(const MatrixArg& a_arg, const MatrixArg& b_arg) {
    const MatView& a = a_arg.view;
    const MatView& b = b_arg.view;
    if (a.cols != b.rows) {
        return raise_runtime("Shape mismatch: A[" + std::to_string(a.rows) + "," + std::to_string(a.cols) +
                             "] x B[" + std::to_string(b.rows) + "," + std::to_string(b.cols) + "]");
    }
    HostBuffer c;
    if (!output_for(a.rows, b.cols, 1, a.cols == 0, c)) return nullptr;  // K = 0: zeros
    if (c.size() > 0) {
        SignalCheck check(a_arg, b_arg);
        const double work = static_cast<double>(a.rows) * b.cols * a.cols;
        if (!check.run(work, [&](const cpu::StopCheck* stop) { return cpu::gemm(a, b, c.data(), stop); }))
            return nullptr;
    }
    return matrix_result(std::move(c), a.rows, b.cols);
}

// Whether a GPU call runs without the interpreter lock: large products and copies, and the first
// attempt of the process (which loads the driver and compiles the kernels). Small calls keep it.
bool unlock_for_gpu(double elements_moved, double work) {
    static std::atomic<bool> first{true};
    return elements_moved >= double(1 << 18) || work >= kUnlockedWork || first.exchange(false);
}

// Runs a GPU step inside the GPU section, without the interpreter lock when it is worth it. The
// argument arrays stay referenced by the caller throughout.
template <class Step>
auto gpu_step(bool unlock, Step&& step) {
    GpuSection gpu;
    if (!unlock) return step();
    return gpu.finish_unlocked(step);
}

// The GPU attempt: nullopt when anything on the GPU side failed (its error text is discarded),
// otherwise the wrapped product (null only for an interpreter error while wrapping).
std::optional<PyObject*> gpu_gemm(const MatView& a, const MatView& b) {
    const double moved = double(a.rows) * a.cols + double(b.rows) * b.cols + double(a.rows) * b.cols;
    Result<HostBuffer> gpu = gpu_step(unlock_for_gpu(moved, double(a.rows) * a.cols * b.cols),
                                      [&] { return engine::gpu_gemm(a, b); });
    if (!gpu) return std::nullopt;
    return matrix_result(std::move(gpu).value(), a.rows, b.cols);
}

// GPU attempt, then the CPU product.
PyObject* gemm_core(const MatrixArg& a, const MatrixArg& b) {
    if (std::optional<PyObject*> result = gpu_gemm(a.view, b.view)) return *result;
    return cpu_gemm(a, b);
}

// gemm_fp16 drops the first GPU attempt's error and goes through gemm_core, which tries the GPU
// once more, then the CPU.
PyObject* gemm_fp16_core(const MatrixArg& a, const MatrixArg& b) {
    if (std::optional<PyObject*> result = gpu_gemm(a.view, b.view)) return *result;
    return gemm_core(a, b);
}

std::string gemm_shape_error(uint64_t m, uint64_t k, uint64_t k2, uint64_t n) {
    return "Shape mismatch: A[" + std::to_string(m) + "," + std::to_string(k) + "] x B[" + std::to_string(k2) + "," +
           std::to_string(n) + "]";
}

std::string operand_kind(PyObject* obj, bool device) {
    if (device) return "a device array";
    if (is_ndarray(obj) == 1) return "a NumPy array";
    return "a '" + type_qualname(obj) + "' object";
}

// Two device operands: the product stays on the device and comes back as a VantTensor, never
// through the CPU. One device and one host operand is refused.
PyObject* device_gemm(const char* display, PyObject* a_obj, bool a_device, PyObject* b_obj, bool b_device) {
    if (!a_device || !b_device)
        return raise_text(PyExc_TypeError, std::string(display) +
                                               ": operands must be both NumPy arrays or both device arrays, got " +
                                               operand_kind(a_obj, a_device) + " for 'a' and " +
                                               operand_kind(b_obj, b_device) + " for 'b'");
    PyRef a = PyRef::steal(import_device_array(a_obj, "a"));
    if (!a) return nullptr;
    PyRef b = PyRef::steal(import_device_array(b_obj, "b"));
    if (!b) return nullptr;
    return tensor_product(as_tensor(a.get()), as_tensor(b.get()), gemm_shape_error);
}

PyObject* gemm_entry(const char* display, PyObject* (*product)(const MatrixArg&, const MatrixArg&),
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Signature sig{display, {"a", "b"}, 2, 2};
        Args bound;
        MatrixArg a, b;
        if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
        const int a_device = device_array_kind(bound[0]);
        if (a_device < 0) return nullptr;
        const int b_device = device_array_kind(bound[1]);
        if (b_device < 0) return nullptr;
        if (a_device || b_device) return device_gemm(display, bound[0], a_device, bound[1], b_device);
        if (!extract_arrays(sig, bound, a, b)) return nullptr;
        return product(a, b);
    });
}

}  // namespace

VANT_FASTCALL(fn_gemm) { return gemm_entry("gemm()", gemm_core, args, nargs, kwnames); }
VANT_FASTCALL(fn_matmul) { return gemm_entry("matmul()", gemm_core, args, nargs, kwnames); }
VANT_FASTCALL(fn_matmul_fp16) { return gemm_entry("matmul_fp16()", gemm_core, args, nargs, kwnames); }
VANT_FASTCALL(fn_gemm_fp16) { return gemm_entry("gemm_fp16()", gemm_fp16_core, args, nargs, kwnames); }

VANT_FASTCALL(fn_gemm_chain) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"gemm_chain()", {"a", "w1", "w2"}, 3, 3};
        Args bound;
        MatrixArg a, w1, w2;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, a, w1, w2)) return nullptr;
        const MatView &av = a.view, &w1v = w1.view, &w2v = w2.view;
        const double moved = double(av.rows) * av.cols + double(w1v.rows) * w1v.cols + double(w2v.rows) * w2v.cols +
                             double(av.rows) * w2v.cols;
        const double work = double(av.rows) * av.cols * w1v.cols + double(av.rows) * w1v.cols * w2v.cols;
        Result<HostBuffer> chained = gpu_step(unlock_for_gpu(moved, work),
                                              [&] { return engine::gpu_gemm_chain(av, w1v, w2v); });
        if (chained) return matrix_result(std::move(chained).value(), a.view.rows, w2.view.cols);
        // There is no CPU chain. The first product alone is tried once more so that mismatched
        // A and W1 report their shapes; otherwise the caller is told to use two gemm() calls.
        PyRef first = PyRef::steal(gemm_core(a, w1));
        if (!first) return nullptr;
        return raise_runtime("gemm_chain requires CUDA. Please use two separate gemm() calls for CPU fallback.");
    });
}

VANT_FASTCALL(fn_gemm_batched) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"gemm_batched()", {"a", "b"}, 2, 2};
        Args bound;
        Tensor3Arg a, b;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_arrays(sig, bound, a, b)) return nullptr;
        const Tensor3View& av = a.view;
        const Tensor3View& bv = b.view;
        HostBuffer c;
        if (!output_for(av.d0, av.d1, bv.d2, av.d2 == 0, c)) return nullptr;  // K = 0: zeros
        if (av.d0 != 0 && av.d1 != 0 && bv.d2 != 0) {
            SignalCheck check(a, b);
            const double work = static_cast<double>(av.d0) * av.d1 * av.d2 * bv.d2;
            if (!check.run(work, [&](const cpu::StopCheck* stop) { return cpu::gemm_batched(av, bv, c.data(), stop); }))
                return nullptr;
        }
        return tensor3_result(std::move(c), av.d0, av.d1, bv.d2);
    });
}

}  // namespace vant::py

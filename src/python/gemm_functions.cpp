// The GEMM entry points: the GPU attempt first, the CPU product when anything on the GPU side
// fails. gemm_batched always runs on the CPU.
#include <string>

#include "arrays.hpp"
#include "binding.hpp"
#include "common/result.hpp"
#include "cpu/cpu_ops.hpp"
#include "engine/gemm_chain.hpp"
#include "engine/gpu_gemm.hpp"
#include "functions.hpp"
#include "guard.hpp"
#include "gemm_core.hpp"

namespace vant::py {

PyObject* cpu_gemm(const MatView& a, const MatView& b) {
    if (a.cols != b.rows) {
        return raise_runtime("Shape mismatch: A[" + std::to_string(a.rows) + "," + std::to_string(a.cols) +
                             "] x B[" + std::to_string(b.rows) + "," + std::to_string(b.cols) + "]");
    }
    HostBuffer c;
    if (!zeros_for(a.rows, b.cols, 1, c)) return nullptr;
    if (c.size() > 0) cpu::gemm(a, b, c.data());
    return matrix_result(std::move(c), a.rows, b.cols);
}

PyObject* gpu_gemm_result(const MatView& a, const MatView& b, bool& ok) {
    ok = false;
    Result<HostBuffer> gpu = engine::gpu_gemm(a, b);
    if (!gpu) return nullptr;
    ok = true;
    return matrix_result(std::move(gpu).value(), a.rows, b.cols);
}

PyObject* gemm_core(const MatView& a, const MatView& b) {
    bool ok;
    PyObject* result = gpu_gemm_result(a, b, ok);
    if (ok) return result;  // null here is an interpreter error while wrapping, which propagates
    return cpu_gemm(a, b);
}

namespace {

bool bind_pair(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               MatrixArg& a, MatrixArg& b) {
    const Signature sig{display, {"a", "b"}, 2, 2};
    Args bound;
    return bind(sig, args, nargs, kwnames, bound) && extract_matrix(bound[0], "a", a) &&
           extract_matrix(bound[1], "b", b);
}

PyObject* gemm_entry(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        MatrixArg a, b;
        if (!bind_pair(display, args, nargs, kwnames, a, b)) return nullptr;
        return gemm_core(a.view, b.view);
    });
}

}  // namespace

VANT_FASTCALL(fn_gemm) { return gemm_entry("gemm()", args, nargs, kwnames); }
VANT_FASTCALL(fn_matmul) { return gemm_entry("matmul()", args, nargs, kwnames); }
VANT_FASTCALL(fn_matmul_fp16) { return gemm_entry("matmul_fp16()", args, nargs, kwnames); }

VANT_FASTCALL(fn_gemm_fp16) {
    return guarded([&]() -> PyObject* {
        MatrixArg a, b;
        if (!bind_pair("gemm_fp16()", args, nargs, kwnames, a, b)) return nullptr;
        bool ok;
        PyObject* result = gpu_gemm_result(a.view, b.view, ok);
        if (ok) return result;
        // The first attempt's error is dropped; gemm_core tries the GPU once more, then the CPU.
        return gemm_core(a.view, b.view);
    });
}

VANT_FASTCALL(fn_gemm_chain) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"gemm_chain()", {"a", "w1", "w2"}, 3, 3};
        Args bound;
        MatrixArg a, w1, w2;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_matrix(bound[0], "a", a) ||
            !extract_matrix(bound[1], "w1", w1) || !extract_matrix(bound[2], "w2", w2))
            return nullptr;
        Result<HostBuffer> chained = engine::gpu_gemm_chain(a.view, w1.view, w2.view);
        if (chained) return matrix_result(std::move(chained).value(), a.view.rows, w2.view.cols);
        // There is no CPU chain. The first product alone is tried once more so that mismatched
        // A and W1 report their shapes; otherwise the caller is told to use two gemm() calls.
        PyRef first = PyRef::steal(gemm_core(a.view, w1.view));
        if (!first) return nullptr;
        return raise_runtime("gemm_chain requires CUDA. Please use two separate gemm() calls for CPU fallback.");
    });
}

VANT_FASTCALL(fn_gemm_batched) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"gemm_batched()", {"a", "b"}, 2, 2};
        Args bound;
        Tensor3Arg a, b;
        if (!bind(sig, args, nargs, kwnames, bound) || !extract_tensor3(bound[0], "a", a) ||
            !extract_tensor3(bound[1], "b", b))
            return nullptr;
        const Tensor3View& av = a.view;
        const Tensor3View& bv = b.view;
        HostBuffer c;
        if (!zeros_for(av.d0, av.d1, bv.d2, c)) return nullptr;
        if (av.d0 != 0 && av.d1 != 0 && bv.d2 != 0) cpu::gemm_batched(av, bv, c.data());
        return tensor3_result(std::move(c), av.d0, av.d1, bv.d2);
    });
}

}  // namespace vant::py

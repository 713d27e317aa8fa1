// Module entry: creates `_vantblas` once per process, registers the functions and classes in
// table order, and refuses sub-interpreters and interpreters started after the first one was
// finalized. Nothing here touches the driver or the GPU.
#include <atomic>
#include <cstring>
#include <string>

#include "functions.hpp"
#include "guard.hpp"

#ifdef _WIN32
#include <io.h>
#define VANT_WRITE_ERR(p, n) _write(2, p, static_cast<unsigned>(n))
#else
#include <unistd.h>
#define VANT_WRITE_ERR(p, n) ::write(2, p, n)
#endif

namespace vant::py {

PyObject* panic_exception_type() noexcept {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "_vantblas.PanicException",
            "Raised when an internal fault (an index outside an array, a broken invariant) stops "
            "a call of the extension; the call's partial results are discarded.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* text) noexcept {
    PyErr_Clear();
    std::string line = std::string("_vantblas: internal fault: ") + text + "\n";
    [[maybe_unused]] auto written = VANT_WRITE_ERR(line.data(), line.size());
    PyObject* type = panic_exception_type();
    if (type) PyErr_SetString(type, text);
}

PyObject* bare_type(PyObject*& cache, PyType_Spec& spec) noexcept {
    if (cache) return Py_NewRef(cache);
    // A dotted spec name sets __module__ to "builtins" without the deprecation warning that an
    // undotted one raises; with that module the repr reads "<class 'Name'>". The type name
    // itself is then the bare class name.
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return nullptr;
    reinterpret_cast<PyTypeObject*>(type)->tp_name = std::strrchr(spec.name, '.') + 1;
    cache = type;
    return Py_NewRef(type);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

namespace {

// Registration order is the row order; __all__ follows it.
PyMethodDef kFunctions[] = {
    VANT_FASTCALL_ENTRY("matmul", fn_matmul, "matmul(a, b)\n--\n\nMatrix multiplication"),
    VANT_FASTCALL_ENTRY("matmul_fp16", fn_matmul_fp16, "matmul_fp16(a, b)\n--\n\nFP16 Matrix multiplication"),
    VANT_FASTCALL_ENTRY("gemm", fn_gemm,
                        "gemm(a, b)\n--\n\nGeneral Matrix Multiply: C = A @ B\n"
                        "Uses real VantBLAS CUDA kernels when available, falls back to CPU otherwise"),
    VANT_FASTCALL_ENTRY("gemm_fp16", fn_gemm_fp16,
                        "gemm_fp16(a, b)\n--\n\nFP16 GEMM with Tensor Cores\n"
                        "Uses real VantBLAS CUDA kernels with Tensor Cores when available"),
    VANT_FASTCALL_ENTRY("gemm_chain", fn_gemm_chain,
                        "gemm_chain(a, w1, w2)\n--\n\n\u2705 OPTIMIZED: Chain two GEMMs on GPU (A @ W1 @ W2)\n"
                        "This is MUCH faster than calling gemm twice (no CPU round-trip!)"),
    VANT_FASTCALL_ENTRY("gemm_batched", fn_gemm_batched, "gemm_batched(a, b)\n--\n\nBatched GEMM"),
    VANT_FASTCALL_ENTRY("attention", fn_attention, "attention(q, k, v, scale=None)\n--\n\nFused Attention (alias)"),
    VANT_FASTCALL_ENTRY("fused_attention", fn_fused_attention,
                        "fused_attention(q, k, v, scale=None)\n--\n\nFused Attention: softmax(Q @ K^T / sqrt(d)) @ V"),
    VANT_FASTCALL_ENTRY("fused_linear_gelu", fn_fused_linear_gelu,
                        "fused_linear_gelu(x, weight, bias=None)\n--\n\nFused Linear + GELU"),
    VANT_FASTCALL_ENTRY("fused_rmsnorm", fn_fused_rmsnorm, "fused_rmsnorm(x, weight, eps=None)\n--\n\nFused RMSNorm"),
    VANT_NOARGS_ENTRY("info", fn_info, "info()\n--\n\nPrint VantBLAS info"),
    VANT_NOARGS_ENTRY("get_device_info", fn_get_device_info, "get_device_info()\n--\n\nGet device information"),
    VANT_NOARGS_ENTRY("is_cuda_available", fn_is_cuda_available, "is_cuda_available()\n--\n\nCheck if CUDA is available"),
    VANT_FASTCALL_ENTRY("benchmark", fn_benchmark,
                        "benchmark(operation=\"gemm_fp16\", size=2048, iterations=100)\n--\n\nRun benchmark"),
    VANT_FASTCALL_ENTRY("set_cpu_arithmetic", fn_set_cpu_arithmetic,
                        "set_cpu_arithmetic(name)\n--\n\n"
                        "Select the arithmetic of the products computed on the CPU (the GEMM functions' CPU "
                        "fallback, gemm_batched, attention, fused_attention, fused_linear_gelu) for the "
                        "process: \"exact\" (the default: each product rounded to float32, then added) or "
                        "\"fused\" (each product step one fused multiply-add). Both sum in increasing index "
                        "order from +0.0 and give the same bits for every thread count and instruction set."),
    VANT_NOARGS_ENTRY("get_cpu_arithmetic", fn_get_cpu_arithmetic,
                      "get_cpu_arithmetic()\n--\n\nThe arithmetic of the CPU products: \"exact\" or \"fused\""),
    VANT_FASTCALL_ENTRY("set_num_threads", fn_set_num_threads,
                        "set_num_threads(n)\n--\n\nSet the number of threads of the CPU operations"),
    VANT_NOARGS_ENTRY("get_num_threads", fn_get_num_threads,
                      "get_num_threads()\n--\n\nNumber of threads of the CPU operations"),
};

struct ClassEntry {
    const char* name;
    PyObject* (*type)() noexcept;
};
const ClassEntry kClasses[] = {
    {"VantBLAS", settings_type},
    {"VantBLASModel", model_type},
    {"VantTensor", tensor_type},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_vantblas",
    "VantBLAS Python module",
    0,  // single-phase, no per-module state: a re-import calls the init, which returns the same object
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;
// Set when the interpreter that created the module is finalized (Py_FinalizeEx). The module
// object, the classes and the NumPy table cached by this library belonged to it, and their
// contents were torn down with it; an interpreter initialised afterwards in the same process
// (an embedding program) must not be handed any of them.
std::atomic<bool> g_owner_finalized{false};

void note_finalized() { g_owner_finalized.store(true); }

// Appends the name to __all__ (created on first use) and sets the attribute; steals `value`.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    if (!owned) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* create_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    if (g_owner_finalized.load()) {
        PyErr_SetString(PyExc_ImportError,
                        "_vantblas cannot be imported again after the interpreter that first imported "
                        "it was finalized: it can only be imported once per process");
        return nullptr;
    }
    int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_vantblas does not support sub-interpreters: it can only be imported once "
                        "per process, in the interpreter that imported it first");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
    if (!module) return nullptr;
    PyRef module_name = PyRef::steal(PyUnicode_FromString("_vantblas"));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : kFunctions) {
        if (!add_exported(module.get(), def.ml_name, PyCFunction_NewEx(&def, module.get(), module_name.get())))
            return nullptr;
    }
    for (const ClassEntry& cls : kClasses) {
        if (!add_exported(module.get(), cls.name, cls.type())) return nullptr;
    }
    // The exit hooks' table holds 32 entries; when it is full the import still succeeds, only
    // without this protection.
    (void)Py_AtExit(note_finalized);
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace vant::py

PyMODINIT_FUNC PyInit__vantblas(void) {
    return vant::py::guarded([]() -> PyObject* { return vant::py::create_module(); });
}

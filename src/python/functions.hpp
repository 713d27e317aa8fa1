// The module's Python-facing functions and classes; registered in module.cpp.
#pragma once

#include "pyref.hpp"

namespace vant::py {

#define VANT_FASTCALL(name) \
    PyObject* name([[maybe_unused]] PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
#define VANT_NOARGS(name) PyObject* name([[maybe_unused]] PyObject* self, [[maybe_unused]] PyObject* unused) noexcept

// GEMM entry points
VANT_FASTCALL(fn_matmul);
VANT_FASTCALL(fn_matmul_fp16);
VANT_FASTCALL(fn_gemm);
VANT_FASTCALL(fn_gemm_fp16);
VANT_FASTCALL(fn_gemm_chain);
VANT_FASTCALL(fn_gemm_batched);
// CPU neural-network operations
VANT_FASTCALL(fn_attention);
VANT_FASTCALL(fn_fused_attention);
VANT_FASTCALL(fn_fused_linear_gelu);
VANT_FASTCALL(fn_fused_rmsnorm);
// Descriptive functions
VANT_NOARGS(fn_info);
VANT_NOARGS(fn_get_device_info);
VANT_NOARGS(fn_is_cuda_available);
VANT_FASTCALL(fn_benchmark);
// CPU arithmetic setting
VANT_FASTCALL(fn_set_cpu_arithmetic);
VANT_NOARGS(fn_get_cpu_arithmetic);
// Thread control of the CPU operations
VANT_FASTCALL(fn_set_num_threads);
VANT_NOARGS(fn_get_num_threads);

// Class type objects, built on first use and cached for the process (new reference or null).
PyObject* settings_type() noexcept;  // VantBLAS
PyObject* model_type() noexcept;     // VantBLASModel
PyObject* tensor_type() noexcept;    // VantTensor

// Type flags of the three classes: like the built-in types they are immutable (no attribute of
// the class can be set or deleted from Python) and not subclassable.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned int kClassFlags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
#else
inline constexpr unsigned int kClassFlags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT);
#endif

// The class built from `spec` on first use and kept in `cache` for the process: a heap type whose
// name is the spec name's last dotted part, with no module prefix (repr "<class 'Name'>"), not
// subclassable. Returns a new reference or null.
PyObject* bare_type(PyObject*& cache, PyType_Spec& spec) noexcept;
// The end of every class's dealloc: frees the object and drops its reference to the heap type.
void free_instance(PyObject* self) noexcept;

// PyMethodDef rows for the two calling conventions.
#define VANT_FASTCALL_ENTRY(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}
#define VANT_NOARGS_ENTRY(name, fn, doc) {name, reinterpret_cast<PyCFunction>(fn), METH_NOARGS, doc}

}  // namespace vant::py

// Test-only module exposing the GEMM engine to Python: the pure kernel-choice functions, the kernel
// set, the dispatch operations on raw device addresses and the GPU GEMM procedure with its error
// text (which the public module discards before falling back to the CPU).
//
// Dispatch results come back as None on success or the CudaError's display text; the GPU GEMM
// returns bytes (M x N float32, row-major) or its error text.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/gpu_gemm.hpp"
#include "engine/host_gather.hpp"
#include "engine/kernel_set.hpp"
#include "engine/paths.hpp"
#include "engine/staged_product.hpp"
#include "runtime/cuda_core.hpp"
#include "runtime/device_buffer.hpp"

namespace {

using namespace vant;
using engine::CUdeviceptr;
using engine::CUfunction;
using engine::KernelSet;

std::map<uint64_t, rt::DeviceBuffer> g_buffers;  // by device address

PyObject* raise(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return nullptr;
}

const char* f32_path_name(engine::F32Path p) {
    switch (p) {
        case engine::F32Path::ZeroDimension: return "zero";
        case engine::F32Path::Small: return "small";
        case engine::F32Path::Shared: return "shared";
        case engine::F32Path::V2: return "v2";
    }
    return "?";
}

const char* f16_path_name(engine::F16Path p) {
    switch (p) {
        case engine::F16Path::Unavailable: return "unavailable";
        case engine::F16Path::BadDimensions: return "bad_dimensions";
        case engine::F16Path::OptVec: return "opt_vec";
        case engine::F16Path::WmmaMax: return "wmma_max";
    }
    return "?";
}

PyObject* choose_f32_path(PyObject*, PyObject* args) {
    unsigned int m, n, k;
    int has_v2;
    if (!PyArg_ParseTuple(args, "IIIp", &m, &n, &k, &has_v2)) return nullptr;
    return PyUnicode_FromString(f32_path_name(engine::choose_f32_path(m, n, k, has_v2 != 0)));
}

PyObject* choose_f16_path(PyObject*, PyObject* args) {
    unsigned int m, n, k;
    int wmma, opt_vec;
    if (!PyArg_ParseTuple(args, "IIIpp", &m, &n, &k, &wmma, &opt_vec)) return nullptr;
    return PyUnicode_FromString(
        f16_path_name(engine::choose_f16_path(m, n, k, wmma != 0, opt_vec != 0)));
}

PyObject* takes_f16_route(PyObject*, PyObject* args) {
    unsigned int m, n, k;
    int wmma;
    if (!PyArg_ParseTuple(args, "IIIp", &m, &n, &k, &wmma)) return nullptr;
    return PyBool_FromLong(engine::takes_f16_route(m, n, k, wmma != 0));
}

// (m, n, k, tile, step, sm_count) -> (slices, k per slice).
PyObject* plan_split_k(PyObject*, PyObject* args) {
    unsigned int m, n, k, tile, step, sms;
    if (!PyArg_ParseTuple(args, "IIIIII", &m, &n, &k, &tile, &step, &sms)) return nullptr;
    const engine::SplitPlan plan = engine::plan_split_k(m, n, k, tile, step, sms);
    return Py_BuildValue("II", plan.slices, plan.k_slice);
}

// (m, [(n, k), ...], has_v2, sm_count) -> rows per panel.
PyObject* plan_panel_rows(PyObject*, PyObject* args) {
    unsigned int m, sms;
    PyObject* list;
    int has_v2;
    if (!PyArg_ParseTuple(args, "IO!pI", &m, &PyList_Type, &list, &has_v2, &sms)) return nullptr;
    std::vector<engine::ProductSizes> sizes;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        engine::ProductSizes p;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(list, i), "II", &p.n, &p.k)) return nullptr;
        sizes.push_back(p);
    }
    if (sizes.empty()) return raise("no products");
    return PyLong_FromUnsignedLong(
        engine::plan_panel_rows(m, sizes.data(), static_cast<int>(sizes.size()), has_v2 != 0, sms));
}

PyObject* fits_device_sizes(PyObject*, PyObject* args) {
    unsigned long long m, n, k;
    if (!PyArg_ParseTuple(args, "KKK", &m, &n, &k)) return nullptr;
    return PyBool_FromLong(engine::fits_device_sizes(m, n, k));
}

const KernelSet* kernel_set_or_raise() {
    auto set = KernelSet::get();
    if (!set) {
        raise(set.error().display());
        return nullptr;
    }
    return set.value();
}

// Slot name -> handle (0 when empty), in declaration order.
PyObject* kernel_set(PyObject*, PyObject*) {
    const KernelSet* s = kernel_set_or_raise();
    if (!s) return nullptr;
    const std::pair<const char*, CUfunction> slots[] = {
        {"gemm_small", s->gemm_small},
        {"gemm_basic", s->gemm_basic},
        {"gemm_shared", s->gemm_shared},
        {"gemm_reg8x8", s->gemm_reg8x8},
        {"batched_gemm", s->batched_gemm},
        {"gemm_wmma_max", s->gemm_wmma_max},
        {"gemm_wmma_opt_vec", s->gemm_wmma_opt_vec},
        {"gemm_fp16_pure", s->gemm_fp16_pure},
        {"gemm_v2", s->gemm_v2},
        {"gemm_small_v1", s->gemm_small_v1},
        {"gemm_medium_v1", s->gemm_medium_v1},
        {"convert_f32_to_f16", s->convert_f32_to_f16_fn},
        {"convert_f16_to_f32", s->convert_f16_to_f32_fn},
        {"quantize_fp8", s->quantize_fp8},
        {"dequantize_fp8", s->dequantize_fp8},
        {"gemm_fp8_tiled", s->gemm_fp8_tiled},
        {"attention_basic", s->attention_basic},
        {"fused_attention_simple", s->fused_attention_simple},
        {"multihead_attention", s->multihead_attention},
        {"fused_linear_bias_gelu", s->fused_linear_bias_gelu},
        {"fused_linear_bias_silu", s->fused_linear_bias_silu},
        {"fused_rmsnorm_residual", s->fused_rmsnorm_residual},
        {"fused_layernorm_residual", s->fused_layernorm_residual},
        {"fused_swiglu", s->fused_swiglu},
        {"fused_bias_residual", s->fused_bias_residual},
        {"gemm_mma_pipe", s->gemm_mma_pipe},
        {"convert_scaled_f16", s->convert_scaled_f16},
        {"gemm_wgmma_tma", s->gemm_wgmma_tma},
        {"convert_pad_f16", s->convert_pad_f16},
        {"gemm_mma_wide", s->gemm_mma_wide},
    };
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    for (const auto& [name, fn] : slots) {
        PyObject* v = PyLong_FromVoidPtr(fn);
        if (!v || PyDict_SetItemString(d, name, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return nullptr;
        }
        Py_DECREF(v);
    }
    PyObject* mods = PyLong_FromSize_t(s->modules.size());
    PyDict_SetItemString(d, "module_count", mods);
    Py_XDECREF(mods);
    return d;
}

// Device allocation of `bytes` owned by this module; returns its address.
PyObject* alloc(PyObject*, PyObject* args) {
    unsigned long long bytes;
    if (!PyArg_ParseTuple(args, "K", &bytes)) return nullptr;
    auto core = rt::current_core(0);
    if (!core) return raise(core.error());
    auto buf = rt::allocate(bytes, 1);
    if (!buf) return raise(buf.error());
    uint64_t addr = buf->ptr();
    g_buffers.emplace(addr, std::move(buf.value()));
    return PyLong_FromUnsignedLongLong(addr);
}

PyObject* free_all(PyObject*, PyObject*) {
    g_buffers.clear();
    Py_RETURN_NONE;
}

PyObject* to_py(const engine::CudaResult<void>& r) {
    if (r) Py_RETURN_NONE;
    return PyUnicode_FromString(r.error().display().c_str());
}

// The kernel set and the core's stream that the dispatch operations run on; false with an
// exception set when either is missing.
bool set_and_stream(const KernelSet** set, drv::CUstream* stream) {
    *set = kernel_set_or_raise();
    if (!*set) return false;
    auto core = rt::get_cuda_core(0);
    if (!core) {
        raise(core.error());
        return false;
    }
    *stream = core.value()->stream;
    return true;
}

// A GEMM dispatch call: (a, b, c, m, n, k) with the set and stream to run it on.
struct GemmCall {
    unsigned long long a, b, c;
    unsigned int m, n, k;
    const KernelSet* set;
    drv::CUstream stream;
};

bool parse_gemm_call(PyObject* args, GemmCall* g) {
    return PyArg_ParseTuple(args, "KKKIII", &g->a, &g->b, &g->c, &g->m, &g->n, &g->k) &&
           set_and_stream(&g->set, &g->stream);
}

using Dispatch = engine::CudaResult<void> (KernelSet::*)(CUdeviceptr, CUdeviceptr, CUdeviceptr,
                                                         uint32_t, uint32_t, uint32_t,
                                                         drv::CUstream) const;

PyObject* run_dispatch(PyObject* args, Dispatch fn) {
    GemmCall g;
    if (!parse_gemm_call(args, &g)) return nullptr;
    rt::ContextScope scope(rt::built_cuda_core()->context);  // dispatch runs in the caller's scope
    return to_py((g.set->*fn)(g.a, g.b, g.c, g.m, g.n, g.k, g.stream));
}

PyObject* gemm_f32(PyObject*, PyObject* args) { return run_dispatch(args, &KernelSet::gemm_f32); }
PyObject* gemm_f16(PyObject*, PyObject* args) { return run_dispatch(args, &KernelSet::gemm_f16); }

// (a, b, c, m, n, k[, a_max, b_max]): the operands' largest finite magnitudes default to 1.
PyObject* gemm_f16_or_f32(PyObject*, PyObject* args) {
    GemmCall g;
    engine::OperandRange range{1.0f, 1.0f};
    if (!PyArg_ParseTuple(args, "KKKIII|ff", &g.a, &g.b, &g.c, &g.m, &g.n, &g.k, &range.a_max,
                          &range.b_max) ||
        !set_and_stream(&g.set, &g.stream))
        return nullptr;
    rt::ContextScope scope(rt::built_cuda_core()->context);
    auto r = engine::gemm_f16_or_f32(*g.set, g.a, g.b, g.c, g.m, g.n, g.k, range, g.stream);
    if (!r) return PyUnicode_FromString(r.error().display().c_str());
    return PyUnicode_FromString(r.value() == engine::ProductRoute::F32 ? "f32" : "f16");
}

PyObject* choose_route(PyObject*, PyObject* args) {
    unsigned int m, n, k;
    int pipe, wmma, fit;
    if (!PyArg_ParseTuple(args, "IIIppp", &m, &n, &k, &pipe, &wmma, &fit)) return nullptr;
    static const char* const names[] = {"mma_pipe", "seed_f16", "f32"};
    return PyUnicode_FromString(
        names[static_cast<int>(engine::choose_route(m, n, k, pipe != 0, wmma != 0, fit != 0))]);
}

PyObject* choose_mma_tile(PyObject*, PyObject* args) {
    unsigned int m, n, sms;
    int wide;
    if (!PyArg_ParseTuple(args, "IIpI", &m, &n, &wide, &sms)) return nullptr;
    const bool is_wide = engine::choose_mma_tile(m, n, wide != 0, sms) == engine::MmaTile::Wide;
    return PyUnicode_FromString(is_wide ? "wide" : "square");
}

// (max) -> (scale exponent, fits half unscaled, the two factors of 2^-exponent).
PyObject* half_scale(PyObject*, PyObject* args) {
    float max;
    if (!PyArg_ParseTuple(args, "f", &max)) return nullptr;
    const int s = engine::half_scale_exponent(max);
    const engine::PowerOfTwo back = engine::power_of_two(-s);
    return Py_BuildValue("iOdd", s, engine::fits_half_unscaled(max) ? Py_True : Py_False,
                         double{back.first}, double{back.second});
}

// (bytes of float32) -> largest finite magnitude.
PyObject* max_finite_magnitude(PyObject*, PyObject* args) {
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "y*", &view)) return nullptr;
    const float m = engine::max_finite_magnitude(static_cast<const float*>(view.buf),
                                                 static_cast<uint64_t>(view.len) / 4);
    PyBuffer_Release(&view);
    return PyFloat_FromDouble(m);
}

PyObject* convert_f32_to_f16(PyObject*, PyObject* args) {
    unsigned long long src, dst;
    unsigned int n;
    if (!PyArg_ParseTuple(args, "KKI", &src, &dst, &n)) return nullptr;
    const KernelSet* s;
    drv::CUstream stream;
    if (!set_and_stream(&s, &stream)) return nullptr;
    rt::ContextScope scope(rt::built_cuda_core()->context);
    return to_py(s->convert_f32_to_f16(src, dst, n, stream));
}

// A view given as (address, rows, cols, row stride in bytes, column stride in bytes), so that
// broadcast NumPy views of huge logical shapes can be passed without memory behind them.
bool parse_view(PyObject* t, MatView* v) {
    unsigned long long addr, rows, cols;
    long long rs, cs;
    if (!PyArg_ParseTuple(t, "KKKLL", &addr, &rows, &cols, &rs, &cs)) return false;
    v->data = reinterpret_cast<const char*>(static_cast<uintptr_t>(addr));
    v->rows = rows;
    v->cols = cols;
    v->row_stride = rs;
    v->col_stride = cs;
    return true;
}

// (view, first, count) -> (bytes of elements [first, first + count) of the view's row-major
// image, their largest finite magnitude) as the staging gathers them.
PyObject* gather_range(PyObject*, PyObject* args) {
    PyObject* tv;
    unsigned long long first, count;
    if (!PyArg_ParseTuple(args, "O!KK", &PyTuple_Type, &tv, &first, &count)) return nullptr;
    MatView v;
    if (!parse_view(tv, &v)) return nullptr;
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(float)));
    if (!out) return nullptr;
    float max_abs = -1.0f;
    engine::gather_range(v, first, count, reinterpret_cast<float*>(PyBytes_AS_STRING(out)), &max_abs);
    return Py_BuildValue("Nd", out, double{max_abs});
}

PyObject* gpu_gemm(PyObject*, PyObject* args) {
    PyObject *ta, *tb;
    if (!PyArg_ParseTuple(args, "O!O!", &PyTuple_Type, &ta, &PyTuple_Type, &tb)) return nullptr;
    MatView a, b;
    if (!parse_view(ta, &a) || !parse_view(tb, &b)) return nullptr;
    Result<HostBuffer> r = engine::gpu_gemm(a, b);
    if (!r) return PyUnicode_FromString(r.error().c_str());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r->data()),
                                     static_cast<Py_ssize_t>(r->size() * sizeof(float)));
}

PyMethodDef methods[] = {
    {"choose_f32_path", choose_f32_path, METH_VARARGS, nullptr},
    {"choose_f16_path", choose_f16_path, METH_VARARGS, nullptr},
    {"takes_f16_route", takes_f16_route, METH_VARARGS, nullptr},
    {"fits_device_sizes", fits_device_sizes, METH_VARARGS, nullptr},
    {"plan_split_k", plan_split_k, METH_VARARGS, nullptr},
    {"plan_panel_rows", plan_panel_rows, METH_VARARGS, nullptr},
    {"kernel_set", kernel_set, METH_NOARGS, nullptr},
    {"alloc", alloc, METH_VARARGS, nullptr},
    {"free_all", free_all, METH_NOARGS, nullptr},
    {"gemm_f32", gemm_f32, METH_VARARGS, nullptr},
    {"gemm_f16", gemm_f16, METH_VARARGS, nullptr},
    {"gemm_f16_or_f32", gemm_f16_or_f32, METH_VARARGS, nullptr},
    {"convert_f32_to_f16", convert_f32_to_f16, METH_VARARGS, nullptr},
    {"choose_route", choose_route, METH_VARARGS, nullptr},
    {"choose_mma_tile", choose_mma_tile, METH_VARARGS, nullptr},
    {"half_scale", half_scale, METH_VARARGS, nullptr},
    {"max_finite_magnitude", max_finite_magnitude, METH_VARARGS, nullptr},
    {"gpu_gemm", gpu_gemm, METH_VARARGS, nullptr},
    {"gather_range", gather_range, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_vantblas_enginehooks", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__vantblas_enginehooks() { return PyModule_Create(&module_def); }

// Test-only module exposing the device runtime to Python. Device buffers are kept in a table here
// and named by small integer ids, so a test can hold, download and release them in any order.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_api.hpp"
#include "runtime/cuda_core.hpp"
#include "runtime/device_buffer.hpp"
#include "runtime/memory_pool.hpp"

namespace {

using namespace vant;

std::map<long, rt::DeviceBuffer> g_buffers;
long g_next_id = 1;

PyObject* raise(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return nullptr;
}

PyObject* store(rt::DeviceBuffer buffer) {
    long id = g_next_id++;
    g_buffers.emplace(id, std::move(buffer));
    return PyLong_FromLong(id);
}

rt::DeviceBuffer* lookup(long id) {
    auto it = g_buffers.find(id);
    if (it == g_buffers.end()) {
        PyErr_SetString(PyExc_KeyError, "no such buffer");
        return nullptr;
    }
    return &it->second;
}

// The buffer named by the id in `arg` (which is stored in *id), or null with an exception set.
rt::DeviceBuffer* lookup_arg(PyObject* arg, long* id) {
    *id = PyLong_AsLong(arg);
    if (PyErr_Occurred()) return nullptr;
    return lookup(*id);
}

PyObject* get_cuda_core(PyObject*, PyObject* arg) {
    unsigned long long ordinal = PyLong_AsUnsignedLongLong(arg);
    if (PyErr_Occurred()) return nullptr;
    auto core = rt::get_cuda_core(ordinal);
    if (!core) return raise(core.error());
    const rt::CudaCore& c = *core.value();
    PyObject* functions = PyList_New(0);
    PyObject* modules = PyList_New(0);
    for (const auto& k : c.kernels) {
        PyObject* f = PyLong_FromVoidPtr(k.function);
        PyObject* m = PyLong_FromVoidPtr(k.module);
        PyList_Append(functions, f);
        PyList_Append(modules, m);
        Py_DECREF(f);
        Py_DECREF(m);
    }
    return Py_BuildValue("{s:N,s:N,s:K,s:N,s:N}", "context", PyLong_FromVoidPtr(c.context), "stream",
                         PyLong_FromVoidPtr(c.stream), "device_id", (unsigned long long)c.device_id,
                         "functions", functions, "modules", modules);
}

PyObject* core_built(PyObject*, PyObject*) { return PyBool_FromLong(rt::built_cuda_core() != nullptr); }

PyObject* cuda_status_text(PyObject*, PyObject* arg) {
    long status = PyLong_AsLong(arg);
    if (PyErr_Occurred()) return nullptr;
    std::string text = rt::cuda_status_text(static_cast<int>(status));
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* check_status(PyObject*, PyObject* arg) {
    long status = PyLong_AsLong(arg);
    if (PyErr_Occurred()) return nullptr;
    auto r = rt::check_status(static_cast<int>(status));
    if (r) Py_RETURN_NONE;
    return PyUnicode_FromString(r.error().c_str());
}

PyObject* cuda_usable(PyObject*, PyObject*) { return PyBool_FromLong(rt::cuda_usable()); }

// cuda_error_display("DriverStatus", 2) / ("InvalidDimensions", "msg") / ("LaunchFailed", "msg")
PyObject* cuda_error_display(PyObject*, PyObject* args) {
    const char* kind;
    PyObject* payload;
    if (!PyArg_ParseTuple(args, "sO", &kind, &payload)) return nullptr;
    std::string k = kind;
    std::string text;
    if (k == "DriverStatus") {
        long s = PyLong_AsLong(payload);
        if (PyErr_Occurred()) return nullptr;
        text = rt::CudaError::driver_status(static_cast<int>(s)).display();
    } else {
        const char* m = PyUnicode_AsUTF8(payload);
        if (!m) return nullptr;
        if (k == "InvalidDimensions")
            text = rt::CudaError::invalid_dimensions(m).display();
        else if (k == "LaunchFailed")
            text = rt::CudaError::launch_failed(m).display();
        else
            return raise("unknown kind");
    }
    return PyUnicode_FromString(text.c_str());
}

// Calls one wrapper with harmless arguments and returns its status.
PyObject* driver_status(PyObject*, PyObject* arg) {
    const char* name = PyUnicode_AsUTF8(arg);
    if (!name) return nullptr;
    std::string n = name;
    int status;
    if (n == "cuInit") {
        status = drv::cuInit(0);
    } else if (n == "cuDeviceGetCount") {
        int count = 0;
        status = drv::cuDeviceGetCount(&count);
    } else if (n == "cuGetErrorString") {
        const char* text = nullptr;
        status = drv::cuGetErrorString(0, &text);
    } else if (n == "cuLaunchKernel") {
        status = drv::cuLaunchKernel(nullptr, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr);
    } else if (n == "ensure_loaded") {
        status = drv::ensure_loaded();
    } else {
        return raise("unknown entry");
    }
    return PyLong_FromLong(status);
}

PyObject* upload(PyObject*, PyObject* args) {
    Py_buffer view;
    long long count = -1;
    if (!PyArg_ParseTuple(args, "y*|L", &view, &count)) return nullptr;
    uint64_t n = count < 0 ? static_cast<uint64_t>(view.len) / 4 : static_cast<uint64_t>(count);
    // Counts beyond the data are only for checking that oversized requests are refused before
    // anything is read.
    if (n * 4 > static_cast<uint64_t>(view.len) && n < (uint64_t{1} << 30)) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "count exceeds the data");
        return nullptr;
    }
    auto r = rt::upload(static_cast<const float*>(view.buf), n);
    PyBuffer_Release(&view);
    if (!r) return raise(r.error());
    return store(std::move(r).value());
}

PyObject* allocate(PyObject*, PyObject* args) {
    unsigned long long n, elem = 4;
    if (!PyArg_ParseTuple(args, "K|K", &n, &elem)) return nullptr;
    // allocate() works in the calling thread's current context: the core's, for this call.
    auto core = rt::current_core(0);
    if (!core) return raise(core.error());
    auto r = rt::allocate(n, elem);
    if (!r) return raise(r.error());
    return store(std::move(r).value());
}

PyObject* buffer_info(PyObject*, PyObject* arg) {
    long id;
    rt::DeviceBuffer* b = lookup_arg(arg, &id);
    if (!b) return nullptr;
    return Py_BuildValue("(KK)", (unsigned long long)b->ptr(), (unsigned long long)b->len());
}

PyObject* download(PyObject*, PyObject* args) {
    long id;
    unsigned long long rows, cols, ordinal = 0;
    if (!PyArg_ParseTuple(args, "lKK|K", &id, &rows, &cols, &ordinal)) return nullptr;
    rt::DeviceBuffer* b = lookup(id);
    if (!b) return nullptr;
    auto r = rt::download(*b, rows, cols, ordinal);
    if (!r) return raise(r.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r->data()),
                                     static_cast<Py_ssize_t>(r->size() * sizeof(float)));
}

PyObject* release(PyObject*, PyObject* arg) {
    long id;
    rt::DeviceBuffer* b = lookup_arg(arg, &id);
    if (!b) return nullptr;
    rt::release(*b);
    g_buffers.erase(id);
    Py_RETURN_NONE;
}

// Destroys the buffer on a new thread that has never had a context current.
PyObject* release_on_thread(PyObject*, PyObject* arg) {
    long id;
    rt::DeviceBuffer* b = lookup_arg(arg, &id);
    if (!b) return nullptr;
    rt::DeviceBuffer moved = std::move(*b);
    g_buffers.erase(id);
    std::thread([owned = std::move(moved)]() mutable { owned.reset(); }).join();
    Py_RETURN_NONE;
}

// Calls get_cuda_core(0) from n threads started together; returns the number of distinct cores
// they received and the number of failures.
PyObject* get_cuda_core_concurrently(PyObject*, PyObject* arg) {
    long n = PyLong_AsLong(arg);
    if (PyErr_Occurred()) return nullptr;
    std::vector<rt::CudaCore*> cores(static_cast<size_t>(n), nullptr);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    Py_BEGIN_ALLOW_THREADS
    for (long i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            auto r = rt::get_cuda_core(0);
            if (r) cores[static_cast<size_t>(i)] = r.value();
        });
    go.store(true);
    for (auto& t : threads) t.join();
    Py_END_ALLOW_THREADS
    std::set<rt::CudaCore*> distinct;
    long failures = 0;
    for (auto* c : cores) {
        if (c) distinct.insert(c);
        else ++failures;
    }
    return Py_BuildValue("(nl)", static_cast<Py_ssize_t>(distinct.size()), failures);
}

// The device-memory cache's cap as the module read it from the environment.
PyObject* pool_cache_limit(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(rt::pool_cache_limit()); }

PyMethodDef methods[] = {
    {"get_cuda_core_concurrently", get_cuda_core_concurrently, METH_O, nullptr},
    {"get_cuda_core", get_cuda_core, METH_O, nullptr},
    {"core_built", core_built, METH_NOARGS, nullptr},
    {"cuda_status_text", cuda_status_text, METH_O, nullptr},
    {"check_status", check_status, METH_O, nullptr},
    {"cuda_usable", cuda_usable, METH_NOARGS, nullptr},
    {"cuda_error_display", cuda_error_display, METH_VARARGS, nullptr},
    {"driver_status", driver_status, METH_O, nullptr},
    {"upload", upload, METH_VARARGS, nullptr},
    {"allocate", allocate, METH_VARARGS, nullptr},
    {"buffer_info", buffer_info, METH_O, nullptr},
    {"download", download, METH_VARARGS, nullptr},
    {"release", release, METH_O, nullptr},
    {"release_on_thread", release_on_thread, METH_O, nullptr},
    {"pool_cache_limit", pool_cache_limit, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_vantblas_testhooks", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__vantblas_testhooks() { return PyModule_Create(&module_def); }

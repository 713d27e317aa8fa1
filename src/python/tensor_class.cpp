// VantTensor: one float32 matrix kept in device memory. Products of tensors stay on the device;
// data comes back to NumPy only through cpu().
#include <new>
#include <string>

#include "arrays.hpp"
#include "binding.hpp"
#include "engine/kernel_set.hpp"
#include "functions.hpp"
#include "gpu_section.hpp"
#include "guard.hpp"
#include "resident.hpp"

namespace vant::py {
namespace {

struct TensorObject {
    PyObject_HEAD
    // Constructed in place by make_tensor; destroyed in dealloc only if `alive` is set. An object
    // allocated without tp_new (from C, through tp_alloc alone) is all zeros: not alive, holding
    // no data, every method reads it as the tensor without data.
    rt::DeviceBuffer data;
    uint64_t rows;
    uint64_t cols;
    uint64_t device_id;
    bool alive;
};

TensorObject* as_tensor(PyObject* self) { return reinterpret_cast<TensorObject*>(self); }

bool holds_data(const TensorObject* t) noexcept { return t->alive && !t->data.empty(); }

// Wraps a filled device buffer in a new tensor object; the buffer is freed if that fails.
PyObject* make_tensor(PyTypeObject* type, rt::DeviceBuffer&& data, uint64_t rows, uint64_t cols,
                      uint64_t device_id) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;  // `data` frees itself
    TensorObject* t = as_tensor(self);
    new (&t->data) rt::DeviceBuffer(std::move(data));
    t->rows = rows;
    t->cols = cols;
    t->device_id = device_id;
    t->alive = true;
    return self;
}

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        const Signature sig{"VantTensor.__new__()", {"data", "device"}, 2, 1};
        Args bound;
        MatrixArg data;
        if (!bind(sig, args, kwargs, bound) || !extract_arrays(sig, bound, data)) return nullptr;
        if (bound.given(1)) {
            std::string device;
            if (!to_text(bound[1], "device", device)) return nullptr;
            if (device != "cuda") return raise_runtime("Only 'cuda' device is supported");
        }
        const MatView& v = data.view;
        const uint64_t count = element_count(v.rows, v.cols);
        if (!within_device_limit("VantTensor", count)) return nullptr;

        GpuSection gpu;
        Result<rt::CudaCore*> core = rt::current_core(0);
        if (!core) return raise_runtime(core.error());
        std::optional<HostBuffer> host = gather_host_matrix(v);
        if (!host) return PyErr_NoMemory();
        Result<rt::DeviceBuffer> buffer =
            allocate_and_copy(host->data(), count, "Failed to allocate CUDA memory: ", "Failed to copy data to GPU: ");
        if (!buffer) return raise_runtime(buffer.error());
        return make_tensor(type, std::move(buffer).value(), v.rows, v.cols, 0);
    });
}

void tensor_dealloc(PyObject* self) noexcept {
    TensorObject* t = as_tensor(self);
    if (t->alive) {
        GpuSection gpu;
        t->data.~DeviceBuffer();  // makes the core's context current, then frees
    }
    free_instance(self);
}

VANT_FASTCALL(tensor_matmul) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"VantTensor.matmul()", {"other"}, 1, 1};
        Args bound;
        if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
        PyObject* other_obj = bound[0];
        if (Py_TYPE(other_obj) != Py_TYPE(self))  // the type is not subclassable
            return raise_not_convertible(other_obj, "other", "VantTensor");
        const TensorObject* a = as_tensor(self);
        const TensorObject* b = as_tensor(other_obj);
        if (!holds_data(a) || !holds_data(b)) return raise_runtime("Tensors not initialized");
        const uint64_t m = a->rows, k = a->cols, k2 = b->rows, n = b->cols;
        if (k != k2) {
            return raise_runtime("Shape mismatch: " + std::to_string(m) + " x " + std::to_string(k) + " vs " +
                                 std::to_string(k2) + " x " + std::to_string(n));
        }
        const uint64_t count = element_count(m, n);
        if (!within_device_limit("The product", count)) return nullptr;

        GpuSection gpu;
        // The first use loads and compiles the kernels: without the interpreter lock.
        engine::CudaResult<const engine::KernelSet*> set = gpu.unlocked([] { return engine::KernelSet::get(); });
        if (!set) return raise_runtime("Failed to get VantBLAS: " + set.error().display());
        // The calling thread may not be the one that built the core or the operands.
        Result<rt::CudaCore*> core = rt::current_core(a->device_id);
        if (!core) return raise_runtime(core.error());
        Result<rt::DeviceBuffer> c = rt::allocate(count);
        if (!c) return raise_runtime("Failed to allocate output: " + c.error());
        engine::CudaResult<void> run =
            set.value()->gemm_f32(a->data.ptr(), b->data.ptr(), c->ptr(), static_cast<uint32_t>(m),
                                  static_cast<uint32_t>(n), static_cast<uint32_t>(k), (*core)->stream);
        if (!run) return raise_runtime("GEMM failed: " + run.error().display());
        // No synchronisation: every later read (cpu()) waits for the stream.
        return make_tensor(Py_TYPE(self), std::move(c).value(), m, n, a->device_id);
    });
}

VANT_NOARGS(tensor_cpu) {
    return guarded([&]() -> PyObject* {
        const TensorObject* t = as_tensor(self);
        if (!holds_data(t)) return raise_runtime("Tensor not initialized");
        GpuSection gpu;
        Result<rt::CudaCore*> core = rt::current_core(t->device_id);
        if (!core) return raise_runtime(core.error());
        // The copy overwrites every element.
        std::optional<HostBuffer> host = HostBuffer::uninit(element_count(t->rows, t->cols));
        if (!host) return PyErr_NoMemory();
        drv::CUresult copied = drv::CUDA_SUCCESS;
        // The stream may hold long work: waited for without the interpreter lock (the tensor,
        // referenced by the call, keeps its memory).
        const drv::CUresult synced = gpu.finish_unlocked([&] {
            drv::CUresult s = drv::cuStreamSynchronize((*core)->stream);
            if (s == drv::CUDA_SUCCESS)
                copied = drv::cuMemcpyDtoH(host->data(), t->data.ptr(), static_cast<size_t>(host->size()) * 4);
            return s;
        });
        if (synced != drv::CUDA_SUCCESS)
            return raise_runtime("Failed to synchronize stream: " + rt::cuda_status_text(synced));
        if (copied != drv::CUDA_SUCCESS)
            return raise_runtime("Failed to copy data from GPU: " + rt::cuda_status_text(copied));
        return matrix_result(std::move(*host), t->rows, t->cols);
    });
}

VANT_NOARGS(tensor_shape) {
    return guarded([&]() -> PyObject* {
        const TensorObject* t = as_tensor(self);
        return Py_BuildValue("[KK]", static_cast<unsigned long long>(t->rows),
                             static_cast<unsigned long long>(t->cols));
    });
}

VANT_NOARGS(tensor_device) {
    return guarded([&]() -> PyObject* {
        std::string text = "cuda:" + std::to_string(as_tensor(self)->device_id);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyMethodDef kMethods[] = {
    VANT_FASTCALL_ENTRY("matmul", tensor_matmul,
                        "matmul($self, other)\n--\n\nMatrix multiplication with another VantTensor (both stay on GPU!)"),
    VANT_NOARGS_ENTRY("cpu", tensor_cpu,
                      "cpu($self)\n--\n\nConvert to NumPy array (explicit conversion when needed)"),
    VANT_NOARGS_ENTRY("shape", tensor_shape, "shape($self)\n--\n\nGet shape"),
    VANT_NOARGS_ENTRY("device", tensor_device, "device($self)\n--\n\nGet device"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("VantTensor(data, device=\"cuda\")\n--\n\n"
                                  "\u2705 Phase 2: GPU-Resident Tensor Class\n"
                                  "Eliminates NumPy\u2194CUDA conversion overhead by keeping data on GPU")},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.VantTensor", sizeof(TensorObject), 0, kClassFlags, kSlots};

}  // namespace

PyObject* tensor_type() noexcept {
    static PyObject* type = nullptr;
    return bare_type(type, kSpec);
}

}  // namespace vant::py

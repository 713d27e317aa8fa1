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
#include "tensor_object.hpp"

namespace vant::py {
namespace {

std::string matmul_shape_error(uint64_t m, uint64_t k, uint64_t k2, uint64_t n) {
    return "Shape mismatch: " + std::to_string(m) + " x " + std::to_string(k) + " vs " + std::to_string(k2) + " x " +
           std::to_string(n);
}

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        const Signature sig{"VantTensor.__new__()", {"data", "device"}, 2, 1};
        Args bound;
        if (!bind(sig, args, kwargs, bound)) return nullptr;
        // Device arrays of other libraries (and tensors) are taken as they are, on the device.
        const int device_array = device_array_kind(bound[0]);
        if (device_array < 0) return nullptr;
        MatrixArg data;
        if (!device_array && !extract_arrays(sig, bound, data)) return nullptr;
        if (bound.given(1)) {
            std::string device;
            if (!to_text(bound[1], "device", device)) return nullptr;
            if (device != "cuda") return raise_runtime("Only 'cuda' device is supported");
        }
        if (device_array) return import_device_array(bound[0], "data");
        const MatView& v = data.view;
        const uint64_t count = element_count(v.rows, v.cols);
        if (!within_device_limit("VantTensor", count)) return nullptr;

        GpuSection gpu;
        auto core = rt::current_core(0);
        if (!core) return raise_runtime(core.error());
        collect_released();
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
        // Products queued on the stream may still read the producer's memory: its keeper goes
        // once they have run.
        if (t->keeper) release_after_stream(std::exchange(t->keeper, nullptr));
        t->data.~DeviceBuffer();  // frees with the core's context current, the caller's restored
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
        return tensor_product(as_tensor(self), as_tensor(other_obj), matmul_shape_error);
    });
}

VANT_NOARGS(tensor_cpu) {
    return guarded([&]() -> PyObject* {
        const TensorObject* t = as_tensor(self);
        if (!holds_data(t)) return raise_runtime("Tensor not initialized");
        GpuSection gpu;
        auto core = rt::current_core(t->device_id);
        if (!core) return raise_runtime(core.error());
        if (!tensor_memory_alive(t)) return nullptr;
        // The copy overwrites every element.
        std::optional<HostBuffer> host = HostBuffer::uninit(element_count(t->rows, t->cols));
        if (!host) return PyErr_NoMemory();
        drv::CUresult copied = drv::CUDA_SUCCESS;
        // The stream may hold long work: waited for without the interpreter lock (the tensor,
        // referenced by the call, keeps its memory).
        const drv::CUresult synced = gpu.finish_unlocked([&] {
            drv::CUresult s = drv::cuStreamSynchronize((*core)->stream);
            if (s == drv::CUDA_SUCCESS)
                copied = drv::cuMemcpyDtoH(host->data(), tensor_ptr(t), static_cast<size_t>(host->size()) * 4);
            return s;
        });
        if (synced != drv::CUDA_SUCCESS)
            return raise_runtime("Failed to synchronize stream: " + rt::cuda_status_text(synced));
        collect_released();  // everything queued so far has run
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
    VANT_FASTCALL_ENTRY("__dlpack__", tensor_dlpack,
                        "__dlpack__($self, /, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"
                        "Export as a DLPack capsule (zero copy on the device; dl_device=(1, 0) gives a host copy)"),
    VANT_NOARGS_ENTRY("__dlpack_device__", tensor_dlpack_device,
                      "__dlpack_device__($self, /)\n--\n\nDLPack device of the data: (2, 0), CUDA device 0"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"__cuda_array_interface__", tensor_cuda_array_interface, nullptr,
     "CUDA array interface (version 3) of the data; its stream is the one products are queued on", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("VantTensor(data, device=\"cuda\")\n--\n\n"
                                  "\u2705 Phase 2: GPU-Resident Tensor Class\n"
                                  "Eliminates NumPy\u2194CUDA conversion overhead by keeping data on GPU")},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.VantTensor", sizeof(TensorObject), 0, kClassFlags, kSlots};

}  // namespace

PyObject* make_tensor(PyTypeObject* type, rt::DeviceBuffer&& data, uint64_t rows, uint64_t cols,
                      uint64_t device_id) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;  // `data` frees itself
    TensorObject* t = as_tensor(self);
    new (&t->data) rt::DeviceBuffer(std::move(data));
    t->borrowed = 0;
    t->keeper = nullptr;
    t->generation = rt::core_generation();
    t->rows = rows;
    t->cols = cols;
    t->device_id = device_id;
    t->alive = true;
    return self;
}

bool is_tensor(PyObject* obj) noexcept {
    PyRef type = PyRef::steal(tensor_type());
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(type.get());
}

PyObject* tensor_type() noexcept {
    static PyObject* type = nullptr;
    return bare_type(type, kSpec);
}

}  // namespace vant::py

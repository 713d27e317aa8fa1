// The VantTensor instance layout and what the module's other files do with tensors: products of
// two tensors (VantTensor.matmul and the GEMM functions given device arrays), imports of other
// libraries' device arrays, and their exports (DLPack, CUDA array interface).
#pragma once

#include <cstdint>

#include "pyref.hpp"
#include "runtime/device_buffer.hpp"

namespace vant::py {

struct TensorObject {
    PyObject_HEAD
    // Constructed in place by make_tensor / make_borrowed_tensor; destroyed in dealloc only if
    // `alive` is set. An object allocated without tp_new (from C, through tp_alloc alone) is all
    // zeros: not alive, holding no data, every method reads it as the tensor without data.
    rt::DeviceBuffer data;       // owned device memory; empty for a zero-copy import
    drv::CUdeviceptr borrowed;   // another library's memory (zero-copy import), else 0
    PyObject* keeper;            // keeps `borrowed` alive (owned reference), else null
    uint64_t generation;         // of the core whose context the memory belongs to
    uint64_t rows;
    uint64_t cols;
    uint64_t device_id;
    bool alive;
};

inline TensorObject* as_tensor(PyObject* self) noexcept { return reinterpret_cast<TensorObject*>(self); }
inline bool holds_data(const TensorObject* t) noexcept { return t->alive && (!t->data.empty() || t->keeper); }
inline drv::CUdeviceptr tensor_ptr(const TensorObject* t) noexcept {
    return t->data.empty() ? t->borrowed : t->data.ptr();
}

bool is_tensor(PyObject* obj) noexcept;

// A new tensor owning `data` (freed if that fails).
PyObject* make_tensor(PyTypeObject* type, rt::DeviceBuffer&& data, uint64_t rows, uint64_t cols,
                      uint64_t device_id) noexcept;

// False with RuntimeError set when the tensor's memory went with a context that another library
// reset.
bool tensor_memory_alive(const TensorObject* t) noexcept;

// a @ b on the device as a new tensor (FP32 route, queued on the core's stream, not waited for).
// `shape_error` formats the message of mismatched inner sizes.
PyObject* tensor_product(const TensorObject* a, const TensorObject* b,
                         std::string (*shape_error)(uint64_t m, uint64_t k, uint64_t k2, uint64_t n)) noexcept;

// Whether `obj` is a device array this module can take: a VantTensor, or (other than a NumPy
// array) an object whose __dlpack_device__ names a CUDA device, or one with a CUDA array
// interface. -1 with an exception set when asking the object failed.
int device_array_kind(PyObject* obj) noexcept;

// A tensor over another library's device array (zero copy where the layout allows, otherwise one
// device-to-device copy). `obj` may be a VantTensor (returned as a new reference). Null with an
// exception set on failure: TypeError for a dtype or rank other than float32 matrices,
// ValueError for memory of another context or device, RuntimeError for GPU failures.
PyObject* import_device_array(PyObject* obj, const char* name) noexcept;

// Releases `keeper` once the work queued on the core's stream so far has finished (at once when
// the stream cannot be marked: then the stream is synchronised first). Takes the reference over.
void release_after_stream(PyObject* keeper) noexcept;
// Releases the keepers whose work has finished.
void collect_released() noexcept;

// The export protocol methods and attribute of VantTensor.
PyObject* tensor_dlpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* tensor_dlpack_device(PyObject* self, PyObject* unused) noexcept;
PyObject* tensor_cuda_array_interface(PyObject* self, void* closure) noexcept;

}  // namespace vant::py

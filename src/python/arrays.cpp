#include "arrays.hpp"

#include <cstdlib>

#define PY_ARRAY_UNIQUE_SYMBOL VANT_PyArray_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace vant::py {
namespace {

bool ensure_numpy() noexcept {
    if (PyArray_API != nullptr) return true;
    return _import_array() >= 0;
}

}  // namespace

int is_ndarray(PyObject* obj) noexcept {
    if (!ensure_numpy()) return -1;
    return PyArray_Check(obj) ? 1 : 0;
}

namespace {

// The array when obj is a float32 ndarray of exactly `ndim` dimensions, else null (TypeError set).
PyArrayObject* checked_array(PyObject* obj, const char* name, int ndim) noexcept {
    if (!ensure_numpy()) return nullptr;
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
        const bool ok = PyArray_NDIM(arr) == ndim && PyArray_EquivTypes(PyArray_DESCR(arr), f32);
        Py_DECREF(f32);
        if (ok) return arr;
    }
    raise_not_convertible(obj, name, "PyArray<T, D>");
    return nullptr;
}

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "vantblas.buffer"));
}

PyObject* wrap(HostBuffer&& buffer, int nd, const uint64_t* extents) noexcept {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[3];
    uint64_t total = 1;
    for (int i = 0; i < nd; ++i) {
        if (extents[i] > static_cast<uint64_t>(NPY_MAX_INTP) || !checked_mul(total, extents[i], &total)) {
            PyErr_NoMemory();
            return nullptr;
        }
        dims[i] = static_cast<npy_intp>(extents[i]);
    }
    if (total != buffer.size()) {
        PyErr_SetString(PyExc_RuntimeError, "ShapeError/IncompatibleShape: incompatible shapes");
        return nullptr;
    }
    float* data = buffer.release();
    PyRef capsule = PyRef::steal(PyCapsule_New(data, "vantblas.buffer", free_buffer));
    if (!capsule) {
        std::free(data);
        return nullptr;
    }
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);  // stolen below
    PyObject* arr = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, data,
                                         NPY_ARRAY_CARRAY, nullptr);
    if (!arr) return nullptr;  // the capsule still owns the buffer
    // SetBaseObject steals the capsule even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), capsule.release()) < 0) {
        Py_DECREF(arr);
        return nullptr;
    }
    return arr;
}

}  // namespace

bool extract_matrix(PyObject* obj, const char* name, MatrixArg& out) noexcept {
    PyArrayObject* arr = checked_array(obj, name, 2);
    if (!arr) return false;
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    out.array = PyRef::borrow(obj);
    out.view = MatView{static_cast<const char*>(PyArray_DATA(arr)), static_cast<uint64_t>(dims[0]),
                       static_cast<uint64_t>(dims[1]), strides[0], strides[1]};
    return true;
}

bool extract_tensor3(PyObject* obj, const char* name, Tensor3Arg& out) noexcept {
    PyArrayObject* arr = checked_array(obj, name, 3);
    if (!arr) return false;
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    out.array = PyRef::borrow(obj);
    out.view = Tensor3View{static_cast<const char*>(PyArray_DATA(arr)),
                           static_cast<uint64_t>(dims[0]), static_cast<uint64_t>(dims[1]),
                           static_cast<uint64_t>(dims[2]), strides[0], strides[1], strides[2]};
    return true;
}

bool still_as_extracted(const MatrixArg& arg) noexcept {
    auto* arr = reinterpret_cast<PyArrayObject*>(arg.array.get());
    if (PyArray_NDIM(arr) != 2 || PyArray_ITEMSIZE(arr) != 4) return false;
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    const MatView& v = arg.view;
    return PyArray_DATA(arr) == v.data && static_cast<uint64_t>(dims[0]) == v.rows &&
           static_cast<uint64_t>(dims[1]) == v.cols && strides[0] == v.row_stride && strides[1] == v.col_stride;
}

bool still_as_extracted(const Tensor3Arg& arg) noexcept {
    auto* arr = reinterpret_cast<PyArrayObject*>(arg.array.get());
    if (PyArray_NDIM(arr) != 3 || PyArray_ITEMSIZE(arr) != 4) return false;
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    const Tensor3View& v = arg.view;
    return PyArray_DATA(arr) == v.data && static_cast<uint64_t>(dims[0]) == v.d0 &&
           static_cast<uint64_t>(dims[1]) == v.d1 && static_cast<uint64_t>(dims[2]) == v.d2 &&
           strides[0] == v.s0 && strides[1] == v.s1 && strides[2] == v.s2;
}

PyObject* matrix_result(HostBuffer&& buffer, uint64_t rows, uint64_t cols) noexcept {
    const uint64_t extents[2] = {rows, cols};
    return wrap(std::move(buffer), 2, extents);
}

PyObject* tensor3_result(HostBuffer&& buffer, uint64_t d0, uint64_t d1, uint64_t d2) noexcept {
    const uint64_t extents[3] = {d0, d1, d2};
    return wrap(std::move(buffer), 3, extents);
}

bool zeros_for(uint64_t a, uint64_t b, uint64_t c, HostBuffer& out) noexcept {
    return output_for(a, b, c, true, out);
}

bool output_for(uint64_t a, uint64_t b, uint64_t c, bool zeroed, HostBuffer& out) noexcept {
    uint64_t n;
    if (!checked_mul(a, b, &n) || !checked_mul(n, c, &n)) {
        PyErr_NoMemory();
        return false;
    }
    auto buf = zeroed ? HostBuffer::zeros(n) : HostBuffer::uninit(n);
    if (!buf) {
        PyErr_NoMemory();
        return false;
    }
    out = std::move(*buf);
    return true;
}

}  // namespace vant::py

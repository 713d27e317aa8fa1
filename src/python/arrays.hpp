// NumPy arguments and results. The NumPy C API is obtained on first array use, not at import.
// Arguments are never cast or copied on the way in: a float32 array of 2 (or 3) dimensions is
// viewed through its byte strides; anything else is refused with the conversion TypeError.
#pragma once

#include <cstdint>

#include "binding.hpp"
#include "common/host_buffer.hpp"
#include "common/views.hpp"
#include "pyref.hpp"

namespace vant::py {

struct MatrixArg {
    PyRef array;  // keeps the argument alive while the view is used
    MatView view;
};

struct Tensor3Arg {
    PyRef array;
    Tensor3View view;
};

// False with TypeError "argument '<name>': '<type>' object cannot be converted to
// 'PyArray<T, D>'" (or an import error) set.
bool extract_matrix(PyObject* obj, const char* name, MatrixArg& out) noexcept;
bool extract_tensor3(PyObject* obj, const char* name, Tensor3Arg& out) noexcept;

// Whether obj is a NumPy array (of any dtype); -1 with an error set when NumPy cannot be had.
int is_ndarray(PyObject* obj) noexcept;

// Whether the argument array still has the data address, extents and strides its view was made
// from (Python code run since, a signal handler say, may have replaced its buffer).
bool still_as_extracted(const MatrixArg& arg) noexcept;
bool still_as_extracted(const Tensor3Arg& arg) noexcept;

inline bool extract(PyObject* obj, const char* name, MatrixArg& out) noexcept { return extract_matrix(obj, name, out); }
inline bool extract(PyObject* obj, const char* name, Tensor3Arg& out) noexcept { return extract_tensor3(obj, name, out); }

// Converts the leading bound arguments, in order and under the signature's parameter names, to
// the given array arguments; stops at the first failure. They must be required parameters.
template <class... Out>
bool extract_arrays(const Signature& sig, const Args& bound, Out&... out) noexcept {
    int i = 0;
    auto next = [&](auto& arg) {
        const int k = i++;
        return extract(bound[k], sig.names[k], arg);
    };
    return (next(out) && ...);
}

// A new C-ordered, writeable float32 array over the buffer, which the array's base object takes
// over (no copy). The buffer must hold exactly the product of the extents.
PyObject* matrix_result(HostBuffer&& buffer, uint64_t rows, uint64_t cols) noexcept;
PyObject* tensor3_result(HostBuffer&& buffer, uint64_t d0, uint64_t d1, uint64_t d2) noexcept;

// A zero-filled buffer of the product of the extents; MemoryError when the count overflows or
// memory is short (zero-stride views can describe enormous shapes).
bool zeros_for(uint64_t a, uint64_t b, uint64_t c, HostBuffer& out) noexcept;
// The same, left uninitialised unless `zeroed`: for results the computation overwrites in full.
bool output_for(uint64_t a, uint64_t b, uint64_t c, bool zeroed, HostBuffer& out) noexcept;

}  // namespace vant::py

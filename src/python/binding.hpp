// Binding of Python arguments to parameter names with CPython's own error texts, and the scalar
// conversions shared by every function. Conversion failures that are TypeErrors are re-raised
// with the prefix "argument '<name>': ".
#pragma once

#include <cstdint>
#include <string>

#include "pyref.hpp"

namespace vant::py {

inline constexpr int kMaxParams = 4;

struct Signature {
    const char* display;             // "gemm()", "VantBLASModel.forward()"
    const char* names[kMaxParams];   // parameter names in order
    int count;                       // number of parameters
    int required;                    // leading required parameters
};

// Borrowed argument slots, valid for the duration of the call; null when absent.
struct Args {
    PyObject* slot[kMaxParams] = {};
    PyObject* operator[](int i) const noexcept { return slot[i]; }
    bool given(int i) const noexcept { return slot[i] != nullptr; }
    // Absent and None both select the default.
    bool given_not_none(int i) const noexcept { return slot[i] != nullptr && slot[i] != Py_None; }
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS). False with TypeError set on failure.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) noexcept;
// tp_new convention (tuple and dict).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) noexcept;

// Raises TypeError "argument '<name>': '<type>' object cannot be converted to '<target>'", with
// the bare qualified name of the object's type ("ndarray", "list", "NoneType"); returns null.
PyObject* raise_not_convertible(PyObject* obj, const char* name, const char* target) noexcept;
// The bare qualified name of an object's type ("ndarray", "list", "NoneType"), as error texts
// name it.
std::string type_qualname(PyObject* obj);
// Replaces a pending TypeError by "argument '<name>': <text>"; other errors pass unchanged.
void prefix_conversion_error(const char* name) noexcept;

// to_u64 and to_f32 may run Python code (__index__, __float__) that changes any other argument,
// an array's shape and memory included: array views taken before them must be taken again
// afterwards. to_text runs none.

// Unsigned 64-bit integer (int, or anything with __index__). False with an error set.
bool to_u64(PyObject* obj, const char* name, uint64_t& out) noexcept;
// str read as UTF-8. False with an error set.
bool to_text(PyObject* obj, const char* name, std::string& out) noexcept;
// float rounded to float32 (exact float read directly, otherwise the interpreter's float
// conversion). False with an error set.
bool to_f32(PyObject* obj, const char* name, float& out) noexcept;

// Raises `type` with the given UTF-8 text, embedded NULs included (a C-string message would stop
// at the first one); returns null for convenience.
PyObject* raise_text(PyObject* type, const std::string& text) noexcept;
// Raises RuntimeError with the given text; returns null for convenience.
PyObject* raise_runtime(const std::string& text) noexcept;

}  // namespace vant::py

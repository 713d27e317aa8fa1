#include "binding.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string_view>

namespace vant::py {
namespace {

std::string quoted_list(const char* const* names, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) out += ",";
            out += i == count - 1 ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

void raise_too_many(const Signature& sig, Py_ssize_t given) {
    std::string msg = sig.display;
    if (sig.required == sig.count) {
        // The plural stays with a count of 1 as well: callers match these texts exactly.
        msg += " takes " + std::to_string(sig.count) + " positional arguments";
    } else {
        msg += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.count) +
               " positional arguments";
    }
    msg += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_text(PyExc_TypeError, msg);
}

int param_index(const Signature& sig, PyObject* key) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    std::string_view k(text, static_cast<size_t>(len));
    for (int i = 0; i < sig.count; ++i)
        if (k == sig.names[i]) return i;
    return -1;
}

// Places one keyword argument; false with TypeError set.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Args& out) {
    int idx = param_index(sig, key);
    if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
        return false;
    }
    if (out.slot[idx]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                     sig.names[idx]);
        return false;
    }
    out.slot[idx] = value;
    return true;
}

bool check_required(const Signature& sig, const Args& out) {
    const char* missing[kMaxParams];
    int k = 0;
    for (int i = 0; i < sig.required; ++i)
        if (!out.slot[i]) missing[k++] = sig.names[i];
    if (k == 0) return true;
    std::string msg = std::string(sig.display) + " missing " + std::to_string(k) +
                      (k == 1 ? " required positional argument: " : " required positional arguments: ") +
                      quoted_list(missing, k);
    raise_text(PyExc_TypeError, msg);
    return false;
}

// The steps both calling conventions share: the count check, then `place` (positional slots and
// keywords), then the required ones. False with an error set.
template <class Place>
bool bind_frame(const Signature& sig, Py_ssize_t nargs, const Args& out, Place&& place) noexcept {
    try {
        if (nargs > sig.count) {
            raise_too_many(sig, nargs);
            return false;
        }
        return place() && check_required(sig, out);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace

std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
        if (text) return std::string(text, static_cast<size_t>(len));
    }
    PyErr_Clear();
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? dot + 1 : full;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Args& out) noexcept {
    return bind_frame(sig, nargs, out, [&] {
        for (Py_ssize_t i = 0; i < nargs; ++i) out.slot[i] = args[i];
        if (kwnames) {
            Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i)
                if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
        }
        return true;
    });
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) noexcept {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    return bind_frame(sig, nargs, out, [&] {
        for (Py_ssize_t i = 0; i < nargs; ++i) out.slot[i] = PyTuple_GET_ITEM(args, i);
        if (kwargs) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (!place_keyword(sig, key, value, out)) return false;
        }
        return true;
    });
}

PyObject* raise_not_convertible(PyObject* obj, const char* name, const char* target) noexcept {
    try {
        return raise_text(PyExc_TypeError, "argument '" + std::string(name) + "': '" + type_qualname(obj) +
                                               "' object cannot be converted to '" + target + "'");
    } catch (...) {
        return PyErr_NoMemory();
    }
}

void prefix_conversion_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (!text) return;  // an error from str() is left set
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

bool to_u64(PyObject* obj, const char* name, uint64_t& out) noexcept {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = PyRef::steal(PyNumber_Index(obj));
        if (!index) {
            prefix_conversion_error(name);
            return false;
        }
        obj = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_conversion_error(name);
        return false;
    }
    out = v;
    return true;
}

bool to_text(PyObject* obj, const char* name, std::string& out) noexcept {
    try {
        if (!PyUnicode_Check(obj)) {
            raise_not_convertible(obj, name, "PyString");
            return false;
        }
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
        if (!text) {
            prefix_conversion_error(name);
            return false;
        }
        out.assign(text, static_cast<size_t>(len));
        return true;
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

namespace {
// Round-to-nearest conversion that also covers finite doubles beyond the float32 range, whose
// plain cast is undefined in C++.
float round_to_f32(double d) noexcept {
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        const double midpoint = 0x1.ffffffp127;  // halfway between FLT_MAX and 2^128
        float big = std::fabs(d) >= midpoint ? HUGE_VALF : FLT_MAX;
        return d < 0 ? -big : big;
    }
    return static_cast<float>(d);
}
}  // namespace

bool to_f32(PyObject* obj, const char* name, float& out) noexcept {
    double d;
    if (PyFloat_CheckExact(obj)) {
        d = PyFloat_AS_DOUBLE(obj);
    } else {
        d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) {
            prefix_conversion_error(name);
            return false;
        }
    }
    out = round_to_f32(d);
    return true;
}

PyObject* raise_text(PyObject* type, const std::string& text) noexcept {
    PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!value) return nullptr;  // MemoryError already set
    PyErr_SetObject(type, value);
    Py_DECREF(value);
    return nullptr;
}

PyObject* raise_runtime(const std::string& text) noexcept { return raise_text(PyExc_RuntimeError, text); }

}  // namespace vant::py

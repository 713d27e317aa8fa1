// VantBLAS: a holder of two free-form text settings. Nothing else in the module reads them.
#include <new>
#include <string>

#include "binding.hpp"
#include "functions.hpp"
#include "guard.hpp"

namespace vant::py {
namespace {

constexpr const char* kDefaultPrecision = "fp16";
constexpr const char* kDefaultKernel = "auto";

struct SettingsObject {
    PyObject_HEAD
    // Owned; set in tp_new, freed in dealloc. Null in an object allocated without tp_new (from C,
    // through tp_alloc alone): every method then treats the missing text as its default.
    std::string* precision;
    std::string* kernel;
};

SettingsObject* as_settings(PyObject* self) { return reinterpret_cast<SettingsObject*>(self); }

const char* default_of(std::string* SettingsObject::*field) {
    return field == &SettingsObject::precision ? kDefaultPrecision : kDefaultKernel;
}

// The stored text, created with its default first when the object holds none.
std::string& text_of(PyObject* self, std::string* SettingsObject::*field) {
    std::string*& slot = as_settings(self)->*field;
    if (!slot) slot = new std::string(default_of(field));
    return *slot;
}

PyObject* settings_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        const Signature sig{"VantBLAS.__new__()", {"precision", "kernel"}, 2, 0};
        Args bound;
        if (!bind(sig, args, kwargs, bound)) return nullptr;
        std::string precision = kDefaultPrecision, kernel = kDefaultKernel;
        if (bound.given(0) && !to_text(bound[0], "precision", precision)) return nullptr;
        if (bound.given(1) && !to_text(bound[1], "kernel", kernel)) return nullptr;
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        SettingsObject* s = as_settings(self.get());
        s->precision = new std::string(std::move(precision));
        s->kernel = new std::string(std::move(kernel));
        return self.release();
    });
}

void settings_dealloc(PyObject* self) noexcept {
    SettingsObject* s = as_settings(self);
    delete s->precision;
    delete s->kernel;
    free_instance(self);
}

PyObject* set_text(const char* display, const char* name, std::string* SettingsObject::*field,
                   PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const Signature sig{display, {name}, 1, 1};
        Args bound;
        std::string text;
        if (!bind(sig, args, nargs, kwnames, bound) || !to_text(bound[0], name, text)) return nullptr;
        text_of(self, field) = std::move(text);
        Py_RETURN_NONE;
    });
}

VANT_FASTCALL(settings_set_precision) {
    return set_text("VantBLAS.set_precision()", "p", &SettingsObject::precision, self, args, nargs, kwnames);
}
VANT_FASTCALL(settings_set_kernel) {
    return set_text("VantBLAS.set_kernel()", "k", &SettingsObject::kernel, self, args, nargs, kwnames);
}

PyObject* text_object(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

VANT_NOARGS(settings_get_precision) {
    return guarded([&]() -> PyObject* { return text_object(text_of(self, &SettingsObject::precision)); });
}
VANT_NOARGS(settings_get_kernel) {
    return guarded([&]() -> PyObject* { return text_object(text_of(self, &SettingsObject::kernel)); });
}
VANT_NOARGS(settings_info) {
    return guarded([&]() -> PyObject* {
        return text_object("VantBLAS v1.0.9.post1 | " + text_of(self, &SettingsObject::precision) + " | " +
                           text_of(self, &SettingsObject::kernel));
    });
}

PyMethodDef kMethods[] = {
    VANT_NOARGS_ENTRY("info", settings_info, "info($self)\n--\n\n"),
    VANT_FASTCALL_ENTRY("set_precision", settings_set_precision, "set_precision($self, p)\n--\n\n"),
    VANT_FASTCALL_ENTRY("set_kernel", settings_set_kernel, "set_kernel($self, k)\n--\n\n"),
    VANT_NOARGS_ENTRY("get_precision", settings_get_precision, "get_precision($self)\n--\n\n"),
    VANT_NOARGS_ENTRY("get_kernel", settings_get_kernel, "get_kernel($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(settings_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(settings_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("VantBLAS(precision=\"fp16\", kernel=\"auto\")\n--\n\nVantBLAS class")},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.VantBLAS", sizeof(SettingsObject), 0, kClassFlags, kSlots};

}  // namespace

PyObject* settings_type() noexcept {
    static PyObject* type = nullptr;
    return bare_type(type, kSpec);
}

}  // namespace vant::py

// The choice of CPU arithmetic: "exact" (the default) or the opt-in "fused".
#include <string>

#include "binding.hpp"
#include "cpu/cpu_ops.hpp"
#include "functions.hpp"
#include "guard.hpp"

namespace vant::py {

VANT_FASTCALL(fn_set_cpu_arithmetic) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"set_cpu_arithmetic()", {"name"}, 1, 1};
        Args bound;
        std::string name;
        if (!bind(sig, args, nargs, kwnames, bound) || !to_text(bound[0], "name", name)) return nullptr;
        cpu::Arithmetic a;
        if (!cpu::parse_arithmetic(name, a)) {
            PyErr_Format(PyExc_ValueError, "unknown CPU arithmetic %R: expected \"exact\" or \"fused\"", bound[0]);
            return nullptr;
        }
        cpu::set_arithmetic(a);
        Py_RETURN_NONE;
    });
}

VANT_NOARGS(fn_get_cpu_arithmetic) {
    return guarded([&]() -> PyObject* { return PyUnicode_FromString(cpu::arithmetic_name(cpu::arithmetic())); });
}

}  // namespace vant::py

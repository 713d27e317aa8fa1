// Thread control of the CPU operations: set_num_threads and get_num_threads.
#include <string>

#include "binding.hpp"
#include "cpu/thread_pool.hpp"
#include "functions.hpp"
#include "guard.hpp"

namespace vant::py {

VANT_FASTCALL(fn_set_num_threads) {
    return guarded([&]() -> PyObject* {
        const Signature sig{"set_num_threads()", {"n"}, 1, 1};
        Args bound;
        if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
        PyRef index = PyRef::steal(PyNumber_Index(bound[0]));
        if (!index) {
            prefix_conversion_error("n");
            return nullptr;
        }
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (n == -1 && PyErr_Occurred()) return nullptr;
        if (overflow != 0 || n < 1 || !cpu::set_thread_count(static_cast<uint64_t>(n))) {
            PyRef text = PyRef::steal(PyObject_Str(index.get()));
            if (!text) return nullptr;
            PyErr_Format(PyExc_ValueError, "set_num_threads() expects a thread count from 1 to %u, got %U",
                         cpu::kMaxThreads, text.get());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

VANT_NOARGS(fn_get_num_threads) {
    return guarded([&]() -> PyObject* { return PyLong_FromUnsignedLong(cpu::worker_budget()); });
}

}  // namespace vant::py

// The entry guard: an internal fault (an index outside an array, a broken invariant) never leaves
// the extension as a C++ exception. It becomes PanicException (derived directly from
// BaseException, so `except Exception` does not swallow it), and its text also goes to standard
// error. No partial result is returned.
#pragma once

#include <new>
#include <stdexcept>

#include "common/panic.hpp"
#include "pyref.hpp"

namespace vant::py {

// The PanicException class, created on first use and kept for the process.
PyObject* panic_exception_type() noexcept;
// Sets PanicException with the text (replacing any pending error) and reports it on stderr.
void raise_panic(const char* text) noexcept;

template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const Panic& p) {
        raise_panic(p.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("internal fault");
    }
    return {};
}

}  // namespace vant::py

#include "interrupt.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace vant::py {

namespace {

std::atomic<bool> g_exiting{false};
std::atomic<int> g_taking_back{0};  // threads inside PyEval_RestoreThread

// The atexit hook: from now on threads other than the main one wait instead of taking the lock
// back; those already taking it back get it (before the interpreter finalizes) and go on.
PyObject* exit_hook(PyObject*, PyObject*) noexcept {
    g_exiting.store(true);
    Py_BEGIN_ALLOW_THREADS
    while (g_taking_back.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef g_exit_hook_def = {"_vantblas_exit", exit_hook, METH_NOARGS, nullptr};

// Registers the hook once per process, on the first release of the lock (the lock is held).
void watch_exit() noexcept {
    static bool registered = false;
    if (registered) return;
    registered = true;
#if !defined(_WIN32)
    // A child has only the forking thread: nobody else is taking the lock back there.
    pthread_atfork(nullptr, nullptr, [] { g_taking_back.store(0); });
#endif
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    PyRef hook = PyRef::steal(PyCFunction_New(&g_exit_hook_def, nullptr));
    PyRef done = PyRef::steal(atexit && hook ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
    PyErr_Clear();  // without the hook, threads behave as the interpreter makes them
    PyErr_Restore(type, value, tb);
}

}  // namespace

HandOver::HandOver() noexcept : main_(_PyOS_IsMainThread() != 0), state_(nullptr) {
    watch_exit();
    state_ = PyEval_SaveThread();
}

void HandOver::take_back(std::recursive_mutex* drop) noexcept {
    g_taking_back.fetch_add(1);
    if (g_exiting.load() && !main_) {
        g_taking_back.fetch_sub(1);
        if (drop) drop->unlock();
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    PyEval_RestoreThread(state_);
    g_taking_back.fetch_sub(1);
}

bool SignalCheck::should_stop(void* self) noexcept {
    auto* check = static_cast<SignalCheck*>(self);
    if (check->released_) check->released_->take_back();
    bool stop = PyErr_CheckSignals() != 0;
    for (int i = 0; i < check->count_ && !stop; ++i) {
        const bool same = check->mats_[i] ? still_as_extracted(*check->mats_[i])
                                          : still_as_extracted(*check->tens_[i]);
        if (!same) {
            PyErr_SetString(PyExc_RuntimeError, "an argument array was changed while the operation ran");
            stop = true;
        }
    }
    if (check->released_) *check->released_ = HandOver();
    return stop;
}

bool SignalCheck::stopped() noexcept {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError,
                        "the process was forked while the operation ran and it cannot be finished here");
    return false;
}

}  // namespace vant::py

#include "interrupt.hpp"

namespace vant::py {

bool SignalCheck::should_stop(void* self) noexcept {
    auto* check = static_cast<SignalCheck*>(self);
    if (check->released_) PyEval_RestoreThread(check->released_);
    bool stop = PyErr_CheckSignals() != 0;
    for (int i = 0; i < check->count_ && !stop; ++i) {
        const bool same = check->mats_[i] ? still_as_extracted(*check->mats_[i])
                                          : still_as_extracted(*check->tens_[i]);
        if (!same) {
            PyErr_SetString(PyExc_RuntimeError, "an argument array was changed while the operation ran");
            stop = true;
        }
    }
    if (check->released_) check->released_ = PyEval_SaveThread();
    return stop;
}

bool SignalCheck::stopped() noexcept {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError,
                        "the process was forked while the operation ran and it cannot be finished here");
    return false;
}

}  // namespace vant::py

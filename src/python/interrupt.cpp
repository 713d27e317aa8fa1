#include "interrupt.hpp"

namespace vant::py {

bool SignalCheck::should_stop(void* self) noexcept {
    if (PyErr_CheckSignals() != 0) return true;
    const auto* check = static_cast<const SignalCheck*>(self);
    for (int i = 0; i < check->count_; ++i) {
        const bool same = check->mats_[i] ? still_as_extracted(*check->mats_[i])
                                          : still_as_extracted(*check->tens_[i]);
        if (!same) {
            PyErr_SetString(PyExc_RuntimeError, "an argument array was changed while the operation ran");
            return true;
        }
    }
    return false;
}

}  // namespace vant::py

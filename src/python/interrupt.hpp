// The stop check handed to the CPU operations: long products stay interruptible although the
// interpreter lock is held throughout. Between blocks of work (about every 50 ms, with the worker
// threads paused) the calling thread runs the interpreter's pending signal handlers; when one
// raises (KeyboardInterrupt for Ctrl-C), the operation stops and its caller returns null with
// that exception set, discarding the incomplete result.
//
// A handler that returns normally may still have run arbitrary Python code: an argument array
// whose data, extents or strides differ afterwards stops the call too, with RuntimeError, before
// its old memory is read again.
#pragma once

#include "arrays.hpp"
#include "cpu/cpu_ops.hpp"

namespace vant::py {

class SignalCheck {
public:
    template <class... A>
    explicit SignalCheck(const A&... args) noexcept : count_(0) {
        (add(args), ...);
    }
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;
    const cpu::StopCheck* get() noexcept {
        check_ = cpu::StopCheck{&SignalCheck::should_stop, this};
        return &check_;
    }

private:
    static constexpr int kMax = 4;
    void add(const MatrixArg& a) noexcept { mats_[count_++] = &a; }
    void add(const Tensor3Arg& a) noexcept { tens_[count_++] = &a; }
    static bool should_stop(void* self) noexcept;

    const MatrixArg* mats_[kMax] = {};
    const Tensor3Arg* tens_[kMax] = {};
    int count_;
    cpu::StopCheck check_{};
};

}  // namespace vant::py

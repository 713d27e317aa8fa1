// The stop check handed to the CPU operations, and the release of the interpreter lock around
// long work.
//
// Long CPU calls run without the interpreter lock (other Python threads go on meanwhile) and stay
// interruptible: between blocks of work, about every 50 ms, with the worker threads paused, the
// calling thread takes the lock back and runs the interpreter's pending signal handlers. When one
// raises (KeyboardInterrupt for Ctrl-C), the operation stops and its caller returns null with
// that exception set, discarding the incomplete result.
//
// A handler that returns normally may still have run arbitrary Python code: an argument array
// whose data, extents or strides differ afterwards stops the call too, with RuntimeError, before
// its old memory is read again.
#pragma once

#include <cstdint>

#include "arrays.hpp"
#include "cpu/cpu_ops.hpp"

namespace vant::py {

// Releases the interpreter lock for its lifetime (the calling thread must hold it).
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// Calls with less work than this (multiply-adds or elements) keep the interpreter lock: handing
// it over costs more than they take.
inline constexpr double kUnlockedWork = double(1 << 20);

class SignalCheck {
public:
    template <class... A>
    explicit SignalCheck(const A&... args) noexcept : count_(0) {
        (add(args), ...);
    }
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    // Runs op(stop check) (a CPU operation returning false when stopped), without the interpreter
    // lock when `work` is at least kUnlockedWork. False with a Python error set when it stopped;
    // the error is RuntimeError when the process was forked under the call and the child cannot
    // finish it.
    template <class Op>
    bool run(double work, Op&& op) {
        check_ = cpu::StopCheck{&SignalCheck::should_stop, this};
        bool done;
        if (work < kUnlockedWork) {
            done = op(&check_);
        } else {
            Released released(*this);
            done = op(&check_);
        }
        return done || stopped();
    }

private:
    static constexpr int kMax = 4;
    // The interpreter lock released for the lifetime; the check takes it back while it runs.
    class Released {
    public:
        explicit Released(SignalCheck& c) noexcept : c_(c) { c_.released_ = PyEval_SaveThread(); }
        ~Released() {
            PyEval_RestoreThread(c_.released_);
            c_.released_ = nullptr;
        }
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;

    private:
        SignalCheck& c_;
    };

    void add(const MatrixArg& a) noexcept { mats_[count_++] = &a; }
    void add(const Tensor3Arg& a) noexcept { tens_[count_++] = &a; }
    static bool should_stop(void* self) noexcept;
    // After a stopped call: false, with RuntimeError set unless the check set an error.
    static bool stopped() noexcept;

    const MatrixArg* mats_[kMax] = {};
    const Tensor3Arg* tens_[kMax] = {};
    int count_;
    PyThreadState* released_ = nullptr;
    cpu::StopCheck check_{};
};

}  // namespace vant::py

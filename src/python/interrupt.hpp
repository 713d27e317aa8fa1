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
#include <mutex>

#include "arrays.hpp"
#include "cpu/cpu_ops.hpp"

namespace vant::py {

// The interpreter lock let go by the calling thread, and taken back. While the interpreter
// finalizes, taking it back ends every thread but the finalizing one inside the interpreter, by an
// unwind that no C++ frame of ours may see (it would terminate the process). So once the exit has
// begun (an atexit hook of ours, which runs before finalization and lets every thread already
// taking the lock back finish doing so), threads other than the main one let go of `drop` (when
// given) and wait here until the process ends instead.
class HandOver {
public:
    HandOver() noexcept;  // lets the lock go
    void take_back(std::recursive_mutex* drop = nullptr) noexcept;

private:
    bool main_;
    PyThreadState* state_;
};

// Releases the interpreter lock for its lifetime (the calling thread must hold it).
class Unlocked {
public:
    Unlocked() noexcept = default;
    ~Unlocked() { lock_.take_back(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    HandOver lock_;
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
        explicit Released(SignalCheck& c) noexcept : c_(c) { c_.released_ = &lock_; }
        ~Released() {
            lock_.take_back();
            c_.released_ = nullptr;
        }
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;

    private:
        SignalCheck& c_;
        HandOver lock_;
    };

    void add(const MatrixArg& a) noexcept { mats_[count_++] = &a; }
    void add(const Tensor3Arg& a) noexcept { tens_[count_++] = &a; }
    static bool should_stop(void* self) noexcept;
    // After a stopped call: false, with RuntimeError set unless the check set an error.
    static bool stopped() noexcept;

    const MatrixArg* mats_[kMax] = {};
    const Tensor3Arg* tens_[kMax] = {};
    int count_;
    HandOver* released_ = nullptr;  // while the call runs without the interpreter lock
    cpu::StopCheck check_{};
};

}  // namespace vant::py

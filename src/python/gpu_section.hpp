// One thread at a time uses the GPU state of the process (the core and its stream, the kernel
// set, the device memory pool, the staging lease, the buffers of resident objects): every entry
// point that touches it runs inside a GpuSection. A thread never waits for the section while it
// holds the interpreter lock (it lets the lock go first), and a section that ran without the
// interpreter lock ends before the lock is taken back, so neither lock is ever waited for while
// the other is held in the opposite order. Reentrant on one thread: Python code run inside a
// section (a destructor, say) may free device memory.
#pragma once

#include <mutex>

#include "interrupt.hpp"

namespace vant::py {

class GpuSection {
public:
    GpuSection() noexcept;
    ~GpuSection() { end(); }
    GpuSection(const GpuSection&) = delete;
    GpuSection& operator=(const GpuSection&) = delete;

    // Runs step() without the interpreter lock, inside the section.
    template <class Step>
    auto unlocked(Step&& step) {
        struct Back {
            GpuSection& section;
            HandOver lock;
            ~Back() { lock.take_back(section.mu_); }
        } back{*this, HandOver()};
        return step();
    }

    // Runs step() without the interpreter lock and ends the section with it; the lock is taken
    // back afterwards.
    template <class Step>
    auto finish_unlocked(Step&& step) {
        struct Ending {
            GpuSection& section;
            HandOver lock;
            ~Ending() {
                section.end();
                lock.take_back();
            }
        } ending{*this, HandOver()};
        return step();
    }

private:
    void end() noexcept {
        if (mu_) std::exchange(mu_, nullptr)->unlock();
    }
    std::recursive_mutex* mu_;
};

}  // namespace vant::py

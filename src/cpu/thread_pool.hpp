// Worker threads for the CPU paths. Work is split into independent tasks whose results do not
// depend on which thread runs them, so the thread count never changes a result.
//
// The pool is created on first use with one thread per CPU the process may run on (its affinity;
// nothing is read from the environment), and re-created in a child after fork. The calling
// thread takes part in every job, keeps the interpreter lock, and returns only when all tasks
// are done. Workers run with the caller's floating-point control state (rounding, denormals).
#pragma once

#include <chrono>
#include <cstddef>

#include "cpu/cpu_ops.hpp"

namespace vant::cpu {

// Thrown out of run_tasks on the calling thread when the call's stop check asked to stop; the
// public operations turn it into their false result.
struct Stopped {};

// Makes `stop` the stop check of the calling thread for its lifetime (null: none). Only this
// thread asks it, about every 50 ms: between its own tasks, with every worker paused between two
// tasks while the check runs, and between the tasks of a loop it runs alone. Scopes nest (a
// check may run Python code that calls another operation); each restores the one before it.
class StopScope {
public:
    explicit StopScope(const StopCheck* stop) noexcept;
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

    bool due() const noexcept { return std::chrono::steady_clock::now() >= due_; }
    // Runs the check and schedules the next one; true to stop.
    bool ask();

private:
    const StopCheck* check_;
    std::chrono::steady_clock::time_point due_;
    StopScope* saved_;
};

// Operations running on this thread, one inside another (0 on worker threads and outside any).
unsigned call_depth() noexcept;

// Runs body() under the stop check: true when it completed, false when the check stopped it.
template <class F>
bool run_stoppable(const StopCheck* stop, F&& body) {
    StopScope scope(stop);
    try {
        body();
    } catch (const Stopped&) {
        return false;
    }
    return true;
}

// Threads a call may use (the caller included); honours the test override.
unsigned worker_budget();

// Runs task(i) for every i < n on up to `threads` threads (the caller included). An exception
// thrown by a task stops the remaining tasks and is rethrown here. Calls from inside a task run
// inline. Throws Stopped when the calling thread's stop check asks to stop.
void run_tasks(size_t n, unsigned threads, void (*task)(void* ctx, size_t i), void* ctx);

template <class F>
void parallel_for(size_t n, unsigned threads, F&& f) {
    auto tramp = [](void* ctx, size_t i) { (*static_cast<F*>(ctx))(i); };
    run_tasks(n, threads, tramp, const_cast<void*>(static_cast<const void*>(&f)));
}

// Test hook storage (see cpu_ops.hpp testing::force_threads).
void set_thread_override(unsigned n);

}  // namespace vant::cpu

// Worker threads for the CPU paths. Work is split into independent tasks whose results do not
// depend on which thread runs them, so the thread count never changes a result.
//
// The pool is created on first use and re-created in a child after fork. Its size is the count
// set at run time (set_thread_count), else VANTBLAS_NUM_THREADS, else OMP_NUM_THREADS, else the
// number of CPUs the process may run on (its affinity). The calling thread takes part in every
// job and returns only when all tasks are done. Workers run with the caller's floating-point
// control state (rounding, denormals).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "cpu/cpu_ops.hpp"

namespace vant::cpu {

// Thrown out of run_tasks on the calling thread when the call's stop check asked to stop; the
// public operations turn it into their false result.
struct Stopped {};
// Thrown out of run_tasks in a child process that was forked while the job ran (by a handler the
// stop check ran) when a worker of the parent was inside a task: that task cannot be finished
// here. Jobs whose workers were all between tasks are finished by the calling thread alone.
struct ForkedAway {};

// Makes `stop` the stop check of the calling thread for its lifetime (null: none). Only this
// thread asks it, about every 50 ms: between its own tasks or at a stop_point inside one, with
// every worker paused (between two tasks or at a stop_point) while the check runs, and between
// the tasks of a loop it runs alone. A stop is recorded before the workers resume, so none reads
// an argument again afterwards. Scopes nest (a check may run Python code that calls another
// operation); each restores the one before it, and while a check runs no outer check is
// installed: an operation started by the check runs under its own check or none.
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

// A point inside a long task where the calling thread may run its stop check and a worker
// pauses while it runs. Throws Stopped once the call was stopped (or another task failed): the
// task must leave off at once. Costs a few loads; call it every few thousand elements.
void stop_point();

// Operations running on this thread, one inside another (0 on worker threads and outside any).
unsigned call_depth() noexcept;

// Runs body() under the stop check: true when it completed, false when the check stopped it (or
// the process was forked under it, see ForkedAway: then no Python error is set).
template <class F>
bool run_stoppable(const StopCheck* stop, F&& body) {
    StopScope scope(stop);
    try {
        body();
    } catch (const Stopped&) {
        return false;
    } catch (const ForkedAway&) {
        return false;
    }
    return true;
}

// Threads a call may use (the caller included); honours the test override.
unsigned worker_budget();

// The largest count set_thread_count accepts.
inline constexpr unsigned kMaxThreads = 1024;
// Sets the threads every later call uses (1..kMaxThreads); false (no change) otherwise.
bool set_thread_count(uint64_t n) noexcept;


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

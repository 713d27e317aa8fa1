#include "cpu/thread_pool.hpp"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <xmmintrin.h>
#define VANT_CPU_HAS_MXCSR 1
#else
#include <cfenv>
#endif

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#endif

namespace vant::cpu {
namespace {

// The floating-point control state a job runs under: the caller's, so that a worker never
// computes a value the calling thread would not (flush-to-zero set by some other library, say).
struct FpState {
#if VANT_CPU_HAS_MXCSR
    unsigned csr;
    static FpState current() { return FpState{_mm_getcsr()}; }
    void apply() const { _mm_setcsr(csr); }
#else
    std::fenv_t env;
    static FpState current() {
        FpState s;
        std::fegetenv(&s.env);
        return s;
    }
    void apply() const { std::fesetenv(&env); }
#endif
};

struct Job {
    void (*task)(void*, size_t);
    void* ctx;
    size_t n;
    FpState fp;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mu;
    std::exception_ptr error;
};

thread_local bool t_in_task = false;

void execute(Job& job) {
    FpState saved = FpState::current();
    job.fp.apply();
    t_in_task = true;
    for (;;) {
        size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.n || job.failed.load(std::memory_order_relaxed)) break;
        try {
            job.task(job.ctx, i);
        } catch (...) {
            std::lock_guard<std::mutex> lk(job.error_mu);
            if (!job.error) job.error = std::current_exception();
            job.failed.store(true, std::memory_order_relaxed);
        }
    }
    t_in_task = false;
    saved.apply();
}

class Pool {
public:
    void run(Job& job, unsigned threads) {
        std::unique_lock<std::mutex> one_job(run_mu_, std::try_to_lock);
        if (!one_job.owns_lock()) {  // another thread's job is running: do this one alone
            execute(job);
            return;
        }
        {
            std::lock_guard<std::mutex> lk(mu_);
            unsigned want = threads - 1;
            while (workers_.size() < want) {
                unsigned idx = static_cast<unsigned>(workers_.size());
                try {
                    workers_.emplace_back([this, idx] { loop(idx); });
                } catch (...) {  // no more threads to be had: run with those there are
                    break;
                }
            }
            job_ = &job;
            allowed_ = want < workers_.size() ? want : static_cast<unsigned>(workers_.size());
            ++generation_;
        }
        work_cv_.notify_all();
        execute(job);
        std::unique_lock<std::mutex> lk(mu_);
        job_ = nullptr;  // latecomers find nothing to join
        done_cv_.wait(lk, [this] { return active_ == 0; });
    }

private:
    void loop(unsigned idx) {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> lk(mu_);
        for (;;) {
            work_cv_.wait(lk, [&] { return generation_ != seen; });
            seen = generation_;
            if (!job_ || idx >= allowed_) continue;
            Job* job = job_;
            ++active_;
            lk.unlock();
            execute(*job);
            lk.lock();
            if (--active_ == 0) done_cv_.notify_all();
        }
    }

    std::mutex run_mu_;
    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::vector<std::thread> workers_;
    Job* job_ = nullptr;
    unsigned allowed_ = 0;
    unsigned active_ = 0;
    uint64_t generation_ = 0;
};

// Never destroyed: worker threads stay parked until the process ends. After fork the child has
// only the forking thread, so it drops the parent's pool (its threads do not exist there) and
// builds its own on next use; it also counts its CPUs again.
std::atomic<Pool*> g_pool{nullptr};
std::atomic<unsigned> g_cpus{0};  // cpus_available(), asked once per process; 0 until then
std::atomic<unsigned> g_thread_override{0};

void watch_fork() {
#if !defined(_WIN32)
    static std::once_flag atfork_once;
    std::call_once(atfork_once, [] {
        pthread_atfork(nullptr, nullptr, [] {
            g_pool.store(nullptr, std::memory_order_relaxed);
            g_cpus.store(0, std::memory_order_relaxed);
        });
    });
#endif
}

Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    watch_fork();
    Pool* fresh = new Pool();
    Pool* expected = nullptr;
    if (g_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread won; ours has started no threads
    return *expected;
}

unsigned cpus_available() {
#if defined(_WIN32)
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask) {
        unsigned n = 0;
        for (; process_mask; process_mask &= process_mask - 1) ++n;
        return n;
    }
#elif defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

}  // namespace

unsigned worker_budget() {
    unsigned forced = g_thread_override.load(std::memory_order_relaxed);
    if (forced) return forced;
    unsigned n = g_cpus.load(std::memory_order_relaxed);
    if (!n) {
        watch_fork();
        n = cpus_available();
        g_cpus.store(n, std::memory_order_relaxed);
    }
    return n > 256 ? 256 : n;
}

void set_thread_override(unsigned n) { g_thread_override.store(n, std::memory_order_relaxed); }

void run_tasks(size_t n, unsigned threads, void (*task)(void* ctx, size_t i), void* ctx) {
    if (n == 0) return;
    if (threads > n) threads = static_cast<unsigned>(n);
    if (threads <= 1 || t_in_task) {
        for (size_t i = 0; i < n; ++i) task(ctx, i);
        return;
    }
    Job job;
    job.task = task;
    job.ctx = ctx;
    job.n = n;
    job.fp = FpState::current();
    pool().run(job, threads);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace vant::cpu

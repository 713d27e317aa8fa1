#include "cpu/thread_pool.hpp"

#include "common/env_number.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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

constexpr std::chrono::milliseconds kStopInterval{50};

// Bumped in a child process after fork: a job that started before it belongs to the parent,
// whose worker threads do not exist in the child.
std::atomic<unsigned> g_fork_epoch{0};

struct Job;

// Where a stop_point on this thread leads: the job whose task it runs (as its caller or as a
// worker), or the check of a loop it runs alone.
struct Point {
    Job* job = nullptr;
    bool caller = false;
    StopScope* check = nullptr;
};

// The stop check of the call running on this thread (null: none), and how many operations
// run on it one inside another.
thread_local StopScope* t_poller = nullptr;
thread_local unsigned t_depth = 0;
thread_local bool t_in_task = false;
thread_local Point t_point;

// Restores the thread's stop state on every way out of a scope.
class KeepPoint {
public:
    KeepPoint() noexcept : point_(t_point), poller_(t_poller), in_task_(t_in_task) {}
    ~KeepPoint() {
        t_point = point_;
        t_poller = poller_;
        t_in_task = in_task_;
    }
    KeepPoint(const KeepPoint&) = delete;
    KeepPoint& operator=(const KeepPoint&) = delete;

private:
    Point point_;
    StopScope* poller_;
    bool in_task_;
};

struct Job {
    void (*task)(void*, size_t);
    void* ctx;
    size_t n;
    FpState fp;
    unsigned epoch = 0;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mu;
    std::exception_ptr error;
    // Pausing the workers while the caller's stop check runs: a worker counts itself in `busy`
    // before it looks at `hold` and takes a task, and leaves `busy` only between tasks or while
    // it waits at a stop_point (counted in `parked`). Once the caller has set `hold` and seen
    // `busy` at zero, no worker computes until `hold` is cleared.
    std::atomic<bool> hold{false};
    std::atomic<unsigned> busy{0};
    std::atomic<unsigned> parked{0};
    std::mutex hold_mu;
    // Left undestroyed in a child forked under the job: the parent's workers wait on it there,
    // and destroying a condition variable waits for its waiters to leave.
    std::condition_variable* hold_cv = new std::condition_variable;

    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job() {
        if (!forked_away()) delete hold_cv;
    }

    void record(std::exception_ptr e) {
        std::lock_guard<std::mutex> lk(error_mu);
        if (!error) error = std::move(e);
        failed.store(true, std::memory_order_release);
    }
    bool forked_away() const noexcept { return g_fork_epoch.load(std::memory_order_relaxed) != epoch; }
};

// The caller's stop check, run with every worker of the job paused. A stop is recorded before
// the workers are let go, so each sees it before it reads anything again.
bool ask_with_workers_paused(Job& job, StopScope& poller) {
    job.hold.store(true);
    while (job.busy.load() != 0 && !job.forked_away()) std::this_thread::yield();
    bool stop = true;
    try {
        stop = poller.ask();
    } catch (...) {
        job.record(std::current_exception());
    }
    if (job.forked_away()) {
        // A handler forked and this is the child: the parent's workers are not here. Tasks they
        // had left half done cannot be finished; otherwise this thread finishes the job alone.
        // `busy` may hold a count a worker made just before the fork, on its way to wait.
        if (job.parked.load() != 0) {
            job.record(std::make_exception_ptr(ForkedAway{}));
            stop = true;
        }
        job.busy.store(0);
        job.hold.store(false);
        return stop;
    }
    if (stop) job.record(std::make_exception_ptr(Stopped{}));
    {
        std::lock_guard<std::mutex> lk(job.hold_mu);
        job.hold.store(false);
    }
    job.hold_cv->notify_all();
    return stop;
}

void wait_while_held(Job& job) {
    std::unique_lock<std::mutex> lk(job.hold_mu);
    job.hold_cv->wait(lk, [&] { return !job.hold.load(); });
}

void execute(Job& job, bool caller) {
    FpState saved = FpState::current();
    job.fp.apply();
    KeepPoint keep;
    StopScope* poller = caller ? t_poller : nullptr;
    t_in_task = true;
    t_point = Point{&job, caller, poller};
    for (;;) {
        if (!caller) {
            job.busy.fetch_add(1);
            if (job.hold.load()) {
                job.busy.fetch_sub(1);
                wait_while_held(job);
                continue;
            }
        }
        size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i < job.n && !job.failed.load(std::memory_order_acquire)) {
            try {
                job.task(job.ctx, i);
            } catch (...) {
                job.record(std::current_exception());
            }
        } else {
            i = job.n;
        }
        if (!caller) job.busy.fetch_sub(1);
        if (i >= job.n) break;
        if (poller && poller->due() && ask_with_workers_paused(job, *poller)) break;
    }
    saved.apply();
}

class Pool {
public:
    void run(Job& job, unsigned threads) {
        std::unique_lock<std::mutex> one_job(run_mu_, std::try_to_lock);
        if (!one_job.owns_lock()) {  // another thread's job is running: do this one alone
            execute(job, true);
            return;
        }
        bool wake;
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
            generation_.fetch_add(1, std::memory_order_release);
            wake = sleepers_ > 0;
        }
        if (wake) work_cv_.notify_all();
        execute(job, true);
        if (job.forked_away()) {
            // A child forked under the job: the workers and this pool are the parent's (the
            // child builds its own), and none of their locks may be touched here.
            one_job.release();
            return;
        }
        {
            std::lock_guard<std::mutex> lk(mu_);
            job_ = nullptr;  // latecomers find nothing to join
        }
        // The workers that joined are finishing their last task: wait for them, briefly by
        // spinning, then asleep.
        if (spin_until([this] { return active_.load(std::memory_order_acquire) == 0; }, kCallerSpin)) return;
        std::unique_lock<std::mutex> lk(mu_);
        done_cv_.wait(lk, [this] { return active_.load(std::memory_order_acquire) == 0; });
    }

private:
    // How long a thread keeps polling before it blocks: the jobs of one call follow each other
    // closely, and waking a sleeping thread costs more than a job of a small product.
    static constexpr std::chrono::microseconds kWorkerSpin{200};
    static constexpr std::chrono::microseconds kCallerSpin{2000};

    template <class Pred>
    static bool spin_until(Pred&& done, std::chrono::microseconds budget) {
        const auto until = std::chrono::steady_clock::now() + budget;
        for (unsigned i = 1;; ++i) {
            if (done()) return true;
#if VANT_CPU_HAS_MXCSR
            _mm_pause();
#else
            std::this_thread::yield();
#endif
            if ((i & 63) == 0 && std::chrono::steady_clock::now() >= until) return done();
        }
    }

    void loop(unsigned idx) {
        uint64_t seen = 0;
        for (;;) {
            spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; }, kWorkerSpin);
            std::unique_lock<std::mutex> lk(mu_);
            if (generation_.load(std::memory_order_relaxed) == seen) {
                ++sleepers_;
                work_cv_.wait(lk, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
                --sleepers_;
            }
            seen = generation_.load(std::memory_order_relaxed);
            if (!job_ || idx >= allowed_) continue;
            Job* job = job_;
            active_.fetch_add(1, std::memory_order_relaxed);
            lk.unlock();
            execute(*job, false);
            if (active_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> done(mu_);
                done_cv_.notify_all();
            }
        }
    }

    std::mutex run_mu_;
    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::vector<std::thread> workers_;
    Job* job_ = nullptr;               // under mu_
    unsigned allowed_ = 0;             // under mu_
    unsigned sleepers_ = 0;            // under mu_
    std::atomic<unsigned> active_{0};  // workers inside a job
    std::atomic<uint64_t> generation_{0};  // written under mu_
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
            g_fork_epoch.fetch_add(1, std::memory_order_relaxed);
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

// The count a variable of the environment asks for, or 0 (absent, empty, or refused with one
// warning line). OpenMP's list form ("4,2": one count per nesting level) gives its first count.
unsigned env_threads(const char* name, bool list_form) {
    const char* text = std::getenv(name);
    if (!text || !*text) return 0;
    std::string_view value(text);
    if (list_form) value = value.substr(0, value.find(','));
    const std::optional<uint64_t> n = parse_decimal(value);
    if (n && *n >= 1 && *n <= kMaxThreads) return static_cast<unsigned>(*n);
    try {
        std::string line = "[VantBLAS] Warning: ignoring ";
        line += name;
        line += "='";
        line += text;
        line += "': expected a thread count from 1 to " + std::to_string(kMaxThreads) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
    }
    return 0;
}

// The count from the environment, read once per process (0: none given).
unsigned env_thread_count() {
    static const unsigned n = [] {
        const unsigned own = env_threads("VANTBLAS_NUM_THREADS", false);
        return own ? own : env_threads("OMP_NUM_THREADS", true);
    }();
    return n;
}

std::atomic<unsigned> g_thread_setting{0};  // set_thread_count; 0 until called

}  // namespace

unsigned worker_budget() {
    unsigned forced = g_thread_override.load(std::memory_order_relaxed);
    if (forced) return forced;
    if (unsigned set = g_thread_setting.load(std::memory_order_relaxed)) return set;
    if (unsigned env = env_thread_count()) return env;
    unsigned n = g_cpus.load(std::memory_order_relaxed);
    if (!n) {
        watch_fork();
        n = cpus_available();
        g_cpus.store(n, std::memory_order_relaxed);
    }
    return n > 256 ? 256 : n;
}

bool set_thread_count(uint64_t n) noexcept {
    if (n < 1 || n > kMaxThreads) return false;
    g_thread_setting.store(static_cast<unsigned>(n), std::memory_order_relaxed);
    return true;
}

void set_thread_override(unsigned n) { g_thread_override.store(n, std::memory_order_relaxed); }

StopScope::StopScope(const StopCheck* stop) noexcept
    : check_(stop), due_(std::chrono::steady_clock::now() + kStopInterval), saved_(t_poller) {
    t_poller = stop ? this : nullptr;
    ++t_depth;
}

StopScope::~StopScope() {
    t_poller = saved_;
    --t_depth;
}

unsigned call_depth() noexcept { return t_depth; }

bool StopScope::ask() {
    // The check may run Python code that starts another operation: that one runs under its own
    // check or none, never this one (it may hold a lock this check's handlers would need).
    KeepPoint keep;
    t_poller = nullptr;
    t_point = Point{};
    const bool stop = check_->should_stop(check_->ctx);
    due_ = std::chrono::steady_clock::now() + kStopInterval;
    return stop;
}

void stop_point() {
    const Point& p = t_point;
    if (Job* job = p.job) {
        if (p.caller) {
            if (p.check && p.check->due() && ask_with_workers_paused(*job, *p.check)) throw Stopped{};
        } else if (job->hold.load()) {
            job->parked.fetch_add(1);
            job->busy.fetch_sub(1);
            for (;;) {
                wait_while_held(*job);
                job->busy.fetch_add(1);
                if (!job->hold.load()) break;
                job->busy.fetch_sub(1);
            }
            job->parked.fetch_sub(1);
        }
        if (job->failed.load(std::memory_order_acquire)) throw Stopped{};
    } else if (p.check && p.check->due() && p.check->ask()) {
        throw Stopped{};
    }
}

void run_tasks(size_t n, unsigned threads, void (*task)(void* ctx, size_t i), void* ctx) {
    if (n == 0) return;
    if (threads > n) threads = static_cast<unsigned>(n);
    if (threads <= 1 || t_in_task) {
        // On this thread alone. Inside a task of a job its stop points stay those of the job (a
        // worker pauses at them, the caller may ask its check there); otherwise the check of
        // this thread is asked between any two tasks and at their stop points.
        KeepPoint keep;
        if (!t_in_task) t_point = Point{nullptr, false, t_poller};
        for (size_t i = 0; i < n; ++i) {
            task(ctx, i);
            stop_point();
        }
        return;
    }
    Job job;
    job.task = task;
    job.ctx = ctx;
    job.n = n;
    job.fp = FpState::current();
    job.epoch = g_fork_epoch.load(std::memory_order_relaxed);
    pool().run(job, threads);
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace vant::cpu

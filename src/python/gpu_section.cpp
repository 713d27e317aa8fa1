#include "gpu_section.hpp"

#include <utility>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace vant::py {
namespace {

// Replaced in a child after fork: a thread of the parent may have held it, and that thread does
// not exist in the child. The old one is left as it is (never destroyed).
std::recursive_mutex* g_gpu_mutex = nullptr;

std::recursive_mutex* gpu_mutex() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_gpu_mutex = new std::recursive_mutex;
#if !defined(_WIN32)
        pthread_atfork(nullptr, nullptr, [] { g_gpu_mutex = new std::recursive_mutex; });
#endif
    });
    return g_gpu_mutex;
}

}  // namespace

GpuSection::GpuSection() noexcept : mu_(gpu_mutex()) {
    if (mu_->try_lock()) return;
    HandOver released;  // its holder may need the interpreter lock to finish
    mu_->lock();
    released.take_back(mu_);
}

}  // namespace vant::py

// Lets the kernel sources compile as plain C++ as well, so that tests without a GPU can run the
// same kernel code on the CPU: each thread of a block becomes a host thread, blocks run one after
// another (so a function-local static stands in for block shared memory), barriers and warp
// shuffles go through std::barrier. Under nvcc this header only defines VANT_DYNAMIC_SHARED.
#pragma once

#ifdef __CUDACC__

#define VANT_DYNAMIC_SHARED(type, name) extern __shared__ type name[]

#else  // host emulation

#include <barrier>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#define __global__
#define __device__
#define __forceinline__ inline
#define __shared__ static

struct vant_dim3 {
    unsigned x = 1, y = 1, z = 1;
};

namespace vant_host {

struct Block {
    vant_dim3 grid, block, index;
    unsigned threads = 0;
    std::unique_ptr<std::barrier<>> barrier;
    std::vector<std::unique_ptr<std::barrier<>>> warp_barriers;
    std::vector<float> exchange;      // one slot per thread for shuffles
    std::vector<unsigned char> dynamic_shared;
    std::mutex atomics;
};

inline Block* current = nullptr;  // blocks run one at a time
inline thread_local vant_dim3 thread_index;
inline thread_local unsigned linear_thread = 0;

}  // namespace vant_host

#define threadIdx (::vant_host::thread_index)
#define blockIdx (::vant_host::current->index)
#define blockDim (::vant_host::current->block)
#define gridDim (::vant_host::current->grid)

#define VANT_DYNAMIC_SHARED(type, name) \
    type* const name = reinterpret_cast<type*>(::vant_host::current->dynamic_shared.data())

inline void __syncthreads() { vant_host::current->barrier->arrive_and_wait(); }

inline float __shfl_down_sync(unsigned, float v, int offset) {
    vant_host::Block& b = *vant_host::current;
    const unsigned t = vant_host::linear_thread;
    std::barrier<>& warp = *b.warp_barriers[t / 32];
    b.exchange[t] = v;
    warp.arrive_and_wait();
    const unsigned src = t + static_cast<unsigned>(offset);
    const float r = ((t % 32) + static_cast<unsigned>(offset) < 32 && src < b.threads) ? b.exchange[src] : v;
    warp.arrive_and_wait();
    return r;
}

template <class T>
inline T __ldg(const T* p) { return *p; }

inline float __int_as_float(int i) { float f; std::memcpy(&f, &i, 4); return f; }
inline int __float_as_int(float f) { int i; std::memcpy(&i, &f, 4); return i; }

inline int atomicMax(int* p, int v) {
    std::lock_guard<std::mutex> g(vant_host::current->atomics);
    const int old = *p;
    if (v > old) *p = v;
    return old;
}

inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a > b ? a : b; }
inline unsigned min(unsigned a, unsigned b) { return a < b ? a : b; }
inline unsigned max(unsigned a, unsigned b) { return a > b ? a : b; }

#endif

// Runs the CUDA C++ sources of kernels/gemm/src on the host, one OS thread per CUDA thread and one
// block at a time, so that the index arithmetic, staging, barriers and bounds of every kernel can
// be checked without a GPU (together with AddressSanitizer on exactly sized buffers).
// Included ahead of each kernel source (g++ -include).
#pragma once
#include <barrier>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

struct dim3 {
    unsigned x = 1, y = 1, z = 1;
};
struct alignas(16) float4 {
    float x, y, z, w;
};
struct alignas(8) uint2 {
    unsigned x, y;
};
struct alignas(16) uint4 {
    unsigned x, y, z, w;
};
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline uint4 make_uint4(unsigned x, unsigned y, unsigned z, unsigned w) { return {x, y, z, w}; }

inline thread_local dim3 threadIdx, blockIdx, blockDim, gridDim;
inline std::barrier<>* emu_block_barrier = nullptr;

inline void __syncthreads() { emu_block_barrier->arrive_and_wait(); }

// Round-to-nearest float32 arithmetic (the host's, built with -ffp-contract=off).
inline float __fadd_rn(float a, float b) { return a + b; }
inline float __fmul_rn(float a, float b) { return a * b; }

template <typename T>
inline T __ldg(const T* p) {
    assert(reinterpret_cast<uintptr_t>(p) % alignof(T) == 0 && "misaligned global read");
    return *p;
}

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
#define __shared__ static
#define __align__(n) __attribute__((aligned(n)))

// Runs kernel(args...) over the grid: one OS thread per thread of a block, the blocks one after
// another (each thread walks them in the same order and waits for the whole block at the end of
// each, since the static "shared" arrays are reused). Every kernel here reaches the same number of
// barriers in all threads of a block, which this relies on.
template <typename... P, typename... A>
void emu_launch(void (*kernel)(P...), dim3 grid, dim3 block, A... args) {
    const unsigned threads = block.x * block.y * block.z;
    std::barrier<> bar(threads);
    emu_block_barrier = &bar;
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            threadIdx = {t % block.x, (t / block.x) % block.y, t / (block.x * block.y)};
            blockDim = block;
            gridDim = grid;
            for (unsigned bz = 0; bz < grid.z; ++bz)
                for (unsigned by = 0; by < grid.y; ++by)
                    for (unsigned bx = 0; bx < grid.x; ++bx) {
                        blockIdx = {bx, by, bz};
                        kernel(static_cast<P>(args)...);
                        bar.arrive_and_wait();
                    }
        });
    for (auto& th : pool) th.join();
}

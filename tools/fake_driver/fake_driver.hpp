// Stand-in CUDA driver for tests: built as libcuda.so.1 and put first on the library search path
// of a child Python process. Device memory is host memory; launched kernels run on the CPU by
// entry name; every address a kernel touches is checked against the live allocations.
//
// Kernel executors live in exec_*.cpp files beside this header and register themselves with
// FAKE_KERNEL; the library is built from every .cpp file in this folder.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace fake {

// One kernel parameter as declared in the module's .entry line.
struct Param {
    std::string type;  // "u64", "u32", "s32", "f32", ...
    uint64_t bits = 0; // the value, zero-extended (f32 as its bit pattern)
    std::vector<uint8_t> bytes;  // a parameter wider than 8 bytes (a tensor map), whole

    uint64_t u64() const { return bits; }
    uint32_t u32() const { return static_cast<uint32_t>(bits); }
    int32_t s32() const { return static_cast<int32_t>(bits); }
    float f32() const { float f; uint32_t b = static_cast<uint32_t>(bits); std::memcpy(&f, &b, 4); return f; }
};

struct Launch {
    std::string kernel;            // entry name
    unsigned grid[3] = {1, 1, 1};
    unsigned block[3] = {1, 1, 1};
    unsigned shared_bytes = 0;
    unsigned cluster[3] = {1, 1, 1};  // cuLaunchKernelEx cluster dimensions
    std::vector<Param> params;
};

// Thrown by the accessors when a kernel would touch memory outside a live allocation; the launch
// then fails with CUDA_ERROR_ILLEGAL_ADDRESS (700) and the violation is counted.
struct BoundsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Checked views of device memory: `count` elements starting at device address `addr` must lie
// inside one live allocation.
float* dev_f32(uint64_t addr, uint64_t count);
uint16_t* dev_u16(uint64_t addr, uint64_t count);
uint8_t* dev_u8(uint64_t addr, uint64_t count);

// Refuses a launch (as an illegal access) whose parameter count is not the kernel's.
inline void require_params(const Launch& launch, size_t n) {
    if (launch.params.size() != n)
        throw BoundsError(launch.kernel + ": expected " + std::to_string(n) + " parameters, got " +
                          std::to_string(launch.params.size()));
}

// The driver's extended launch configuration (64-bit layout) and its cluster attribute.
struct LaunchAttribute {
    unsigned id, pad;
    unsigned cluster[3];  // value.clusterDim when id is 4
    unsigned char rest[52];
};
struct LaunchConfig {
    unsigned gridDimX, gridDimY, gridDimZ, blockDimX, blockDimY, blockDimZ, sharedMemBytes;
    void* hStream;
    const LaunchAttribute* attrs;
    unsigned numAttrs;
};
static_assert(sizeof(LaunchAttribute) == 72 && sizeof(LaunchConfig) == 56, "the driver's layouts");

using Executor = void (*)(const Launch&);
void register_executor(const char* kernel, Executor fn);

struct Registrar {
    Registrar(const char* kernel, Executor fn) { register_executor(kernel, fn); }
};

}  // namespace fake

// FAKE_KERNEL(vantblas_gemm_64x64) { ... uses `launch` ... }
#define FAKE_KERNEL(name)                                                   \
    static void fake_exec_##name(const ::fake::Launch& launch);            \
    static ::fake::Registrar fake_reg_##name(#name, &fake_exec_##name);    \
    static void fake_exec_##name([[maybe_unused]] const ::fake::Launch& launch)

// Hardware approximate instructions, spelled out so that the generated PTX uses exactly these
// instructions whatever the compiler's math flags are.
#pragma once

#include "host_compat.cuh"

#define VANT_LOG2E 1.442695f  // 0x3FB8AA3B

#ifdef __CUDACC__

__device__ __forceinline__ float vant_ex2_approx(float x) {
    float r;
    asm("ex2.approx.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

__device__ __forceinline__ float vant_ex2_approx_ftz(float x) {
    float r;
    asm("ex2.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

__device__ __forceinline__ float vant_rcp_approx(float x) {
    float r;
    asm("rcp.approx.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

__device__ __forceinline__ float vant_rcp_approx_ftz(float x) {
    float r;
    asm("rcp.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

__device__ __forceinline__ float vant_div_approx_ftz(float a, float b) {
    float r;
    asm("div.approx.ftz.f32 %0, %1, %2;" : "=f"(r) : "f"(a), "f"(b));
    return r;
}

__device__ __forceinline__ float vant_rsqrt_approx_ftz(float x) {
    float r;
    asm("rsqrt.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

__device__ __forceinline__ float vant_lg2_approx_ftz(float x) {
    float r;
    asm("lg2.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

__device__ __forceinline__ float vant_tanh_approx(float x) {
    float r;
    asm("tanh.approx.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

#else  // host emulation: the exact functions stand in for the approximate instructions

inline float vant_ex2_approx(float x) { return std::exp2(x); }
inline float vant_ex2_approx_ftz(float x) { return std::exp2(x); }
inline float vant_rcp_approx(float x) { return 1.0f / x; }
inline float vant_rcp_approx_ftz(float x) { return 1.0f / x; }
inline float vant_div_approx_ftz(float a, float b) { return a / b; }
inline float vant_rsqrt_approx_ftz(float x) { return 1.0f / std::sqrt(x); }
inline float vant_lg2_approx_ftz(float x) { return std::log2(x); }
inline float vant_tanh_approx(float x) { return std::tanh(x); }

#endif

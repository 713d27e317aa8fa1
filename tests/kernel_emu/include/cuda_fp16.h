// Host stand-in for the FP16 intrinsics the GEMM kernel sources use (see cuda_emu.hpp).
#pragma once
#include <cstdint>
#include <cstring>

struct __half {
    _Float16 v;
};
struct __half2 {
    __half x, y;
};

inline __half __float2half_rn(float f) { return __half{static_cast<_Float16>(f)}; }
inline float __half2float(__half h) { return static_cast<float>(h.v); }
inline __half2 __floats2half2_rn(float a, float b) { return __half2{__float2half_rn(a), __float2half_rn(b)}; }
inline __half2 __halves2half2(__half a, __half b) { return __half2{a, b}; }
inline __half __low2half(__half2 h) { return h.x; }
inline __half __high2half(__half2 h) { return h.y; }
inline __half __ushort_as_half(unsigned short u) {
    __half h;
    std::memcpy(&h, &u, 2);
    return h;
}

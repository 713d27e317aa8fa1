// Module gemm/convert.ptx (.version 7.0, .target sm_75)
//
// convert_f32_to_f16(out, in, n): out u64 address of n FP16 values, in u64 address of n float32
//   values, n u32. grid (ceil(n/256), 1, 1), block (256, 1, 1). Thread i = ctaid.x * ntid.x + tid.x
//   (32-bit) with i < n writes cvt.rn.f16.f32(in[i]) to out[i] (round to nearest even; 65520 and
//   above become infinities, NaN stays NaN), stored as its raw 16-bit pattern.
// convert_f16_to_f32(out, in, n): out float32, in FP16; exact widening, same geometry.
// convert_f32_to_f16_vec4(out, in, n): n a multiple of 4, in 16-byte aligned; thread i with
//   4i < n converts elements 4i .. 4i+3 with one 16-byte read and one 8-byte write.
//   grid (ceil(n/1024), 1, 1), block (256, 1, 1).
// Byte offsets are 64-bit.
#include "common.cuh"

extern "C" __global__ void __launch_bounds__(256)
convert_f32_to_f16(__half* __restrict__ out, const float* __restrict__ in, u32 n) {
    const u32 i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = __float2half_rn(ldg(in + i));
}

extern "C" __global__ void __launch_bounds__(256)
convert_f16_to_f32(float* __restrict__ out, const __half* __restrict__ in, u32 n) {
    const u32 i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = __half2float(in[i]);
}

extern "C" __global__ void __launch_bounds__(256)
convert_f32_to_f16_vec4(__half* __restrict__ out, const float* __restrict__ in, u32 n) {
    const u32 i = blockIdx.x * blockDim.x + threadIdx.x;
    const u64 first = (u64)i * 4u;
    if (first >= n) return;
    const float4 v = ldg4(in + first);
    __half2 lo = __floats2half2_rn(v.x, v.y);
    __half2 hi = __floats2half2_rn(v.z, v.w);
    uint2 packed;
    packed.x = *reinterpret_cast<u32*>(&lo);
    packed.y = *reinterpret_cast<u32*>(&hi);
    *reinterpret_cast<uint2*>(out + first) = packed;
}

// Warp-level tensor-core and asynchronous-copy primitives of the mma.sync kernels (sm_80 and
// later), as inline PTX. Shared addresses are 32-bit offsets in the shared window.
#pragma once

#include "common.cuh"

// 16 bytes from global src to shared dst, bypassing L1.
__device__ __forceinline__ void cp_async16(u32 dst, const void* src) {
    asm volatile("cp.async.cg.shared.global [%0], [%1], 16;\n" ::"r"(dst), "l"(src) : "memory");
}
// Zero-fills 16 bytes at dst (source size 0); nothing is read from src.
__device__ __forceinline__ void cp_async_zero16(u32 dst, const void* src) {
    asm volatile("cp.async.cg.shared.global [%0], [%1], 16, 0;\n" ::"r"(dst), "l"(src) : "memory");
}
// The copy of 16 bytes when `valid`, else the zero fill (from `fallback`, a mapped address).
__device__ __forceinline__ void cp_async16_or_zero(u32 dst, const void* src, const void* fallback, bool valid) {
    if (valid) cp_async16(dst, src);
    else cp_async_zero16(dst, fallback);
}
__device__ __forceinline__ void cp_async_commit() { asm volatile("cp.async.commit_group;\n" ::: "memory"); }
template <int N>
__device__ __forceinline__ void cp_async_wait() {
    asm volatile("cp.async.wait_group %0;\n" ::"n"(N) : "memory");
}

__device__ __forceinline__ void ldsm_x4(u32 (&r)[4], u32 addr) {
    asm volatile("ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%0, %1, %2, %3}, [%4];\n"
                 : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3])
                 : "r"(addr));
}
__device__ __forceinline__ void ldsm_x4_trans(u32 (&r)[4], u32 addr) {
    asm volatile("ldmatrix.sync.aligned.m8n8.x4.trans.shared.b16 {%0, %1, %2, %3}, [%4];\n"
                 : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3])
                 : "r"(addr));
}
// d += a x b for one m16n8k16 tile (FP16 products, float32 accumulation).
__device__ __forceinline__ void mma_16816(float (&d)[4], const u32 (&a)[4], u32 b0, u32 b1) {
    asm volatile(
        "mma.sync.aligned.m16n8k16.row.col.f32.f16.f16.f32 {%0, %1, %2, %3}, {%4, %5, %6, %7}, "
        "{%8, %9}, {%0, %1, %2, %3};\n"
        : "+f"(d[0]), "+f"(d[1]), "+f"(d[2]), "+f"(d[3])
        : "r"(a[0]), "r"(a[1]), "r"(a[2]), "r"(a[3]), "r"(b0), "r"(b1));
}

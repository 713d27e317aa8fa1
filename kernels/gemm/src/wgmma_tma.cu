// Module gemm/wgmma_tma.ptx (.version 8.0, .target sm_90a)
//
// vantblas_convert_pad_f16(out, in, rows, cols, out_rows, out_cols, f1, f2): out u64 address of
//   out_rows x out_cols FP16 values (row-major), in u64 address of rows x cols float32 values
//   (row-major, 16-byte aligned), u32 sizes with cols a multiple of 4, out_rows >= rows,
//   out_cols >= cols and out_cols a multiple of 4, f1, f2 f32 powers of two. grid
//   (ceil(out_rows * out_cols / 1024), 1, 1), block (256, 1, 1). Thread i writes elements 4i ..
//   4i+3 of out: cvt.rn.f16.f32((in * f1) * f2) inside rows x cols, +0.0 in the padding.
// vantblas_gemm_wgmma_tma(C, mapA, mapB, M, N, K, f1, f2): C u64 address of M x N float32
//   (row-major), mapA and mapB 128-byte tensor maps passed by value (.param .align 64): A is
//   Mp x Kp FP16 with dims {Kp, Mp}, box {64, 128}; B is Kp x Np FP16 with dims {Np, Kp}, box
//   {64, 64}; both 128-byte swizzled, Mp, Np, Kp = M, N, K rounded up to 128, 256, 64 and the
//   padding zero, so that no box ever leaves its tensor. M, N, K u32 multiples of 16, f1, f2 f32
//   powers of two. C = ((A x B) * f1) * f2 with wgmma.mma_async m64n256k16 (FP16 products,
//   float32 accumulation). block (384, 1, 1), grid (G, 1, 1) for any G >= 1 (the number of SMs,
//   at most the tile count), dynamic shared memory 197632 bytes (4 stages of 48 KiB plus 1 KiB
//   for aligning the base to 1024). Persistent: block b computes tiles b, b + G, ... of the
//   ceil(M/128) x ceil(N/256) tiles of C, taken in groups of 8 row tiles swept column tile by
//   column tile. Warpgroup 0 (setmaxnreg.dec 40) is the producer: one elected thread of warp 0
//   loads each 64-wide k step (one A box, four B boxes) into the next ring stage with
//   cp.async.bulk.tensor on the stage's full barrier. Warpgroups 1 and 2 (setmaxnreg.inc 232)
//   each compute 64 rows x 256 columns with four wgmma per k step and release a stage through
//   its empty barrier (one arrival per consumer warp) once wgmma.wait_group shows the wgmma
//   reading it complete. Stores are 8-byte float pairs, guarded by M and N. .maxnreg 168.
// Byte offsets are 64-bit.
#include "common.cuh"

namespace {

constexpr u32 kBM = 128, kBN = 256, kBK = 64;
constexpr u32 kStages = 4;
constexpr u32 kGroup = 8;
constexpr u32 kStageA = kBM * kBK * 2;     // 16384 bytes: 128 rows of 128 bytes
constexpr u32 kBoxB = kBK * 64 * 2;        // 8192 bytes: 64 k-rows of 64 columns
constexpr u32 kStageB = 4 * kBoxB;         // 32768 bytes
constexpr u32 kStageBytes = kStageA + kStageB;
constexpr u32 kConsumerWarps = 8;

struct alignas(64) TensorMap {
    u64 word[16];
};

__device__ __forceinline__ void mbar_init(u32 bar, u32 count) {
    asm volatile("mbarrier.init.shared::cta.b64 [%0], %1;\n" ::"r"(bar), "r"(count) : "memory");
}
__device__ __forceinline__ bool mbar_try_wait(u32 bar, u32 parity) {
    u32 ok;
    asm volatile(
        "{\n.reg .pred p;\nmbarrier.try_wait.parity.shared::cta.b64 p, [%1], %2;\nselp.u32 %0, 1, 0, p;\n}\n"
        : "=r"(ok)
        : "r"(bar), "r"(parity)
        : "memory");
    return ok != 0u;
}
__device__ __forceinline__ void mbar_wait(u32 bar, u32 parity) {
    while (!mbar_try_wait(bar, parity)) {
    }
}
__device__ __forceinline__ void mbar_arrive(u32 bar) {
    asm volatile("mbarrier.arrive.shared::cta.b64 _, [%0];\n" ::"r"(bar) : "memory");
}
__device__ __forceinline__ void mbar_arrive_expect(u32 bar, u32 bytes) {
    asm volatile("mbarrier.arrive.expect_tx.shared::cta.b64 _, [%0], %1;\n" ::"r"(bar), "r"(bytes) : "memory");
}
__device__ __forceinline__ void tma_load(u32 dst, const TensorMap* map, u32 c0, u32 c1, u32 bar) {
    asm volatile(
        "cp.async.bulk.tensor.2d.shared::cluster.global.mbarrier::complete_tx::bytes [%0], [%1, {%2, %3}], [%4];\n" ::"r"(dst),
        "l"(reinterpret_cast<u64>(map)), "r"(c0), "r"(c1), "r"(bar)
        : "memory");
}
__device__ __forceinline__ bool elect_one() {
    u32 ok;
    asm volatile("{\n.reg .pred p;\nelect.sync _|p, 0xffffffff;\nselp.u32 %0, 1, 0, p;\n}\n" : "=r"(ok));
    return ok != 0u;
}
__device__ __forceinline__ void wgmma_fence() { asm volatile("wgmma.fence.sync.aligned;\n" ::: "memory"); }
__device__ __forceinline__ void wgmma_commit() { asm volatile("wgmma.commit_group.sync.aligned;\n" ::: "memory"); }
template <int N>
__device__ __forceinline__ void wgmma_wait() {
    asm volatile("wgmma.wait_group.sync.aligned %0;\n" ::"n"(N) : "memory");
}
// Keeps the compiler from moving accumulator accesses across the asynchronous region.
__device__ __forceinline__ void pin(float (&d)[128]) {
#pragma unroll
    for (int i = 0; i < 128; ++i) asm volatile("" : "+f"(d[i])::"memory");
}

// Descriptor of a 128-byte swizzled operand at shared address `start` (1024-aligned pattern):
// K-major A (SBO 1024 between 8-row groups) or N-major B (LBO `lbo` between 64-column boxes,
// SBO 1024 between 8-row k groups).
__device__ __forceinline__ u64 descriptor(u32 start, u32 lbo) {
    return (u64)((start & 0x3FFFFu) >> 4) | (u64)((lbo & 0x3FFFFu) >> 4) << 16 | (u64)(1024u >> 4) << 32 |
           (u64)1 << 62;
}

__device__ __forceinline__ void mma_step(float (&d)[128], u64 desc_a, u64 desc_b, u32 accumulate) {
    asm volatile(
        "{\n.reg .pred p;\nsetp.ne.b32 p, %130, 0;\n"
        "wgmma.mma_async.sync.aligned.m64n256k16.f32.f16.f16 {"
        "%0, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, %15, "
        "%16, %17, %18, %19, %20, %21, %22, %23, %24, %25, %26, %27, %28, %29, %30, %31, "
        "%32, %33, %34, %35, %36, %37, %38, %39, %40, %41, %42, %43, %44, %45, %46, %47, "
        "%48, %49, %50, %51, %52, %53, %54, %55, %56, %57, %58, %59, %60, %61, %62, %63, "
        "%64, %65, %66, %67, %68, %69, %70, %71, %72, %73, %74, %75, %76, %77, %78, %79, "
        "%80, %81, %82, %83, %84, %85, %86, %87, %88, %89, %90, %91, %92, %93, %94, %95, "
        "%96, %97, %98, %99, %100, %101, %102, %103, %104, %105, %106, %107, %108, %109, %110, %111, "
        "%112, %113, %114, %115, %116, %117, %118, %119, %120, %121, %122, %123, %124, %125, %126, %127},"
        " %128, %129, p, 1, 1, 0, 1;\n}\n"
        : "+f"(d[0]), "+f"(d[1]), "+f"(d[2]), "+f"(d[3]), "+f"(d[4]), "+f"(d[5]), "+f"(d[6]), "+f"(d[7]),
          "+f"(d[8]), "+f"(d[9]), "+f"(d[10]), "+f"(d[11]), "+f"(d[12]), "+f"(d[13]), "+f"(d[14]), "+f"(d[15]),
          "+f"(d[16]), "+f"(d[17]), "+f"(d[18]), "+f"(d[19]), "+f"(d[20]), "+f"(d[21]), "+f"(d[22]), "+f"(d[23]),
          "+f"(d[24]), "+f"(d[25]), "+f"(d[26]), "+f"(d[27]), "+f"(d[28]), "+f"(d[29]), "+f"(d[30]), "+f"(d[31]),
          "+f"(d[32]), "+f"(d[33]), "+f"(d[34]), "+f"(d[35]), "+f"(d[36]), "+f"(d[37]), "+f"(d[38]), "+f"(d[39]),
          "+f"(d[40]), "+f"(d[41]), "+f"(d[42]), "+f"(d[43]), "+f"(d[44]), "+f"(d[45]), "+f"(d[46]), "+f"(d[47]),
          "+f"(d[48]), "+f"(d[49]), "+f"(d[50]), "+f"(d[51]), "+f"(d[52]), "+f"(d[53]), "+f"(d[54]), "+f"(d[55]),
          "+f"(d[56]), "+f"(d[57]), "+f"(d[58]), "+f"(d[59]), "+f"(d[60]), "+f"(d[61]), "+f"(d[62]), "+f"(d[63]),
          "+f"(d[64]), "+f"(d[65]), "+f"(d[66]), "+f"(d[67]), "+f"(d[68]), "+f"(d[69]), "+f"(d[70]), "+f"(d[71]),
          "+f"(d[72]), "+f"(d[73]), "+f"(d[74]), "+f"(d[75]), "+f"(d[76]), "+f"(d[77]), "+f"(d[78]), "+f"(d[79]),
          "+f"(d[80]), "+f"(d[81]), "+f"(d[82]), "+f"(d[83]), "+f"(d[84]), "+f"(d[85]), "+f"(d[86]), "+f"(d[87]),
          "+f"(d[88]), "+f"(d[89]), "+f"(d[90]), "+f"(d[91]), "+f"(d[92]), "+f"(d[93]), "+f"(d[94]), "+f"(d[95]),
          "+f"(d[96]), "+f"(d[97]), "+f"(d[98]), "+f"(d[99]), "+f"(d[100]), "+f"(d[101]), "+f"(d[102]), "+f"(d[103]),
          "+f"(d[104]), "+f"(d[105]), "+f"(d[106]), "+f"(d[107]), "+f"(d[108]), "+f"(d[109]), "+f"(d[110]), "+f"(d[111]),
          "+f"(d[112]), "+f"(d[113]), "+f"(d[114]), "+f"(d[115]), "+f"(d[116]), "+f"(d[117]), "+f"(d[118]), "+f"(d[119]),
          "+f"(d[120]), "+f"(d[121]), "+f"(d[122]), "+f"(d[123]), "+f"(d[124]), "+f"(d[125]), "+f"(d[126]), "+f"(d[127])
        : "l"(desc_a), "l"(desc_b), "r"(accumulate)
        : "memory");
}

// Tile t of the grouped order: groups of kGroup row tiles, swept column tile by column tile.
__device__ __forceinline__ void tile_coords(u32 t, u32 tiles_m, u32 tiles_n, u32& tm, u32& tn) {
    const u32 per_group = kGroup * tiles_n;
    const u32 first_m = t / per_group * kGroup;
    const u32 rows_here = tiles_m - first_m < kGroup ? tiles_m - first_m : kGroup;
    const u32 in_group = t % per_group;
    tm = first_m + in_group % rows_here;
    tn = in_group / rows_here;
}

}  // namespace

extern "C" __global__ void __launch_bounds__(256)
vantblas_convert_pad_f16(__half* __restrict__ out, const float* __restrict__ in, u32 rows, u32 cols,
                         u32 out_rows, u32 out_cols, float f1, float f2) {
    const u64 first = ((u64)blockIdx.x * blockDim.x + threadIdx.x) * 4u;
    if (first >= (u64)out_rows * out_cols) return;
    const u32 r = (u32)(first / out_cols), c = (u32)(first % out_cols);
    float4 v = make_float4(0.0f, 0.0f, 0.0f, 0.0f);
    if (r < rows && c < cols) {
        v = ldg4(in + (u64)r * cols + c);
        v.x = __fmul_rn(__fmul_rn(v.x, f1), f2);
        v.y = __fmul_rn(__fmul_rn(v.y, f1), f2);
        v.z = __fmul_rn(__fmul_rn(v.z, f1), f2);
        v.w = __fmul_rn(__fmul_rn(v.w, f1), f2);
    }
    const __half2 lo = __floats2half2_rn(v.x, v.y);
    const __half2 hi = __floats2half2_rn(v.z, v.w);
    uint2 packed;
    packed.x = *reinterpret_cast<const u32*>(&lo);
    packed.y = *reinterpret_cast<const u32*>(&hi);
    *reinterpret_cast<uint2*>(out + first) = packed;
}

extern "C" __global__ void __maxnreg__(168)
vantblas_gemm_wgmma_tma(float* __restrict__ C, const __grid_constant__ TensorMap mapA,
                        const __grid_constant__ TensorMap mapB, u32 M, u32 N, u32 K, float f1, float f2) {
    extern __shared__ __align__(1024) unsigned char shared_bytes[];
    __shared__ __align__(8) u64 barriers[2 * kStages];  // full[s], then empty[s]
    // The dynamic base is rounded up at run time: the swizzle pattern needs 1024-byte alignment.
    const u32 smem = ((u32)__cvta_generic_to_shared(shared_bytes) + 1023u) & ~1023u;
    const u32 full0 = (u32)__cvta_generic_to_shared(barriers), empty0 = full0 + 8u * kStages;
    const u32 t = threadIdx.x;
    if (t == 0) {
#pragma unroll
        for (u32 s = 0; s < kStages; ++s) {
            mbar_init(full0 + 8u * s, 1u);
            mbar_init(empty0 + 8u * s, kConsumerWarps);
        }
        asm volatile("fence.proxy.async.shared::cta;\n" ::: "memory");
    }
    __syncthreads();

    const u32 tiles_m = tiles_for(M, kBM), tiles_n = tiles_for(N, kBN), k_steps = tiles_for(K, kBK);
    const u32 tiles = tiles_m * tiles_n;
    const u32 wg = t >> 7;
    if (wg == 0) {
        asm volatile("setmaxnreg.dec.sync.aligned.u32 40;\n" ::: "memory");
        if (t >= 32u || !elect_one()) return;
        u32 it = 0;
        for (u32 tile = blockIdx.x; tile < tiles; tile += gridDim.x) {
            u32 tm, tn;
            tile_coords(tile, tiles_m, tiles_n, tm, tn);
            for (u32 kt = 0; kt < k_steps; ++kt, ++it) {
                const u32 s = it % kStages, use = it / kStages;
                // the first pass over the ring finds every stage free
                if (use > 0u) mbar_wait(empty0 + 8u * s, (use - 1u) & 1u);
                const u32 full = full0 + 8u * s, a = smem + s * kStageBytes, b = a + kStageA;
                mbar_arrive_expect(full, kStageBytes);
                tma_load(a, &mapA, kt * kBK, tm * kBM, full);
#pragma unroll
                for (u32 j = 0; j < 4; ++j) tma_load(b + j * kBoxB, &mapB, tn * kBN + j * 64u, kt * kBK, full);
            }
        }
        return;
    }

    asm volatile("setmaxnreg.inc.sync.aligned.u32 232;\n" ::: "memory");
    const u32 c = wg - 1u, w = (t >> 5) & 3u, lane = t & 31u;
    const u32 g = lane >> 2, q = lane & 3u;
    float d[128];
#pragma unroll
    for (int i = 0; i < 128; ++i) d[i] = 0.0f;
    u32 it = 0;
    for (u32 tile = blockIdx.x; tile < tiles; tile += gridDim.x) {
        u32 tm, tn;
        tile_coords(tile, tiles_m, tiles_n, tm, tn);
        for (u32 kt = 0; kt < k_steps; ++kt, ++it) {
            const u32 s = it % kStages;
            mbar_wait(full0 + 8u * s, (it / kStages) & 1u);
            const u32 a = smem + s * kStageBytes + c * 64u * 128u, b = smem + s * kStageBytes + kStageA;
            pin(d);
            wgmma_fence();
#pragma unroll
            for (u32 kk = 0; kk < 4; ++kk)
                mma_step(d, descriptor(a + kk * 32u, 16u), descriptor(b + kk * 2048u, kBoxB), kt | kk);
            wgmma_commit();
            wgmma_wait<1>();
            pin(d);
            // the wgmma of the previous step, which read the previous stage, has completed
            if (kt > 0u && lane == 0u) mbar_arrive(empty0 + 8u * ((it - 1u) % kStages));
        }
        wgmma_wait<0>();
        pin(d);
        if (k_steps > 0u && lane == 0u) mbar_arrive(empty0 + 8u * ((it - 1u) % kStages));

        const u32 row_base = tm * kBM + c * 64u + w * 16u + g, col_base = tn * kBN + 2u * q;
#pragma unroll
        for (u32 h = 0; h < 2; ++h) {
            const u32 row = row_base + 8u * h;
            if (row >= M) continue;
            float* crow = C + (u64)row * N;
#pragma unroll
            for (u32 j = 0; j < 32; ++j) {
                const u32 col = col_base + 8u * j;
                if (col >= N) continue;
                float2 v;
                v.x = __fmul_rn(__fmul_rn(d[4 * j + 2 * h], f1), f2);
                v.y = __fmul_rn(__fmul_rn(d[4 * j + 2 * h + 1], f1), f2);
                *reinterpret_cast<float2*>(crow + col) = v;
            }
        }
    }
}

// One register-blocked product kernel per instruction set. Each is compiled in its own
// translation unit with that unit's instruction-set flags and chosen at run time; all of them
// perform, for every output element, the same float32 multiply and the same float32 add per k.
#pragma once

#include <cstddef>

namespace vant::cpu {

// Accumulates a tile of C with the packed panels of one k-block:
//   for k in [0, kb):  c[r][j] = c[r][j] + ap[k*mr + r] * bp[k*nr + j]   (product rounded, then sum)
// for r < rows <= mr and j < cols <= nr; c has row stride ldc (floats). With first set the
// accumulators start at +0.0 and C is only written. Rows and columns of the panels past
// rows/cols are padding and never reach C.
using TileFn = void (*)(size_t kb, const float* ap, const float* bp, float* c, size_t ldc,
                        int rows, int cols, bool first);

struct KernelSet {
    const char* name;
    int mr;  // rows of a tile (register rows)
    int nr;  // columns of a tile (SIMD lanes times vectors)
    TileFn tile;
};

// nullptr where the build has no such path (non-x86 targets).
const KernelSet* kernels_baseline();
const KernelSet* kernels_avx2();
const KernelSet* kernels_avx512();
// The 256-bit unit with the 512-bit tile shape; for tests only.
const KernelSet* kernels_avx2_wide_tiles();

// The same shapes in the fused arithmetic: acc = fma(a, b, acc) per k instead of a rounded
// product and a rounded add. The AVX2 ones need the processor's FMA extension as well.
const KernelSet* kernels_baseline_fused();
const KernelSet* kernels_avx2_fused();
const KernelSet* kernels_avx512_fused();
const KernelSet* kernels_avx2_wide_tiles_fused();

}  // namespace vant::cpu

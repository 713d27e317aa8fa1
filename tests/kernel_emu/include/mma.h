// Host stand-in for the warp matrix operations (m16n16k16, FP16 inputs, float accumulators).
// A fragment is the whole 16 x 16 tile, held by lane 0 of the warp, which alone loads, multiplies
// and stores it (every lane would compute the same values); loads and stores check the alignment
// rules of the real operations.
#pragma once
#include <cassert>
#include <cstdint>
#include "cuda_fp16.h"

// threadIdx comes from cuda_emu.hpp, which is included ahead of every kernel source.

namespace nvcuda {
namespace wmma {

struct matrix_a {};
struct matrix_b {};
struct accumulator {};
struct row_major {};
struct col_major {};
enum layout_t { mem_row_major, mem_col_major };

template <typename Use, int M, int N, int K, typename T, typename Layout = void>
struct fragment {
    T x[256];
};

template <typename Use, typename T, typename L>
inline void fill_fragment(fragment<Use, 16, 16, 16, T, L>& f, float v) {
    for (auto& e : f.x) e = v;
}

inline bool lane0() { return threadIdx.x % 32 == 0; }

inline void check_alignment(const void* p, unsigned ldm, unsigned elem) {
    assert(reinterpret_cast<uintptr_t>(p) % 32 == 0 && "fragment pointer must be 256-bit aligned");
    assert((ldm * elem) % 16 == 0 && "ldm must be a multiple of 16 bytes");
    (void)p; (void)ldm; (void)elem;
}

template <typename Use>
inline void load_matrix_sync(fragment<Use, 16, 16, 16, __half, row_major>& f, const __half* p, unsigned ldm) {
    check_alignment(p, ldm, 2);
    if (!lane0()) return;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) f.x[r * 16 + c] = p[(size_t)r * ldm + c];
}

inline void mma_sync(fragment<accumulator, 16, 16, 16, float>& d,
                     const fragment<matrix_a, 16, 16, 16, __half, row_major>& a,
                     const fragment<matrix_b, 16, 16, 16, __half, row_major>& b,
                     const fragment<accumulator, 16, 16, 16, float>& c) {
    if (!lane0()) return;
    float out[256];
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 16; ++j) {
            float s = c.x[i * 16 + j];
            for (int k = 0; k < 16; ++k)
                s += static_cast<float>(a.x[i * 16 + k].v) * static_cast<float>(b.x[k * 16 + j].v);
            out[i * 16 + j] = s;
        }
    for (int e = 0; e < 256; ++e) d.x[e] = out[e];
}

inline void store_matrix_sync(float* p, const fragment<accumulator, 16, 16, 16, float>& f, unsigned ldm,
                              layout_t layout) {
    assert(layout == mem_row_major);
    check_alignment(p, ldm, 4);
    (void)layout;
    if (!lane0()) return;
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) p[(size_t)r * ldm + c] = f.x[r * 16 + c];
}

}  // namespace wmma
}  // namespace nvcuda

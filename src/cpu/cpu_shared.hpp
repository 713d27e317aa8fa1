// Pieces shared by the plain and the fast CPU paths: the shape checks (both must fault on the same
// inputs) and the element-wise formula of GELU.
//
// Functions here have internal linkage on purpose: a translation unit built for a wider
// instruction set must never lend its copy of an inline function to baseline code.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/panic.hpp"
#include "common/views.hpp"

// x86-64 (SSE is part of its baseline): the operations may use _mm_* where the order of
// operations allows.
#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define VANT_CPU_X86 1
#endif

namespace vant::cpu::detail {

// Called only when B, M and N > 0: b must hold the batches of a and, when K > 0, K rows.
static inline void check_gemm_batched_shapes(const Tensor3View& a, const Tensor3View& b) {
    if ((a.d2 > 0 && b.d1 < a.d2) || a.d0 > b.d0) panic_index();
}

// With D > 0, k and v must cover B batches, S positions and D features.
static inline void check_attention_shapes(const Tensor3View& q, const Tensor3View& k,
                                          const Tensor3View& v) {
    for (const Tensor3View* t : {&k, &v})
        if (t->d0 < q.d0 || t->d1 < q.d1 || t->d2 < q.d2) panic_index();
}

// Called only when N > 0 and O > 0.
static inline void check_linear_gelu_shapes(const MatView& x, const MatView& w, const MatView* bias) {
    if (x.cols > 0 && w.cols < x.cols) panic_index();
    if (bias && (bias->rows < 1 || bias->cols < w.rows)) panic_index();
}

// Called only when R > 0 and C > 0.
static inline void check_rmsnorm_shapes(const MatView& x, const MatView& w) {
    if (w.rows < 1 || w.cols < x.cols) panic_index();
}

// tanh form of GELU, each step rounded to float32 in exactly this order. In parts so that the
// fast path can run the arithmetic around the C runtime's tanhf on several elements at once.
static inline void gelu_parts(float v, float& tanh_arg, float& half) {
    const float c0 = 0.044715f;    // 0x3D372713
    const float c1 = 0.7978845f;   // 0x3F4C4229
    float u = ((v * v) * v) * c0;
    u = u + v;
    tanh_arg = u * c1;
    half = v * 0.5f;
}

static inline float gelu_finish(float tanh_value, float half) { return (tanh_value + 1.0f) * half; }

static inline float gelu(float v) {
    float u, h;
    gelu_parts(v, u, h);
    return gelu_finish(tanhf(u), h);
}

}  // namespace vant::cpu::detail

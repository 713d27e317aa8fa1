// Attention: softmax(q k^T * scale) v, one block of queries per task.
#include "cpu/cpu_ops.hpp"

#include <algorithm>
#include <cmath>

#include "cpu/blocking.hpp"
#include "cpu/cpu_shared.hpp"
#include "cpu/elementary_functions.hpp"
#include "cpu/thread_pool.hpp"

namespace vant::cpu {
using namespace detail;
namespace {

// w[j] = w[j] * scale for all j < n; returns the largest non-NaN w[j] (-inf when there is none).
// The running maximum of the plain loops (take s_j when s_j > m) is split over lanes here; the
// lanes can only disagree with it on the sign of a zero maximum, and expf(s - m) is the same for
// m = +0 and m = -0 (s - m differs at most in the sign of a zero result, and expf(+-0) = 1).
float scale_and_max(float* w, size_t n, float scale) {
    size_t j = 0;
    float mx = -INFINITY;
#if VANT_CPU_X86
    if (n >= 8) {
        const __m128 sv = _mm_set1_ps(scale);
        __m128 m0 = _mm_set1_ps(-INFINITY), m1 = m0;
        for (; j + 8 <= n; j += 8) {
            __m128 a = _mm_mul_ps(_mm_loadu_ps(w + j), sv);
            __m128 b = _mm_mul_ps(_mm_loadu_ps(w + j + 4), sv);
            _mm_storeu_ps(w + j, a);
            _mm_storeu_ps(w + j + 4, b);
            m0 = _mm_max_ps(a, m0);  // a NaN in the first operand leaves the maximum alone
            m1 = _mm_max_ps(b, m1);
        }
        alignas(16) float lanes[8];
        _mm_store_ps(lanes, m0);
        _mm_store_ps(lanes + 4, m1);
        for (float l : lanes)
            if (l > mx) mx = l;
    }
#endif
    for (; j < n; ++j) {
        w[j] = w[j] * scale;
        if (w[j] > mx) mx = w[j];
    }
    return mx;
}

// x[j] = x[j] - m and x[j] = x[j] / t for j < n: element by element, four lanes at a time.
void subtract(float* x, size_t n, float m) {
    size_t j = 0;
#if VANT_CPU_X86
    const __m128 mv = _mm_set1_ps(m);
    for (; j + 4 <= n; j += 4) _mm_storeu_ps(x + j, _mm_sub_ps(_mm_loadu_ps(x + j), mv));
#endif
    for (; j < n; ++j) x[j] = x[j] - m;
}

void divide(float* x, size_t n, float t) {
    size_t j = 0;
#if VANT_CPU_X86
    const __m128 tv = _mm_set1_ps(t);
    for (; j + 4 <= n; j += 4) _mm_storeu_ps(x + j, _mm_div_ps(_mm_loadu_ps(x + j), tv));
#endif
    for (; j < n; ++j) x[j] = x[j] / t;
}

}  // namespace

float default_attention_scale(uint64_t d) { return 1.0f / sqrtf(static_cast<float>(d)); }

bool attention(const Tensor3View& q, const Tensor3View& k, const Tensor3View& v, float scale,
               float* out, const StopCheck* stop) {
    const size_t nb = q.d0, s = q.d1, d = q.d2;
    if (nb == 0 || s == 0 || d == 0) return true;
    check_attention_shapes(q, k, v);
    prefer_huge_pages(out, nb * s * d);
    const KernelSet& ks = active_kernels();
    const size_t mr = ks.mr;
    // Queries per task: a block of whole tiles, fewer when the rows of scores get long.
    const size_t qb = std::min(mr * div_up(128, mr), std::max((size_t{1} << 20) / s, size_t{1}));
    const size_t q_blocks = div_up(s, qb);

    // Applied to each finished tile of raw dot products q_i . k_j: the scaling, and the running
    // maximum of each row of scores (merged over the tiles of a row in any order, see above).
    struct Scores {
        const float* base;
        size_t s;
        float scale;
        float* row_max;
    };
    auto scale_tile = [](const void* ctx, float* c, size_t ldc, size_t, size_t rows, size_t cols) {
        const auto* sc = static_cast<const Scores*>(ctx);
        const size_t r0 = static_cast<size_t>(c - sc->base) / sc->s;
        for (size_t r = 0; r < rows; ++r) {
            const float m = scale_and_max(c + r * ldc, cols, sc->scale);
            if (m > sc->row_max[r0 + r]) sc->row_max[r0 + r] = m;
        }
    };

    return run_stoppable(stop, [&] {
        parallel_for(nb * q_blocks, worker_budget(), [&](size_t task) {
            const size_t bi = task / q_blocks;
            const size_t i0 = (task % q_blocks) * qb;
            const size_t rows = std::min(s - i0, qb);
            float* sc = row_scratch().get(rows * s + rows);
            float* row_max = sc + rows * s;
            for (size_t r = 0; r < rows; ++r) row_max[r] = -INFINITY;
            // Scaled dot products q_i . k_j * scale, each dot summed over features in order.
            const Scores scores{sc, s, scale, row_max};
            const TileEpilogue epilogue{scale_tile, &scores};
            gemm_core(ks, Operand{q.ptr(bi, i0, 0), q.s1, q.s2}, Operand{k.ptr(bi, 0, 0), k.s2, k.s1},
                      rows, s, d, sc, s, 1, &epilogue);
            // Exponentials (the C runtime's expf, computed on vectors) and their totals, in pieces
            // of keys that stay in L1. A total is a serial chain in key order, so eight rows go
            // side by side.
            constexpr size_t kLanes = 8, kKeys = 256;
            for (size_t r0 = 0; r0 < rows; r0 += kLanes) {
                const size_t lanes = std::min(rows - r0, kLanes);
                float* w[kLanes];
                float tot[kLanes];
                for (size_t l = 0; l < lanes; ++l) {
                    w[l] = sc + (r0 + l) * s;
                    tot[l] = 0.0f;
                }
                for (size_t j0 = 0; j0 < s; j0 += kKeys) {
                    const size_t len = std::min(s - j0, kKeys);
                    if ((j0 & 0xFFFF) == 0 && j0) stop_point();  // long rows of keys
                    for (size_t l = 0; l < lanes; ++l) {
                        float* x = w[l] + j0;
                        const float mx = row_max[r0 + l];
                        subtract(x, len, mx);
                        expf_nonpositive(x, x, len);
                    }
                    for (size_t j = j0; j < j0 + len; ++j)
                        for (size_t l = 0; l < lanes; ++l) tot[l] = tot[l] + w[l][j];
                }
                for (size_t l = 0; l < lanes; ++l) divide(w[l], s, tot[l]);
            }
            // Weighted sum of values, over keys in order, into the output rows.
            const Operand weights{reinterpret_cast<const char*>(sc), static_cast<int64_t>(s * sizeof(float)), 4};
            gemm_core(ks, weights, Operand{v.ptr(bi, 0, 0), v.s1, v.s2}, rows, d, s, out + (bi * s + i0) * d,
                      d, 1);
        });
    });
}

}  // namespace vant::cpu

// The plain loops that define every CPU result. They are kept deliberately simple: the fast paths
// must reproduce their bits, and tests compare the two.
#include <cmath>
#include <cstdint>
#include <vector>

#include "cpu/cpu_ops.hpp"
#include "cpu/cpu_shared.hpp"

namespace vant::cpu::reference {

namespace {

// One product step: in the exact arithmetic the product rounded, then added; in the fused one
// a single fused multiply-add.
inline float step(bool fused, float acc, float a, float b) {
    if (fused) return std::fma(a, b, acc);
    float p = a * b;
    return acc + p;
}

// One element of a product: steps in increasing k from +0.0.
float dot_strided(bool fused, const char* a, int64_t a_step, const char* b, int64_t b_step, uint64_t n) {
    float acc = 0.0f;
    for (uint64_t k = 0; k < n; ++k)
        acc = step(fused, acc, load_f32(a + static_cast<int64_t>(k) * a_step),
                   load_f32(b + static_cast<int64_t>(k) * b_step));
    return acc;
}

bool fused_now() { return arithmetic() == Arithmetic::Fused; }

}  // namespace

void gemm(const MatView& a, const MatView& b, float* c) {
    const bool fused = fused_now();
    const uint64_t m = a.rows, n = b.cols, kk = a.cols;
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = 0; j < n; ++j)
            c[i * n + j] = dot_strided(fused, a.ptr(i, 0), a.col_stride, b.ptr(0, j), b.row_stride, kk);
}

void gemm_batched(const Tensor3View& a, const Tensor3View& b, float* c) {
    const bool fused = fused_now();
    const uint64_t bt = a.d0, m = a.d1, kk = a.d2, n = b.d2;
    if (bt == 0 || m == 0 || n == 0) return;
    detail::check_gemm_batched_shapes(a, b);
    for (uint64_t p = 0; p < bt; ++p) {
        float* cp = c + p * m * n;
        for (uint64_t i = 0; i < m; ++i)
            for (uint64_t j = 0; j < n; ++j)
                cp[i * n + j] = dot_strided(fused, a.ptr(p, i, 0), a.s2, b.ptr(p, 0, j), b.s1, kk);
    }
}

void attention(const Tensor3View& q, const Tensor3View& k, const Tensor3View& v, float scale,
               float* out) {
    const bool fused = fused_now();
    const uint64_t nb = q.d0, s = q.d1, d = q.d2;
    if (nb == 0 || s == 0 || d == 0) return;
    detail::check_attention_shapes(q, k, v);
    for (uint64_t b = 0; b < nb; ++b) {
        for (uint64_t i = 0; i < s; ++i) {
            std::vector<float> w(s);
            for (uint64_t j = 0; j < s; ++j)
                w[j] = dot_strided(fused, q.ptr(b, i, 0), q.s2, k.ptr(b, j, 0), k.s2, d) * scale;
            float m = -INFINITY;
            for (uint64_t j = 0; j < s; ++j)
                if (w[j] > m) m = w[j];
            float t = 0.0f;
            for (uint64_t j = 0; j < s; ++j) {
                w[j] = expf(w[j] - m);
                t = t + w[j];
            }
            for (uint64_t j = 0; j < s; ++j) w[j] = w[j] / t;
            float* o = out + (b * s + i) * d;
            for (uint64_t c = 0; c < d; ++c) {
                float acc = 0.0f;
                for (uint64_t j = 0; j < s; ++j) acc = step(fused, acc, w[j], v.at(b, j, c));
                o[c] = acc;
            }
        }
    }
}

void linear_gelu(const MatView& x, const MatView& w, const MatView* bias, float* out) {
    const bool fused = fused_now();
    const uint64_t n = x.rows, kk = x.cols, o = w.rows;
    if (n == 0 || o == 0) return;
    detail::check_linear_gelu_shapes(x, w, bias);
    for (uint64_t i = 0; i < n; ++i) {
        for (uint64_t j = 0; j < o; ++j) {
            float y = dot_strided(fused, x.ptr(i, 0), x.col_stride, w.ptr(j, 0), w.col_stride, kk);
            if (bias) y = bias->at(0, j) + y;
            out[i * o + j] = detail::gelu(y);
        }
    }
}

void rmsnorm(const MatView& x, const MatView& w, float eps, float* out) {
    const uint64_t r = x.rows, c = x.cols;
    if (r == 0 || c == 0) return;
    detail::check_rmsnorm_shapes(x, w);
    const float cf = static_cast<float>(c);
    for (uint64_t i = 0; i < r; ++i) {
        float s = 0.0f;
        for (uint64_t j = 0; j < c; ++j) {
            float e = x.at(i, j);
            s = s + e * e;
        }
        float rms = sqrtf(s / cf + eps);
        for (uint64_t j = 0; j < c; ++j) out[i * c + j] = (x.at(i, j) / rms) * w.at(0, j);
    }
}

}  // namespace vant::cpu::reference

// Fused linear layer and GELU: the bias and GELU run on each finished tile of the product.
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

constexpr size_t kPiece = 64;

// y[j] = gelu(y[j]) for j < n <= kPiece. The arithmetic around the C runtime's tanhf runs four
// lanes at a time, tanhf itself on vectors with the runtime's bits: the same float32 operations
// in the same order for every element.
void gelu_piece(float* y, size_t n) {
    alignas(16) float arg[kPiece] = {}, half[kPiece];  // (zeroed: the compiler cannot see that j < n is filled)
    size_t j = 0;
#if VANT_CPU_X86
    const __m128 c0 = _mm_set1_ps(0.044715f), c1 = _mm_set1_ps(0.7978845f);
    const __m128 one = _mm_set1_ps(1.0f), point5 = _mm_set1_ps(0.5f);
    for (; j + 4 <= n; j += 4) {
        const __m128 v = _mm_loadu_ps(y + j);
        __m128 u = _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(v, v), v), c0);
        u = _mm_mul_ps(_mm_add_ps(u, v), c1);
        _mm_store_ps(arg + j, u);
        _mm_store_ps(half + j, _mm_mul_ps(v, point5));
    }
#endif
    for (; j < n; ++j) gelu_parts(y[j], arg[j], half[j]);
    tanhf_all(arg, arg, n);
    j = 0;
#if VANT_CPU_X86
    for (; j + 4 <= n; j += 4)
        _mm_storeu_ps(y + j, _mm_mul_ps(_mm_add_ps(_mm_load_ps(arg + j), one), _mm_load_ps(half + j)));
#endif
    for (; j < n; ++j) y[j] = gelu_finish(arg[j], half[j]);
}

}  // namespace

bool linear_gelu(const MatView& x, const MatView& w, const MatView* bias, float* out,
                 const StopCheck* stop) {
    const size_t n = x.rows, kd = x.cols, o = w.rows;
    if (n == 0 || o == 0) return true;
    check_linear_gelu_shapes(x, w, bias);
    prefer_huge_pages(out, n * o);
    const unsigned threads = worker_budget();
    // Bias (the context, possibly null), then GELU, on each finished tile of the product.
    auto finish = [](const void* ctx, float* c, size_t ldc, size_t j0, size_t rows, size_t cols) {
        const auto* bias = static_cast<const MatView*>(ctx);
        for (size_t r = 0; r < rows; ++r) {
            float* y = c + r * ldc;
            for (size_t p0 = 0; p0 < cols; p0 += kPiece) {
                const size_t len = std::min(cols - p0, kPiece);
                if (bias) {
                    for (size_t j = 0; j < len; ++j) y[p0 + j] = bias->at(0, j0 + p0 + j) + y[p0 + j];
                }
                gelu_piece(y + p0, len);
            }
        }
    };
    return run_stoppable(stop, [&] {
        if (kd > 0) {
            const TileEpilogue epilogue{finish, bias};
            gemm_core(active_kernels(), operand(x), transposed(w), n, o, kd, out, o, threads, &epilogue);
            return;
        }
        // No products: every element is GELU of its bias (or of +0.0).
        const size_t rows_per_task = div_up(16384, o);
        parallel_for(div_up(n, rows_per_task), static_cast<double>(n) * o >= 4096 ? threads : 1,
                     [&](size_t t) {
                         const size_t r0 = t * rows_per_task;
                         finish(bias, out + r0 * o, o, 0, std::min(n - r0, rows_per_task), o);
                     });
    });
}

}  // namespace vant::cpu

// Fused linear layer and GELU: the bias and GELU run on each finished tile of the product.
#include "cpu/cpu_ops.hpp"

#include <algorithm>
#include <cmath>

#include "cpu/blocking.hpp"
#include "cpu/cpu_shared.hpp"
#include "cpu/thread_pool.hpp"

namespace vant::cpu {
using namespace detail;

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
            if (bias) {
                for (size_t j = 0; j < cols; ++j) y[j] = gelu(bias->at(0, j0 + j) + y[j]);
            } else {
                for (size_t j = 0; j < cols; ++j) y[j] = gelu(y[j]);
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

// Single and batched matrix products.
#include "cpu/cpu_ops.hpp"

#include <algorithm>
#include <cmath>

#include "cpu/blocking.hpp"
#include "cpu/cpu_shared.hpp"
#include "cpu/thread_pool.hpp"

namespace vant::cpu {
using namespace detail;

bool gemm(const MatView& a, const MatView& b, float* c, const StopCheck* stop) {
    prefer_huge_pages(c, a.rows * b.cols);
    return run_stoppable(stop, [&] {
        gemm_core(active_kernels(), operand(a), operand(b), a.rows, b.cols, a.cols, c, b.cols,
                  worker_budget());
    });
}

bool gemm_batched(const Tensor3View& a, const Tensor3View& b, float* c, const StopCheck* stop) {
    const uint64_t bt = a.d0, m = a.d1, kd = a.d2, n = b.d2;
    if (bt == 0 || m == 0 || n == 0) return true;
    check_gemm_batched_shapes(a, b);
    if (kd == 0) return true;
    prefer_huge_pages(c, bt * m * n);
    const KernelSet& ks = active_kernels();
    const unsigned threads = worker_budget();
    auto one = [&](size_t p, unsigned th) {
        gemm_core(ks, Operand{a.data + static_cast<int64_t>(p) * a.s0, a.s1, a.s2},
                  Operand{b.data + static_cast<int64_t>(p) * b.s0, b.s1, b.s2}, m, n, kd,
                  c + p * m * n, n, th);
    };
    // Many small batches: one thread per batch. Few batches, or large ones: threads inside each
    // product, so that no thread is left with a whole large product at the end and the stop
    // check is asked between blocks of one product.
    constexpr double kLargeProduct = 1 << 24;  // multiply-adds
    return run_stoppable(stop, [&] {
        if (bt >= threads && static_cast<double>(m) * n * kd < kLargeProduct) {
            parallel_for(bt, threads, [&](size_t p) { one(p, 1); });
        } else {
            for (size_t p = 0; p < bt; ++p) one(p, threads);
        }
    });
}

}  // namespace vant::cpu

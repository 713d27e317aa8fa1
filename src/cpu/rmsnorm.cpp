// RMSNorm, row by row; the sums of squares of eight rows run side by side.
#include "cpu/cpu_ops.hpp"

#include <algorithm>
#include <cmath>

#include "cpu/blocking.hpp"
#include "cpu/cpu_shared.hpp"
#include "cpu/thread_pool.hpp"

namespace vant::cpu {
using namespace detail;

bool rmsnorm(const MatView& x, const MatView& w, float eps, float* out, const StopCheck* stop) {
    const size_t r = x.rows, c = x.cols;
    if (r == 0 || c == 0) return true;
    check_rmsnorm_shapes(x, w);
    prefer_huge_pages(out, r * c);
    const float cf = static_cast<float>(c);
    constexpr size_t kLanes = 8;
    // Long rows give the stop check a chance every this many columns (plus one).
    constexpr size_t kPointMask = (size_t{1} << 16) - 1;
    const size_t groups = div_up(r, kLanes);
    const size_t groups_per_task = div_up(div_up(32768, c), kLanes);
    const size_t tasks = div_up(groups, groups_per_task);
    const bool contiguous = x.col_stride == 4 && w.col_stride == 4;
    const char* gains = w.ptr(0, 0);
    const unsigned threads = static_cast<double>(r) * c >= 16384 ? worker_budget() : 1;
    return run_stoppable(stop, [&] {
        parallel_for(tasks, threads, [&](size_t t) {
            const size_t g_end = std::min((t + 1) * groups_per_task, groups);
            for (size_t g = t * groups_per_task; g < g_end; ++g) {
                const size_t i0 = g * kLanes;
                const size_t lanes = std::min(r - i0, kLanes);
                // The sums of squares are serial chains along a row; rows of a group run side by side.
                float sum[kLanes] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
                if (lanes == kLanes && x.col_stride == 4) {
                    const char* rowp[kLanes];
                    for (size_t l = 0; l < kLanes; ++l) rowp[l] = x.ptr(i0 + l, 0);
                    size_t j = 0;
    #if VANT_CPU_X86
                    // Four rows per vector: a 4 x 4 block is transposed so that each lane adds its own
                    // row's squares in column order.
                    __m128 acc[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
                    for (; j + 4 <= c; j += 4) {
                        if ((j & kPointMask) == 0 && j) stop_point();
                        for (int h = 0; h < 2; ++h) {
                            __m128 r0 = _mm_loadu_ps(reinterpret_cast<const float*>(rowp[4 * h] + 4 * j));
                            __m128 r1 = _mm_loadu_ps(reinterpret_cast<const float*>(rowp[4 * h + 1] + 4 * j));
                            __m128 r2 = _mm_loadu_ps(reinterpret_cast<const float*>(rowp[4 * h + 2] + 4 * j));
                            __m128 r3 = _mm_loadu_ps(reinterpret_cast<const float*>(rowp[4 * h + 3] + 4 * j));
                            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                            acc[h] = _mm_add_ps(acc[h], _mm_mul_ps(r0, r0));
                            acc[h] = _mm_add_ps(acc[h], _mm_mul_ps(r1, r1));
                            acc[h] = _mm_add_ps(acc[h], _mm_mul_ps(r2, r2));
                            acc[h] = _mm_add_ps(acc[h], _mm_mul_ps(r3, r3));
                        }
                    }
                    _mm_storeu_ps(sum, acc[0]);
                    _mm_storeu_ps(sum + 4, acc[1]);
    #endif
                    for (; j < c; ++j) {
                        if ((j & kPointMask) == 0 && j) stop_point();
                        for (size_t l = 0; l < kLanes; ++l) {
                            const float e = load_f32(rowp[l] + 4 * j);
                            sum[l] = sum[l] + e * e;
                        }
                    }
                } else {
                    for (size_t l = 0; l < lanes; ++l)
                        for (size_t j = 0; j < c; ++j) {
                            if ((j & kPointMask) == 0 && j) stop_point();
                            const float e = x.at(i0 + l, j);
                            sum[l] = sum[l] + e * e;
                        }
                }
                for (size_t l = 0; l < lanes; ++l) {
                    const float rms = sqrtf(sum[l] / cf + eps);
                    const char* xr = x.ptr(i0 + l, 0);
                    float* y = out + (i0 + l) * c;
                    for (size_t j0 = 0; j0 < c; j0 += kPointMask + 1) {
                        if (j0) stop_point();
                        const size_t j1 = std::min(c, j0 + kPointMask + 1);
                        if (contiguous) {
                            for (size_t j = j0; j < j1; ++j)
                                y[j] = (load_f32(xr + 4 * j) / rms) * load_f32(gains + 4 * j);
                        } else {
                            for (size_t j = j0; j < j1; ++j)
                                y[j] = (load_f32(xr + static_cast<int64_t>(j) * x.col_stride) / rms) *
                                       load_f32(gains + static_cast<int64_t>(j) * w.col_stride);
                        }
                    }
                }
            }
        });
    });
}

}  // namespace vant::cpu

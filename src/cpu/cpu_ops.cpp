// Fast CPU paths. Every output element still receives exactly the operations of the plain loops
// in reference.cpp, in the same order; what changes is only which elements are computed together:
// operands are copied into contiguous panels (a copy changes no value), products are blocked so
// that one tile of C stays in registers over a block of k, and tiles are shared out to worker
// threads. A k-block boundary stores the float32 accumulator to C and reloads it, which changes
// nothing either. No sum is ever split or reassociated.
#include "cpu/cpu_ops.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "cpu/cpu_shared.hpp"
#include "cpu/isa_kernels.hpp"
#include "cpu/thread_pool.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define VANT_CPU_X86 1
#endif

namespace vant::cpu {
namespace {

// ---- instruction-set choice ------------------------------------------------------------------

std::atomic<int> g_forced_isa{0};

testing::Isa detect_best() {
#if VANT_CPU_X86 && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (kernels_avx512() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx2"))
        return testing::Isa::Avx512;
    if (kernels_avx2() && __builtin_cpu_supports("avx2")) return testing::Isa::Avx2;
#endif
    return testing::Isa::Baseline;
}

testing::Isa best_isa_cached() {
    static const testing::Isa best = detect_best();
    return best;
}

const KernelSet& kernels_for(testing::Isa isa) {
    switch (isa) {
        case testing::Isa::Avx512: return *kernels_avx512();
        case testing::Isa::Avx2: return *kernels_avx2();
        case testing::Isa::Avx2WideTiles: return *kernels_avx2_wide_tiles();
        default: return *kernels_baseline();
    }
}

testing::Isa current_isa() {
    int forced = g_forced_isa.load(std::memory_order_relaxed);
    return forced ? static_cast<testing::Isa>(forced) : best_isa_cached();
}

// ---- scratch memory -----------------------------------------------------------------------------

// Per-thread buffers, kept between calls: packing is redone on every call, allocation is not.
class Scratch {
public:
    float* get(size_t n) {
        if (n > cap_) {
            mem_.reset();
            cap_ = 0;  // stays consistent when the allocation below throws
            mem_.reset(new float[n + 16]);
            cap_ = n;
        }
        auto addr = reinterpret_cast<uintptr_t>(mem_.get());
        return reinterpret_cast<float*>((addr + 63) & ~static_cast<uintptr_t>(63));
    }

private:
    std::unique_ptr<float[]> mem_;
    size_t cap_ = 0;
};

struct ThreadScratch {
    Scratch a_panels;  // packed rows of A of one task
    Scratch b_panels;  // packed columns of B, shared by the tasks of one call
    Scratch rows;      // attention scores of one block of queries
};

thread_local ThreadScratch t_scratch;

// ---- packing --------------------------------------------------------------------------------------

// Element (i, j) of an operand lies at data + i * rs + j * cs (bytes).
struct Operand {
    const char* data;
    int64_t rs, cs;
    const char* ptr(size_t i, size_t j) const {
        return data + static_cast<int64_t>(i) * rs + static_cast<int64_t>(j) * cs;
    }
};

// Rows [i0, i0 + rows) by k-block [k0, k0 + kb) of A, as ceil(rows / mr) tiles of kb x mr
// (tile t at dst + t * kb * mr, element (r, k) at [k * mr + r]); missing rows are zero.
void pack_a(const Operand& a, size_t i0, size_t rows, size_t k0, size_t kb, size_t mr, float* dst) {
    for (size_t t0 = 0; t0 < rows; t0 += mr) {
        const size_t tr = std::min(rows - t0, mr);
        float* d = dst + (t0 / mr) * kb * mr;
        if (a.rs == 4) {
            for (size_t k = 0; k < kb; ++k) {
                std::memcpy(d + k * mr, a.ptr(i0 + t0, k0 + k), tr * sizeof(float));
                for (size_t r = tr; r < mr; ++r) d[k * mr + r] = 0.0f;
            }
            continue;
        }
        for (size_t r = 0; r < mr; ++r) {
            if (r >= tr) {
                for (size_t k = 0; k < kb; ++k) d[k * mr + r] = 0.0f;
                continue;
            }
            const char* row = a.ptr(i0 + t0 + r, k0);
            if (a.cs == 4) {
                for (size_t k = 0; k < kb; ++k) d[k * mr + r] = load_f32(row + 4 * k);
            } else {
                for (size_t k = 0; k < kb; ++k)
                    d[k * mr + r] = load_f32(row + static_cast<int64_t>(k) * a.cs);
            }
        }
    }
}

// k-block [k0, k0 + kb) by columns [j0, j0 + cols) of B as one panel of kb x nr (element (k, c)
// at [k * nr + c]); missing columns are zero.
void pack_b_panel(const Operand& b, size_t k0, size_t kb, size_t j0, size_t cols, size_t nr,
                  float* d) {
    if (b.cs == 4) {
        for (size_t k = 0; k < kb; ++k) {
            std::memcpy(d + k * nr, b.ptr(k0 + k, j0), cols * sizeof(float));
            for (size_t c = cols; c < nr; ++c) d[k * nr + c] = 0.0f;
        }
        return;
    }
    // Columns read side by side (k outermost) so the panel is written in order.
    constexpr size_t kMaxNr = 64;
    const char* colp[kMaxNr];
    for (size_t c = 0; c < cols; ++c) colp[c] = b.ptr(k0, j0 + c);
    for (size_t k = 0; k < kb; ++k) {
        const int64_t off = static_cast<int64_t>(k) * b.rs;
        float* dk = d + k * nr;
        for (size_t c = 0; c < cols; ++c) dk[c] = load_f32(colp[c] + off);
        for (size_t c = cols; c < nr; ++c) dk[c] = 0.0f;
    }
}

// ---- blocked product -------------------------------------------------------------------------------

constexpr size_t kKc = 256;                  // k-block: one B panel of kKc x nr stays in L1
constexpr size_t kPackedBFloats = 1u << 20;  // packed B of one column block (4 MiB)
constexpr double kParallelWork = 1 << 18;    // multiply-adds below which threads cost more

size_t div_up(size_t a, size_t b) { return (a + b - 1) / b; }

// Applied to each finished tile of C (all k summed) while it is still in cache: rows x cols
// elements starting at c, whose first column is column j0 of C.
struct TileEpilogue {
    void (*fn)(const void* ctx, float* c, size_t ldc, size_t j0, size_t rows, size_t cols);
    const void* ctx;
};

// c (m x n, row stride ldc floats) = A (m x kd) @ B (kd x n), each element summed from +0.0 in k
// order, then the epilogue if one is given. With kd == 0 nothing is written and the epilogue is
// not run. threads == 1 runs on the calling thread.
void gemm_core(const KernelSet& ks, const Operand& a, const Operand& b, size_t m, size_t n,
               size_t kd, float* c, size_t ldc, unsigned threads,
               const TileEpilogue* epilogue = nullptr) {
    if (m == 0 || n == 0 || kd == 0) return;
    const size_t mr = ks.mr, nr = ks.nr;
    if (threads > 1 && static_cast<double>(m) * n * kd < kParallelWork) threads = 1;
    const size_t mc = mr * div_up(120, mr);
    const size_t row_blocks = div_up(m, mc);
    const size_t nc_max = ((kPackedBFloats / kKc) / nr) * nr;

    for (size_t k0 = 0; k0 < kd; k0 += kKc) {
        const size_t kb = std::min(kd - k0, kKc);
        for (size_t j0 = 0; j0 < n; j0 += nc_max) {
            const size_t nc = std::min(n - j0, nc_max);
            const size_t panels = div_up(nc, nr);
            float* bp = t_scratch.b_panels.get(panels * kb * nr);
            parallel_for(panels, threads, [&](size_t p) {
                pack_b_panel(b, k0, kb, j0 + p * nr, std::min(nc - p * nr, nr), nr, bp + p * kb * nr);
            });

            // Enough tasks to keep every thread busy; splitting columns costs a repacking of A.
            size_t col_chunks = 1;
            if (threads > 1 && row_blocks < 4 * static_cast<size_t>(threads))
                col_chunks = div_up(4 * threads, row_blocks);
            col_chunks = std::min(col_chunks, panels);
            const size_t per_chunk = div_up(panels, col_chunks);
            col_chunks = div_up(panels, per_chunk);

            parallel_for(row_blocks * col_chunks, threads, [&](size_t task) {
                const size_t rb = task / col_chunks, cb = task % col_chunks;
                const size_t i0 = rb * mc;
                const size_t rows = std::min(m - i0, mc);
                float* ap = t_scratch.a_panels.get(div_up(rows, mr) * mr * kb);
                pack_a(a, i0, rows, k0, kb, mr, ap);
                const size_t p_end = std::min((cb + 1) * per_chunk, panels);
                for (size_t p = cb * per_chunk; p < p_end; ++p) {
                    const size_t cols = std::min(nc - p * nr, nr);
                    const float* bpp = bp + p * kb * nr;
                    for (size_t t0 = 0; t0 < rows; t0 += mr) {
                        const size_t tr = std::min(rows - t0, mr);
                        float* ct = c + (i0 + t0) * ldc + j0 + p * nr;
                        ks.tile(kb, ap + (t0 / mr) * kb * mr, bpp, ct, ldc, static_cast<int>(tr),
                                static_cast<int>(cols), k0 == 0);
                        if (epilogue && k0 + kb == kd)
                            epilogue->fn(epilogue->ctx, ct, ldc, j0 + p * nr, tr, cols);
                    }
                }
            });
        }
    }
}

// w[j] = w[j] * scale for all j; returns the largest non-NaN w[j] (-inf when there is none).
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

// Results of several megabytes are written into fresh zero pages; asking for huge pages makes
// the first touch of each 2 MiB one fault instead of 512. A hint only: contents are unchanged.
void prefer_huge_pages(float* out, size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (n * sizeof(float) < 4 * kHuge) return;
    const auto begin = (reinterpret_cast<uintptr_t>(out) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<uintptr_t>(out + n)) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)out;
    (void)n;
#endif
}

Operand operand(const MatView& v) { return Operand{v.data, v.row_stride, v.col_stride}; }
Operand transposed(const MatView& v) { return Operand{v.data, v.col_stride, v.row_stride}; }

}  // namespace

// ---- public operations ----------------------------------------------------------------------------

void gemm(const MatView& a, const MatView& b, float* c) {
    prefer_huge_pages(c, a.rows * b.cols);
    gemm_core(kernels_for(current_isa()), operand(a), operand(b), a.rows, b.cols, a.cols, c,
              b.cols, worker_budget());
}

void gemm_batched(const Tensor3View& a, const Tensor3View& b, float* c) {
    const uint64_t bt = a.d0, m = a.d1, kd = a.d2, n = b.d2;
    if (bt == 0 || m == 0 || n == 0) return;
    detail::check_gemm_batched_shapes(a, b);
    if (kd == 0) return;
    prefer_huge_pages(c, bt * m * n);
    const KernelSet& ks = kernels_for(current_isa());
    const unsigned threads = worker_budget();
    auto one = [&](size_t p, unsigned th) {
        gemm_core(ks, Operand{a.data + static_cast<int64_t>(p) * a.s0, a.s1, a.s2},
                  Operand{b.data + static_cast<int64_t>(p) * b.s0, b.s1, b.s2}, m, n, kd,
                  c + p * m * n, n, th);
    };
    // Many batches: one thread per batch; few large ones: threads inside each product.
    if (bt >= threads) {
        parallel_for(bt, threads, [&](size_t p) { one(p, 1); });
    } else {
        for (size_t p = 0; p < bt; ++p) one(p, threads);
    }
}

float default_attention_scale(uint64_t d) { return 1.0f / sqrtf(static_cast<float>(d)); }

void attention(const Tensor3View& q, const Tensor3View& k, const Tensor3View& v, float scale,
               float* out) {
    const size_t nb = q.d0, s = q.d1, d = q.d2;
    if (nb == 0 || s == 0 || d == 0) return;
    detail::check_attention_shapes(q, k, v);
    prefer_huge_pages(out, nb * s * d);
    const KernelSet& ks = kernels_for(current_isa());
    const size_t mr = ks.mr;
    // Queries per task: a block of whole tiles, fewer when the rows of scores get long.
    const size_t qb = std::min(mr * div_up(128, mr), std::max((size_t{1} << 20) / s, size_t{1}));
    const size_t q_blocks = div_up(s, qb);

    parallel_for(nb * q_blocks, worker_budget(), [&](size_t task) {
        const size_t bi = task / q_blocks;
        const size_t i0 = (task % q_blocks) * qb;
        const size_t rows = std::min(s - i0, qb);
        float* sc = t_scratch.rows.get(rows * s);
        // Raw dot products q_i . k_j, each summed over features in order.
        gemm_core(ks, Operand{q.ptr(bi, i0, 0), q.s1, q.s2}, Operand{k.ptr(bi, 0, 0), k.s2, k.s1},
                  rows, s, d, sc, s, 1);
        for (size_t r = 0; r < rows; ++r) {
            float* w = sc + r * s;
            const float mx = scale_and_max(w, s, scale);
            for (size_t j = 0; j < s; ++j) w[j] = expf(w[j] - mx);
        }
        // Totals are serial chains over keys; several rows' chains run side by side.
        constexpr size_t kLanes = 8;
        for (size_t r0 = 0; r0 < rows; r0 += kLanes) {
            const size_t lanes = std::min(rows - r0, kLanes);
            float tot[kLanes] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
            const float* base = sc + r0 * s;
            if (lanes == kLanes) {
                for (size_t j = 0; j < s; ++j)
                    for (size_t l = 0; l < kLanes; ++l) tot[l] = tot[l] + base[l * s + j];
            } else {
                for (size_t l = 0; l < lanes; ++l)
                    for (size_t j = 0; j < s; ++j) tot[l] = tot[l] + base[l * s + j];
            }
            for (size_t l = 0; l < lanes; ++l) {
                float* w = sc + (r0 + l) * s;
                const float t = tot[l];
                for (size_t j = 0; j < s; ++j) w[j] = w[j] / t;
            }
        }
        // Weighted sum of values, over keys in order, into the zero-filled output rows.
        gemm_core(ks, Operand{reinterpret_cast<const char*>(sc), static_cast<int64_t>(s * sizeof(float)), 4},
                  Operand{v.ptr(bi, 0, 0), v.s1, v.s2}, rows, d, s, out + (bi * s + i0) * d, d, 1);
    });
}

void linear_gelu(const MatView& x, const MatView& w, const MatView* bias, float* out) {
    const size_t n = x.rows, kd = x.cols, o = w.rows;
    if (n == 0 || o == 0) return;
    detail::check_linear_gelu_shapes(x, w, bias);
    prefer_huge_pages(out, n * o);
    const unsigned threads = worker_budget();
    // Bias (the context, possibly null), then GELU, on each finished tile of the product.
    auto finish = [](const void* ctx, float* c, size_t ldc, size_t j0, size_t rows, size_t cols) {
        const auto* bias = static_cast<const MatView*>(ctx);
        for (size_t r = 0; r < rows; ++r) {
            float* y = c + r * ldc;
            if (bias) {
                for (size_t j = 0; j < cols; ++j) y[j] = detail::gelu(bias->at(0, j0 + j) + y[j]);
            } else {
                for (size_t j = 0; j < cols; ++j) y[j] = detail::gelu(y[j]);
            }
        }
    };
    if (kd > 0) {
        const TileEpilogue epilogue{finish, bias};
        gemm_core(kernels_for(current_isa()), operand(x), transposed(w), n, o, kd, out, o, threads,
                  &epilogue);
        return;
    }
    // No products: every element is GELU of its bias (or of +0.0).
    const size_t rows_per_task = div_up(16384, o);
    parallel_for(div_up(n, rows_per_task), static_cast<double>(n) * o >= 4096 ? threads : 1,
                 [&](size_t t) {
                     const size_t r0 = t * rows_per_task;
                     finish(bias, out + r0 * o, o, 0, std::min(n - r0, rows_per_task), o);
                 });
}

void rmsnorm(const MatView& x, const MatView& w, float eps, float* out) {
    const size_t r = x.rows, c = x.cols;
    if (r == 0 || c == 0) return;
    detail::check_rmsnorm_shapes(x, w);
    prefer_huge_pages(out, r * c);
    const float cf = static_cast<float>(c);
    constexpr size_t kLanes = 8;
    const size_t groups = div_up(r, kLanes);
    const size_t groups_per_task = div_up(div_up(32768, c), kLanes);
    const size_t tasks = div_up(groups, groups_per_task);
    const bool contiguous = x.col_stride == 4 && w.col_stride == 4;
    const char* gains = w.ptr(0, 0);
    parallel_for(tasks, static_cast<double>(r) * c >= 16384 ? worker_budget() : 1, [&](size_t t) {
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
                for (; j < c; ++j)
                    for (size_t l = 0; l < kLanes; ++l) {
                        const float e = load_f32(rowp[l] + 4 * j);
                        sum[l] = sum[l] + e * e;
                    }
            } else {
                for (size_t l = 0; l < lanes; ++l)
                    for (size_t j = 0; j < c; ++j) {
                        const float e = x.at(i0 + l, j);
                        sum[l] = sum[l] + e * e;
                    }
            }
            for (size_t l = 0; l < lanes; ++l) {
                const float rms = sqrtf(sum[l] / cf + eps);
                const char* xr = x.ptr(i0 + l, 0);
                float* y = out + (i0 + l) * c;
                if (contiguous) {
                    for (size_t j = 0; j < c; ++j)
                        y[j] = (load_f32(xr + 4 * j) / rms) * load_f32(gains + 4 * j);
                } else {
                    for (size_t j = 0; j < c; ++j)
                        y[j] = (load_f32(xr + static_cast<int64_t>(j) * x.col_stride) / rms) *
                               load_f32(gains + static_cast<int64_t>(j) * w.col_stride);
                }
            }
        }
    });
}

// ---- test controls ----------------------------------------------------------------------------

namespace testing {

bool force_isa(Isa isa) {
    const int want = static_cast<int>(isa);
    const int needs = isa == Isa::Avx2WideTiles ? static_cast<int>(Isa::Avx2) : want;
    if (want < 0 || want > static_cast<int>(Isa::Avx2WideTiles)) return false;
    if (isa != Isa::Auto && needs > static_cast<int>(best_isa_cached())) return false;
    g_forced_isa.store(want, std::memory_order_relaxed);
    return true;
}

Isa active_isa() { return current_isa(); }
Isa best_isa() { return best_isa_cached(); }
void force_threads(unsigned n) { set_thread_override(n); }
unsigned thread_count() { return worker_budget(); }

}  // namespace testing

}  // namespace vant::cpu

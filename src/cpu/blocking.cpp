// Packing, blocking and the choice of instruction-set path for the CPU products.
#include "cpu/blocking.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "common/host_buffer.hpp"
#include "cpu/cpu_ops.hpp"
#include "cpu/cpu_shared.hpp"
#include "cpu/thread_pool.hpp"

namespace vant::cpu {
namespace detail {
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

// Every AVX-512 processor has the fused multiply-add; an AVX2 one nearly always does.
bool has_avx2_fma() {
#if VANT_CPU_X86 && (defined(__GNUC__) || defined(__clang__))
    static const bool yes = [] {
        __builtin_cpu_init();
        return kernels_avx2_fused() && __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2");
    }();
    return yes;
#else
    return false;
#endif
}

const KernelSet& kernels_for(testing::Isa isa, Arithmetic arith) {
    if (arith == Arithmetic::Fused) {
        switch (isa) {
            case testing::Isa::Avx512: return *kernels_avx512_fused();
            case testing::Isa::Avx2:
                if (has_avx2_fma()) return *kernels_avx2_fused();
                break;
            case testing::Isa::Avx2WideTiles:
                if (has_avx2_fma()) return *kernels_avx2_wide_tiles_fused();
                break;
            default: break;
        }
        return *kernels_baseline_fused();
    }
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

struct ThreadScratch {
    Scratch a_panels;  // packed rows of A of one task
    Scratch b_panels;  // packed columns of B, shared by the tasks of one call
    Scratch rows;      // attention scores of one block of queries
};

// One set per thread and per nesting level of operations on that thread: an operation that a
// signal handler starts during a stop check of another must not touch the buffers the paused
// one is still using.
ThreadScratch& scratch() {
    thread_local std::vector<std::unique_ptr<ThreadScratch>> levels;
    const size_t depth = call_depth();
    while (levels.size() <= depth) levels.push_back(std::make_unique<ThreadScratch>());
    return *levels[depth];
}

// ---- packing --------------------------------------------------------------------------------------

// Copies n floats: the widths of full tiles as fixed-size copies that the compiler inlines (a
// library call per row of a panel costs more than the copy).
inline void copy_floats(float* d, const char* s, size_t n) {
    switch (n) {
        case 4: std::memcpy(d, s, 4 * sizeof(float)); return;
        case 6: std::memcpy(d, s, 6 * sizeof(float)); return;
        case 8: std::memcpy(d, s, 8 * sizeof(float)); return;
        case 12: std::memcpy(d, s, 12 * sizeof(float)); return;
        case 16: std::memcpy(d, s, 16 * sizeof(float)); return;
        default: std::memcpy(d, s, n * sizeof(float)); return;
    }
}

// Rows [i0, i0 + rows) by k-block [k0, k0 + kb) of A, as ceil(rows / mr) tiles of kb x mr
// (tile t at dst + t * kb * mr, element (r, k) at [k * mr + r]); missing rows are zero.
void pack_a(const Operand& a, size_t i0, size_t rows, size_t k0, size_t kb, size_t mr, float* dst) {
    for (size_t t0 = 0; t0 < rows; t0 += mr) {
        const size_t tr = std::min(rows - t0, mr);
        float* d = dst + (t0 / mr) * kb * mr;
        if (a.rs == 4) {
            for (size_t k = 0; k < kb; ++k) {
                copy_floats(d + k * mr, a.ptr(i0 + t0, k0 + k), tr);
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
            copy_floats(d + k * nr, b.ptr(k0 + k, j0), cols);
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

}  // namespace

float* Scratch::get(size_t n) {
    if (n > cap_) {
        mem_.reset();
        cap_ = 0;  // stays consistent when the allocation below throws
        mem_.reset(new float[n + 16]);
        cap_ = n;
    }
    auto addr = reinterpret_cast<uintptr_t>(mem_.get());
    return reinterpret_cast<float*>((addr + 63) & ~static_cast<uintptr_t>(63));
}

Scratch& row_scratch() { return scratch().rows; }

const KernelSet& active_kernels() { return kernels_for(current_isa(), arithmetic()); }

// ---- blocked product -------------------------------------------------------------------------------

// k-block: one B panel of kKc x nr floats (32 KiB at 16 columns) is reused from L1/L2 by every
// tile of a block of rows. Measured on a 2-core AMD EPYC, one thread, 1024^3: 94 GFLOP/s with
// 256, 99 with 512 (each k-block is one more pass over C); 1024 gains nothing more at 2048^3.
constexpr size_t kKc = 512;
constexpr size_t kPackedBFloats = 1u << 21;  // packed B of one column block (8 MiB)
constexpr double kParallelWork = 1 << 18;    // multiply-adds below which threads cost more
constexpr size_t kBlockRows = 120;           // rows of A packed together (one block in L2)

void gemm_core(const KernelSet& ks, const Operand& a, const Operand& b, size_t m, size_t n,
               size_t kd, float* c, size_t ldc, unsigned threads, const TileEpilogue* epilogue) {
    if (m == 0 || n == 0 || kd == 0) return;
    const size_t mr = ks.mr, nr = ks.nr;
    if (threads > 1 && static_cast<double>(m) * n * kd < kParallelWork) threads = 1;
    const size_t nc_max = ((kPackedBFloats / kKc) / nr) * nr;

    // Rows are shared out in blocks of whole tiles, their sizes differing by one tile at most:
    // about kBlockRows rows each (a packed block of A stays in L2), and with several threads a
    // multiple of the thread count, four per thread where there are enough tiles (a thread that
    // is held up by another process leaves less work behind).
    // Columns are split too only when there are fewer tiles of rows than threads: a column chunk
    // costs one more packing of its rows of A.
    const size_t tiles_m = div_up(m, mr);
    size_t row_blocks = div_up(tiles_m, div_up(kBlockRows, mr));
    size_t want_chunks = 1;
    if (threads > 1) {
        if (tiles_m >= threads) {
            row_blocks = std::max(row_blocks, std::min<size_t>(tiles_m / 2, 4 * size_t{threads}));
            row_blocks = std::min(div_up(row_blocks, threads) * threads, tiles_m);
        } else {
            row_blocks = tiles_m;
            want_chunks = div_up(2 * size_t{threads}, row_blocks);
        }
    }
    auto block_tiles = [&](size_t rb) { return rb * tiles_m / row_blocks; };  // first tile of a block

    for (size_t k0 = 0; k0 < kd; k0 += kKc) {
        const size_t kb = std::min(kd - k0, kKc);
        for (size_t j0 = 0; j0 < n; j0 += nc_max) {
            const size_t nc = std::min(n - j0, nc_max);
            const size_t panels = div_up(nc, nr);
            float* bp = scratch().b_panels.get(panels * kb * nr);
            parallel_for(panels, threads, [&](size_t p) {
                pack_b_panel(b, k0, kb, j0 + p * nr, std::min(nc - p * nr, nr), nr, bp + p * kb * nr);
            });

            const size_t per_chunk = div_up(panels, std::min(want_chunks, panels));
            const size_t col_chunks = div_up(panels, per_chunk);

            parallel_for(row_blocks * col_chunks, threads, [&](size_t task) {
                const size_t rb = task / col_chunks, cb = task % col_chunks;
                const size_t i0 = block_tiles(rb) * mr;
                const size_t rows = std::min(m, block_tiles(rb + 1) * mr) - i0;
                float* ap = scratch().a_panels.get(div_up(rows, mr) * mr * kb);
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

void prefer_huge_pages(float* out, size_t n) { advise_huge_pages(out, uint64_t{n} * sizeof(float)); }

}  // namespace detail

// ---- test controls ----------------------------------------------------------------------------

namespace testing {

bool force_isa(Isa isa) {
    const int want = static_cast<int>(isa);
    const int needs = isa == Isa::Avx2WideTiles ? static_cast<int>(Isa::Avx2) : want;
    if (want < 0 || want > static_cast<int>(Isa::Avx2WideTiles)) return false;
    if (isa != Isa::Auto && needs > static_cast<int>(detail::best_isa_cached())) return false;
    detail::g_forced_isa.store(want, std::memory_order_relaxed);
    return true;
}

Isa active_isa() { return detail::current_isa(); }
Isa best_isa() { return detail::best_isa_cached(); }
void force_threads(unsigned n) { set_thread_override(n); }
unsigned thread_count() { return worker_budget(); }

}  // namespace testing

}  // namespace vant::cpu

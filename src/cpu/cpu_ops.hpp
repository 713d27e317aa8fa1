// CPU arithmetic of the module: matrix products, attention, fused linear+GELU and RMSNorm.
//
// Every result is defined by a fixed order of float32 operations: each product is rounded to
// float32 and then added to a float32 accumulator that starts at +0.0 (never a fused
// multiply-add), sums run in increasing index order, and expf / tanhf / sqrtf are the C runtime's.
// The fast paths below only change which independent outputs are computed together (SIMD lanes,
// cache blocks, worker threads); they give the same bits as the plain loops in `reference`, on
// every instruction set and for any thread count.
//
// Inputs are strided views (byte strides, possibly negative, zero or not multiples of 4). Outputs
// are contiguous row-major float32 buffers: elements with an empty sum (K = 0) are left as they
// are (the caller fills them with +0.0 then), all others are overwritten, so an output whose sums
// are not empty need not be initialised. Shape faults throw vant::Panic(kIndexOutOfBounds) before
// any output is written. Scratch memory may throw std::bad_alloc. Callers hold the interpreter lock; the worker
// threads never touch Python.
//
// The arithmetic above is the default ("exact"). The opt-in "fused" arithmetic changes one thing:
// each product step of a sum of products (the GEMM family, the batched product, the two products
// inside attention and the product of linear+GELU) is one fused multiply-add acc = fma(a, b, acc),
// rounded once, still from +0.0 in increasing index order, so its results are as reproducible:
// the same bits on every instruction set and for any thread count. Everything else (the scaling
// and softmax of attention, the bias and GELU, RMSNorm) keeps its separate roundings. Each call
// reads the setting once when it starts.
//
// Long calls can be ended early: each operation takes an optional stop check, which the calling
// thread asks between blocks of work, about every 50 ms, at moments when no worker thread is
// computing. When it answers true the workers stop taking work, the operation returns false and
// the output is incomplete (the caller discards it). Otherwise the operations return true.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/views.hpp"

namespace vant::cpu {

enum class Arithmetic : int { Exact = 0, Fused = 1 };

// The process-wide setting. The first use reads VANTBLAS_CPU_ARITHMETIC ("exact" or "fused");
// another non-empty value is ignored with one warning line on standard error.
Arithmetic arithmetic();
void set_arithmetic(Arithmetic a);
// "exact" / "fused", and back (nullptr / false for any other name).
const char* arithmetic_name(Arithmetic a);
bool parse_arithmetic(std::string_view name, Arithmetic& out);

struct StopCheck {
    bool (*should_stop)(void* ctx);
    void* ctx;
};

// C (a.rows x b.cols) = A @ B. Requires a.cols == b.rows (the caller reports a mismatch).
bool gemm(const MatView& a, const MatView& b, float* c, const StopCheck* stop = nullptr);

// C (a.d0 x a.d1 x b.d2) = a[p] @ b[p] for every p < a.d0, with K = a.d2. Rows of b beyond K and
// batches beyond a.d0 are not read. Panics when K > 0 and b.d1 < K, or when a.d0 > b.d0 (checked
// whenever a.d0, a.d1 and b.d2 are all non-zero; with any of them 0 it returns at once).
bool gemm_batched(const Tensor3View& a, const Tensor3View& b, float* c, const StopCheck* stop = nullptr);

// out (q's shape B x S x D) = softmax(q k^T * scale) v per batch, over the first S keys.
// Nothing is read when B, S or D is 0. With D > 0, panics unless k and v each have at least
// B batches, S positions and D features.
bool attention(const Tensor3View& q, const Tensor3View& k, const Tensor3View& v, float scale,
               float* out, const StopCheck* stop = nullptr);

// The scale used when the caller gives none: 1 / sqrtf(float(D)), in float32.
float default_attention_scale(uint64_t d);

// out (N x O) = gelu(x (N x K) @ weight (O x K')^T [+ bias row 0]); tanh form of GELU.
// bias may be null. Panics (before computing) when N, O, K > 0 and K' < K, or when a bias is
// given, N, O > 0 and it has no row or fewer than O columns.
bool linear_gelu(const MatView& x, const MatView& w, const MatView* bias, float* out,
                 const StopCheck* stop = nullptr);

// out (R x C) = x / sqrtf(mean(x^2) + eps) * weight row 0, row by row. Nothing is read when R or
// C is 0; otherwise panics (before computing) when weight has no row or fewer than C columns.
bool rmsnorm(const MatView& x, const MatView& w, float eps, float* out, const StopCheck* stop = nullptr);

// The plain sequential loops that define the results (in the arithmetic currently set); the fast
// paths are checked against them.
namespace reference {
void gemm(const MatView& a, const MatView& b, float* c);
void gemm_batched(const Tensor3View& a, const Tensor3View& b, float* c);
void attention(const Tensor3View& q, const Tensor3View& k, const Tensor3View& v, float scale,
               float* out);
void linear_gelu(const MatView& x, const MatView& w, const MatView* bias, float* out);
void rmsnorm(const MatView& x, const MatView& w, float eps, float* out);
}  // namespace reference

// Test-only controls; never reachable from the public module.
namespace testing {
enum class Isa : int {
    Auto = 0,
    Baseline = 1,
    Avx2 = 2,
    Avx512 = 3,
    // The 256-bit unit run with the 512-bit path's tile shape (12 x 16), so that machines without
    // AVX-512 still exercise that blocking. Never chosen automatically.
    Avx2WideTiles = 4,
};
// Restricts the instruction-set path; false (and no change) when the machine lacks it.
bool force_isa(Isa isa);
// The path the next call will use.
Isa active_isa();
// The widest path this machine supports.
Isa best_isa();
// Number of threads used per call (the calling thread included); 0 restores the default, which
// is the number of CPUs the process may run on.
void force_threads(unsigned n);
unsigned thread_count();
}  // namespace testing

}  // namespace vant::cpu

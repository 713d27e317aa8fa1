// C entry points over the CPU arithmetic for tests and benchmarks (loaded with ctypes). Never part
// of the module: it exists so that the instruction-set path and the thread count can be chosen,
// and the plain loops run, from Python.
#include <cstdint>
#include <new>

#include "common/panic.hpp"
#include "common/views.hpp"
#include "cpu/cpu_ops.hpp"

using vant::MatView;
using vant::Tensor3View;
namespace cpu = vant::cpu;

namespace {

// 0 success, 1 index fault, 2 memory, 3 anything else
template <class F>
int guarded(F&& f) {
    try {
        f();
        return 0;
    } catch (const vant::Panic&) {
        return 1;
    } catch (const std::bad_alloc&) {
        return 2;
    } catch (...) {
        return 3;
    }
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int vc_gemm(int plain, const MatView* a, const MatView* b,
                                                   float* c) {
    return guarded([&] { plain ? cpu::reference::gemm(*a, *b, c) : (void)cpu::gemm(*a, *b, c); });
}

__attribute__((visibility("default"))) int vc_gemm_batched(int plain, const Tensor3View* a,
                                                           const Tensor3View* b, float* c) {
    return guarded([&] {
        plain ? cpu::reference::gemm_batched(*a, *b, c) : (void)cpu::gemm_batched(*a, *b, c);
    });
}

__attribute__((visibility("default"))) int vc_attention(int plain, const Tensor3View* q,
                                                        const Tensor3View* k, const Tensor3View* v,
                                                        float scale, float* out) {
    return guarded([&] {
        plain ? cpu::reference::attention(*q, *k, *v, scale, out)
              : (void)cpu::attention(*q, *k, *v, scale, out);
    });
}

__attribute__((visibility("default"))) int vc_linear_gelu(int plain, const MatView* x,
                                                          const MatView* w, const MatView* bias,
                                                          float* out) {
    return guarded([&] {
        plain ? cpu::reference::linear_gelu(*x, *w, bias, out) : (void)cpu::linear_gelu(*x, *w, bias, out);
    });
}

__attribute__((visibility("default"))) int vc_rmsnorm(int plain, const MatView* x, const MatView* w,
                                                      float eps, float* out) {
    return guarded([&] {
        plain ? cpu::reference::rmsnorm(*x, *w, eps, out) : (void)cpu::rmsnorm(*x, *w, eps, out);
    });
}

__attribute__((visibility("default"))) float vc_default_scale(uint64_t d) {
    return cpu::default_attention_scale(d);
}

__attribute__((visibility("default"))) void vc_set_arithmetic(int fused) {
    cpu::set_arithmetic(fused ? cpu::Arithmetic::Fused : cpu::Arithmetic::Exact);
}
__attribute__((visibility("default"))) int vc_arithmetic() {
    return cpu::arithmetic() == cpu::Arithmetic::Fused ? 1 : 0;
}

__attribute__((visibility("default"))) int vc_force_isa(int isa) {
    return cpu::testing::force_isa(static_cast<cpu::testing::Isa>(isa)) ? 1 : 0;
}
__attribute__((visibility("default"))) int vc_active_isa() {
    return static_cast<int>(cpu::testing::active_isa());
}
__attribute__((visibility("default"))) int vc_best_isa() {
    return static_cast<int>(cpu::testing::best_isa());
}
__attribute__((visibility("default"))) void vc_force_threads(unsigned n) {
    cpu::testing::force_threads(n);
}
__attribute__((visibility("default"))) unsigned vc_thread_count() {
    return cpu::testing::thread_count();
}

}  // extern "C"

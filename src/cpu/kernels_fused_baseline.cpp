// The fused arithmetic on every machine: one correctly rounded fused multiply-add per product
// step through the C runtime's fmaf (the processor's instruction where it has one, an exact
// software emulation where it has none), so the results are the bits of the vector units.
#include <cmath>
#include <cstring>

#include "cpu/isa_kernels.hpp"

namespace vant::cpu::fused {
namespace {

struct Vec {
    using T = float;
    static constexpr int L = 1;
    static T zero() { return 0.0f; }
    static T load(const float* p) { return *p; }
    static void store(float* p, T v) { *p = v; }
    static T bcast(float x) { return x; }
    static T step(T acc, T a, T b) { return std::fma(a, b, acc); }
};

#include "cpu/tile_kernel.inc"

}  // namespace
}  // namespace vant::cpu::fused

namespace vant::cpu {

const KernelSet* kernels_baseline_fused() {
    static const KernelSet ks{"scalar-fused", 4, 4, &fused::tile_kernel<4, 4>};
    return &ks;
}

}  // namespace vant::cpu

// Choice and first-use check of the vector expf / tanhf (see elementary_functions.hpp).
#include "cpu/elementary_functions.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu/cpu_ops.hpp"
#include "cpu/cpu_shared.hpp"

namespace vant::cpu::detail {
namespace {

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Arguments whose scalar results the vector code must reproduce before it is trusted: a spread
// over the whole range, every branch of the algorithm on both sides of its bounds, and values
// where a correctly rounded function and the reproduced one differ.
std::vector<float> exp_sample() {
    std::vector<float> v;
    for (int i = 0; i <= 3000; ++i) {
        const double f = i / 3000.0;
        v.push_back(static_cast<float>(-104.5 * f * f * f));
    }
    for (int e = 0; e < 160; ++e) v.push_back(-std::ldexp(1.0f + e / 160.0f, -e));
    const uint32_t hard[] = {
        0xb8ca127e, 0xb8e09314, 0xb8ea3359, 0xb8f1338d, 0xb8fad3d7, 0xb921cb32, 0xb928ab79,
        0xb92c9ba3, 0xb93c0c51,  // results within 0.002 ulp of a rounding boundary
        0x80000000, 0x80000001, 0xff800000, 0x7fc00000, 0xffc00001, 0xc2ae0000, 0xc2aeac50,
        0xc2af0000, 0xc2cff1b4, 0xc2cff1b5, 0xc2d00000, 0xc2d00001, 0xbf800000, 0xb3000000,
    };
    for (uint32_t h : hard) v.push_back(from_bits(h));
    return v;
}

std::vector<float> tanh_sample() {
    std::vector<float> v;
    for (int e = -150; e <= 8; ++e)
        for (int m = 0; m < 24; ++m) {
            const float x = std::ldexp(1.0f + m / 24.0f + 0.0013f * static_cast<float>(e & 7), e);
            v.push_back(x);
            v.push_back(-x);
        }
    for (int i = 0; i < 1200; ++i) v.push_back(-12.0f + static_cast<float>(i) * 0.02f + 1e-4f);
    // Where the reduction's k of expm1f(2|x|) passes 22 and 56.
    for (float c : {7.798f, 19.58f})
        for (int i = -100; i <= 100; ++i) v.push_back(c + static_cast<float>(i) * 2e-4f);
    const uint32_t bounds[] = {0x24000000, 0x33000000, 0x3e317218, 0x3e317219, 0x3e851592,
                               0x3f051592, 0x3f800000, 0x3f851592, 0x41b00000, 0x4195b844, 0x3f000000, 0x3e800000};
    for (uint32_t b : bounds)
        for (int d = -2; d <= 2; ++d) {
            v.push_back(from_bits(b + static_cast<uint32_t>(d)));
            v.push_back(-from_bits(b + static_cast<uint32_t>(d)));
        }
    const uint32_t extra[] = {0x33000001, 0x33000002, 0x00000000, 0x80000000, 0x00000001, 0x807fffff,
                              0x7f800000, 0xff800000, 0x7fc00000, 0xffc12345, 0x7f7fffff};
    for (uint32_t x : extra) v.push_back(from_bits(x));
    return v;
}

bool same(float a, float b) {
    uint32_t ua, ub;
    std::memcpy(&ua, &a, 4);
    std::memcpy(&ub, &b, 4);
    return ua == ub;
}

bool check(const SpecialSet& set, int which) {
    if (which == 0 && !set.exp_nonpositive) return false;
    const std::vector<float> x = which == 0 ? exp_sample() : tanh_sample();
    std::vector<float> y = x;  // in place, as the operations call it
    (which == 0 ? set.exp_nonpositive : set.tanh)(y.data(), y.data(), y.size());
    for (size_t i = 0; i < x.size(); ++i)
        if (!same(y[i], which == 0 ? expf(x[i]) : tanhf(x[i]))) return false;
    return true;
}

// Per version (baseline, AVX2, AVX-512) and function: 0 not checked yet, 1 passed, 2 failed.
// A check that runs twice at once on two threads reaches the same verdict.
std::atomic<int> g_state[3][2];

int index_of(const SpecialSet& set) {
    if (&set == special_avx512()) return 2;
    if (&set == special_avx2()) return 1;
    return 0;
}

bool default_fp_state() {
#if VANT_CPU_X86
    return (_mm_getcsr() & ~0x3Fu) == 0x1F80u;  // all exceptions masked, nearest, no FTZ / DAZ
#else
    return true;
#endif
}

const SpecialSet* usable(int which) {
    if (!default_fp_state() || !special_checked_ok(which)) return nullptr;
    return &special_for_active_isa();
}

}  // namespace

const SpecialSet& special_for_active_isa() {
    switch (testing::active_isa()) {
        case testing::Isa::Avx512: return *special_avx512();
        case testing::Isa::Avx2:
        case testing::Isa::Avx2WideTiles: return *special_avx2();
        default: return *special_baseline();
    }
}

bool special_checked_ok(int which) {
    const SpecialSet& set = special_for_active_isa();
    std::atomic<int>& state = g_state[index_of(set)][which];
    int s = state.load(std::memory_order_acquire);
    if (s == 0) {
        s = check(set, which) ? 1 : 2;
        state.store(s, std::memory_order_release);
    }
    return s == 1;
}

void expf_nonpositive(const float* x, float* y, size_t n) {
    if (const SpecialSet* set = usable(0)) return set->exp_nonpositive(x, y, n);
    for (size_t i = 0; i < n; ++i) y[i] = expf(x[i]);
}

void tanhf_all(const float* x, float* y, size_t n) {
    if (const SpecialSet* set = usable(1)) return set->tanh(x, y, n);
    for (size_t i = 0; i < n; ++i) y[i] = tanhf(x[i]);
}

}  // namespace vant::cpu::detail

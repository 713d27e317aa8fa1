// The C runtime's expf and tanhf over arrays, with its bits but without a call per element.
//
// Each instruction-set unit carries a vector version (elementary.inc). The first use of a version
// compares it with the scalar function on a fixed sample and on known hard cases; where any
// result differs (a runtime whose expf or tanhf is not the one the vector code reproduces) that
// version is not used again in the process and the scalar function serves every element. The
// vector versions are also bypassed while the floating-point control state is not the default
// one (another rounding mode, flush-to-zero, unmasked exceptions).
#pragma once

#include <cstddef>

namespace vant::cpu::detail {

struct SpecialSet {
    const char* name;
    // y[i] = expf(x[i]) for x[i] in [-inf, 0] or NaN (the exponent of a softmax after its
    // maximum is subtracted); other inputs go to the scalar function. y may be x. Null where
    // the scalar function is as fast.
    void (*exp_nonpositive)(const float* x, float* y, size_t n);
    // y[i] = tanhf(x[i]) for every float. y may be x.
    void (*tanh)(const float* x, float* y, size_t n);
};

const SpecialSet* special_baseline();
const SpecialSet* special_avx2();
const SpecialSet* special_avx512();

// Through the vector version of the instruction-set path in use when it passed its check, else
// the scalar functions. Same contract as the SpecialSet members.
void expf_nonpositive(const float* x, float* y, size_t n);
void tanhf_all(const float* x, float* y, size_t n);

// For tests: the version of the path in use (unchecked), and whether its check passed
// (running the check if it has not run yet). which: 0 expf, 1 tanhf.
const SpecialSet& special_for_active_isa();
bool special_checked_ok(int which);

}  // namespace vant::cpu::detail

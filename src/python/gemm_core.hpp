// Shared GEMM procedures of the entry points (also used by the chained GEMM).
#pragma once

#include "common/views.hpp"
#include "pyref.hpp"

namespace vant::py {

// The CPU product, or RuntimeError "Shape mismatch: A[M,K] x B[K2,N]".
PyObject* cpu_gemm(const MatView& a, const MatView& b);
// The GPU attempt; `ok` tells whether it succeeded (its error text is discarded).
PyObject* gpu_gemm_result(const MatView& a, const MatView& b, bool& ok);
// GPU attempt, then the CPU product.
PyObject* gemm_core(const MatView& a, const MatView& b);

}  // namespace vant::py

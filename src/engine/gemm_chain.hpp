// C = (A x W1) x W2 with both products on the device and the intermediate H kept there: only A,
// W1 and W2 go up and only C comes back. Each product takes the tensor-core route or the FP32
// route on its own, by the rule of the single GEMM; a failed tensor-core attempt falls back to
// FP32 silently. Every device buffer of the call is given back before it returns, on every path.
#pragma once

#include "../common/host_buffer.hpp"
#include "../common/result.hpp"
#include "../common/views.hpp"

namespace vant::engine {

// Errors: the two shape texts, "Matrix too large for the GPU: ...", "Failed to get VantBLAS: ",
// "Failed to get CUDA core: ", "Failed to allocate H: ", "First GEMM failed: ",
// "Second GEMM failed: " and the texts of run_staged (staged_product.hpp).
Result<HostBuffer> gpu_gemm_chain(const MatView& a, const MatView& w1, const MatView& w2);

}  // namespace vant::engine

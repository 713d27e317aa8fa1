// The GPU attempt of the single-matrix GEMM entry points: C = A x B for two float32 views, computed
// on the device (tensor cores when every size is a multiple of 16 and they are available, single
// precision otherwise) and returned as a new host buffer of M x N floats. Every device buffer of
// the call is given back before it returns, on every path. The caller computes the product on the
// CPU when this fails.
#pragma once

#include <cstdint>

#include "../common/host_buffer.hpp"
#include "../common/result.hpp"
#include "../common/views.hpp"
#include "../driver/driver_api.hpp"

namespace vant::engine {

struct KernelSet;

// Errors: "Shape mismatch: A[M,K] x B[K2,N]" (inner sizes differ in their low 32 bits; no GPU
// state is touched), "Matrix too large for the GPU: ..." (an extent of 2^32 or more, or an
// operand of 2^32 bytes or more), "Failed to get VantBLAS: ", "Failed to get CUDA core: ", and
// the texts of run_staged (staged_product.hpp), "VantBLAS GEMM failed: " among them. Device
// buffers come from the pool and go back to it on every path.
Result<HostBuffer> gpu_gemm(const MatView& a, const MatView& b);

// True when a product of these extents can be handed to the device: every extent below 2^32 and
// every operand (M x K, K x N, M x N floats) below 2^32 bytes, as the 32-bit sizes and byte
// counts of the kernels and transfers require.
bool fits_device_sizes(uint64_t m, uint64_t n, uint64_t k) noexcept;

// What a product on the device needs: the loaded kernel set and the core's stream.
struct GemmDevice {
    const KernelSet* set;
    drv::CUstream stream;
};
// Errors: "Failed to get VantBLAS: ", "Failed to get CUDA core: ".
Result<GemmDevice> gemm_device();

}  // namespace vant::engine

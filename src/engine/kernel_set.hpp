// The process-wide set of loaded GEMM, conversion, attention, fused and FP8 modules, with one
// optional function handle per kernel the engine knows by name, and the dispatch that turns one
// product on device memory into a kernel launch.
//
// The set is built once, under a lock, by the first GPU GEMM request and never released: its
// modules stay loaded until the process ends (or until another library resets the device, when
// the next request builds a new set). A failed build caches nothing, so the next request loads
// (and prints) everything again.
#pragma once

#include <cstdint>
#include <vector>

#include "../driver/driver_api.hpp"
#include "../runtime/memory_pool.hpp"
#include "cuda_result.hpp"
#include "paths.hpp"
#include "half_range.hpp"

namespace vant::engine {

using drv::CUdeviceptr;
using drv::CUfunction;
using drv::CUmodule;
using drv::CUresult;
using drv::CUstream;

// Every address argument below is a device address of row-major data: A is M x K, B is K x N and
// C is M x N floats. The dispatch neither allocates, copies nor synchronises; a successful return
// means the driver accepted the launch on `stream`. Sizes are not checked against the buffers:
// callers guarantee that A, B and C hold their M x K, K x N and M x N floats.
struct HalfScratch;

struct KernelSet {
    // Empty (null) when not available. Launched: gemm_small, gemm_shared, gemm_v2,
    // convert_f32_to_f16, gemm_wmma_opt_vec, gemm_wmma_max, gemm_mma_pipe, gemm_mma_wide,
    // convert_scaled_f16, the wgmma pair and the split-K entries; the others are held for users
    // of the set. Fallbacks put another slot's handle here when a module fails (see load()).
    CUfunction gemm_small = nullptr;
    CUfunction gemm_basic = nullptr;
    CUfunction gemm_shared = nullptr;
    CUfunction gemm_reg8x8 = nullptr;
    CUfunction batched_gemm = nullptr;
    CUfunction gemm_wmma_max = nullptr;
    CUfunction gemm_wmma_opt_vec = nullptr;
    CUfunction gemm_fp16_pure = nullptr;
    CUfunction gemm_v2 = nullptr;
    CUfunction gemm_small_v1 = nullptr;
    CUfunction gemm_medium_v1 = nullptr;
    CUfunction convert_f32_to_f16_fn = nullptr;
    CUfunction convert_f16_to_f32_fn = nullptr;
    CUfunction quantize_fp8 = nullptr;
    CUfunction dequantize_fp8 = nullptr;
    CUfunction gemm_fp8_tiled = nullptr;
    CUfunction attention_basic = nullptr;
    CUfunction fused_attention_simple = nullptr;
    CUfunction multihead_attention = nullptr;
    CUfunction fused_linear_bias_gelu = nullptr;
    CUfunction fused_linear_bias_silu = nullptr;
    CUfunction fused_rmsnorm_residual = nullptr;
    CUfunction fused_layernorm_residual = nullptr;
    CUfunction fused_swiglu = nullptr;
    CUfunction fused_bias_residual = nullptr;
    // The pipelined mma.sync module (sm_80 and later): its GEMM and the scaled half conversion
    // feeding it. Both stay empty unless the module loaded and its self-test at load time agreed
    // with the shared kernel.
    CUfunction gemm_mma_pipe = nullptr;
    CUfunction convert_scaled_f16 = nullptr;
    // Packs a strided float32 matrix into a row-major buffer (imports of device arrays).
    CUfunction gather_strided = nullptr;
    // The compute capability 9.0 module (wgmma fed by TMA): its GEMM and the padded scaled half
    // conversion feeding it. Loaded after the pipelined module, only on 9.0 with the tensor-map
    // entries present, and kept only once its canary agreed; it then serves gemm_mma_scaled.
    CUfunction gemm_wgmma_tma = nullptr;
    CUfunction convert_pad_f16 = nullptr;
    uint32_t sm_count = 1;  // the device's multiprocessors (1 when unknown): wgmma blocks, tile choice, split-K plans
    // The 128 x 256 mma.sync kernel (module gemm/mma_wide.ptx, loaded after the pipelined one and
    // fed by its conversion): kept only when its dynamic shared memory limit could be raised and
    // its canary agreed; gemm_mma_scaled then uses it where choose_mma_tile says so.
    CUfunction gemm_mma_wide = nullptr;
    // Split-K (split_k.cpp): the shared kernel's k-slice variant and the slice sum, both of the
    // shared module (looked up after every other entry of the set, left empty when missing), and
    // the pipelined kernel's k-slice variant, which its module must have like its other entries.
    CUfunction gemm_shared_split = nullptr;
    CUfunction splitk_reduce = nullptr;
    CUfunction gemm_mma_split = nullptr;

    // Every module this set resolved its handles from, kept loaded for the life of the process.
    std::vector<CUmodule> modules;

    // The device's largest grid y extent (the core's reading); launch_tiled splits above it.
    uint32_t max_grid_y = 65535;
    // The generation of the core whose context holds the modules.
    uint64_t generation = 0;

    // The process-wide set, loaded on first use (the pointer stays valid for the rest of the
    // process), or the error of the load.
    static CudaResult<const KernelSet*> get();
    // Loads every module with its progress and warning lines. On failure the modules loaded so
    // far are unloaded again before the error is returned.
    static CudaResult<KernelSet> load();

    // Single precision: small (every size below 64), shared, or V2 (every size at least 2048,
    // N a multiple of 4, V2 loaded). A zero size is an InvalidDimensions error.
    CudaResult<void> gemm_f32(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m, uint32_t n,
                              uint32_t k, CUstream stream) const;
    // The shared kernel with its parameter order and geometry (in the reduced set the basic
    // kernel sits in that slot and takes the same).
    CudaResult<void> launch_shared(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                   uint32_t n, uint32_t k, CUstream stream) const;
    // n float32 values at `source` rounded to n halves at `destination` (2n bytes).
    CudaResult<void> convert_f32_to_f16(CUdeviceptr source, CUdeviceptr destination, uint32_t n,
                                        CUstream stream) const;
    // Tensor-core product. A and B are float32: both tensor-core kernels round them to half while
    // staging, and the shared-kernel fallback reads them as float32 as well, so every kernel this
    // can launch reads exactly the buffers it is given. C receives float32.
    CudaResult<void> gemm_f16(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m, uint32_t n,
                              uint32_t k, CUstream stream) const;
    // The WMMA-max kernel (which must be loaded); when the driver refuses it, one warning line
    // and the shared kernel through launch_shared.
    CudaResult<void> launch_wmma(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                 uint32_t n, uint32_t k, CUstream stream) const;

    // Half-precision product through the pipelined kernel (which must be loaded): A and B are
    // float32; each is converted once into half scratch scaled by the power of two that
    // half_scale_exponent gives for its largest finite magnitude in `range`, and C is scaled back
    // in float32. M, N, K nonzero multiples of 16. The scratch is released before returning.
    // `keep`, when given, holds the scratch across the row panels of one product (see
    // HalfScratch); without it the scratch is released before returning.
    // `tile` other than Auto forces that mma.sync kernel (which must be loaded), even where the
    // wgmma kernel would serve.
    CudaResult<void> gemm_mma_scaled(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                     uint32_t n, uint32_t k, OperandRange range, CUstream stream,
                                     HalfScratch* keep = nullptr, MmaTile tile = MmaTile::Auto) const;

    bool has_tensor_cores() const noexcept { return gemm_wmma_max != nullptr; }

    // Parameter lists of the tiled GEMM kernels: (A, B, C, M, N, K), (C, A, B, M, N, K), and
    // (A, B, C, M, N, K, alpha, beta) with alpha = 1 and beta = 0.
    enum class ParamOrder { Abc, Cab, AbcAlphaBeta };
    using ShapeFn = LaunchShape (*)(uint32_t m, uint32_t n) noexcept;
    // Every launch of a GEMM kernel goes through here. `fn` covers C with blocks of `tile` rows,
    // geometry shape(M, N). While the grid's y extent fits max_grid_y this is exactly one launch;
    // otherwise C is split into bands of whole tile rows, one launch each, with A and C advanced
    // to the band's first row and the band's row count passed as M (B, N and K unchanged: A's
    // and C's rows keep their lengths K and N). Returns the first status other than success.
    CUresult launch_tiled(CUfunction fn, ShapeFn shape, uint32_t tile, ParamOrder order,
                          CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m, uint32_t n,
                          uint32_t k, CUstream stream) const;
    bool has_mma_pipe() const noexcept { return gemm_mma_pipe && convert_scaled_f16; }
    // dst (rows x cols, row-major) = src with element strides (row_stride, col_stride).
    CudaResult<void> gather_strided_f32(CUdeviceptr dst, CUdeviceptr src, uint32_t rows, uint32_t cols,
                                        int64_t row_stride, int64_t col_stride, CUstream stream) const;
    bool has_wgmma() const noexcept { return gemm_wgmma_tma && convert_pad_f16; }
    bool has_mma_wide() const noexcept { return gemm_mma_wide && has_mma_pipe(); }
    // The pipelined route's product on half operands ha (M x K) and hb (K x N) already in scratch,
    // C scaled back by f1 then f2, through the kernel of `tile` (Square or Wide).
    CudaResult<void> launch_mma_tile(MmaTile tile, CUdeviceptr c, CUdeviceptr ha, CUdeviceptr hb,
                                     uint32_t m, uint32_t n, uint32_t k, float f1, float f2,
                                     CUstream stream) const;
    // gemm_mma_scaled through the wgmma kernel (which must be loaded), with at most `max_blocks`
    // persistent blocks when nonzero (else sm_count).
    CudaResult<void> gemm_wgmma_scaled(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                       uint32_t n, uint32_t k, OperandRange range, CUstream stream,
                                       HalfScratch* keep, uint32_t max_blocks = 0) const;

    // Split-K. The plans are plan_split_k for this device, 1 slice when the kernels are missing.
    // Shared path: 64 x 64 tiles, k step 8, and only while the rows need no bands.
    SplitPlan shared_split_plan(uint32_t m, uint32_t n, uint32_t k) const noexcept;
    // Pipelined route (every device with the pipelined module, the wgmma one included): 128 x 128
    // tiles, k step 32.
    SplitPlan mma_split_plan(uint32_t m, uint32_t n, uint32_t k) const noexcept;
    // The shared path split by its plan, when it splits and its S x M x N workspace can be had:
    // the slices and then their sum into C are queued, and the result is true. False (nothing
    // queued) when the unsplit kernel is to serve; an error when the driver refused a launch.
    CudaResult<bool> gemm_shared_split_k(CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, uint32_t m,
                                         uint32_t n, uint32_t k, CUstream stream) const;
    // The pipelined kernel's slices over half operands ha, hb (M x K, K x N) into `partials`
    // (plan.slices x M x N floats), then their sum scaled back by `back` into C.
    CudaResult<void> launch_mma_split(CUdeviceptr c, CUdeviceptr ha, CUdeviceptr hb, uint32_t m,
                                      uint32_t n, uint32_t k, SplitPlan plan, CUdeviceptr partials,
                                      PowerOfTwo back, CUstream stream) const;
};

// Half scratch of the pipelined route kept across the row panels of one product, all issued on
// one stream: B is converted once (for as long as its source and scale stay the same) and A's
// block serves every panel, so the panel loop neither converts B again nor allocates or frees.
struct HalfScratch {
    rt::PooledBuffer a, b;
    CUdeviceptr b_source = 0;
    int b_scale = 0;
    bool b_ready = false;
};

// The workspace of a split product: plan.slices x M x N floats from the pool, or an empty buffer
// when the plan does not split or the pool cannot give it (the unsplit route then serves).
rt::PooledBuffer split_workspace(SplitPlan plan, uint32_t m, uint32_t n);

// C = A x B on float32 device buffers by the rule of the single GEMM: when all sizes are
// multiples of 16, the tensor-core route, through the pipelined kernel (operands scaled into half
// range by `range`, the largest finite magnitudes of A and B) or, without it, through OptVec /
// WMMA-max when the WMMA-max kernel is loaded and both operands fit half range unscaled. If that
// route fails its error is dropped silently and the single-precision dispatch runs instead.
// Returns the route that produced C, or the single-precision dispatch's error.
CudaResult<ProductRoute> gemm_f16_or_f32(const KernelSet& set, CUdeviceptr a, CUdeviceptr b,
                                         CUdeviceptr c, uint32_t m, uint32_t n, uint32_t k,
                                         OperandRange range, CUstream stream,
                                         HalfScratch* keep = nullptr);

// The route of a product issued in row panels: the first panel chooses it by gemm_f16_or_f32 (a
// refused tensor-core launch falls back to single precision there), later panels keep it, so
// every row is computed by the same kernel; a later panel that is refused fails the product.
// Each panel passes its own range: the pipelined kernel scales every panel of A by its own power
// of two (callers keep products the seed kernels may serve in one panel, as those cannot scale).
class PanelRoute {
public:
    CudaResult<void> run(const KernelSet& set, CUdeviceptr a, CUdeviceptr b, CUdeviceptr c,
                         uint32_t m, uint32_t n, uint32_t k, OperandRange range, CUstream stream);

private:
    bool chosen_ = false;
    ProductRoute route_ = ProductRoute::F32;
    HalfScratch scratch_;
};

// Runs the pipelined kernel once on a fixed 272 x 144 x 112 product (every fragment position, a
// partial block tile in M and N, a partial k step, more k steps than pipeline stages) and compares
// it with the shared kernel. False when any driver call fails or an element differs by more than
// half-precision rounding allows.
bool mma_pipe_self_test(const KernelSet& set, CUstream stream);
// The pipelined kernel's split variant and the slice sum on a 48 x 144 x 112 product (partial
// tiles in M and N) cut into a slice of 64 and one of 48 (a partial k step), compared bit for bit
// with the unsplit kernel on operands whose every partial sum is exact. False when any driver
// call fails or a bit differs.
bool mma_split_self_test(const KernelSet& set, CUstream stream);
// The wgmma kernel's canary: a 400 x 272 x 208 product (partial tiles in M, N and K) on three
// persistent blocks for its eight tiles (more than one tile a block), compared as above.
bool wgmma_self_test(const KernelSet& set, CUstream stream);
// The wide kernel's canary: a 272 x 528 x 208 product (partial block tiles in M, N and K, seven k
// steps through four stages, nine block tiles) through gemm_mma_scaled forced to the wide tile,
// compared as above.
bool mma_wide_self_test(const KernelSet& set, CUstream stream);
// Raises the wide kernel's dynamic shared memory limit (cuFuncSetAttribute, an optional entry) and
// runs its canary. Anything but Enabled leaves gemm_mma_wide for the caller to clear.
enum class WideStatus { Enabled, Unavailable, CanaryFailed };
WideStatus enable_mma_wide(const KernelSet& set, CUstream stream);
// The device's multiprocessor count (attribute 16), 1 when it cannot be read.
uint32_t multiprocessor_count(uint64_t device_id) noexcept;

}  // namespace vant::engine

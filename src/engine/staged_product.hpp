// Moving the operands of a row-separable product to the device and its result back: C's rows
// depend only on the same rows of A and on the whole of the other operands (B, or W1 and W2 of a
// chain). Device memory comes from the pool. With pinned staging the operands are gathered
// straight from their NumPy views into the staging chunks and copied asynchronously; a large
// product is cut into row panels so that the upload of later panels of A and the download of
// finished panels of C overlap the product of the panels in between. A driver without the
// asynchronous entry points gets blocking copies through pageable memory, as before.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "../common/host_buffer.hpp"
#include "../common/result.hpp"
#include "../common/views.hpp"
#include "gpu_gemm.hpp"
#include "paths.hpp"

namespace vant::engine {

// Row traffic (A and C rows, bytes) from which a product is cut into panels.
inline constexpr uint64_t kOverlapLeastBytes = uint64_t{16} << 20;
inline constexpr uint32_t kPanelGranule = 128;  // the largest tile height of any kernel
inline constexpr uint32_t kMostPanels = 4;

// One product of a panel: rows x n times n x k in FP32 terms, the sizes that decide its kernel.
struct ProductSizes {
    uint32_t n;
    uint32_t k;
};

// Tile height of the kernel that serves a rows x n x k product: the tensor-core kernels' 128 for
// multiples of 16, else that of its single-precision path.
constexpr uint32_t panel_tile(uint32_t rows, const ProductSizes& p, bool has_v2) noexcept {
    if (multiples_of_16(rows, p.n, p.k)) return kMmaPipeTile;
    switch (choose_f32_path(rows, p.n, p.k, has_v2)) {
        case F32Path::Small: return kSmallTile;
        case F32Path::V2: return kV2Tile;
        default: return kSharedTile;
    }
}

// Rows per panel for an M-row product made of the given products (m when it is not cut). A cut
// never changes which kernel serves a panel: every panel height keeps the single-precision path
// and the multiple-of-16 property of the whole product, so every row is computed by the same
// kernel, with the same tiles, as without the cut. Nor does a cut starve a device of `sm_count`
// multiprocessors: panels of fewer tiles than that (in any of the products) are not made, and so
// a product that is split along K (fewer tiles than half the multiprocessors) keeps one panel.
constexpr uint32_t plan_panel_rows(uint32_t m, const ProductSizes* products, int count, bool has_v2,
                                   uint32_t sm_count = 1) noexcept {
    // A row of A goes up and a row of C comes back.
    const uint64_t row_bytes = (uint64_t{products[0].k} + products[count - 1].n) * 4;
    if (m < 2 * kPanelGranule || uint64_t{m} * row_bytes < kOverlapLeastBytes) return m;
    for (uint32_t panels = kMostPanels; panels >= 2; --panels) {
        uint32_t rows = ceil_div(ceil_div(m, panels), kPanelGranule) * kPanelGranule;
        if (rows >= m) continue;
        const uint32_t last = m - (ceil_div(m, rows) - 1) * rows;
        bool same = true;
        for (int i = 0; i < count && same; ++i) {
            const ProductSizes& p = products[i];
            const F32Path whole = choose_f32_path(m, p.n, p.k, has_v2);
            same = choose_f32_path(rows, p.n, p.k, has_v2) == whole &&
                   choose_f32_path(last, p.n, p.k, has_v2) == whole &&
                   multiples_of_16(rows, p.n, p.k) == multiples_of_16(m, p.n, p.k) &&
                   multiples_of_16(last, p.n, p.k) == multiples_of_16(m, p.n, p.k);
            const uint32_t tile = panel_tile(m, p, has_v2);
            same = same && uint64_t{ceil_div(rows, tile)} * ceil_div(p.n, tile) >= sm_count;
        }
        if (same) return rows;
    }
    return m;
}

// Issues the product of one row panel on `stream`: `whole` holds the device addresses of the
// whole operands in the order given to run_staged, `a` and `c` point at the panel's first row of
// A and C, `row0` is that row's index.
using PanelProduct = std::function<Result<void>(const std::vector<drv::CUdeviceptr>& whole, drv::CUdeviceptr a,
                                                drv::CUdeviceptr c, uint32_t row0, uint32_t rows,
                                                drv::CUstream stream)>;

struct StagedJob {
    const MatView* a;                  // split by rows
    std::vector<const MatView*> whole; // uploaded whole, before A
    uint64_t c_cols;
    uint32_t panel_rows;               // from plan_panel_rows (a->rows: one panel)
    // When set, receives the largest finite |x| of each whole operand, then of A, found during
    // the gather (for routes that scale operands). Each value is complete before the first
    // product is issued; with several panels A's is that of the panel whose product is issued.
    std::vector<float>* max_abs = nullptr;
};

// Uploads, runs `product` on every panel in order, and returns C (a->rows x c_cols floats).
// Errors: "Failed to set CUDA context: ", "Failed to allocate CUDA memory: ",
// "Failed to allocate output: ", "Failed to create staging: ", the transfer texts and the
// product's own error. Every device buffer goes back to the pool, and no queued copy or kernel
// is left behind, on every path.
Result<HostBuffer> run_staged(const GemmDevice& device, const StagedJob& job, const PanelProduct& product);

}  // namespace vant::engine

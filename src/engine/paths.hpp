// Kernel choice and launch geometry as pure functions of sizes and capabilities, so that every
// threshold and table can be checked without a device. The dispatch in kernel_set.cpp only
// reads these and issues the launch.
#pragma once

#include <cstdint>

namespace vant::engine {

// Which single-precision kernel serves a product.
enum class F32Path {
    ZeroDimension,  // nothing to launch: a size is 0
    Small,          // 16x16 tiles, every size below 64
    Shared,         // 64x64 shared-memory tiles
    V2,             // 128x128 register-blocked tiles, every size at least 2048
};

// Which tensor-core kernel serves a product (or why none can).
enum class F16Path {
    Unavailable,    // the WMMA-max kernel is not loaded
    BadDimensions,  // a size is not a multiple of 16
    OptVec,
    WmmaMax,
};

inline constexpr uint32_t kSmallLimit = 64;  // small path only while every size is below this
inline constexpr uint32_t kV2Least = 2048;   // V2 path only once every size reaches this

// The V2 kernel moves B and C in groups of four floats: without N % 4 == 0 the last group of a
// row would run past the row (and past the buffer on the last row).
constexpr bool v2_fits(uint32_t m, uint32_t n, uint32_t k) noexcept {
    uint32_t least = m < n ? m : n;
    least = least < k ? least : k;
    return least >= kV2Least && n % 4 == 0;
}

constexpr F32Path choose_f32_path(uint32_t m, uint32_t n, uint32_t k, bool has_v2) noexcept {
    if (m == 0 || n == 0 || k == 0) return F32Path::ZeroDimension;
    uint32_t big = m > n ? m : n;
    big = big > k ? big : k;
    if (big < kSmallLimit) return F32Path::Small;
    if (has_v2 && v2_fits(m, n, k)) return F32Path::V2;
    return F32Path::Shared;
}

constexpr bool multiples_of_16(uint32_t m, uint32_t n, uint32_t k) noexcept {
    return ((m | n | k) & 15u) == 0;
}

// The FP16 route of a product is tried when all sizes are multiples of 16 (zero included) and
// the WMMA-max kernel is loaded; otherwise the FP32 route is taken directly.
constexpr bool takes_f16_route(uint32_t m, uint32_t n, uint32_t k, bool has_wmma_max) noexcept {
    return has_wmma_max && multiples_of_16(m, n, k);
}

// The availability test comes before the size test.
constexpr F16Path choose_f16_path(uint32_t m, uint32_t n, uint32_t k, bool has_wmma_max,
                                  bool has_opt_vec) noexcept {
    if (!has_wmma_max) return F16Path::Unavailable;
    if (!multiples_of_16(m, n, k)) return F16Path::BadDimensions;
    return has_opt_vec ? F16Path::OptVec : F16Path::WmmaMax;
}

// How a product is computed.
enum class ProductRoute {
    MmaPipe,  // pipelined mma.sync kernel on operands scaled into half range
    SeedF16,  // OptVec / WMMA-max on operands that fit half range as they are
    F32,
};

// Multiples of 16 (nonzero for the pipelined kernel, whose conversions need elements) go to the
// tensor cores: the pipelined kernel when loaded, else the seed kernels, but only for operands
// that fit half range unscaled (their kernels round without scaling).
constexpr ProductRoute choose_route(uint32_t m, uint32_t n, uint32_t k, bool has_mma_pipe,
                                    bool has_wmma_max, bool operands_fit_half) noexcept {
    if (!multiples_of_16(m, n, k)) return ProductRoute::F32;
    if (has_mma_pipe && m != 0 && n != 0 && k != 0) return ProductRoute::MmaPipe;
    if (has_wmma_max && operands_fit_half) return ProductRoute::SeedF16;
    return ProductRoute::F32;
}

// ceil(x / t) in unsigned 32-bit arithmetic, as the launch tables define it. It would wrap for x
// within t of 2^32, but a non-empty operand with such an extent cannot fit the 32-bit byte counts
// of a device buffer, so the callers refuse those sizes before any launch.
constexpr uint32_t ceil_div(uint32_t x, uint32_t t) noexcept { return (x + t - 1) / t; }

struct LaunchShape {
    uint32_t grid[3];
    uint32_t block[3];
    uint32_t shared_bytes;  // dynamic shared memory handed to the driver

    friend constexpr bool operator==(const LaunchShape&, const LaunchShape&) = default;
};

// Rows of C one launch of a kernel with `tile`-row blocks covers: all M rows while the grid's y
// extent stays within the device's limit, otherwise as many whole tile rows as that limit admits
// (the product is then split into bands of rows, each its own launch). Whole tiles keep every
// band's first row a multiple of 16, so the operands of a band stay 64-byte aligned.
constexpr uint32_t rows_per_launch(uint32_t m, uint32_t tile, uint32_t max_grid_y) noexcept {
    const uint64_t most = uint64_t{max_grid_y > 0 ? max_grid_y : 1} * tile;
    return m <= most ? m : static_cast<uint32_t>(most);
}

// Rows of C per block row of each tiled kernel.
inline constexpr uint32_t kSmallTile = 16;
inline constexpr uint32_t kSharedTile = 64;
inline constexpr uint32_t kBasicTile = 64;
inline constexpr uint32_t kV2Tile = 128;
inline constexpr uint32_t kOptVecTile = 64;
inline constexpr uint32_t kWmmaMaxTile = 128;

// A grid of tile x tile blocks over C (x along its N columns, y along its M rows). Dynamic shared
// sizes below are passed as the tables give them even where the kernel itself declares only
// static arrays.
constexpr LaunchShape tiled_shape(uint32_t m, uint32_t n, uint32_t tile, uint32_t block_x,
                                  uint32_t block_y, uint32_t shared_bytes) noexcept {
    return {{ceil_div(n, tile), ceil_div(m, tile), 1}, {block_x, block_y, 1}, shared_bytes};
}

constexpr LaunchShape small_shape(uint32_t m, uint32_t n) noexcept {
    return tiled_shape(m, n, kSmallTile, 16, 16, 2048);
}
constexpr LaunchShape shared_shape(uint32_t m, uint32_t n) noexcept {
    return tiled_shape(m, n, kSharedTile, 16, 16, 4096);
}
// The basic 64x64 kernel standing in for the small kernel: its own 64x64 tiling, no shared memory.
constexpr LaunchShape basic_shape(uint32_t m, uint32_t n) noexcept {
    return tiled_shape(m, n, kBasicTile, 16, 16, 0);
}
constexpr LaunchShape v2_shape(uint32_t m, uint32_t n) noexcept {
    return tiled_shape(m, n, kV2Tile, 256, 1, 0);
}
constexpr LaunchShape opt_vec_shape(uint32_t m, uint32_t n) noexcept {
    return tiled_shape(m, n, kOptVecTile, 128, 1, 0);
}
constexpr LaunchShape wmma_max_shape(uint32_t m, uint32_t n) noexcept {
    return tiled_shape(m, n, kWmmaMaxTile, 256, 1, 20480);
}
// M tiles along x (no limit that matters), N tiles along y, folded into z past 65535.
inline constexpr uint32_t kMmaPipeTile = 128;
inline constexpr uint32_t kMmaPipeShared = 49152;  // 3 stages x (128x32 + 32x128) halves
inline constexpr uint32_t kGridYLimit = 65535;
constexpr LaunchShape mma_pipe_shape(uint32_t m, uint32_t n) noexcept {
    const uint32_t col_tiles = ceil_div(n, kMmaPipeTile);
    const uint32_t y = col_tiles < kGridYLimit ? col_tiles : kGridYLimit;
    return {{ceil_div(m, kMmaPipeTile), y, ceil_div(col_tiles, kGridYLimit)}, {256, 1, 1}, kMmaPipeShared};
}
// The 128 x 256 mma.sync kernel: the same grid fold with column tiles of 256, and four 24 KiB
// stages of dynamic shared memory (above the 48 KiB default: the function's limit is raised
// at load time).
inline constexpr uint32_t kMmaWideRows = 128;
inline constexpr uint32_t kMmaWideCols = 256;
inline constexpr uint32_t kMmaWideShared = 98304;  // 4 stages x (128x32 + 32x256) halves
constexpr LaunchShape mma_wide_shape(uint32_t m, uint32_t n) noexcept {
    const uint32_t col_tiles = ceil_div(n, kMmaWideCols);
    const uint32_t y = col_tiles < kGridYLimit ? col_tiles : kGridYLimit;
    return {{ceil_div(m, kMmaWideRows), y, ceil_div(col_tiles, kGridYLimit)}, {256, 1, 1}, kMmaWideShared};
}

// Block tile of the mma.sync route: Auto lets choose_mma_tile decide (and the wgmma kernel serve
// where it is loaded); the others force one kernel (the wide kernel's canary).
enum class MmaTile { Auto, Square, Wide };

// The 128 x 256 tile once its blocks alone fill the device (at least one per multiprocessor) and
// the columns it pads add at most a quarter to the work of the 128 x 128 tiles (N = 128 or 384
// would waste half or a third of a wide tile per row of blocks); otherwise 128 x 128, whose
// twice as many blocks fill the device better.
constexpr MmaTile choose_mma_tile(uint32_t m, uint32_t n, bool has_wide, uint32_t sm_count) noexcept {
    if (!has_wide || m == 0 || n == 0) return MmaTile::Square;
    const uint64_t rows = (uint64_t{m} + kMmaWideRows - 1) / kMmaWideRows;
    const uint64_t wide_cols = (uint64_t{n} + kMmaWideCols - 1) / kMmaWideCols;
    const uint64_t square_cols = (uint64_t{n} + kMmaPipeTile - 1) / kMmaPipeTile;
    const bool fills = rows * wide_cols >= (sm_count > 0 ? sm_count : 1u);
    const bool little_padding = wide_cols * 2u * 4u <= square_cols * 5u;
    return fills && little_padding ? MmaTile::Wide : MmaTile::Square;
}

// ---- split-K ----------------------------------------------------------------------------------
// A product of few tiles leaves most multiprocessors idle however long K is. Such a product is cut
// along K into S slices, each computed by its own blocks (grid z) into a workspace of S x M x N
// floats, and the slices are then summed per element in slice order. The plan depends only on the
// sizes, the kernel and the device, so a product is cut the same way, and gives the same bits, on
// every run.
inline constexpr uint32_t kMostSlices = 16;
inline constexpr uint32_t kLeastSliceK = 256;  // no slice shorter than this (but the last)
inline constexpr uint32_t kSharedStep = 8;      // k per stage of the shared kernel
inline constexpr uint32_t kMmaPipeStep = 32;    // k per stage of the pipelined kernel

struct SplitPlan {
    uint32_t slices;   // 1: not split
    uint32_t k_slice;  // k per slice (K when not split)

    friend constexpr bool operator==(const SplitPlan&, const SplitPlan&) = default;
};

// Slices for an M x N x K product of a kernel with tile x tile blocks advancing `step` k at a
// time, on a device of `sm_count` multiprocessors. Split only while the tiles would occupy at most
// half of the multiprocessors and K holds at least two slices of kLeastSliceK; then as many slices
// (at most kMostSlices, none shorter than kLeastSliceK) as give about two blocks a multiprocessor.
// The slice length is a multiple of `step`, and every slice is non-empty.
constexpr SplitPlan plan_split_k(uint32_t m, uint32_t n, uint32_t k, uint32_t tile, uint32_t step,
                                 uint32_t sm_count) noexcept {
    const SplitPlan whole{1, k};
    if (m == 0 || n == 0 || tile == 0 || step == 0 || k < 2 * kLeastSliceK) return whole;
    const uint64_t tiles = ((uint64_t{m} + tile - 1) / tile) * ((uint64_t{n} + tile - 1) / tile);
    if (tiles * 2 > sm_count) return whole;
    uint64_t slices = (uint64_t{sm_count} * 2 + tiles - 1) / tiles;
    if (slices > kMostSlices) slices = kMostSlices;
    if (slices > k / kLeastSliceK) slices = k / kLeastSliceK;
    if (slices < 2) return whole;
    const uint64_t length = ((uint64_t{k} + slices - 1) / slices + step - 1) / step * step;
    return {static_cast<uint32_t>((uint64_t{k} + length - 1) / length), static_cast<uint32_t>(length)};
}

// The split kernels' grids: the unsplit tiling with one z layer a slice. (Split products have few
// tiles, so no extent comes near a grid limit.)
constexpr LaunchShape shared_split_shape(uint32_t m, uint32_t n, uint32_t slices) noexcept {
    return {{ceil_div(n, kSharedTile), ceil_div(m, kSharedTile), slices}, {16, 16, 1}, 4096};
}
constexpr LaunchShape mma_split_shape(uint32_t m, uint32_t n, uint32_t slices) noexcept {
    return {{ceil_div(m, kMmaPipeTile), ceil_div(n, kMmaPipeTile), slices}, {256, 1, 1}, kMmaPipeShared};
}
// One element a thread.
constexpr LaunchShape splitk_reduce_shape(uint32_t count) noexcept {
    return {{ceil_div(count, 256), 1, 1}, {256, 1, 1}, 0};
}

// Four elements per thread.
constexpr LaunchShape convert_scaled_shape(uint32_t count) noexcept {
    return {{ceil_div(count, 1024), 1, 1}, {256, 1, 1}, 0};
}
constexpr LaunchShape convert_shape(uint32_t count) noexcept {
    return {{ceil_div(count, 256), 1, 1}, {256, 1, 1}, 0};
}

}  // namespace vant::engine

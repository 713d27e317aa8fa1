// Packing and the blocked product shared by every CPU operation: operands copied into contiguous
// panels (a copy changes no value), one tile of C kept in registers over a block of k, tiles
// shared out to worker threads. A k-block boundary stores the float32 accumulator to C and reloads
// it, which changes nothing either. No sum is ever split or reassociated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/views.hpp"
#include "cpu/isa_kernels.hpp"

namespace vant::cpu::detail {

inline size_t div_up(size_t a, size_t b) { return (a + b - 1) / b; }

// Element (i, j) of an operand lies at data + i * rs + j * cs (bytes).
struct Operand {
    const char* data;
    int64_t rs, cs;
    const char* ptr(size_t i, size_t j) const {
        return data + static_cast<int64_t>(i) * rs + static_cast<int64_t>(j) * cs;
    }
};

inline Operand operand(const MatView& v) { return Operand{v.data, v.row_stride, v.col_stride}; }
inline Operand transposed(const MatView& v) { return Operand{v.data, v.col_stride, v.row_stride}; }

// A growing buffer kept between calls (one per thread and purpose): packing is redone on every
// call, allocation is not. Returns 64-byte aligned memory of at least n floats.
class Scratch {
public:
    float* get(size_t n);

private:
    std::unique_ptr<float[]> mem_;
    size_t cap_ = 0;
};

// The attention scores of one block of queries, per thread.
Scratch& row_scratch();

// The kernel set of the instruction-set path in use (the test override included) in the
// arithmetic currently set; an operation asks once and keeps it for the whole call.
const KernelSet& active_kernels();

// Applied to each finished tile of C (all k summed) while it is still in cache: rows x cols
// elements starting at c, whose first column is column j0 of C.
struct TileEpilogue {
    void (*fn)(const void* ctx, float* c, size_t ldc, size_t j0, size_t rows, size_t cols);
    const void* ctx;
};

// c (m x n, row stride ldc floats) = A (m x kd) @ B (kd x n), each element summed from +0.0 in k
// order, then the epilogue if one is given. With kd == 0 nothing is written and the epilogue is
// not run. threads == 1 runs on the calling thread.
void gemm_core(const KernelSet& ks, const Operand& a, const Operand& b, size_t m, size_t n, size_t kd,
               float* c, size_t ldc, unsigned threads, const TileEpilogue* epilogue = nullptr);

// Results of several megabytes are written into fresh zero pages; asking for huge pages makes
// the first touch of each 2 MiB one fault instead of 512. A hint only: contents are unchanged.
void prefer_huge_pages(float* out, size_t n);

}  // namespace vant::cpu::detail

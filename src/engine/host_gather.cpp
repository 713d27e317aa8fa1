#include "host_gather.hpp"

#include <algorithm>
#include <cstring>

#include "../cpu/thread_pool.hpp"
#include "half_range.hpp"

namespace vant::engine {
namespace {

// Below this many elements one thread gathers the whole range: waking workers costs more.
constexpr uint64_t kParallelLeast = uint64_t{1} << 19;
constexpr uint64_t kTaskElements = uint64_t{1} << 17;

// Elements copied between two looks at the range: a piece small enough to be scanned again
// from the first-level cache right after its copy, so the scan adds no pass over memory.
constexpr uint64_t kScanPiece = 2048;

void gather_serial(const MatView& v, uint64_t first, uint64_t count, float* out, float* max_abs) {
    float largest = 0.0f;
    uint64_t e = first;
    const uint64_t end = first + count;
    while (e < end) {
        const uint64_t i = e / v.cols;
        const uint64_t j0 = e % v.cols;
        const uint64_t len = std::min(v.cols - j0, end - e);
        const char* src = v.ptr(i, j0);
        float* dst = out + (e - first);
        for (uint64_t p = 0; p < len; p += kScanPiece) {
            const uint64_t piece = std::min(kScanPiece, len - p);
            const char* from = src + static_cast<int64_t>(p) * v.col_stride;
            if (v.col_stride == 4) {
                std::memcpy(dst + p, from, static_cast<size_t>(piece) * sizeof(float));
            } else {
                for (uint64_t j = 0; j < piece; ++j)
                    std::memcpy(dst + p + j, from + static_cast<int64_t>(j) * v.col_stride, sizeof(float));
            }
            if (max_abs) largest = std::max(largest, max_finite_magnitude(dst + p, piece));
        }
        e += len;
    }
    if (max_abs) *max_abs = largest;
}

}  // namespace

void gather_range(const MatView& v, uint64_t first, uint64_t count, float* out, float* max_abs) {
    if (count == 0 || v.cols == 0) {
        if (max_abs) *max_abs = 0.0f;
        return;
    }
    if (v.c_contiguous() && !max_abs) {
        copy_bytes(out, v.data + first * sizeof(float), count * sizeof(float));
        return;
    }
    const unsigned threads = cpu::worker_budget();
    if (count < kParallelLeast || threads <= 1) return gather_serial(v, first, count, out, max_abs);
    const uint64_t tasks = (count + kTaskElements - 1) / kTaskElements;
    float maxima[64] = {};
    const uint64_t per = (count + std::min<uint64_t>(tasks, 64) - 1) / std::min<uint64_t>(tasks, 64);
    const uint64_t n_tasks = (count + per - 1) / per;
    cpu::parallel_for(static_cast<size_t>(n_tasks), threads, [&](size_t t) {
        const uint64_t begin = t * per;
        const uint64_t len = std::min(per, count - begin);
        gather_serial(v, first + begin, len, out + begin, max_abs ? &maxima[t] : nullptr);
    });
    if (max_abs) *max_abs = *std::max_element(maxima, maxima + n_tasks);
}

void copy_bytes(void* dst, const void* src, uint64_t bytes) {
    constexpr uint64_t kPiece = kTaskElements * sizeof(float);
    const unsigned threads = cpu::worker_budget();
    if (bytes < kParallelLeast * sizeof(float) || threads <= 1) {
        std::memcpy(dst, src, static_cast<size_t>(bytes));
        return;
    }
    const uint64_t pieces = (bytes + kPiece - 1) / kPiece;
    cpu::parallel_for(static_cast<size_t>(pieces), threads, [&](size_t p) {
        const uint64_t begin = p * kPiece;
        std::memcpy(static_cast<char*>(dst) + begin, static_cast<const char*>(src) + begin,
                    static_cast<size_t>(std::min(kPiece, bytes - begin)));
    });
}

}  // namespace vant::engine

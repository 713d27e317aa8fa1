// An owned, contiguous float32 host buffer. Results are computed into one and then handed to a
// NumPy array without a copy (the array's base object takes ownership of the allocation).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "views.hpp"

namespace vant {

class HostBuffer {
public:
    HostBuffer() = default;

    // Zero-filled buffer of n floats; nullopt when the byte size overflows or memory is short.
    static std::optional<HostBuffer> zeros(uint64_t n) { return allocate(n, true); }
    // Uninitialised buffer of n floats (for copies that overwrite every element).
    static std::optional<HostBuffer> uninit(uint64_t n) { return allocate(n, false); }

    float* data() noexcept { return ptr_.get(); }
    const float* data() const noexcept { return ptr_.get(); }
    uint64_t size() const noexcept { return size_; }

    // Hands the allocation to a new owner, which must free it with std::free.
    float* release() noexcept {
        size_ = 0;
        return ptr_.release();
    }

private:
    static std::optional<HostBuffer> allocate(uint64_t n, bool zeroed) {
        uint64_t bytes;
        if (!checked_mul(n, sizeof(float), &bytes) || bytes > SIZE_MAX) return std::nullopt;
        // An empty buffer still gets one element: malloc(0) and calloc(0) may return null.
        const size_t size = n == 0 ? sizeof(float) : static_cast<size_t>(bytes);
        void* p = zeroed ? std::calloc(size, 1) : std::malloc(size);
        if (!p) return std::nullopt;
        return HostBuffer(static_cast<float*>(p), n);
    }

    struct FreeDeleter {
        void operator()(float* p) const noexcept { std::free(p); }
    };
    HostBuffer(float* p, uint64_t n) : ptr_(p), size_(n) {}

    std::unique_ptr<float, FreeDeleter> ptr_;
    uint64_t size_ = 0;
};

// Large results are written into fresh zero pages; asking for huge pages over the 2 MiB-aligned
// interior of [p, p + bytes) makes the first touch of each 2 MiB one fault instead of 512. A hint
// only (nothing where the system offers none, nor below 8 MiB): contents are unchanged.
inline void advise_huge_pages(void* p, uint64_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (bytes < 4 * kHuge) return;
    const auto begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Contiguous row-major copy of a view: one straight copy when the view is already C-contiguous,
// otherwise element by element through the strides. nullopt when memory is short.
inline std::optional<HostBuffer> gather_host_matrix(const MatView& v) {
    uint64_t n;
    if (!checked_mul(v.rows, v.cols, &n)) return std::nullopt;
    auto buf = HostBuffer::uninit(n);
    if (!buf) return std::nullopt;
    float* out = buf->data();
    if (n == 0) return buf;
    if (v.c_contiguous()) {
        std::memcpy(out, v.data, static_cast<size_t>(n) * sizeof(float));
        return buf;
    }
    for (uint64_t i = 0; i < v.rows; ++i) {
        const char* row = v.data + static_cast<int64_t>(i) * v.row_stride;
        if (v.col_stride == 4) {
            std::memcpy(out + i * v.cols, row, static_cast<size_t>(v.cols) * sizeof(float));
            continue;
        }
        for (uint64_t j = 0; j < v.cols; ++j)
            std::memcpy(out + i * v.cols + j, row + static_cast<int64_t>(j) * v.col_stride, 4);
    }
    return buf;
}

}  // namespace vant

// Read-only strided views of NumPy float32 arguments. Strides are in BYTES: views of structured
// arrays or unaligned buffers have strides that are not multiples of 4, so elements are always
// read through byte offsets with memcpy, never through a float pointer divided by 4.
#pragma once

#include <cstdint>
#include <cstring>

namespace vant {

inline float load_f32(const char* p) noexcept {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct MatView {
    const char* data = nullptr;  // address of element (0, 0)
    uint64_t rows = 0;
    uint64_t cols = 0;
    int64_t row_stride = 0;  // bytes
    int64_t col_stride = 0;  // bytes

    const char* ptr(uint64_t i, uint64_t j) const noexcept {
        return data + static_cast<int64_t>(i) * row_stride + static_cast<int64_t>(j) * col_stride;
    }
    float at(uint64_t i, uint64_t j) const noexcept { return load_f32(ptr(i, j)); }
    uint64_t size() const noexcept { return rows * cols; }  // callers check overflow first
    // Row-major contiguous float32 (an empty view counts as contiguous).
    bool c_contiguous() const noexcept {
        if (rows == 0 || cols == 0) return true;
        bool cols_ok = cols <= 1 || col_stride == 4;
        bool rows_ok = rows <= 1 || row_stride == static_cast<int64_t>(cols) * 4;
        return cols_ok && rows_ok;
    }
};

struct Tensor3View {
    const char* data = nullptr;
    uint64_t d0 = 0, d1 = 0, d2 = 0;
    int64_t s0 = 0, s1 = 0, s2 = 0;  // bytes

    const char* ptr(uint64_t a, uint64_t b, uint64_t c) const noexcept {
        return data + static_cast<int64_t>(a) * s0 + static_cast<int64_t>(b) * s1 +
               static_cast<int64_t>(c) * s2;
    }
    float at(uint64_t a, uint64_t b, uint64_t c) const noexcept { return load_f32(ptr(a, b, c)); }
    // The 2-D matrix at index a of the first axis.
    MatView slice(uint64_t a) const noexcept {
        return MatView{data + static_cast<int64_t>(a) * s0, d1, d2, s1, s2};
    }
};

// Multiplies extents with an overflow check; false when the product does not fit 64 bits.
inline bool checked_mul(uint64_t a, uint64_t b, uint64_t* out) noexcept {
    return !__builtin_mul_overflow(a, b, out);
}

}  // namespace vant

// vantblas_gather_strided_f32(dst, src, rows, cols, row_stride, col_stride)
//   dst: u64, packed row-major rows x cols floats
//   src: u64, element (i, j) at src + 4 * (i * row_stride + j * col_stride); strides in elements,
//        either sign
//   rows, cols: u32
//   row_stride, col_stride: s64
// Packs a strided float32 matrix of another library into a row-major buffer (the device-side
// counterpart of the host gather). One thread per element in a grid-stride loop; any 1-D
// geometry covers the matrix.
#include <cstdint>

extern "C" __global__ void vantblas_gather_strided_f32(float* __restrict__ dst, const float* __restrict__ src,
                                                       unsigned rows, unsigned cols, long long row_stride,
                                                       long long col_stride) {
    const unsigned long long total = static_cast<unsigned long long>(rows) * cols;
    const unsigned long long step = static_cast<unsigned long long>(gridDim.x) * blockDim.x;
    for (unsigned long long e = static_cast<unsigned long long>(blockIdx.x) * blockDim.x + threadIdx.x; e < total;
         e += step) {
        const long long i = static_cast<long long>(e / cols);
        const long long j = static_cast<long long>(e % cols);
        dst[e] = src[i * row_stride + j * col_stride];
    }
}

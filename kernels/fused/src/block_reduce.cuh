// Block-wide sums for kernels whose block is made of whole warps.
#pragma once

// `red` is a static shared array of kRedSlots floats: one result per warp, then the block value.
constexpr unsigned kRedSlots = 33;

__device__ __forceinline__ float vant_warp_sum(float v) {
    for (int offset = 16; offset > 0; offset >>= 1)
        v += __shfl_down_sync(0xffffffffu, v, offset);
    return v;
}

// Warp results are added by one thread in warp order, starting from 0.0, so the block sum does
// not depend on which warp finishes first.
__device__ float vant_block_sum(float v, float* red) {
    v = vant_warp_sum(v);
    if ((threadIdx.x & 31u) == 0) red[threadIdx.x >> 5] = v;
    __syncthreads();
    if (threadIdx.x == 0) {
        float s = 0.0f;
        for (unsigned w = 0; w < blockDim.x / 32; ++w) s += red[w];
        red[kRedSlots - 1] = s;
    }
    __syncthreads();
    return red[kRedSlots - 1];
}

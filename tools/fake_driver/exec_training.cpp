// CPU executors of the training kernels. Each walks every thread of the launch and does what
// that thread of the PTX does, with the same 32-bit index arithmetic (offsets wrap exactly as
// on the device) and the same rounding steps, so results match the device bit for bit.
#include <cmath>
#include <cstdint>

#include "fake_driver.hpp"

namespace {

using fake::Launch;

// One float of device memory at base + (index * 4 computed in 32 bits).
float& at(uint64_t base, uint32_t index) { return *fake::dev_f32(base + static_cast<uint32_t>(index * 4u), 1); }

// The thread's global x index: ctaid.x * ntid.x + tid.x in 32 bits.
template <class F>
void for_each_thread(const Launch& l, F body) {
    for (unsigned bz = 0; bz < l.grid[2]; ++bz)
        for (unsigned by = 0; by < l.grid[1]; ++by)
            for (unsigned bx = 0; bx < l.grid[0]; ++bx)
                for (unsigned tz = 0; tz < l.block[2]; ++tz)
                    for (unsigned ty = 0; ty < l.block[1]; ++ty)
                        for (unsigned tx = 0; tx < l.block[0]; ++tx) body(bx, by, tx, ty);
}

uint32_t global_x(const Launch& l, unsigned bx, unsigned tx) { return bx * l.block[0] + tx; }

// cvt.rzi.s32.f32: toward zero, NaN to 0, saturating.
int32_t trunc_s32(float f) {
    if (std::isnan(f)) return 0;
    if (f >= 2147483648.0f) return INT32_MAX;
    if (f <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(f);
}

// cvt.rzi.u32.f32: toward zero, NaN and negatives to 0, saturating.
uint32_t trunc_u32(float f) {
    if (std::isnan(f) || f <= 0.0f) return 0;
    if (f >= 4294967296.0f) return UINT32_MAX;
    return static_cast<uint32_t>(f);
}

float bounded_exp(float x, float mx) {
    static const float c[9] = {0.5f,          0.16666667f,    0.041666668f,  0.008333334f, 0.0013888889f,
                               0.0001984127f, 2.4801588e-05f, 2.7557319e-06f, 2.755732e-07f};
    float d = x - mx;
    d = std::fmax(d, -87.0f);
    d = std::fmin(d, 0.0f);
    float t = d * 0.25f;
    float p = t + 1.0f;
    float w = t;
    for (float ci : c) {
        w = w * t;
        float term = w * ci;
        p = p + term;
    }
    p = p * p;
    p = p * p;
    return std::fmax(p, 5.9604645e-08f);
}

}  // namespace

FAKE_KERNEL(matmul_kernel) {
    uint64_t c = launch.params.at(0).u64(), a = launch.params.at(1).u64(), b = launch.params.at(2).u64();
    uint32_t m = launch.params.at(3).u32(), n = launch.params.at(4).u32(), k = launch.params.at(5).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned by, unsigned tx, unsigned ty) {
        uint32_t row = by * launch.block[1] + ty;
        uint32_t col = bx * launch.block[0] + tx;
        if (row >= m || col >= n) return;
        float acc = 0.0f;
        for (uint32_t i = 0; i < k; ++i) acc = std::fma(at(a, row * k + i), at(b, i * n + col), acc);
        at(c, row * n + col) = acc;
    });
}

FAKE_KERNEL(softmax_kernel) {
    uint64_t out = launch.params.at(0).u64(), in = launch.params.at(1).u64();
    uint32_t batch = launch.params.at(2).u32(), seq = launch.params.at(3).u32(), hidden = launch.params.at(4).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned ty) {
        if (tx != 0 || ty != 0) return;
        if (seq == 0) return;  // the device's division by zero leaves b out of range
        uint32_t b = bx / seq, s = bx % seq;
        if (b >= batch || hidden == 0) return;
        uint32_t base = (b * seq + s) * hidden;
        float mx = at(in, base);
        for (uint32_t j = 1; j < hidden; ++j) mx = std::fmax(mx, at(in, base + j));
        float sum = 0.0f;
        for (uint32_t j = 0; j < hidden; ++j) sum = sum + bounded_exp(at(in, base + j), mx);
        for (uint32_t j = 0; j < hidden; ++j) at(out, base + j) = bounded_exp(at(in, base + j), mx) / sum;
    });
}

FAKE_KERNEL(adamw_kernel) {
    uint64_t param = launch.params.at(0).u64(), grad = launch.params.at(1).u64();
    uint64_t mp = launch.params.at(2).u64(), vp = launch.params.at(3).u64();
    float lr = launch.params.at(4).f32(), beta1 = launch.params.at(5).f32(), beta2 = launch.params.at(6).f32();
    float b1p = launch.params.at(7).f32(), b2p = launch.params.at(8).f32();
    float eps = launch.params.at(9).f32(), wd = launch.params.at(10).f32();
    uint32_t numel = launch.params.at(11).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned) {
        uint32_t i = global_x(launch, bx, tx);
        if (i >= numel) return;
        float p = at(param, i), g = at(grad, i), m = at(mp, i), v = at(vp, i);
        float m2 = beta1 * m + (1.0f - beta1) * g;
        float g2 = g * g;
        float v2 = beta2 * v + (1.0f - beta2) * g2;
        float mhat = m2 / (1.0f - b1p);
        float vhat = v2 / (1.0f - b2p);
        float update = mhat / (std::sqrt(vhat) + eps) + wd * p;
        at(param, i) = p - lr * update;
        at(mp, i) = m2;
        at(vp, i) = v2;
    });
}

namespace {

void one_hot_columns(const Launch& launch, uint32_t first, uint32_t end) {
    uint64_t out = launch.params.at(0).u64(), targets = launch.params.at(1).u64();
    uint32_t rows = launch.params.at(2).u32(), vocab = launch.params.at(3).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned) {
        uint32_t i = global_x(launch, bx, tx);
        if (i >= rows) return;
        int32_t target = trunc_s32(at(targets, i));
        for (uint32_t j = first; j < end; ++j)
            at(out, i * vocab + j) = static_cast<int32_t>(j) == target ? 1.0f : 0.0f;
    });
}

}  // namespace

FAKE_KERNEL(one_hot_kernel) { one_hot_columns(launch, 0, launch.params.at(3).u32()); }

FAKE_KERNEL(one_hot_chunk_kernel) {
    one_hot_columns(launch, launch.params.at(4).u32(), launch.params.at(5).u32());
}

FAKE_KERNEL(cross_entropy_backward_kernel) {
    uint64_t dlogits = launch.params.at(0).u64(), logits = launch.params.at(1).u64();
    uint64_t targets = launch.params.at(2).u64();
    uint32_t rows = launch.params.at(3).u32(), vocab = launch.params.at(4).u32();
    float scale = launch.params.at(5).f32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned ty) {
        if (tx != 0 || ty != 0) return;
        uint32_t i = bx;
        if (i >= rows || vocab == 0) return;
        int32_t target = trunc_s32(at(targets, i));
        uint32_t base = i * vocab;
        float mx = at(logits, base);
        for (uint32_t j = 1; j < vocab; ++j) mx = std::fmax(mx, at(logits, base + j));
        float sum = 0.0f;
        for (uint32_t j = 0; j < vocab; ++j) sum = sum + bounded_exp(at(logits, base + j), mx);
        for (uint32_t j = 0; j < vocab; ++j) {
            float q = bounded_exp(at(logits, base + j), mx) / sum;
            q = q - (static_cast<int32_t>(j) == target ? 1.0f : 0.0f);
            at(dlogits, base + j) = q * scale;
        }
    });
}

FAKE_KERNEL(reduce_sum_kernel) {
    uint64_t out = launch.params.at(0).u64(), in = launch.params.at(1).u64();
    uint32_t rows = launch.params.at(2).u32(), cols = launch.params.at(3).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned) {
        uint32_t j = global_x(launch, bx, tx);
        if (j >= cols) return;
        float sum = 0.0f;
        for (uint32_t i = 0; i < rows; ++i) sum = sum + at(in, i * cols + j);
        at(out, j) = sum;
    });
}

FAKE_KERNEL(embedding_kernel) {
    uint64_t out = launch.params.at(0).u64(), weight = launch.params.at(1).u64();
    uint64_t indices = launch.params.at(2).u64();
    uint32_t tokens = launch.params.at(3).u32(), dim = launch.params.at(4).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned) {
        uint32_t g = global_x(launch, bx, tx);
        if (g >= tokens * dim) return;
        uint32_t token = g / dim, d = g % dim;
        uint32_t id = trunc_u32(at(indices, token));
        at(out, g) = at(weight, id * dim + d);
    });
}

FAKE_KERNEL(transpose_2d_kernel) {
    uint64_t b = launch.params.at(0).u64(), a = launch.params.at(1).u64();
    uint32_t m = launch.params.at(2).u32(), n = launch.params.at(3).u32();
    for_each_thread(launch, [&](unsigned bx, unsigned, unsigned tx, unsigned) {
        uint32_t g = global_x(launch, bx, tx);
        if (g >= m * n) return;
        uint32_t i = g / n, j = g % n;
        at(b, j * m + i) = at(a, g);
    });
}

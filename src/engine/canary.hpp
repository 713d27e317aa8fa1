// Pieces shared by the load-time canaries of the tensor-core kernels.
#pragma once

#include <cstdint>
#include <vector>

#include "../driver/driver_api.hpp"

namespace vant::engine {

// Row-major m x k and k x n operands of multiples of 1/16 below 1 in magnitude: exact in half,
// every product and sum exact in float32 (so any order of summation gives the same bits), and a
// term mixing row and column so that a misplaced element changes the result.
struct CanaryOperands {
    std::vector<float> a, b;
};
inline CanaryOperands canary_operands(uint32_t m, uint32_t n, uint32_t k) {
    auto value = [](uint32_t i, uint32_t j) {
        return static_cast<float>(static_cast<int>((i * 37u + j * 11u + (i * j) % 7u) % 31u) - 15) / 16.0f;
    };
    CanaryOperands o{std::vector<float>(size_t{m} * k), std::vector<float>(size_t{k} * n)};
    for (uint32_t i = 0; i < m; ++i)
        for (uint32_t j = 0; j < k; ++j) o.a[size_t{i} * k + j] = value(i, j);
    for (uint32_t i = 0; i < k; ++i)
        for (uint32_t j = 0; j < n; ++j) o.b[size_t{i} * n + j] = value(j + 3, i);
    return o;
}

// Declared after a canary's buffers, so destroyed before them: on an early return the queued
// kernels have run before the buffers are freed, before pooled scratch can serve another stream
// and before the module is unloaded. Disarmed once the results are downloaded (nothing queued).
struct DrainOnExit {
    drv::CUstream stream;
    bool armed = true;
    ~DrainOnExit() {
        if (armed) drv::cuStreamSynchronize(stream);
    }
};

}  // namespace vant::engine

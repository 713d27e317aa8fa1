// The two steps every kernel launch of the engine shares: handing a launch shape to the driver,
// and turning a refused launch into the engine's error value.
#pragma once

#include <string>

#include "../driver/driver_api.hpp"
#include "cuda_result.hpp"
#include "paths.hpp"

namespace vant::engine {

inline drv::CUresult launch(drv::CUfunction fn, const LaunchShape& s, drv::CUstream stream,
                            void** params) noexcept {
    return drv::cuLaunchKernel(fn, s.grid[0], s.grid[1], s.grid[2], s.block[0], s.block[1],
                               s.block[2], s.shared_bytes, stream, params, nullptr);
}

// Success, or "<what><status>" as a launch failure when the driver refused the launch.
inline CudaResult<void> launched(drv::CUresult status, const char* what) {
    if (status == drv::CUDA_SUCCESS) return {};
    return CudaError::launch_failed(std::string(what) + std::to_string(status));
}

}  // namespace vant::engine

// The few CUDA driver types, constants and entry points this module uses, declared here so that
// building needs no CUDA toolkit. The driver library is loaded at run time on first use; every
// wrapper returns the driver's status, or 801 (not supported) when the driver or the entry point
// is missing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vant::drv {

using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;  // 64-bit device address
using CUcontext = struct CUctx_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUstream = struct CUstream_st*;

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr CUresult CUDA_ERROR_NOT_SUPPORTED = 801;

CUresult cuInit(unsigned int flags);
CUresult cuDeviceGet(CUdevice* device, int ordinal);
CUresult cuDeviceGetCount(int* count);
CUresult cuDeviceGetAttribute(int* value, int attribute, CUdevice device);
CUresult cuCtxCreate(CUcontext* ctx, unsigned int flags, CUdevice device);
CUresult cuCtxDestroy(CUcontext ctx);
CUresult cuCtxSetCurrent(CUcontext ctx);
CUresult cuStreamCreate(CUstream* stream, unsigned int flags);
CUresult cuStreamSynchronize(CUstream stream);
CUresult cuModuleLoadData(CUmodule* module, const void* image);
CUresult cuModuleGetFunction(CUfunction* fn, CUmodule module, const char* name);
CUresult cuModuleUnload(CUmodule module);
CUresult cuMemAlloc(CUdeviceptr* dptr, size_t bytes);
CUresult cuMemFree(CUdeviceptr dptr);
CUresult cuMemcpyHtoD(CUdeviceptr dst, const void* src, size_t bytes);
CUresult cuMemcpyDtoH(void* dst, CUdeviceptr src, size_t bytes);
CUresult cuLaunchKernel(CUfunction f, unsigned int gridX, unsigned int gridY, unsigned int gridZ,
                        unsigned int blockX, unsigned int blockY, unsigned int blockZ,
                        unsigned int sharedMemBytes, CUstream stream, void** kernelParams,
                        void** extra);
CUresult cuGetErrorString(CUresult status, const char** text);

}  // namespace vant::drv

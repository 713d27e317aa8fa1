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
using CUevent = struct CUevent_st*;

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr CUresult CUDA_ERROR_INVALID_VALUE = 1;
inline constexpr CUresult CUDA_ERROR_INVALID_CONTEXT = 201;
inline constexpr CUresult CUDA_ERROR_INVALID_HANDLE = 400;
inline constexpr CUresult CUDA_ERROR_NOT_READY = 600;
inline constexpr CUresult CUDA_ERROR_CONTEXT_IS_DESTROYED = 709;
inline constexpr CUresult CUDA_ERROR_NOT_SUPPORTED = 801;

inline constexpr unsigned int CU_STREAM_NON_BLOCKING = 1;
inline constexpr unsigned int CU_EVENT_DISABLE_TIMING = 2;

// Stream handles with a fixed meaning (as in the DLPack and CUDA array interface conventions).
inline const CUstream CU_STREAM_LEGACY = reinterpret_cast<CUstream>(uintptr_t{1});
inline const CUstream CU_STREAM_PER_THREAD = reinterpret_cast<CUstream>(uintptr_t{2});

// Pointer attributes read through cuPointerGetAttributes.
inline constexpr int CU_POINTER_ATTRIBUTE_CONTEXT = 1;
inline constexpr int CU_POINTER_ATTRIBUTE_MEMORY_TYPE = 2;
inline constexpr int CU_POINTER_ATTRIBUTE_IS_MANAGED = 8;
inline constexpr int CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL = 9;
inline constexpr unsigned int CU_MEMORYTYPE_DEVICE = 2;

// Device attributes read through cuDeviceGetAttribute.
inline constexpr int CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y = 6;
inline constexpr int CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT = 16;
inline constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR = 75;
inline constexpr int CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR = 76;
inline constexpr int CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK_OPTIN = 97;

// Tensor-memory-access launches (compute capability 9.0): the opaque 128-byte tensor map, the
// dynamic shared memory attribute and the extended launch configuration (64-bit layouts).
struct alignas(64) CUtensorMap {
    unsigned long long opaque[16];
};
inline constexpr int CU_TENSOR_MAP_DATA_TYPE_FLOAT16 = 6;
inline constexpr int CU_TENSOR_MAP_SWIZZLE_128B = 3;
inline constexpr int CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES = 8;
inline constexpr int CU_LAUNCH_ATTRIBUTE_CLUSTER_DIMENSION = 4;
struct CUlaunchAttribute {
    unsigned int id;
    unsigned int pad;
    union {
        unsigned char bytes[64];
        struct {
            unsigned int x, y, z;
        } clusterDim;
    } value;
};
struct CUlaunchConfig {
    unsigned int gridDimX, gridDimY, gridDimZ, blockDimX, blockDimY, blockDimZ, sharedMemBytes;
    CUstream hStream;
    CUlaunchAttribute* attrs;
    unsigned int numAttrs;
};
static_assert(sizeof(CUlaunchAttribute) == 72 && sizeof(CUlaunchConfig) == 56);

// Every driver entry point the module calls: (name, API version it is resolved at, parameter
// list, argument list). The version fixes the signature: cuMemAlloc / cuMemFree / cuMemcpy* at
// 3020 are the 64-bit forms, cuCtxPushCurrent / cuCtxPopCurrent at 4000 the _v2 ones. Slots, resolution and wrappers are all generated from this one list.
#define VANT_DRIVER_ENTRIES(X)                                                                     \
    X(cuInit, 2000, (unsigned int flags), (flags))                                                 \
    X(cuDeviceGet, 2000, (CUdevice * device, int ordinal), (device, ordinal))                      \
    X(cuDeviceGetCount, 2000, (int* count), (count))                                               \
    X(cuDeviceGetAttribute, 2000, (int* value, int attribute, CUdevice device),                    \
      (value, attribute, device))                                                                  \
    /* The device's primary context, shared with every other library of the process; the _v2     \
       release at 11000 has the same signature as the first one. */                               \
    X(cuDevicePrimaryCtxRetain, 7000, (CUcontext * ctx, CUdevice device), (ctx, device))          \
    X(cuDevicePrimaryCtxRelease, 11000, (CUdevice device), (device))                               \
    X(cuCtxGetCurrent, 4000, (CUcontext * ctx), (ctx))                                             \
    X(cuCtxPushCurrent, 4000, (CUcontext ctx), (ctx))                                              \
    X(cuCtxPopCurrent, 4000, (CUcontext * ctx), (ctx))                                             \
    X(cuStreamCreate, 2000, (CUstream * stream, unsigned int flags), (stream, flags))              \
    X(cuStreamSynchronize, 2000, (CUstream stream), (stream))                                      \
    X(cuModuleLoadData, 2000, (CUmodule * module, const void* image), (module, image))             \
    X(cuModuleGetFunction, 2000, (CUfunction * fn, CUmodule module, const char* name),             \
      (fn, module, name))                                                                          \
    X(cuModuleUnload, 2000, (CUmodule module), (module))                                           \
    X(cuMemAlloc, 3020, (CUdeviceptr * dptr, size_t bytes), (dptr, bytes))                         \
    X(cuMemFree, 3020, (CUdeviceptr dptr), (dptr))                                                 \
    X(cuMemcpyHtoD, 3020, (CUdeviceptr dst, const void* src, size_t bytes), (dst, src, bytes))     \
    X(cuMemcpyDtoH, 3020, (void* dst, CUdeviceptr src, size_t bytes), (dst, src, bytes))           \
    /* Optional: staged asynchronous transfers. A driver without one of these gets the blocking  \
       copies (see entry_available). */                                                            \
    X(cuMemHostAlloc, 2020, (void** host, size_t bytes, unsigned int flags), (host, bytes, flags)) \
    X(cuMemFreeHost, 2000, (void* host), (host))                                                   \
    X(cuMemcpyHtoDAsync, 3020, (CUdeviceptr dst, const void* src, size_t bytes, CUstream stream),  \
      (dst, src, bytes, stream))                                                                   \
    X(cuMemcpyDtoHAsync, 3020, (void* dst, CUdeviceptr src, size_t bytes, CUstream stream),        \
      (dst, src, bytes, stream))                                                                   \
    X(cuStreamDestroy, 4000, (CUstream stream), (stream))                                          \
    X(cuStreamWaitEvent, 3020, (CUstream stream, CUevent event, unsigned int flags),               \
      (stream, event, flags))                                                                      \
    X(cuEventCreate, 2000, (CUevent * event, unsigned int flags), (event, flags))                  \
    X(cuEventRecord, 2000, (CUevent event, CUstream stream), (event, stream))                      \
    X(cuEventSynchronize, 2000, (CUevent event), (event))                                          \
    X(cuEventDestroy, 4000, (CUevent event), (event))                                              \
    /* Optional: device arrays of other libraries (checked, copied, ordered). */                    \
    X(cuPointerGetAttributes, 7000,                                                                \
      (unsigned int count, int* attributes, void** data, CUdeviceptr ptr), (count, attributes, data, ptr)) \
    X(cuMemcpyDtoDAsync, 3020, (CUdeviceptr dst, CUdeviceptr src, size_t bytes, CUstream stream),  \
      (dst, src, bytes, stream))                                                                   \
    X(cuEventQuery, 2000, (CUevent event), (event))                                                \
    X(cuLaunchKernel, 4000,                                                                        \
      (CUfunction f, unsigned int gridX, unsigned int gridY, unsigned int gridZ,                   \
       unsigned int blockX, unsigned int blockY, unsigned int blockZ, unsigned int sharedMemBytes, \
       CUstream stream, void** kernelParams, void** extra),                                        \
      (f, gridX, gridY, gridZ, blockX, blockY, blockZ, sharedMemBytes, stream, kernelParams, extra)) \
    X(cuGetErrorString, 6000, (CUresult status, const char** text), (status, text))              \
    /* Optional: the compute capability 9.0 kernel's launch. Without all three it is not loaded. */ \
    X(cuTensorMapEncodeTiled, 12000,                                                               \
      (CUtensorMap * map, int dataType, unsigned int rank, void* address,                         \
       const unsigned long long* dims, const unsigned long long* strides, const unsigned int* box, \
       const unsigned int* elementStrides, int interleave, int swizzle, int l2Promotion,          \
       int oobFill),                                                                               \
      (map, dataType, rank, address, dims, strides, box, elementStrides, interleave, swizzle,     \
       l2Promotion, oobFill))                                                                      \
    X(cuFuncSetAttribute, 9000, (CUfunction f, int attribute, int value), (f, attribute, value))  \
    X(cuLaunchKernelEx, 11060, (const CUlaunchConfig* config, CUfunction f, void** params,        \
                                void** extra),                                                     \
      (config, f, params, extra))

#define VANT_DECLARE_DRIVER_WRAPPER(name, version, params, args) CUresult name params noexcept;
VANT_DRIVER_ENTRIES(VANT_DECLARE_DRIVER_WRAPPER)
#undef VANT_DECLARE_DRIVER_WRAPPER

// Loads the driver and resolves the table if that has not succeeded yet: 0 when the table is
// filled, -1 when the library or its cuGetProcAddress is missing (the next call tries again).
int ensure_loaded() noexcept;

// How many driver calls so far answered with a status that can mean the objects of a context
// were destroyed behind the caller's back (invalid context, invalid handle, context destroyed),
// as when another library resets the device. The runtime compares it with what it last checked,
// so the steady state costs one atomic read.
uint64_t suspect_status_count() noexcept;

// Whether the loaded driver offers the named entry of the table above (false before a successful
// load and for names outside the table). Lets callers choose a path instead of probing with calls.
bool entry_available(const char* name) noexcept;

}  // namespace vant::drv

// The DLPack exchange structures (ABI 1.x, with the versioned managed tensor), declared here so
// that building needs no header of another project. Layouts and values follow the published ABI.
#pragma once

#include <cstdint>

namespace vant::py::dlpack {

inline constexpr uint32_t kMajorVersion = 1;
inline constexpr uint32_t kMinorVersion = 1;  // the newest minor version this module speaks

enum DeviceType : int32_t { kCPU = 1, kCUDA = 2, kCUDAHost = 3, kCUDAManaged = 13 };
enum TypeCode : uint8_t { kInt = 0, kUInt = 1, kFloat = 2 };

inline constexpr uint64_t kFlagReadOnly = 1u << 0;
inline constexpr uint64_t kFlagIsCopied = 1u << 1;

struct Version {
    uint32_t major;
    uint32_t minor;
};

struct Device {
    int32_t device_type;
    int32_t device_id;
};

struct DataType {
    uint8_t code;
    uint8_t bits;
    uint16_t lanes;
};

struct Tensor {
    void* data;
    Device device;
    int32_t ndim;
    DataType dtype;
    int64_t* shape;
    int64_t* strides;  // in elements; null means compact row-major
    uint64_t byte_offset;
};

struct ManagedTensor {
    Tensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(ManagedTensor* self);
};

struct ManagedTensorVersioned {
    Version version;
    void* manager_ctx;
    void (*deleter)(ManagedTensorVersioned* self);
    uint64_t flags;
    Tensor dl_tensor;
};

// Capsule names of the Python protocol: a consumer renames the capsule to the "used_" form when
// it takes the tensor over (and then calls the deleter itself).
inline constexpr const char* kLegacyName = "dltensor";
inline constexpr const char* kVersionedName = "dltensor_versioned";
inline constexpr const char* kUsedLegacyName = "used_dltensor";
inline constexpr const char* kUsedVersionedName = "used_dltensor_versioned";

}  // namespace vant::py::dlpack

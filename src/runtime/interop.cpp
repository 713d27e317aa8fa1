#include "interop.hpp"

namespace vant::rt {

namespace {

bool events_available() noexcept {
    return drv::entry_available("cuEventCreate") && drv::entry_available("cuEventRecord") &&
           drv::entry_available("cuEventDestroy");
}

}  // namespace

Result<void> order_streams(CUstream producer, CUstream consumer) {
    if (producer == consumer) return ok();
    if (!events_available() || !drv::entry_available("cuStreamWaitEvent")) {
        if (CUresult s = drv::cuStreamSynchronize(producer); s != drv::CUDA_SUCCESS)
            return err("Failed to synchronize stream: " + cuda_status_text(s));
        return ok();
    }
    CUevent event = nullptr;
    if (CUresult s = drv::cuEventCreate(&event, drv::CU_EVENT_DISABLE_TIMING); s != drv::CUDA_SUCCESS)
        return err("Failed to order streams: " + cuda_status_text(s));
    CUresult s = drv::cuEventRecord(event, producer);
    if (s == drv::CUDA_SUCCESS) s = drv::cuStreamWaitEvent(consumer, event, 0);
    // Destroying an event whose wait is queued is allowed: the wait keeps what it needs.
    drv::cuEventDestroy(event);
    if (s != drv::CUDA_SUCCESS) return err("Failed to order streams: " + cuda_status_text(s));
    return ok();
}

PointerOwner pointer_owner(CUdeviceptr ptr, const CudaCore& core) noexcept {
    if (!drv::entry_available("cuPointerGetAttributes")) return PointerOwner::Unknown;
    drv::CUcontext context = nullptr;
    unsigned int memory_type = 0;
    int ordinal = -1;
    int managed = 0;
    int attributes[] = {drv::CU_POINTER_ATTRIBUTE_CONTEXT, drv::CU_POINTER_ATTRIBUTE_MEMORY_TYPE,
                        drv::CU_POINTER_ATTRIBUTE_DEVICE_ORDINAL, drv::CU_POINTER_ATTRIBUTE_IS_MANAGED};
    void* values[] = {&context, &memory_type, &ordinal, &managed};
    if (drv::cuPointerGetAttributes(4, attributes, values, ptr) != drv::CUDA_SUCCESS) return PointerOwner::Unknown;
    if (managed != 0) return ordinal == 0 || ordinal < 0 ? PointerOwner::Ours : PointerOwner::OtherDevice;
    if (memory_type != drv::CU_MEMORYTYPE_DEVICE) return PointerOwner::NotDevice;
    if (ordinal != core.device) return PointerOwner::OtherDevice;
    if (context != core.context) return PointerOwner::OtherContext;
    return PointerOwner::Ours;
}

Result<void> copy_device(CUdeviceptr dst, CUdeviceptr src, uint64_t bytes, CUstream stream) {
    if (bytes == 0) return ok();
    CUresult s = drv::cuMemcpyDtoDAsync(dst, src, static_cast<size_t>(bytes), stream);
    if (s != drv::CUDA_SUCCESS) return err("Failed to copy device data: " + cuda_status_text(s));
    return ok();
}

Result<CUevent> mark_stream(CUstream stream) {
    if (!events_available() || !drv::entry_available("cuEventQuery")) return CUevent{nullptr};
    CUevent event = nullptr;
    if (CUresult s = drv::cuEventCreate(&event, drv::CU_EVENT_DISABLE_TIMING); s != drv::CUDA_SUCCESS)
        return err("Failed to mark the stream: " + cuda_status_text(s));
    if (CUresult s = drv::cuEventRecord(event, stream); s != drv::CUDA_SUCCESS) {
        drv::cuEventDestroy(event);
        return err("Failed to mark the stream: " + cuda_status_text(s));
    }
    return event;
}

bool mark_reached(CUevent mark) noexcept { return drv::cuEventQuery(mark) != drv::CUDA_ERROR_NOT_READY; }

void drop_mark(CUevent mark) noexcept {
    if (mark) drv::cuEventDestroy(mark);
}

}  // namespace vant::rt

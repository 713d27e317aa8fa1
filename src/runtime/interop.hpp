// What exchanging device memory with other libraries of the process needs from the driver:
// ordering one stream after another without a host wait, telling whose memory a pointer is, and
// device-to-device copies.
#pragma once

#include <cstdint>
#include <string>

#include "../common/result.hpp"
#include "cuda_core.hpp"

namespace vant::rt {

using drv::CUdeviceptr;
using drv::CUevent;

// Makes work queued on `consumer` from now on wait for everything queued on `producer` so far,
// with an event and cuStreamWaitEvent (the host does not wait). Without the event entries the
// producer stream is synchronised instead. The calling thread has the core's context current.
Result<void> order_streams(CUstream producer, CUstream consumer);

// Where a device address lives, as far as the product is concerned.
enum class PointerOwner { Ours, OtherContext, OtherDevice, NotDevice, Unknown };
// Reads the address's context and device (cuPointerGetAttributes); Unknown when the driver lacks
// the entry or refuses the query.
PointerOwner pointer_owner(CUdeviceptr ptr, const CudaCore& core) noexcept;

// Queues a device-to-device copy of `bytes` on `stream`: "Failed to copy device data: " + text.
Result<void> copy_device(CUdeviceptr dst, CUdeviceptr src, uint64_t bytes, CUstream stream);

// An event recorded on `stream` now (null when the event entries are missing: the caller then
// synchronises instead).
Result<CUevent> mark_stream(CUstream stream);
// Whether the work before the mark has finished (a failed query counts as finished: nothing more
// will run before it).
bool mark_reached(CUevent mark) noexcept;
void drop_mark(CUevent mark) noexcept;

}  // namespace vant::rt

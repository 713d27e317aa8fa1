// One thread at a time uses the GPU state of the process (the core and its stream, the kernel
// set, the device memory pool, the staging lease, the buffers of resident objects): every entry
// point that touches it runs inside a GpuSection. A thread never waits for the section while it
// holds the interpreter lock (it releases the lock first), so a holder that runs without the lock
// can always take it back. Reentrant on one thread: Python code run inside a section (a
// destructor, say) may free device memory.
#pragma once

#include <mutex>

#include "pyref.hpp"

namespace vant::py {

class GpuSection {
public:
    GpuSection() noexcept;
    ~GpuSection();
    GpuSection(const GpuSection&) = delete;
    GpuSection& operator=(const GpuSection&) = delete;

private:
    std::recursive_mutex* mu_;
};

}  // namespace vant::py

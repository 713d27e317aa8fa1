// A PTX interpreter for tests: runs a kernel of a module text (exactly as the driver receives it)
// on the CPU, thread by thread, with memcheck and racecheck of every access.
//
// Usage from C++ (the stand-in driver does this for kernels without a dedicated executor):
//
//     std::string err;
//     auto mod = ptxi::Module::parse(text, &err);            // null and err set on a parse error
//     struct Mem : ptxi::Memory {                             // global memory: host addresses or any
//         uint8_t* translate(uint64_t a, uint64_t n) override; // mapping; null = outside every live
//     } mem;                                                  // allocation (a memcheck report)
//     void* args[] = {&out_ptr, &in_ptr, &n};                 // one pointer per .param, as cuLaunchKernel
//     ptxi::Launch l{{gx, gy, gz}, {bx, by, bz}, dynamic_shared_bytes};
//     ptxi::run(*mod, "kernel_name", l, args, mem);           // throws ptxi::Fault on any report
//
// From Python: tests/ptxinterp.py (ctypes over the C API in capi.cpp).
//
// Model. Each thread owns its registers. Threads of a block run one after another until they reach
// a warp-collective instruction (shfl.sync, ldmatrix, mma.sync, wmma.*, bar.warp.sync) or bar.sync;
// a warp collective runs once every lane it names waits at that same instruction, bar.sync once
// every thread of the block waits there. A lane that exited or waits elsewhere is an error.
// Lane maps (mma.sync m16n8k16, ldmatrix, shfl.sync) follow the PTX ISA; wmma fragments, whose
// layout the ISA leaves open, use one fixed layout: lane l, element e of an A/B fragment holds
// element (p / 16, p % 16) of the 16 x 16 tile with p = (16 l + e) mod 256 (so lanes 16..31 repeat
// lanes 0..15), and of a C/D fragment element p = 8 l + e.
// Checks (each report names kernel, block, thread, instruction and address):
//   memcheck  global accesses inside a live allocation, shared accesses inside the static + dynamic
//             size, local accesses inside the declared frame, every access aligned to its width;
//   racecheck a shared byte written by one thread and read or written by another with no bar.sync
//             between; a read of a shared byte no thread of the block wrote since launch; a read or
//             write of a cp.async destination before the wait_group that covers its group; a
//             cp.async issued to bytes another thread read or wrote since the last bar.sync (the
//             copy may land at once); a global write to the source of a cp.async in flight.
//   async     the Hopper ordering rules: a register of a wgmma in flight touched before the
//             wgmma.wait_group covering it, a wgmma without a wgmma.fence since the warpgroup last
//             touched its accumulator or A registers, shared memory a wgmma or TMA copy is still
//             reading or writing accessed before the wait / mbarrier phase that covers it, generic
//             stores read by wgmma without fence.proxy.async, mbarrier misuse, setmaxnreg misuse;
//   deadlock  every thread waits (mbarrier, barrier, collective) and no copy in flight can help.
// Asynchronous operations (cp.async.bulk.tensor, wgmma.mma_async) take effect at a moment chosen
// by Launch::schedule: 0 completes each as late as possible (when a wait needs it or nothing else
// can move), any other value completes each pending one with probability 1/2 after every round of
// thread steps, from a generator seeded with that value and the block index.
// Float arithmetic is rounded exactly as PTX defines (all rounding modes, .ftz, .sat); the
// approximate functions return the correctly rounded value; mma/wmma accumulate in double and
// round once.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ptxi {

struct Fault : std::runtime_error {
    std::string kind;  // "memcheck", "racecheck", "uninitialised", "async", "deadlock", "error"
    Fault(std::string k, const std::string& msg) : std::runtime_error(k + ": " + msg), kind(std::move(k)) {}
};

struct Memory {
    virtual ~Memory() = default;
    // Host pointer for [addr, addr + bytes) when it lies inside one live allocation, else null.
    virtual uint8_t* translate(uint64_t addr, uint64_t bytes) = 0;
};

struct Launch {
    unsigned grid[3] = {1, 1, 1};
    unsigned block[3] = {1, 1, 1};
    unsigned dynamic_shared = 0;
    uint64_t schedule = 0;  // completion moments of asynchronous operations (see above)
};

// The 128-byte tensor map as the stand-in driver's cuTensorMapEncodeTiled writes it and
// cp.async.bulk.tensor reads it.
struct TensorMapImage {
    static constexpr uint32_t kMagic = 0x504D5456;  // "VTMP"
    uint32_t magic = 0;
    uint8_t dtype = 0, rank = 0, interleave = 0, swizzle = 0;  // the driver's enum values
    uint8_t l2 = 0, oob = 0, elem_bytes = 0, pad0 = 0;
    uint64_t address = 0;
    uint64_t dims[5] = {};
    uint64_t strides[4] = {};  // bytes between consecutive indices of dims 1..rank-1
    uint16_t box[5] = {};
    uint8_t elem_strides[5] = {};
    uint8_t pad1[17] = {};
};
static_assert(sizeof(TensorMapImage) == 128, "a tensor map is 128 bytes");

struct Kernel;

class Module {
public:
    ~Module();
    static std::unique_ptr<Module> parse(const std::string& text, std::string* error);
    const Kernel* kernel(const std::string& name) const;
    std::vector<std::string> kernel_names() const;
    // Parameter types (".u64", ".f32", ...) and sizes of a kernel, in order.
    std::vector<std::string> param_types(const std::string& name) const;
    std::vector<unsigned> param_sizes(const std::string& name) const;
    // Bytes of statically declared shared memory of a kernel.
    unsigned static_shared(const std::string& name) const;
    std::vector<std::unique_ptr<Kernel>> kernels;
};

// Runs one launch; `params` holds one pointer per declared parameter. Throws Fault.
void run(const Module& module, const std::string& kernel, const Launch& launch, void* const* params, Memory& mem);

// Instruction forms the decoder accepts (for coverage reports).
std::vector<std::string> decoded_forms(const Module& module);

}  // namespace ptxi

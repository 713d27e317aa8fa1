// The stand-in driver's state and entry points. Everything runs under one lock: the library is a
// test double and clarity beats speed here. Device addresses live in a synthetic address space
// far above 4 GiB with gaps between allocations, so a truncated address, a host pointer passed as
// a device address or an access that strays into a neighbour fails instead of working by luck.
#include "fake_driver.hpp"
#include "ptx_interp.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <chrono>
#include <unordered_map>
#include <utility>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

using CUresult = int;

namespace {

enum : CUresult {
    kSuccess = 0,
    kInvalidValue = 1,
    kOutOfMemory = 2,
    kNotInitialized = 3,
    kNoDevice = 100,
    kInvalidDevice = 101,
    kInvalidImage = 200,
    kInvalidContext = 201,
    kNoBinaryForGpu = 209,
    kInvalidPtx = 218,
    kUnsupportedPtxVersion = 222,
    kInvalidHandle = 400,
    kNotFound = 500,
    kNotReady = 600,
    kIllegalAddress = 700,
    kLaunchOutOfResources = 701,
    kContextIsDestroyed = 709,
    kLaunchFailed = 719,
};

struct Context;

// Every object records the context that was current when it was made; a call made in another
// context fails as on the device.
struct Allocation {
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
    Context* context = nullptr;
    uint64_t id = 0;  // unique per allocation (the buffer id pointer attribute)
};

struct PinnedBlock {
    uint64_t bytes = 0;
    Context* context = nullptr;
    uint64_t id = 0;
};

struct Function;

struct Module {
    Context* context = nullptr;
    int ptx_major = 0, ptx_minor = 0;
    int target = 0;
    bool arch_specific = false;  // an "a" target: loads only on exactly that compute capability
    std::map<std::string, std::unique_ptr<Function>> functions;
    std::string text;                      // the image, for the PTX interpreter
    std::unique_ptr<ptxi::Module> interp;  // parsed on first need
    std::string interp_error;              // why it did not parse
    bool interp_tried = false;
};

struct Function {
    Module* module = nullptr;
    std::string name;
    std::vector<std::string> param_types;  // one type per declared parameter
    std::vector<unsigned> param_sizes;     // bytes per parameter
    unsigned max_dynamic_shared = 0;       // cuFuncSetAttribute; 0: the 48 KiB default
};

struct Stream;

// Happens-before as a vector clock: for each stream, the last of its operations known complete.
using Clock = std::map<const Stream*, uint64_t>;

void join(Clock& into, const Clock& from) {
    for (const auto& [stream, seq] : from)
        if (into[stream] < seq) into[stream] = seq;
}

bool knows(const Clock& c, const Stream* stream, uint64_t seq) {
    auto it = c.find(stream);
    return it != c.end() && it->second >= seq;
}

// Work queued on a stream runs only when something forces it (see run_stream).
struct Op {
    enum Kind { CopyHtoD, CopyDtoH, CopyDtoD, Kernel, Wait } kind;
    explicit Op(Kind k) : kind(k) {}
    uint64_t order = 0;            // issue order across all streams
    uint64_t device = 0;           // device address of a copy (the destination of a device-to-device one)
    uint64_t source = 0;           // source of a device-to-device copy
    uint8_t* host = nullptr;       // host address of a copy
    uint64_t bytes = 0;
    uint64_t checksum = 0;         // of a host-to-device source when it was queued
    fake::Launch launch;
    Function* function = nullptr;  // of a launch (modules are unloaded only after queues ran)
    Stream* wait_stream = nullptr; // a wait: run that stream up to wait_seq first
    uint64_t wait_seq = 0;
    uint64_t seq = 0;              // position in its stream
    Clock clock;                   // what is ordered before it
};

// A stream made with cuStreamCreate, or one of a context's default streams: the legacy one (the
// handles 0 and 0x1) and one per thread (0x2). Work on the legacy stream waits for all earlier
// work of the context's blocking streams (made with flags 0, and the per-thread ones), and work on
// a blocking stream waits for earlier legacy work; non-blocking streams (flags 1) are unordered.
struct Stream {
    enum Kind { Created, Legacy, PerThread } kind = Created;
    Context* context = nullptr;
    unsigned flags = 0;
    std::deque<Op> queue;
    uint64_t enqueued = 0;  // sequence number of the last queued operation
    uint64_t executed = 0;  // ... and of the last one that ran
    Clock clock;            // what its next operation will be ordered after

    bool blocking() const { return kind == PerThread || (kind == Created && (flags & 1) == 0); }
};

struct Event {
    Context* context = nullptr;
    Stream* stream = nullptr;  // null until recorded
    uint64_t seq = 0;          // complete once `stream` has run this far
    Clock clock;
};

// A context made with cuCtxCreate, or a device's primary context. A primary context is alive while
// initialised: from a retain until the last release or a reset, after which the same handle is
// initialised again by the next retain. Context objects are only freed by fake_reset, so a stale
// handle is never mistaken for a new context.
struct Context {
    int device = 0;
    bool primary = false;
    bool alive = true;
    long retains = 0;  // primary: the retain count
    Stream legacy;
    std::map<std::thread::id, std::unique_ptr<Stream>> per_thread;

    Context(int dev, bool is_primary) : device(dev), primary(is_primary) {
        legacy.kind = Stream::Legacy;
        legacy.context = this;
    }
};

// A write that ran: device memory or host memory, by an operation of `stream`.
struct Write {
    bool host;
    uint64_t addr, bytes;
    const Stream* stream;
    uint64_t seq;
    Clock clock;
};

struct Failure {
    std::string entry;
    long nth;  // 1-based call number to fail; 0 = every call
    CUresult status;
};

struct State {
    std::recursive_mutex lock;
    // configuration
    int cc_major = 8, cc_minor = 9;
    int device_count = 1;
    int max_ptx_major = 9, max_ptx_minor = 0;
    CUresult refuse_target_status = kNoBinaryForGpu;
    uint64_t memory_limit = 0;  // 0 = unlimited
    bool strict_launch = false; // a launch of a kernel without an executor fails
    int sync_delay_ms = 0;      // each stream synchronisation sleeps this long
    unsigned max_grid_y = 65535;  // reported and enforced; lower it to exercise split launches
    int sm_count = 8;             // multiprocessors reported (nothing else depends on it)
    // PTX interpretation: "" interprets every kernel without an executor, "all" every kernel,
    // "none" none, otherwise a comma-separated list of kernels interpreted even where an
    // executor exists (besides those without one)
    std::string interpret;
    std::set<std::string> hidden_entries;
    std::set<std::string> refused_entries;  // a module declaring one of these fails to load (218)
    std::set<std::string> corrupted_kernels;  // their output (parameter 0) reads back wrong
    std::map<CUresult, std::string> error_texts;  // replacements for the built-in texts
    // live objects
    bool initialised = false;
    std::map<uint64_t, Allocation> allocations;  // device address -> allocation
    uint64_t next_address = 0x7f0000000000ull;
    uint64_t live_bytes = 0;
    std::set<Context*> contexts;           // made with cuCtxCreate and not destroyed
    std::map<int, Context*> primaries;     // device -> its primary context, once first retained
    std::set<Module*> modules;
    std::set<Stream*> streams;             // made with cuStreamCreate
    std::map<uint8_t*, PinnedBlock> pinned;  // page-locked host blocks
    std::set<Event*> events;
    // Destroyed objects are kept (emptied) until fake_reset, so their handles stay unique and a
    // later call with one fails as invalid instead of reaching a new object at the same address.
    // Pinned blocks dropped with their context stay readable so a stray access does not crash.
    std::vector<Context*> dead_contexts;
    std::vector<Stream*> dead_streams;
    std::vector<Event*> dead_events;
    std::vector<Module*> dead_modules;
    std::vector<uint8_t*> dead_pinned;
    uint64_t generation = 0;               // bumped by fake_reset: every thread's context stack is void
    uint64_t next_buffer_id = 0;
    uint64_t next_order = 0;
    CUresult async_error = 0;              // first failure of a queued operation, not yet reported
    Clock host_clock;                      // what the host has waited for
    std::vector<Write> writes;             // writes that ran, for the race check
    long pinned_made = 0, pinned_freed = 0, events_created = 0, events_destroyed = 0, streams_destroyed = 0;
    long hazards = 0, async_copies = 0;
    long contexts_created = 0, contexts_destroyed = 0, modules_loaded = 0, modules_unloaded = 0;
    long allocs_made = 0, frees_made = 0, bad_frees = 0, bounds_violations = 0, launches_unexecuted = 0;
    long launches_interpreted = 0, interpreter_reports = 0;
    long primary_retains = 0, primary_releases = 0, primary_resets = 0, ctx_pushes = 0, ctx_pops = 0;
    long objects_dropped = 0;  // destroyed with their primary context (last release or reset)
    long tensor_maps_encoded = 0;
    // FAKE_CUDA_NO_KERNELS: launches are queued, logged and checked as usual but run nothing, so
    // a benchmark of the host side does not pay for CPU-executed kernels.
    bool no_kernels = false;
    long launches_skipped = 0;
    // Nanoseconds spent on what a device does by itself: running queued copies and kernels and
    // checksumming the sources of queued uploads (what is left of a staged transfer is the host's).
    long standin_ns = 0;
    // logs
    std::unordered_map<std::string, long> call_counts;
    std::vector<std::string> call_log;
    std::vector<fake::Launch> launches;
    std::vector<std::string> resolutions;  // "name@version/flags"
    std::vector<Failure> failures;
    std::string json;  // buffer behind the *_json functions
};

State& st() {
    static State* s = new State();  // never destroyed: entry points may run during exit
    return *s;
}

std::map<std::string, fake::Executor>& executors() {
    static auto* m = new std::map<std::string, fake::Executor>();
    return *m;
}

// The calling thread's context stack; its top is the current context. Fixed in size and trivially
// destructible: entry points may run during exit, after a thread's dynamic objects are gone.
struct ContextStack {
    static constexpr unsigned kCapacity = 64;
    uint64_t generation = 0;
    unsigned depth = 0;
    Context* items[kCapacity] = {};

    bool empty() const { return depth == 0; }
    Context*& top() { return items[depth - 1]; }
    bool push(Context* c) {
        if (depth == kCapacity) return false;
        items[depth++] = c;
        return true;
    }
    void pop() { --depth; }
};
thread_local ContextStack t_contexts;

ContextStack& context_stack() {
    if (t_contexts.generation != st().generation) {
        t_contexts.depth = 0;
        t_contexts.generation = st().generation;
    }
    return t_contexts;
}

Context* current_context() {
    ContextStack& stack = context_stack();
    return stack.empty() ? nullptr : stack.top();
}

// A handle that names a context: a live one made by cuCtxCreate, or a primary context in any state.
bool known_context(Context* c) {
    State& s = st();
    if (!c) return false;
    if (s.contexts.count(c)) return true;
    for (const auto& kv : s.primaries)
        if (kv.second == c) return true;
    return false;
}

// Whether calls can run in the current context: 201 with none, 709 when it was destroyed (or, for
// a primary context, released to zero or reset and not retained again since).
CUresult context_status() {
    Context* c = current_context();
    if (!c) return kInvalidContext;
    return c->alive ? kSuccess : kContextIsDestroyed;
}

// Counts the call, logs it and applies an injected failure, if one is due.
bool inject(const char* entry, CUresult* status) {
    State& s = st();
    long n = ++s.call_counts[entry];
    s.call_log.emplace_back(entry);
    for (auto it = s.failures.begin(); it != s.failures.end(); ++it) {
        if (it->entry != entry) continue;
        if (it->nth == 0 || it->nth == n) {
            *status = it->status;
            if (it->nth != 0) s.failures.erase(it);
            return true;
        }
    }
    return false;
}

#define ENTER(name)                                           \
    std::lock_guard<std::recursive_mutex> guard(st().lock);   \
    State& s = st();                                          \
    (void)s;                                                  \
    {                                                         \
        CUresult injected;                                    \
        if (inject(name, &injected)) return injected;         \
    }

#define NEED_INIT() \
    if (!s.initialised) return kNotInitialized

// Declares `cur`, the current context, once calls can run in it.
#define NEED_CONTEXT()                                      \
    NEED_INIT();                                            \
    if (CUresult status_ = context_status()) return status_; \
    Context* cur = current_context();                       \
    (void)cur

// Shared memory a block may opt into per compute capability (cuFuncSetAttribute, attribute 97):
// 227 KiB at 9.0 and 10.0, 163 KiB at 8.0 and 8.7, 99 KiB at 8.6, 8.9 and 12.x, 96 KiB at 7.0 and
// 7.2, 64 KiB at 7.5; the 48 KiB default for any capability not listed.
unsigned optin_shared(const State& s) {
    switch (s.cc_major * 10 + s.cc_minor) {
        case 90: case 100: return 232448;
        case 80: case 87: return 166912;
        case 86: case 89: case 120: case 121: return 101376;
        case 70: case 72: return 98304;
        case 75: return 65536;
        default: return 49152;
    }
}

// The live allocation that [addr, addr + bytes) lies inside, or null.
const Allocation* allocation_at(uint64_t addr, uint64_t bytes, uint64_t* base = nullptr) {
    State& s = st();
    auto it = s.allocations.upper_bound(addr);
    if (it == s.allocations.begin()) return nullptr;
    --it;
    uint64_t off = addr - it->first;
    if (off > it->second.size || bytes > it->second.size - off) return nullptr;
    if (base) *base = it->first;
    return &it->second;
}

// Host pointer for [addr, addr + bytes) when it lies inside one live allocation.
uint8_t* translate(uint64_t addr, uint64_t bytes) {
    uint64_t base = 0;
    const Allocation* a = allocation_at(addr, bytes, &base);
    return a ? a->bytes.get() + (addr - base) : nullptr;
}

// The same, and the allocation must belong to `context`: memory of another context is not
// addressable from it.
uint8_t* translate_in(Context* context, uint64_t addr, uint64_t bytes) {
    uint64_t base = 0;
    const Allocation* a = allocation_at(addr, bytes, &base);
    return a && a->context == context ? a->bytes.get() + (addr - base) : nullptr;
}

// ---- PTX parsing -------------------------------------------------------------------------

std::string strip_comments(const char* text) {
    std::string out;
    for (const char* p = text; *p;) {
        if (p[0] == '/' && p[1] == '/') {
            while (*p && *p != '\n') ++p;
        } else if (p[0] == '/' && p[1] == '*') {
            p += 2;
            while (*p && !(p[0] == '*' && p[1] == '/')) ++p;
            if (*p) p += 2;
        } else {
            out.push_back(*p++);
        }
    }
    return out;
}

unsigned type_size(const std::string& t) {
    if (t.size() < 2) return 0;
    int bits = std::atoi(t.c_str() + 1);
    if (t == "pred") return 1;
    return bits > 0 ? static_cast<unsigned>(bits / 8) : 0;
}

// Parses ".version", ".target" and every ".entry name(.param .type name, ...)" declaration.
CUresult parse_module(const char* text, Module& m) {
    std::string src = strip_comments(text);
    size_t v = src.find(".version");
    if (v == std::string::npos) return kInvalidPtx;
    if (std::sscanf(src.c_str() + v, ".version %d.%d", &m.ptx_major, &m.ptx_minor) != 2) return kInvalidPtx;
    size_t t = src.find(".target");
    if (t == std::string::npos) return kInvalidPtx;
    size_t sm = src.find("sm_", t);
    if (sm == std::string::npos) return kInvalidPtx;
    m.target = std::atoi(src.c_str() + sm + 3);
    {
        size_t d = sm + 3;
        while (d < src.size() && std::isdigit(static_cast<unsigned char>(src[d]))) ++d;
        m.arch_specific = d < src.size() && src[d] == 'a';
    }
    if (src.find(".address_size") == std::string::npos) return kInvalidPtx;

    size_t pos = 0;
    while ((pos = src.find(".entry", pos)) != std::string::npos) {
        pos += 6;
        size_t p = pos;
        while (p < src.size() && std::isspace(static_cast<unsigned char>(src[p]))) ++p;
        size_t name_start = p;
        while (p < src.size() && (std::isalnum(static_cast<unsigned char>(src[p])) || src[p] == '_' || src[p] == '$'))
            ++p;
        auto fn = std::make_unique<Function>();
        fn->name = src.substr(name_start, p - name_start);
        fn->module = &m;
        if (fn->name.empty()) return kInvalidPtx;
        while (p < src.size() && std::isspace(static_cast<unsigned char>(src[p]))) ++p;
        if (p < src.size() && src[p] == '(') {
            size_t close = src.find(')', p);
            if (close == std::string::npos) return kInvalidPtx;
            std::string list = src.substr(p + 1, close - p - 1);
            std::stringstream ss(list);
            std::string decl;
            while (std::getline(ss, decl, ',')) {
                // ".param .u64 name" or ".param .align 8 .b8 name[16]"
                std::stringstream ws(decl);
                std::string word, type;
                unsigned array = 1;
                while (ws >> word) {
                    if (word == ".param" || word == ".ptr" || word == ".global" || word == ".align") continue;
                    if (word[0] == '.') {
                        type = word.substr(1);
                        continue;
                    }
                    size_t br = word.find('[');
                    if (br != std::string::npos) array = static_cast<unsigned>(std::atoi(word.c_str() + br + 1));
                }
                if (type.empty()) continue;  // ".align 8" consumed its number as a word; fine
                fn->param_types.push_back(type);
                fn->param_sizes.push_back(type_size(type) * (array ? array : 1));
            }
            pos = close;
        }
        m.functions[fn->name] = std::move(fn);
    }
    return kSuccess;
}

std::string json_escape(const std::string& in) {
    std::string out;
    for (char c : in) {
        if (c == '"' || c == '\\') out.push_back('\\');
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out.push_back(c);
    }
    return out;
}

// A JSON array of the strings, in the buffer behind the *_json functions.
const char* json_strings(const std::vector<std::string>& items) {
    std::string& j = st().json;
    j = "[";
    for (size_t i = 0; i < items.size(); ++i) j += (i ? ",\"" : "\"") + json_escape(items[i]) + "\"";
    j += "]";
    return j.c_str();
}

// Forgets the call counts and the call, launch and resolution logs.
void clear_logs(State& s) {
    s.call_counts.clear();
    s.call_log.clear();
    s.launches.clear();
    s.resolutions.clear();
}

const char* error_text(CUresult status) {
    auto custom = st().error_texts.find(status);
    if (custom != st().error_texts.end()) return custom->second.c_str();
    switch (status) {
        case 0: return "no error";
        case 1: return "invalid argument";
        case 2: return "out of memory";
        case 3: return "initialization error";
        case 4: return "driver shutting down";
        case 100: return "no CUDA-capable device is detected";
        case 101: return "invalid device ordinal";
        case 200: return "device kernel image is invalid";
        case 201: return "invalid device context";
        case 209: return "no kernel image is available for execution on the device";
        case 218: return "a PTX JIT compilation failed";
        case 222: return "the provided PTX was compiled with an unsupported toolchain.";
        case 400: return "invalid resource handle";
        case 500: return "named symbol not found";
        case 700: return "an illegal memory access was encountered";
        case 701: return "too many resources requested for launch";
        case 719: return "unspecified launch failure";
        case 801: return "operation not supported";
        case 999: return "unknown error";
        default: return nullptr;
    }
}

}  // namespace

namespace {
// The operation running now (checked against the queues by the accessors of executors).
const Op* g_running = nullptr;
const Stream* g_running_stream = nullptr;
void kernel_access(uint64_t addr, uint64_t bytes);
}  // namespace

// ---- accessors for executors ---------------------------------------------------------------

namespace fake {

static void* checked(uint64_t addr, uint64_t count, uint64_t elem) {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, elem, &bytes)) throw BoundsError("element count overflows");
    uint8_t* p = translate(addr, bytes);
    bool foreign = p && g_running_stream && !translate_in(g_running_stream->context, addr, bytes);
    if (p && !foreign && g_running) kernel_access(addr, bytes);
    if (!p || foreign) {
        char msg[160];
        std::snprintf(msg, sizeof msg, "access of %llu bytes at 0x%llx %s",
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(addr),
                      foreign ? "in memory of another context" : "outside every live allocation");
        throw BoundsError(msg);
    }
    return p;
}

float* dev_f32(uint64_t addr, uint64_t count) { return static_cast<float*>(checked(addr, count, 4)); }
uint16_t* dev_u16(uint64_t addr, uint64_t count) { return static_cast<uint16_t*>(checked(addr, count, 2)); }
uint8_t* dev_u8(uint64_t addr, uint64_t count) { return static_cast<uint8_t*>(checked(addr, count, 1)); }

void register_executor(const char* kernel, Executor fn) { executors()[kernel] = fn; }

}  // namespace fake

// ---- stream work ---------------------------------------------------------------------------
//
// Copies and launches queue on their stream and run in stream order only when something forces
// them: a synchronisation of their stream or of an event recorded after them, a wait that another
// stream reaches, or a blocking call (which runs everything). So a staging buffer reused before
// its copy ran, or a result read before its wait, comes out wrong instead of right by luck.
// Every operation that runs also checks that no operation issued earlier on another stream, and
// still queued, writes what it reads (`hazards`, with a line on stderr).

namespace {

CUresult interpret_launch(Function& f, const fake::Launch& launch);

// Runs one launch now: through the PTX interpreter (every kernel without an executor, and those
// FAKE_CUDA_INTERPRET names), else the registered executor (bounds-checked). The status is what
// the launch itself would report.
CUresult execute_launch(Function& f, const fake::Launch& launch) {
    State& s = st();
    if (s.no_kernels) {
        ++s.launches_skipped;
        return kSuccess;
    }
    auto ex = executors().find(launch.kernel);
    bool listed = false;
    if (!s.interpret.empty() && s.interpret != "none" && s.interpret != "all") {
        std::stringstream names(s.interpret);
        std::string item;
        while (std::getline(names, item, ','))
            if (item == launch.kernel) listed = true;
    }
    bool interpret = s.interpret == "all" || listed || (ex == executors().end() && s.interpret != "none");
    if (interpret) return interpret_launch(f, launch);
    if (ex == executors().end()) {
        ++s.launches_unexecuted;
        return s.strict_launch ? kLaunchOutOfResources : kSuccess;
    }
    try {
        ex->second(launch);
    } catch (const fake::BoundsError& e) {
        ++s.bounds_violations;
        std::fprintf(stderr, "[fake driver] %s: %s\n", launch.kernel.c_str(), e.what());
        return kIllegalAddress;
    }
    return kSuccess;
}

// Adds the time of its scope to `standin_ns`.
struct StandinTime {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    ~StandinTime() {
        st().standin_ns += static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
    }
};

// FNV-style hash over 8-byte words in four independent lanes (a change of any byte changes the
// hash with overwhelming probability), cheap enough next to the copy itself.
uint64_t checksum(const uint8_t* p, uint64_t n) {
    constexpr uint64_t kPrime = 1099511628211ull;
    // Named lanes, not an array: kept in registers even at -O1.
    uint64_t h0 = 1469598103934665603ull, h1 = 0x9e3779b97f4a7c15ull, h2 = 0xc2b2ae3d27d4eb4full,
             h3 = 0x165667b19e3779f9ull;
    auto word = [p](uint64_t at) {
        uint64_t w;
        std::memcpy(&w, p + at, 8);
        return w;
    };
    uint64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        h0 = (h0 ^ word(i)) * kPrime;
        h1 = (h1 ^ word(i + 8)) * kPrime;
        h2 = (h2 ^ word(i + 16)) * kPrime;
        h3 = (h3 ^ word(i + 24)) * kPrime;
    }
    for (; i < n; ++i) h0 = (h0 ^ p[i]) * kPrime;
    return ((h0 * kPrime ^ h1) * kPrime ^ h2) * kPrime ^ h3;
}

// Every stream that can hold work: the default streams of each live context, then the created ones.
template <class F>
void for_each_stream(F&& f) {
    State& s = st();
    auto defaults = [&](Context* c) {
        f(&c->legacy);
        for (auto& kv : c->per_thread) f(kv.second.get());
    };
    for (Context* c : s.contexts) defaults(c);
    for (auto& kv : s.primaries) defaults(kv.second);
    for (Stream* t : s.streams) f(t);
}

constexpr uintptr_t kLegacyStreamHandle = 0x1, kPerThreadStreamHandle = 0x2;

// The stream a handle names in the current context `cur`: null and 0x1 the legacy default
// stream, 0x2 the calling thread's default stream (made on first use), anything else a stream
// made in `cur`; null for a handle that is none of these.
Stream* resolve_stream(Stream* handle, Context* cur) {
    auto h = reinterpret_cast<uintptr_t>(handle);
    if (h == 0 || h == kLegacyStreamHandle) return &cur->legacy;
    if (h == kPerThreadStreamHandle) {
        std::unique_ptr<Stream>& p = cur->per_thread[std::this_thread::get_id()];
        if (!p) {
            p = std::make_unique<Stream>();
            p->kind = Stream::PerThread;
            p->context = cur;
        }
        return p.get();
    }
    if (!st().streams.count(handle) || handle->context != cur) return nullptr;
    return handle;
}

// Declares `var`, the stream `handle` names in the current context, or fails with 400.
#define NEED_STREAM(var, handle)                  \
    Stream* var = resolve_stream((handle), cur);  \
    if (!var) return kInvalidHandle

void push(Stream* stream, Op op) {
    State& s = st();
    op.order = ++s.next_order;
    join(stream->clock, s.host_clock);  // issued after everything the host has waited for
    op.seq = ++stream->enqueued;
    stream->clock[stream] = op.seq;
    op.clock = stream->clock;
    stream->queue.push_back(std::move(op));
}

// The implicit order of the legacy default stream: before the next operation of `stream`, a wait
// for every stream it is ordered after and does not already know complete.
void order_implicitly(Stream* stream) {
    Context* c = stream->context;
    join(stream->clock, st().host_clock);  // what the host has waited for needs no wait
    auto wait_for = [&](Stream* other) {
        if (other == stream || other->enqueued == 0 || knows(stream->clock, other, other->enqueued)) return;
        Op op(Op::Wait);
        op.wait_stream = other;
        op.wait_seq = other->enqueued;
        join(stream->clock, other->clock);
        push(stream, std::move(op));
    };
    if (stream->kind == Stream::Legacy) {
        for (Stream* t : st().streams)
            if (t->context == c && t->blocking()) wait_for(t);
        for (auto& kv : c->per_thread) wait_for(kv.second.get());
    } else if (stream->blocking()) {
        wait_for(&c->legacy);
    }
}

void enqueue(Stream* stream, Op op) {
    order_implicitly(stream);
    push(stream, std::move(op));
}

void hazard(const std::string& what) {
    ++st().hazards;
    std::fprintf(stderr, "[fake driver] hazard: %s\n", what.c_str());
}

bool overlap(uint64_t a, uint64_t an, uint64_t b, uint64_t bn) { return a < b + bn && b < a + an; }

// Whether two operations of different streams are unordered: neither happens before the other.
bool unordered(const Stream* xs, uint64_t xseq, const Clock& xclock, const Stream* ys, uint64_t yseq,
               const Clock& yclock) {
    return xs != ys && !knows(xclock, ys, yseq) && !knows(yclock, xs, xseq);
}

// What operation `x` (of stream `xs`, running now) touches, against every write that ran or is
// queued on another stream without an order between the two: a race, whichever ran first here.
void check_access(const Stream* xs, const Op& x, bool host, uint64_t addr, uint64_t bytes, const char* what) {
    State& s = st();
    for (const Write& w : s.writes)
        if (w.host == host && overlap(w.addr, w.bytes, addr, bytes) &&
            unordered(xs, x.seq, x.clock, w.stream, w.seq, w.clock)) {
            hazard(std::string(what) + " overlaps a write of another stream with no order between them");
            return;
        }
    auto scan = [&](const Stream* t) {
        if (t == xs) return false;
        for (const Op& q : t->queue) {
            if (!unordered(xs, x.seq, x.clock, t, q.seq, q.clock)) continue;
            bool writes = false;
            if ((q.kind == Op::CopyHtoD || q.kind == Op::CopyDtoD) && !host)
                writes = overlap(q.device, q.bytes, addr, bytes);
            if (q.kind == Op::CopyDtoH && host)
                writes = overlap(reinterpret_cast<uint64_t>(q.host), q.bytes, addr, bytes);
            if (q.kind == Op::Kernel && !host)  // a kernel writes at or after its addresses
                for (const fake::Param& p : q.launch.params)
                    writes = writes || (p.type == "u64" && p.bits >= addr && p.bits < addr + bytes);
            if (writes) {
                hazard(std::string(what) + " overlaps memory that a queued operation of another stream will write");
                return true;
            }
        }
        return false;
    };
    bool found = false;
    for_each_stream([&](const Stream* t) { found = found || scan(t); });
}

void record_write(const Stream* xs, const Op& x, bool host, uint64_t addr, uint64_t bytes) {
    std::vector<Write>& w = st().writes;
    if (w.size() > 50000) w.erase(w.begin(), w.begin() + 25000);  // bounded; old writes are long ordered
    w.push_back({host, addr, bytes, xs, x.seq, x.clock});
}

// The accessor of a running kernel: a read or a write, so it is checked and logged as both.
void kernel_access(uint64_t addr, uint64_t bytes) {
    check_access(g_running_stream, *g_running, false, addr, bytes, "a kernel's access");
    record_write(g_running_stream, *g_running, false, addr, bytes);
}

void note_error(CUresult r) {
    if (r != kSuccess && st().async_error == kSuccess) st().async_error = r;
}

void run_stream(Stream* stream, uint64_t upto);

void execute_op(Stream* stream, Op& op);

// Runs one operation, timing the outermost one (a wait runs others inside it) as device work.
void execute(Stream* stream, Op& op) {
    static thread_local int depth = 0;
    if (depth > 0) return execute_op(stream, op);
    ++depth;
    {
        StandinTime timed;
        execute_op(stream, op);
    }
    --depth;
}

void execute_op(Stream* stream, Op& op) {
    switch (op.kind) {
        case Op::CopyHtoD: {
            check_access(stream, op, true, reinterpret_cast<uint64_t>(op.host), op.bytes, "a host-to-device copy's source");
            check_access(stream, op, false, op.device, op.bytes, "a host-to-device copy's destination");
            if (checksum(op.host, op.bytes) != op.checksum)
                hazard("the source of a queued host-to-device copy changed before the copy ran");
            uint8_t* p = translate_in(stream->context, op.device, op.bytes);
            if (!p) return note_error(kIllegalAddress);
            std::memcpy(p, op.host, op.bytes);
            record_write(stream, op, false, op.device, op.bytes);
            return;
        }
        case Op::CopyDtoD: {
            check_access(stream, op, false, op.source, op.bytes, "a device-to-device copy's source");
            check_access(stream, op, false, op.device, op.bytes, "a device-to-device copy's destination");
            uint8_t* from = translate_in(stream->context, op.source, op.bytes);
            uint8_t* to = translate_in(stream->context, op.device, op.bytes);
            if (!from || !to) return note_error(kIllegalAddress);
            std::memmove(to, from, op.bytes);
            record_write(stream, op, false, op.device, op.bytes);
            return;
        }
        case Op::CopyDtoH: {
            check_access(stream, op, false, op.device, op.bytes, "a device-to-host copy's source");
            check_access(stream, op, true, reinterpret_cast<uint64_t>(op.host), op.bytes, "a device-to-host copy's destination");
            uint8_t* p = translate_in(stream->context, op.device, op.bytes);
            if (!p) return note_error(kIllegalAddress);
            std::memcpy(op.host, p, op.bytes);
            record_write(stream, op, true, reinterpret_cast<uint64_t>(op.host), op.bytes);
            return;
        }
        case Op::Kernel: {
            const Op* outer = g_running;
            const Stream* outer_stream = g_running_stream;
            g_running = &op;
            g_running_stream = stream;
            note_error(execute_launch(*op.function, op.launch));
            g_running = outer;
            g_running_stream = outer_stream;
            return;
        }
        case Op::Wait:
            if (op.wait_stream) run_stream(op.wait_stream, op.wait_seq);
            return;
    }
}

// Runs `stream`'s queue until operation number `upto` has run.
void run_stream(Stream* stream, uint64_t upto) {
    while (stream->executed < upto && !stream->queue.empty()) {
        Op op = std::move(stream->queue.front());
        stream->queue.pop_front();
        execute(stream, op);
        ++stream->executed;
    }
}

// The host has waited for `c`: later work is ordered after it. With nothing queued any more,
// writes the host has waited for can race with nothing issued from now on.
void host_waited(const Clock& c) {
    State& s = st();
    join(s.host_clock, c);
    bool idle = true;
    for_each_stream([&](const Stream* t) { idle = idle && t->queue.empty(); });
    if (idle) std::erase_if(s.writes, [&](const Write& w) { return knows(s.host_clock, w.stream, w.seq); });
}

// Runs every queue to its end, as the device would given time (the host has not waited).
void run_queues() {
    for_each_stream([](Stream* t) { run_stream(t, t->enqueued); });
}

// Runs every queue to its end (what a blocking call implies).
void run_all() {
    run_queues();
    Clock all;
    for_each_stream([&](const Stream* t) { join(all, t->clock); });
    host_waited(all);
}

// The first failure of the queued work just forced, once.
CUresult take_async_error() { return std::exchange(st().async_error, kSuccess); }

long pending_ops() {
    long n = 0;
    for_each_stream([&](const Stream* t) { n += static_cast<long>(t->queue.size()); });
    return n;
}

// Drops the queued work of a stream: it never runs, and waits for it are satisfied.
void drop_work(Stream* t) {
    t->queue.clear();
    t->executed = t->enqueued;
    std::erase_if(st().writes, [&](const Write& w) { return w.stream == t; });
}

// Moves a destroyed stream to the dead list, emptied.
void bury(Stream* t) {
    drop_work(t);
    t->clock.clear();
    st().dead_streams.push_back(t);
}

void bury(Module* m) {
    m->text.clear();
    m->text.shrink_to_fit();
    m->interp.reset();
    st().dead_modules.push_back(m);
}

// Destroys every object of the primary context `c` without running its queued work, and leaves
// it uninitialised (what its last release, or a reset by another library, does on the device).
void drop_primary_objects(Context* c) {
    State& s = st();
    long dropped = 0;
    drop_work(&c->legacy);
    for (auto& kv : c->per_thread) drop_work(kv.second.get());
    for (auto it = s.streams.begin(); it != s.streams.end();) {
        if ((*it)->context != c) { ++it; continue; }
        bury(*it);
        it = s.streams.erase(it);
        ++dropped;
    }
    for (auto it = s.events.begin(); it != s.events.end();) {
        if ((*it)->context != c) { ++it; continue; }
        s.dead_events.push_back(*it);
        it = s.events.erase(it);
        ++dropped;
    }
    for (auto it = s.modules.begin(); it != s.modules.end();) {
        if ((*it)->context != c) { ++it; continue; }
        bury(*it);
        it = s.modules.erase(it);
        ++dropped;
    }
    for (auto it = s.allocations.begin(); it != s.allocations.end();) {
        if (it->second.context != c) { ++it; continue; }
        s.live_bytes -= it->second.size;
        it = s.allocations.erase(it);
        ++dropped;
    }
    for (auto it = s.pinned.begin(); it != s.pinned.end();) {
        if (it->second.context != c) { ++it; continue; }
        s.dead_pinned.push_back(it->first);
        it = s.pinned.erase(it);
        ++dropped;
    }
    s.objects_dropped += dropped;
    c->alive = false;
}

}  // namespace

// ---- driver entry points -------------------------------------------------------------------

FAKE_EXPORT CUresult cuInit(unsigned int flags) {
    ENTER("cuInit");
    if (flags != 0) return kInvalidValue;
    if (s.device_count <= 0) return kNoDevice;
    s.initialised = true;
    return kSuccess;
}

FAKE_EXPORT CUresult cuDriverGetVersion(int* version) {
    ENTER("cuDriverGetVersion");
    if (!version) return kInvalidValue;
    *version = 12080;
    return kSuccess;
}

FAKE_EXPORT CUresult cuDeviceGetCount(int* count) {
    ENTER("cuDeviceGetCount");
    NEED_INIT();
    if (!count) return kInvalidValue;
    *count = s.device_count;
    return kSuccess;
}

FAKE_EXPORT CUresult cuDeviceGet(int* device, int ordinal) {
    ENTER("cuDeviceGet");
    NEED_INIT();
    if (!device) return kInvalidValue;
    if (ordinal < 0 || ordinal >= s.device_count) return kInvalidDevice;
    *device = ordinal;
    return kSuccess;
}

FAKE_EXPORT CUresult cuDeviceGetAttribute(int* value, int attribute, int device) {
    ENTER("cuDeviceGetAttribute");
    NEED_INIT();
    if (!value) return kInvalidValue;
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    switch (attribute) {
        case 1: *value = 1024; break;          // max threads per block
        case 2: case 3: *value = 1024; break;  // max block x, y
        case 4: *value = 64; break;            // max block z
        case 5: *value = 2147483647; break;    // max grid x
        case 6: *value = static_cast<int>(s.max_grid_y); break;  // max grid y
        case 7: *value = 65535; break;         // max grid z
        case 8: *value = 49152; break;         // shared memory per block
        case 10: *value = 32; break;           // warp size
        case 16: *value = s.sm_count; break;   // multiprocessor count
        case 75: *value = s.cc_major; break;
        case 76: *value = s.cc_minor; break;
        case 97: *value = static_cast<int>(optin_shared(s)); break;
        default: *value = 0; break;
    }
    return kSuccess;
}

// cuCtxCreate pushes the new context on the calling thread's stack.
FAKE_EXPORT CUresult cuCtxCreate_v2(Context** ctx, unsigned int flags, int device) {
    ENTER("cuCtxCreate");
    NEED_INIT();
    if (!ctx) return kInvalidValue;
    (void)flags;
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    if (context_stack().depth == ContextStack::kCapacity) return kOutOfMemory;
    auto* c = new Context(device, false);
    s.contexts.insert(c);
    ++s.contexts_created;
    context_stack().push(c);
    *ctx = c;
    return kSuccess;
}

// Destroys a context made by cuCtxCreate (a primary context is refused) and pops it when it is
// current to the calling thread; other threads that have it current get 709 from then on. Its
// objects stay counted as live: the owner should have freed them first.
FAKE_EXPORT CUresult cuCtxDestroy_v2(Context* ctx) {
    ENTER("cuCtxDestroy");
    NEED_INIT();
    run_all();
    if (!s.contexts.erase(ctx)) return kInvalidContext;
    ++s.contexts_destroyed;
    ctx->alive = false;
    s.dead_contexts.push_back(ctx);
    ContextStack& stack = context_stack();
    if (!stack.empty() && stack.top() == ctx) stack.pop();
    return kSuccess;
}

// Replaces the top of the calling thread's stack (pushes onto an empty one); null pops the top.
FAKE_EXPORT CUresult cuCtxSetCurrent(Context* ctx) {
    ENTER("cuCtxSetCurrent");
    NEED_INIT();
    ContextStack& stack = context_stack();
    if (!ctx) {
        if (!stack.empty()) stack.pop();
        return kSuccess;
    }
    if (!known_context(ctx)) return kInvalidContext;
    if (stack.empty()) stack.push(ctx);
    else stack.top() = ctx;
    return kSuccess;
}

FAKE_EXPORT CUresult cuCtxGetCurrent(Context** ctx) {
    ENTER("cuCtxGetCurrent");
    NEED_INIT();
    if (!ctx) return kInvalidValue;
    *ctx = current_context();
    return kSuccess;
}

FAKE_EXPORT CUresult cuCtxPushCurrent_v2(Context* ctx) {
    ENTER("cuCtxPushCurrent");
    NEED_INIT();
    if (!ctx) return kInvalidValue;
    if (!known_context(ctx)) return kInvalidContext;
    if (!context_stack().push(ctx)) return kOutOfMemory;  // a push without its pop, over and over
    ++s.ctx_pushes;
    return kSuccess;
}

// Pops the top of the calling thread's stack into *ctx (which may be null); 201 on an empty stack.
FAKE_EXPORT CUresult cuCtxPopCurrent_v2(Context** ctx) {
    ENTER("cuCtxPopCurrent");
    NEED_INIT();
    ContextStack& stack = context_stack();
    if (stack.empty()) return kInvalidContext;
    if (ctx) *ctx = stack.top();
    stack.pop();
    ++s.ctx_pops;
    return kSuccess;
}

// The device's primary context, initialised on the first retain (and on the first after its last
// release or a reset); the handle of a device never changes.
FAKE_EXPORT CUresult cuDevicePrimaryCtxRetain(Context** ctx, int device) {
    ENTER("cuDevicePrimaryCtxRetain");
    NEED_INIT();
    if (!ctx) return kInvalidValue;
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    Context*& c = s.primaries[device];
    if (!c) c = new Context(device, true);
    if (!c->alive) c->alive = true;
    ++c->retains;
    ++s.primary_retains;
    *ctx = c;
    return kSuccess;
}

// The last release destroys the primary context's objects and leaves it uninitialised.
FAKE_EXPORT CUresult cuDevicePrimaryCtxRelease_v2(int device) {
    ENTER("cuDevicePrimaryCtxRelease");
    NEED_INIT();
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    auto it = s.primaries.find(device);
    if (it == s.primaries.end() || it->second->retains == 0) return kInvalidContext;
    Context* c = it->second;
    ++s.primary_releases;
    if (--c->retains == 0 && c->alive) {
        run_all();  // the device finishes what was queued before the context goes
        drop_primary_objects(c);
    }
    return kSuccess;
}

FAKE_EXPORT int fake_reset_primary_context(int device);

// Destroys every object of the primary context and leaves it uninitialised, whoever retained it;
// the retain count is kept (what the runtime's device reset does to other users of the context).
FAKE_EXPORT CUresult cuDevicePrimaryCtxReset_v2(int device) {
    ENTER("cuDevicePrimaryCtxReset");
    NEED_INIT();
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    return fake_reset_primary_context(device);
}

FAKE_EXPORT CUresult cuDevicePrimaryCtxGetState(int device, unsigned int* flags, int* active) {
    ENTER("cuDevicePrimaryCtxGetState");
    NEED_INIT();
    if (!flags || !active) return kInvalidValue;
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    auto it = s.primaries.find(device);
    *flags = 0;
    *active = it != s.primaries.end() && it->second->alive && it->second->retains > 0;
    return kSuccess;
}

FAKE_EXPORT CUresult cuStreamCreate(Stream** stream, unsigned int flags) {
    ENTER("cuStreamCreate");
    NEED_CONTEXT();
    if (!stream || flags > 1) return kInvalidValue;
    auto* st_ = new Stream;
    st_->context = cur;
    st_->flags = flags;
    s.streams.insert(st_);
    *stream = st_;
    return kSuccess;
}

FAKE_EXPORT CUresult cuStreamSynchronize(Stream* stream) {
    ENTER("cuStreamSynchronize");
    if (s.sync_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.sync_delay_ms));
    NEED_CONTEXT();
    NEED_STREAM(target, stream);
    run_stream(target, target->enqueued);
    host_waited(target->clock);
    return take_async_error();
}

FAKE_EXPORT CUresult cuModuleLoadData(Module** module, const void* image) {
    ENTER("cuModuleLoadData");
    NEED_CONTEXT();
    if (!module || !image) return kInvalidValue;
    auto m = std::make_unique<Module>();
    m->text = static_cast<const char*>(image);
    CUresult r = parse_module(static_cast<const char*>(image), *m);
    if (r != kSuccess) return r;
    if (m->ptx_major > s.max_ptx_major || (m->ptx_major == s.max_ptx_major && m->ptx_minor > s.max_ptx_minor))
        return kUnsupportedPtxVersion;
    if (m->target > s.cc_major * 10 + s.cc_minor) return s.refuse_target_status;
    if (m->arch_specific && m->target != s.cc_major * 10 + s.cc_minor) return s.refuse_target_status;
    for (const auto& kv : m->functions)
        if (s.refused_entries.count(kv.first)) return kInvalidPtx;
    m->context = cur;
    *module = m.get();
    s.modules.insert(m.release());
    ++s.modules_loaded;
    return kSuccess;
}

FAKE_EXPORT CUresult cuModuleUnload(Module* module) {
    ENTER("cuModuleUnload");
    NEED_INIT();
    run_all();
    if (!s.modules.count(module)) return kInvalidHandle;
    // With no context current the unload is accepted; in another context it is not.
    if (Context* c = current_context(); c && c != module->context) return kInvalidHandle;
    s.modules.erase(module);
    ++s.modules_unloaded;
    bury(module);
    return kSuccess;
}

FAKE_EXPORT CUresult cuModuleGetFunction(Function** fn, Module* module, const char* name) {
    ENTER("cuModuleGetFunction");
    NEED_CONTEXT();
    if (!fn || !name) return kInvalidValue;
    if (!s.modules.count(module) || module->context != cur) return kInvalidHandle;
    auto it = module->functions.find(name);
    if (it == module->functions.end()) return kNotFound;
    *fn = it->second.get();
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemAlloc_v2(uint64_t* dptr, size_t bytes) {
    ENTER("cuMemAlloc");
    NEED_CONTEXT();
    if (!dptr || bytes == 0) return kInvalidValue;
    if (s.memory_limit && (bytes > s.memory_limit || s.live_bytes > s.memory_limit - bytes)) return kOutOfMemory;
    Allocation a;
    a.bytes.reset(new (std::nothrow) uint8_t[bytes]);
    if (!a.bytes) return kOutOfMemory;
    std::memset(a.bytes.get(), 0xA5, bytes);  // device memory starts as garbage, not zeros
    a.size = bytes;
    a.context = cur;
    a.id = ++s.next_buffer_id;
    uint64_t addr = s.next_address;
    s.next_address += (bytes + 0x1000 + 0xFFF) & ~uint64_t(0xFFF);  // leave a gap after each
    s.allocations.emplace(addr, std::move(a));
    s.live_bytes += bytes;
    ++s.allocs_made;
    *dptr = addr;
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemFree_v2(uint64_t dptr) {
    ENTER("cuMemFree");
    NEED_CONTEXT();
    run_all();  // freeing waits for the device; a failure of that work stays to be reported
    auto it = s.allocations.find(dptr);
    if (it == s.allocations.end() || it->second.context != cur) {
        ++s.bad_frees;
        return kInvalidValue;
    }
    s.live_bytes -= it->second.size;
    s.allocations.erase(it);
    ++s.frees_made;
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemcpyHtoD_v2(uint64_t dst, const void* src, size_t bytes) {
    ENTER("cuMemcpyHtoD");
    NEED_CONTEXT();
    run_all();
    if (CUresult r = take_async_error()) return r;
    if (bytes == 0) return kSuccess;
    uint8_t* p = translate_in(cur, dst, bytes);
    if (!p || !src) return kInvalidValue;
    std::memcpy(p, src, bytes);
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemcpyDtoH_v2(void* dst, uint64_t src, size_t bytes) {
    ENTER("cuMemcpyDtoH");
    NEED_CONTEXT();
    run_all();
    if (CUresult r = take_async_error()) return r;
    if (bytes == 0) return kSuccess;
    uint8_t* p = translate_in(cur, src, bytes);
    if (!p || !dst) return kInvalidValue;
    std::memcpy(dst, p, bytes);
    // A kernel made to compute a wrong result: the last float copied back from the buffer it
    // wrote is off by one.
    if (!s.corrupted_kernels.empty())
      for (const fake::Launch& l : s.launches)
        if (bytes >= 4 && s.corrupted_kernels.count(l.kernel) && !l.params.empty() && l.params[0].bits == src) {
            float v;
            std::memcpy(&v, static_cast<uint8_t*>(dst) + bytes - 4, 4);
            v += 1.0f;
            std::memcpy(static_cast<uint8_t*>(dst) + bytes - 4, &v, 4);
            break;
        }
    return kSuccess;
}

namespace {

// Device memory as the interpreter sees it. Each launch's accesses are gathered as one extent
// per allocation and handed to the stream-order check when the kernel ends (per access would be
// far too slow, and the kernels here touch one contiguous extent of each buffer).
struct DeviceMemory : ptxi::Memory {
    struct Extent {
        uint64_t base, end;  // the allocation
        uint64_t lo, hi;     // touched
    };
    std::vector<Extent> touched;
    Extent* last = nullptr;

    uint8_t* translate(uint64_t addr, uint64_t bytes) override {
        uint8_t* p = ::translate(addr, bytes);
        if (p && g_running_stream && !translate_in(g_running_stream->context, addr, bytes)) {
            std::fprintf(stderr, "[fake driver] access of %llu bytes at 0x%llx in memory of another context\n",
                         static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(addr));
            return nullptr;  // not addressable here: the interpreter reports it as an illegal address
        }
        if (!p || !g_running) return p;
        if (!last || addr < last->base || addr + bytes > last->end) {
            last = nullptr;
            for (Extent& e : touched)
                if (addr >= e.base && addr + bytes <= e.end) last = &e;
            if (!last) {
                auto it = std::prev(st().allocations.upper_bound(addr));
                touched.push_back({it->first, it->first + it->second.size, addr, addr + bytes});
                last = &touched.back();
            }
        }
        last->lo = std::min(last->lo, addr);
        last->hi = std::max(last->hi, addr + bytes);
        return p;
    }

    void report() {
        for (const Extent& e : touched) kernel_access(e.lo, e.hi - e.lo);
    }
};

// Runs a launch through the PTX interpreter; memcheck reports fail it as an illegal address (700),
// every other report (race, uninitialised shared read, unknown instruction) as a launch failure
// (719), each printed on stderr. The parameters are the values recorded at launch time (every
// parameter of these kernels fits the record's 8 bytes).
CUresult interpret_launch(Function& f, const fake::Launch& launch) {
    State& s = st();
    Module& m = *f.module;
    if (!m.interp) {
        ++s.interpreter_reports;
        std::fprintf(stderr, "[fake driver] %s: the PTX interpreter cannot read the module: %s\n", f.name.c_str(),
                     m.interp_error.c_str());
        return kLaunchFailed;
    }
    std::vector<fake::Param> values = launch.params;
    std::vector<void*> params;
    for (fake::Param& p : values) params.push_back(p.bytes.empty() ? static_cast<void*>(&p.bits) : p.bytes.data());
    ptxi::Launch l;
    for (int i = 0; i < 3; ++i) l.grid[i] = launch.grid[i], l.block[i] = launch.block[i];
    l.dynamic_shared = launch.shared_bytes;
    if (const char* sched = std::getenv("FAKE_CUDA_SCHEDULE")) l.schedule = std::strtoull(sched, nullptr, 10);
    DeviceMemory mem;
    ++s.launches_interpreted;
    try {
        ptxi::run(*m.interp, f.name, l, params.data(), mem);
        mem.report();
    } catch (const ptxi::Fault& e) {
        std::fprintf(stderr, "[fake driver] %s\n", e.what());
        if (e.kind == "memcheck") {
            ++s.bounds_violations;
            return kIllegalAddress;
        }
        ++s.interpreter_reports;
        return kLaunchFailed;
    }
    return kSuccess;
}

}  // namespace

namespace {
CUresult launch_kernel(Function* f, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by, unsigned bz,
                       unsigned shared, Stream* stream, void** params, void** extra, const unsigned* cluster);
}

FAKE_EXPORT CUresult cuLaunchKernel(Function* f, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by,
                                    unsigned bz, unsigned shared, Stream* stream, void** params, void** extra) {
    ENTER("cuLaunchKernel");
    NEED_CONTEXT();
    return launch_kernel(f, gx, gy, gz, bx, by, bz, shared, stream, params, extra, nullptr);
}

// The extended launch: the configuration's grid, block, shared memory and stream, and one
// optional attribute, the cluster dimensions (compute capability 9.0 and later, each dividing
// the grid, at most 8 blocks, the portable limit).
FAKE_EXPORT CUresult cuLaunchKernelEx(const fake::LaunchConfig* config, Function* f, void** params, void** extra) {
    ENTER("cuLaunchKernelEx");
    NEED_CONTEXT();
    if (!config || (config->numAttrs && !config->attrs)) return kInvalidValue;
    unsigned cluster[3] = {1, 1, 1};
    const unsigned grid[3] = {config->gridDimX, config->gridDimY, config->gridDimZ};
    for (unsigned i = 0; i < config->numAttrs; ++i) {
        const fake::LaunchAttribute& a = config->attrs[i];
        if (a.id != 4) return kInvalidValue;
        if (s.cc_major < 9) return kInvalidValue;
        for (int d = 0; d < 3; ++d) {
            cluster[d] = a.cluster[d];
            if (cluster[d] == 0 || (grid[d] && grid[d] % cluster[d])) return kInvalidValue;
        }
        if (cluster[0] * cluster[1] * cluster[2] > 8) return kInvalidValue;
    }
    return launch_kernel(f, config->gridDimX, config->gridDimY, config->gridDimZ, config->blockDimX, config->blockDimY,
                         config->blockDimZ, config->sharedMemBytes, static_cast<Stream*>(config->hStream), params, extra, cluster);
}

// Only the dynamic shared memory size (8): up to what the device lets a block opt into, less
// the function's static shared memory.
FAKE_EXPORT CUresult cuFuncSetAttribute(Function* f, int attribute, int value) {
    ENTER("cuFuncSetAttribute");
    NEED_CONTEXT();
    bool known = false;
    for (Module* m : s.modules)
        for (auto& kv : m->functions) known |= kv.second.get() == f;
    if (!known) return kInvalidHandle;
    if (attribute != 8 || value < 0) return kInvalidValue;
    Module* mod = f->module;
    if (!mod->interp_tried) {
        mod->interp_tried = true;
        mod->interp = ptxi::Module::parse(mod->text, &mod->interp_error);
    }
    unsigned stat = mod->interp && mod->interp->kernel(f->name) ? mod->interp->static_shared(f->name) : 0;
    if (uint64_t(value) + stat > optin_shared(s)) return kInvalidValue;
    f->max_dynamic_shared = static_cast<unsigned>(value);
    return kSuccess;
}

// Validates as the driver documents and writes the map the PTX interpreter reads.
FAKE_EXPORT CUresult cuTensorMapEncodeTiled(void* map, int dtype, unsigned rank, void* address, const uint64_t* dims,
                                            const uint64_t* strides, const unsigned* box, const unsigned* elem_strides,
                                            int interleave, int swizzle, int l2, int oob) {
    ENTER("cuTensorMapEncodeTiled");
    static const uint8_t sizes[] = {1, 2, 4, 4, 8, 8, 2, 4, 8, 2, 4, 4, 4};  // by CUtensorMapDataType
    if (!map || reinterpret_cast<uintptr_t>(map) % 64 || !address || !dims || !box || !elem_strides) return kInvalidValue;
    if (dtype < 0 || dtype > 12 || rank < 1 || rank > 5 || interleave < 0 || interleave > 2 || swizzle < 0 ||
        swizzle > 3 || l2 < 0 || l2 > 3 || oob < 0 || oob > 1)
        return kInvalidValue;
    if (interleave && rank < 3) return kInvalidValue;
    if (interleave == 2 && swizzle != 1) return kInvalidValue;
    const unsigned e = sizes[dtype];
    if (reinterpret_cast<uintptr_t>(address) % (interleave == 2 ? 32 : 16)) return kInvalidValue;
    if (oob == 1 && !(dtype == 6 || dtype == 7 || dtype == 8 || dtype == 9 || dtype == 10 || dtype == 11 || dtype == 12))
        return kInvalidValue;
    if (rank > 1 && !strides) return kInvalidValue;
    for (unsigned i = 0; i < rank; ++i) {
        if (dims[i] == 0 || dims[i] > (1ull << 32)) return kInvalidValue;
        if (box[i] == 0 || box[i] > 256) return kInvalidValue;
        if (elem_strides[i] == 0 || elem_strides[i] > 8) return kInvalidValue;
        if (i > 0) {
            uint64_t st = strides[i - 1];
            if (st % 16 || st >= (1ull << 40)) return kInvalidValue;
            // a row must hold the one below it: stride >= extent of the dimension below
            uint64_t below = i == 1 ? dims[0] * e : strides[i - 2] * dims[i - 1];
            if (st < below) return kInvalidValue;
        }
    }
    if (!interleave) {
        if (box[0] * e % 16) return kInvalidValue;
        if (swizzle && box[0] * e > (16u << swizzle)) return kInvalidValue;
    }
    ptxi::TensorMapImage img;
    img.magic = ptxi::TensorMapImage::kMagic;
    img.dtype = static_cast<uint8_t>(dtype), img.rank = static_cast<uint8_t>(rank);
    img.interleave = static_cast<uint8_t>(interleave), img.swizzle = static_cast<uint8_t>(swizzle);
    img.l2 = static_cast<uint8_t>(l2), img.oob = static_cast<uint8_t>(oob), img.elem_bytes = static_cast<uint8_t>(e);
    img.address = reinterpret_cast<uint64_t>(address);
    for (unsigned i = 0; i < rank; ++i) {
        img.dims[i] = dims[i];
        img.box[i] = static_cast<uint16_t>(box[i]);
        img.elem_strides[i] = static_cast<uint8_t>(elem_strides[i]);
        if (i > 0) img.strides[i - 1] = strides[i - 1];
    }
    std::memcpy(map, &img, sizeof img);
    ++s.tensor_maps_encoded;
    return kSuccess;
}

namespace {
CUresult launch_kernel(Function* f, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by, unsigned bz,
                       unsigned shared, Stream* stream, void** params, void** extra, const unsigned* cluster) {
    State& s = st();
    Context* cur = current_context();  // the callers checked that calls can run in it
    bool known = false;
    for (Module* m : s.modules)
        for (auto& kv : m->functions)
            if (kv.second.get() == f) known = true;
    if (!known || f->module->context != cur) return kInvalidHandle;
    NEED_STREAM(target, stream);
    if (extra) return kInvalidValue;
    if (gx == 0 || gy == 0 || gz == 0 || bx == 0 || by == 0 || bz == 0) return kInvalidValue;
    if (gx > 2147483647u || gy > s.max_grid_y || gz > 65535) return kInvalidValue;  // grid limits
    if (bx > 1024 || by > 1024 || bz > 64) return kInvalidValue;
    if (uint64_t(bx) * by * bz > 1024) return kInvalidValue;
    const unsigned shared_cap = f->max_dynamic_shared ? std::max(49152u, f->max_dynamic_shared) : 49152u;
    if (shared > shared_cap) return kInvalidValue;
    if (!f->param_types.empty() && !params) return kInvalidValue;

    // the PTX as the interpreter reads it: static shared memory counts against the 48 KiB too
    Module* mod = f->module;
    if (!mod->interp_tried) {
        mod->interp_tried = true;
        mod->interp = ptxi::Module::parse(mod->text, &mod->interp_error);
    }
    if (mod->interp && mod->interp->kernel(f->name) &&
        uint64_t(mod->interp->static_shared(f->name)) + shared > (f->max_dynamic_shared ? optin_shared(s) : 49152))
        return kInvalidValue;

    fake::Launch launch;
    launch.kernel = f->name;
    launch.grid[0] = gx, launch.grid[1] = gy, launch.grid[2] = gz;
    launch.block[0] = bx, launch.block[1] = by, launch.block[2] = bz;
    launch.shared_bytes = shared;
    if (cluster) std::copy(cluster, cluster + 3, launch.cluster);
    for (size_t i = 0; i < f->param_types.size(); ++i) {
        fake::Param p;
        p.type = f->param_types[i];
        unsigned size = f->param_sizes[i];
        if (!params[i]) return kInvalidValue;
        std::memcpy(&p.bits, params[i], std::min<unsigned>(size, 8));
        if (size > 8) p.bytes.assign(static_cast<const uint8_t*>(params[i]), static_cast<const uint8_t*>(params[i]) + size);
        launch.params.push_back(std::move(p));
    }
    s.launches.push_back(launch);

    // Queued like any stream work: the kernel runs when something forces its stream, and a
    // failure there is reported by the call that forced it.
    Op op(Op::Kernel);
    op.launch = std::move(launch);
    op.function = f;
    enqueue(target, std::move(op));
    return kSuccess;
}
}  // namespace

FAKE_EXPORT CUresult cuMemHostAlloc(void** host, size_t bytes, unsigned int flags) {
    ENTER("cuMemHostAlloc");
    NEED_CONTEXT();
    if (!host || bytes == 0 || flags > 0xF) return kInvalidValue;
    auto* p = new (std::nothrow) uint8_t[bytes];
    if (!p) return kOutOfMemory;
    std::memset(p, 0x5A, bytes);
    s.pinned.emplace(p, PinnedBlock{bytes, cur, ++s.next_buffer_id});
    ++s.pinned_made;
    *host = p;
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemFreeHost(void* host) {
    ENTER("cuMemFreeHost");
    NEED_CONTEXT();
    run_all();
    auto it = s.pinned.find(static_cast<uint8_t*>(host));
    if (it == s.pinned.end() || it->second.context != cur) {
        ++s.bad_frees;
        return kInvalidValue;
    }
    delete[] it->first;
    s.pinned.erase(it);
    ++s.pinned_freed;
    return kSuccess;
}

// Host memory of an asynchronous copy: any host range (page-locked or not) the caller owns.
FAKE_EXPORT CUresult cuMemcpyHtoDAsync_v2(uint64_t dst, const void* src, size_t bytes, Stream* stream) {
    ENTER("cuMemcpyHtoDAsync");
    NEED_CONTEXT();
    NEED_STREAM(target, stream);
    if (bytes == 0) return kSuccess;
    if (!src || !translate_in(cur, dst, bytes)) return kInvalidValue;
    Op op(Op::CopyHtoD);
    op.device = dst;
    op.host = static_cast<uint8_t*>(const_cast<void*>(src));
    op.bytes = bytes;
    {
        StandinTime timed;
        op.checksum = checksum(op.host, bytes);  // the copy reads the source when it runs
    }
    ++s.async_copies;
    enqueue(target, std::move(op));
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemcpyDtoHAsync_v2(void* dst, uint64_t src, size_t bytes, Stream* stream) {
    ENTER("cuMemcpyDtoHAsync");
    NEED_CONTEXT();
    NEED_STREAM(target, stream);
    if (bytes == 0) return kSuccess;
    if (!dst || !translate_in(cur, src, bytes)) return kInvalidValue;
    Op op(Op::CopyDtoH);
    op.device = src;
    op.host = static_cast<uint8_t*>(dst);
    op.bytes = bytes;
    // Until the copy runs the destination holds nothing of the result: a read before the wait
    // sees this pattern (NaN as float32).
    {
        StandinTime timed;
        std::memset(op.host, 0xFF, bytes);
    }
    ++s.async_copies;
    enqueue(target, std::move(op));
    return kSuccess;
}

// Queued like the other copies; the stream-order check sees a read of src and a write of dst.
FAKE_EXPORT CUresult cuMemcpyDtoDAsync_v2(uint64_t dst, uint64_t src, size_t bytes, Stream* stream) {
    ENTER("cuMemcpyDtoDAsync");
    NEED_CONTEXT();
    NEED_STREAM(target, stream);
    if (bytes == 0) return kSuccess;
    if (!translate_in(cur, dst, bytes) || !translate_in(cur, src, bytes)) return kInvalidValue;
    Op op(Op::CopyDtoD);
    op.device = dst;
    op.source = src;
    op.bytes = bytes;
    ++s.async_copies;
    enqueue(target, std::move(op));
    return kSuccess;
}

FAKE_EXPORT CUresult cuStreamDestroy_v2(Stream* stream) {
    ENTER("cuStreamDestroy");
    NEED_CONTEXT();
    if (!s.streams.count(stream) || stream->context != cur) return kInvalidHandle;
    run_stream(stream, stream->enqueued);  // queued work still completes
    s.streams.erase(stream);
    bury(stream);
    ++s.streams_destroyed;
    return kSuccess;
}

FAKE_EXPORT CUresult cuEventCreate(Event** event, unsigned int flags) {
    ENTER("cuEventCreate");
    NEED_CONTEXT();
    if (!event || flags > 0xF) return kInvalidValue;
    auto* e = new Event;
    e->context = cur;
    s.events.insert(e);
    ++s.events_created;
    *event = e;
    return kSuccess;
}

FAKE_EXPORT CUresult cuEventRecord(Event* event, Stream* stream) {
    ENTER("cuEventRecord");
    NEED_CONTEXT();
    if (!s.events.count(event) || event->context != cur) return kInvalidHandle;
    NEED_STREAM(target, stream);
    order_implicitly(target);  // the record is an operation of the stream like any other
    event->stream = target;
    event->seq = target->enqueued;
    event->clock = target->clock;
    join(event->clock, s.host_clock);
    return kSuccess;
}

FAKE_EXPORT CUresult cuEventSynchronize(Event* event) {
    ENTER("cuEventSynchronize");
    NEED_CONTEXT();
    if (!s.events.count(event) || event->context != cur) return kInvalidHandle;
    if (event->stream) run_stream(event->stream, event->seq);
    host_waited(event->clock);
    return take_async_error();
}

FAKE_EXPORT CUresult cuStreamWaitEvent(Stream* stream, Event* event, unsigned int flags) {
    ENTER("cuStreamWaitEvent");
    NEED_CONTEXT();
    // The event may belong to another context of the same device.
    if (!s.events.count(event) || event->context->device != cur->device) return kInvalidHandle;
    NEED_STREAM(target, stream);
    if (flags != 0) return kInvalidValue;
    if (!event->stream) return kSuccess;  // never recorded: nothing to wait for
    Op op(Op::Wait);
    op.wait_stream = event->stream;
    op.wait_seq = event->seq;  // the record as it stands now
    join(target->clock, event->clock);  // what follows on `stream` is ordered after the record
    enqueue(target, std::move(op));
    return kSuccess;
}

FAKE_EXPORT CUresult cuEventDestroy_v2(Event* event) {
    ENTER("cuEventDestroy");
    NEED_CONTEXT();
    if (!s.events.count(event) || event->context != cur) return kInvalidHandle;
    s.events.erase(event);
    s.dead_events.push_back(event);
    ++s.events_destroyed;
    return kSuccess;
}

// 600 while the work recorded before the event is still queued (a query runs nothing), else 0;
// an event never recorded is complete.
FAKE_EXPORT CUresult cuEventQuery(Event* event) {
    ENTER("cuEventQuery");
    NEED_CONTEXT();
    if (!s.events.count(event) || event->context != cur) return kInvalidHandle;
    if (event->stream && event->stream->executed < event->seq) return kNotReady;
    host_waited(event->clock);
    return take_async_error();
}

namespace {

enum PointerAttribute : int {
    kPointerContext = 1,
    kPointerMemoryType = 2,
    kPointerDevicePointer = 3,
    kPointerHostPointer = 4,
    kPointerBufferId = 7,
    kPointerIsManaged = 8,
    kPointerDeviceOrdinal = 9,
    kPointerRangeStart = 11,
    kPointerRangeSize = 12,
    kPointerMapped = 13,
};

}  // namespace

// What the driver knows of an address: device memory (an interior address belongs to its
// allocation), a page-locked host block, or nothing, which is no error: every attribute then reads
// as null (memory type 0, device ordinal -2). An attribute outside the list above fails with 1.
FAKE_EXPORT CUresult cuPointerGetAttributes(unsigned int count, int* attributes, void** data, uint64_t ptr) {
    ENTER("cuPointerGetAttributes");
    NEED_INIT();
    if (count == 0 || !attributes || !data) return kInvalidValue;
    for (unsigned i = 0; i < count; ++i) {
        switch (attributes[i]) {
            case kPointerContext: case kPointerMemoryType: case kPointerDevicePointer: case kPointerHostPointer:
            case kPointerBufferId: case kPointerIsManaged: case kPointerDeviceOrdinal: case kPointerRangeStart:
            case kPointerRangeSize: case kPointerMapped:
                break;
            default:
                return kInvalidValue;
        }
        if (!data[i]) return kInvalidValue;
    }
    Context* owner = nullptr;
    unsigned type = 0;  // 1 host, 2 device
    uint64_t base = 0, size = 0, id = 0;
    if (const Allocation* a = allocation_at(ptr, 1, &base)) {
        owner = a->context, type = 2, size = a->size, id = a->id;
    } else {
        auto it = s.pinned.upper_bound(reinterpret_cast<uint8_t*>(ptr));
        if (it != s.pinned.begin()) {
            --it;
            uint64_t start = reinterpret_cast<uint64_t>(it->first);
            if (ptr - start < it->second.bytes)
                owner = it->second.context, type = 1, base = start, size = it->second.bytes, id = it->second.id;
        }
    }
    for (unsigned i = 0; i < count; ++i) {
        void* out = data[i];
        auto put = [out](auto value) { std::memcpy(out, &value, sizeof value); };
        switch (attributes[i]) {
            case kPointerContext: put(owner); break;
            case kPointerMemoryType: put(type); break;
            case kPointerDevicePointer: put(type ? ptr : uint64_t(0)); break;
            case kPointerHostPointer: put(type == 1 ? ptr : uint64_t(0)); break;
            case kPointerBufferId: put(static_cast<unsigned long long>(id)); break;
            case kPointerIsManaged: put(0); break;
            case kPointerDeviceOrdinal: put(owner ? owner->device : -2); break;
            case kPointerRangeStart: put(base); break;
            case kPointerRangeSize: put(static_cast<size_t>(size)); break;
            case kPointerMapped: put(type ? 1 : 0); break;
        }
    }
    return kSuccess;
}

FAKE_EXPORT CUresult cuGetErrorString(CUresult status, const char** text) {
    ENTER("cuGetErrorString");
    if (!text) return kInvalidValue;
    const char* t = error_text(status);
    *text = t;
    return t ? kSuccess : kInvalidValue;
}

FAKE_EXPORT CUresult cuGetErrorName(CUresult status, const char** text) {
    ENTER("cuGetErrorName");
    if (!text) return kInvalidValue;
    *text = error_text(status) ? "CUDA_ERROR" : nullptr;
    return *text ? kSuccess : kInvalidValue;
}

FAKE_EXPORT CUresult cuGetProcAddress_v2(const char* symbol, void** pfn, int version, uint64_t flags, int* query);

namespace {

struct ProcEntry {
    const char* name;
    int min_version;  // the first API version at which this symbol has this signature
    int max_version;  // the last one (later versions changed it)
    void* fn;
};

// cuCtxCreate changed to a parameter struct at 12050 and cuCtxDestroy/ cuMem* got 64-bit forms
// at 3020; a caller that asks for the wrong version gets nothing rather than a mismatched
// signature, so the version the module asks for is checked, not just recorded.
const ProcEntry kProcs[] = {
    {"cuGetProcAddress", 12000, 1 << 30, reinterpret_cast<void*>(&cuGetProcAddress_v2)},
    {"cuInit", 2000, 1 << 30, reinterpret_cast<void*>(&cuInit)},
    {"cuDriverGetVersion", 2020, 1 << 30, reinterpret_cast<void*>(&cuDriverGetVersion)},
    {"cuDeviceGet", 2000, 1 << 30, reinterpret_cast<void*>(&cuDeviceGet)},
    {"cuDeviceGetCount", 2000, 1 << 30, reinterpret_cast<void*>(&cuDeviceGetCount)},
    {"cuDeviceGetAttribute", 2000, 1 << 30, reinterpret_cast<void*>(&cuDeviceGetAttribute)},
    {"cuCtxCreate", 3020, 12040, reinterpret_cast<void*>(&cuCtxCreate_v2)},
    {"cuCtxDestroy", 4000, 1 << 30, reinterpret_cast<void*>(&cuCtxDestroy_v2)},
    {"cuCtxSetCurrent", 4000, 1 << 30, reinterpret_cast<void*>(&cuCtxSetCurrent)},
    {"cuCtxGetCurrent", 4000, 1 << 30, reinterpret_cast<void*>(&cuCtxGetCurrent)},
    {"cuCtxPushCurrent", 4000, 1 << 30, reinterpret_cast<void*>(&cuCtxPushCurrent_v2)},
    {"cuCtxPopCurrent", 4000, 1 << 30, reinterpret_cast<void*>(&cuCtxPopCurrent_v2)},
    {"cuDevicePrimaryCtxRetain", 7000, 1 << 30, reinterpret_cast<void*>(&cuDevicePrimaryCtxRetain)},
    {"cuDevicePrimaryCtxRelease", 11000, 1 << 30, reinterpret_cast<void*>(&cuDevicePrimaryCtxRelease_v2)},
    {"cuDevicePrimaryCtxReset", 11000, 1 << 30, reinterpret_cast<void*>(&cuDevicePrimaryCtxReset_v2)},
    {"cuDevicePrimaryCtxGetState", 7000, 1 << 30, reinterpret_cast<void*>(&cuDevicePrimaryCtxGetState)},
    {"cuPointerGetAttributes", 7000, 1 << 30, reinterpret_cast<void*>(&cuPointerGetAttributes)},
    {"cuStreamCreate", 2000, 1 << 30, reinterpret_cast<void*>(&cuStreamCreate)},
    {"cuStreamSynchronize", 2000, 1 << 30, reinterpret_cast<void*>(&cuStreamSynchronize)},
    {"cuModuleLoadData", 2000, 1 << 30, reinterpret_cast<void*>(&cuModuleLoadData)},
    {"cuModuleGetFunction", 2000, 1 << 30, reinterpret_cast<void*>(&cuModuleGetFunction)},
    {"cuModuleUnload", 2000, 1 << 30, reinterpret_cast<void*>(&cuModuleUnload)},
    {"cuMemAlloc", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemAlloc_v2)},
    {"cuMemFree", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemFree_v2)},
    {"cuMemcpyHtoD", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemcpyHtoD_v2)},
    {"cuMemcpyDtoH", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemcpyDtoH_v2)},
    {"cuLaunchKernel", 4000, 1 << 30, reinterpret_cast<void*>(&cuLaunchKernel)},
    {"cuMemHostAlloc", 2020, 1 << 30, reinterpret_cast<void*>(&cuMemHostAlloc)},
    {"cuMemFreeHost", 2000, 1 << 30, reinterpret_cast<void*>(&cuMemFreeHost)},
    {"cuMemcpyHtoDAsync", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemcpyHtoDAsync_v2)},
    {"cuMemcpyDtoHAsync", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemcpyDtoHAsync_v2)},
    {"cuMemcpyDtoDAsync", 3020, 1 << 30, reinterpret_cast<void*>(&cuMemcpyDtoDAsync_v2)},
    {"cuStreamDestroy", 4000, 1 << 30, reinterpret_cast<void*>(&cuStreamDestroy_v2)},
    {"cuStreamWaitEvent", 3020, 1 << 30, reinterpret_cast<void*>(&cuStreamWaitEvent)},
    {"cuEventCreate", 2000, 1 << 30, reinterpret_cast<void*>(&cuEventCreate)},
    {"cuEventRecord", 2000, 1 << 30, reinterpret_cast<void*>(&cuEventRecord)},
    {"cuEventSynchronize", 2000, 1 << 30, reinterpret_cast<void*>(&cuEventSynchronize)},
    {"cuEventQuery", 2000, 1 << 30, reinterpret_cast<void*>(&cuEventQuery)},
    {"cuEventDestroy", 4000, 1 << 30, reinterpret_cast<void*>(&cuEventDestroy_v2)},
    {"cuGetErrorString", 6000, 1 << 30, reinterpret_cast<void*>(&cuGetErrorString)},
    {"cuTensorMapEncodeTiled", 12000, 1 << 30, reinterpret_cast<void*>(&cuTensorMapEncodeTiled)},
    {"cuFuncSetAttribute", 9000, 1 << 30, reinterpret_cast<void*>(&cuFuncSetAttribute)},
    {"cuLaunchKernelEx", 11060, 1 << 30, reinterpret_cast<void*>(&cuLaunchKernelEx)},
    {"cuGetErrorName", 6000, 1 << 30, reinterpret_cast<void*>(&cuGetErrorName)},
};

}  // namespace

FAKE_EXPORT CUresult cuGetProcAddress_v2(const char* symbol, void** pfn, int version, uint64_t flags, int* query) {
    std::lock_guard<std::recursive_mutex> guard(st().lock);
    State& s = st();
    if (!symbol || !pfn) return kInvalidValue;
    s.resolutions.push_back(std::string(symbol) + "@" + std::to_string(version) + "/" + std::to_string(flags));
    *pfn = nullptr;
    if (query) *query = 1;  // symbol not found
    if (s.hidden_entries.count(symbol)) return kNotFound;
    for (const ProcEntry& e : kProcs) {
        if (std::strcmp(e.name, symbol) != 0) continue;
        if (version < e.min_version || version > e.max_version) continue;
        *pfn = e.fn;
        if (query) *query = 0;
        return kSuccess;
    }
    return kNotFound;
}

// ---- control functions for tests -------------------------------------------------------------

FAKE_EXPORT void fake_reset() {
    std::lock_guard<std::recursive_mutex> guard(st().lock);
    State& s = st();
    for (Module* m : s.modules) delete m;
    for (Module* m : s.dead_modules) delete m;
    for (Stream* x : s.streams) delete x;
    for (Stream* x : s.dead_streams) delete x;
    for (Event* e : s.events) delete e;
    for (Event* e : s.dead_events) delete e;
    for (Context* c : s.contexts) delete c;
    for (Context* c : s.dead_contexts) delete c;
    for (auto& kv : s.primaries) delete kv.second;
    for (auto& kv : s.pinned) delete[] kv.first;
    for (uint8_t* p : s.dead_pinned) delete[] p;
    s.modules.clear();
    s.dead_modules.clear();
    s.streams.clear();
    s.dead_streams.clear();
    s.events.clear();
    s.dead_events.clear();
    s.contexts.clear();
    s.dead_contexts.clear();
    s.primaries.clear();
    s.pinned.clear();
    s.dead_pinned.clear();
    ++s.generation;  // every thread's context stack is void
    s.host_clock.clear();
    s.writes.clear();
    s.async_error = kSuccess;
    s.pinned_made = s.pinned_freed = s.events_created = s.events_destroyed = s.streams_destroyed = 0;
    s.hazards = s.async_copies = 0;
    s.allocations.clear();
    s.live_bytes = 0;
    s.initialised = false;
    s.contexts_created = s.contexts_destroyed = s.modules_loaded = s.modules_unloaded = 0;
    s.allocs_made = s.frees_made = s.bad_frees = s.bounds_violations = s.launches_unexecuted = 0;
    s.launches_interpreted = s.interpreter_reports = 0;
    s.primary_retains = s.primary_releases = s.primary_resets = s.ctx_pushes = s.ctx_pops = 0;
    s.objects_dropped = 0;
    s.launches_skipped = s.standin_ns = 0;
    clear_logs(s);
    s.failures.clear();
    s.hidden_entries.clear();
    s.error_texts.clear();
}

// Another library resets the device (the runtime's device reset): every object of the primary
// context is destroyed with its queued work, and while the context is current each call that
// needs one fails with 709 until the next cuDevicePrimaryCtxRetain; retain counts are kept.
// Returns 0, or 101 for a device out of range; a device with no primary context yet is left alone.
FAKE_EXPORT int fake_reset_primary_context(int device) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    State& s = st();
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    auto it = s.primaries.find(device);
    if (it != s.primaries.end() && it->second->alive) {
        drop_primary_objects(it->second);
        ++s.primary_resets;
    }
    return kSuccess;
}

// Runs every queue to its end, as the device would given time, without the host waiting for it
// (so cuEventQuery then answers 0, and a failure stays for the next call that reports one).
FAKE_EXPORT void fake_run_all() {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    run_queues();
}

// The calling thread's current context (the top of its stack), 0 for none.
FAKE_EXPORT long fake_current_context() {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    return static_cast<long>(reinterpret_cast<uintptr_t>(current_context()));
}

// Clears the logs and counters but keeps the live objects and the configuration.
FAKE_EXPORT void fake_clear_logs() {
    std::lock_guard<std::recursive_mutex> guard(st().lock);
    clear_logs(st());
}

FAKE_EXPORT void fake_set_compute_capability(int major, int minor) {
    std::lock_guard<std::recursive_mutex> guard(st().lock);
    st().cc_major = major;
    st().cc_minor = minor;
}
FAKE_EXPORT void fake_set_device_count(int n) { std::lock_guard<std::recursive_mutex> g(st().lock); st().device_count = n; }
FAKE_EXPORT void fake_set_max_ptx_version(int major, int minor) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    st().max_ptx_major = major;
    st().max_ptx_minor = minor;
}
FAKE_EXPORT void fake_set_target_refusal_status(int status) { std::lock_guard<std::recursive_mutex> g(st().lock); st().refuse_target_status = status; }
FAKE_EXPORT void fake_set_memory_limit(uint64_t bytes) { std::lock_guard<std::recursive_mutex> g(st().lock); st().memory_limit = bytes; }
// Which kernels run through the PTX interpreter (see State::interpret).
FAKE_EXPORT void fake_set_interpret(const char* spec) { std::lock_guard<std::recursive_mutex> g(st().lock); st().interpret = spec ? spec : ""; }
FAKE_EXPORT void fake_set_strict_launch(int on) { std::lock_guard<std::recursive_mutex> g(st().lock); st().strict_launch = on != 0; }
// Makes cuGetProcAddress report the entry point as missing (an older driver).
FAKE_EXPORT void fake_hide_entry(const char* name) { std::lock_guard<std::recursive_mutex> g(st().lock); st().hidden_entries.insert(name); }

// Replaces the description cuGetErrorString gives for a status (any bytes, NUL-terminated).
FAKE_EXPORT void fake_set_error_text(int status, const char* text) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    st().error_texts[status] = text;
}

// Fails call number `nth` (1-based, counted since the last reset) of `entry` with `status`;
// nth = 0 fails every call until cleared.
FAKE_EXPORT void fake_fail_call(const char* entry, long nth, int status) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    st().failures.push_back({entry, nth, status});
}
FAKE_EXPORT void fake_clear_failures() { std::lock_guard<std::recursive_mutex> g(st().lock); st().failures.clear(); }

FAKE_EXPORT long fake_call_count(const char* entry) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    auto it = st().call_counts.find(entry);
    return it == st().call_counts.end() ? 0 : it->second;
}

FAKE_EXPORT long fake_stat(const char* what) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    State& s = st();
    std::string w = what;
    if (w == "pending_ops") return pending_ops();
    // Looking is a synchronisation: whatever is queued runs first, so counters such as
    // bounds_violations include it.
    run_all();
    if (w == "live_pinned") return static_cast<long>(s.pinned.size());
    if (w == "live_events") return static_cast<long>(s.events.size());
    if (w == "pinned_made") return s.pinned_made;
    if (w == "pinned_freed") return s.pinned_freed;
    if (w == "events_created") return s.events_created;
    if (w == "events_destroyed") return s.events_destroyed;
    if (w == "streams_destroyed") return s.streams_destroyed;
    if (w == "hazards") return s.hazards;
    if (w == "async_copies") return s.async_copies;
    if (w == "live_allocations") return static_cast<long>(s.allocations.size());
    if (w == "live_bytes") return static_cast<long>(s.live_bytes);
    long primaries_alive = 0, primary_retain_count = 0;
    for (const auto& kv : s.primaries) {
        primaries_alive += kv.second->alive;
        primary_retain_count += kv.second->retains;
    }
    if (w == "live_contexts") return static_cast<long>(s.contexts.size()) + primaries_alive;
    if (w == "primary_active") return primaries_alive;
    if (w == "primary_retain_count") return primary_retain_count;
    if (w == "primary_retains") return s.primary_retains;
    if (w == "primary_releases") return s.primary_releases;
    if (w == "primary_resets") return s.primary_resets;
    if (w == "ctx_pushes") return s.ctx_pushes;
    if (w == "ctx_pops") return s.ctx_pops;
    if (w == "context_stack_depth") return static_cast<long>(context_stack().depth);
    if (w == "objects_dropped") return s.objects_dropped;
    if (w == "live_primary_objects") {
        auto primary = [](const Context* c) { return c && c->primary; };
        long n = 0;
        for (const auto& kv : s.allocations) n += primary(kv.second.context);
        for (const auto& kv : s.pinned) n += primary(kv.second.context);
        for (const Stream* t : s.streams) n += primary(t->context);
        for (const Event* e : s.events) n += primary(e->context);
        for (const Module* m : s.modules) n += primary(m->context);
        return n;
    }
    if (w == "live_modules") return static_cast<long>(s.modules.size());
    if (w == "live_streams") return static_cast<long>(s.streams.size());
    if (w == "contexts_created") return s.contexts_created;
    if (w == "contexts_destroyed") return s.contexts_destroyed;
    if (w == "modules_loaded") return s.modules_loaded;
    if (w == "modules_unloaded") return s.modules_unloaded;
    if (w == "allocations_made") return s.allocs_made;
    if (w == "frees_made") return s.frees_made;
    if (w == "bad_frees") return s.bad_frees;
    if (w == "bounds_violations") return s.bounds_violations;
    if (w == "launches") return static_cast<long>(s.launches.size());
    if (w == "launches_unexecuted") return s.launches_unexecuted;
    if (w == "launches_skipped") return s.launches_skipped;
    if (w == "standin_ns") return s.standin_ns;
    if (w == "launches_interpreted") return s.launches_interpreted;
    if (w == "interpreter_reports") return s.interpreter_reports;
    if (w == "tensor_maps_encoded") return s.tensor_maps_encoded;
    if (w == "initialised") return s.initialised;
    if (w == "current_context_set") return current_context() != nullptr;
    return -1;
}

// Size in bytes of the live allocation that starts at `addr`, or -1.
FAKE_EXPORT long fake_allocation_size(uint64_t addr) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    auto it = st().allocations.find(addr);
    return it == st().allocations.end() ? -1 : static_cast<long>(it->second.size);
}

// Host view of device memory, for tests that fill or inspect buffers directly.
FAKE_EXPORT void* fake_host_pointer(uint64_t addr, uint64_t bytes) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    run_all();  // the test looks at the memory as the device would leave it
    return translate(addr, bytes);
}

FAKE_EXPORT const char* fake_launch_log_json() {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    State& s = st();
    std::string& j = s.json;
    j = "[";
    for (size_t i = 0; i < s.launches.size(); ++i) {
        const fake::Launch& l = s.launches[i];
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s{\"kernel\":\"", i ? "," : "");
        j += buf;
        j += json_escape(l.kernel);
        std::snprintf(buf, sizeof buf, "\",\"grid\":[%u,%u,%u],\"block\":[%u,%u,%u],\"shared\":%u,\"cluster\":[%u,%u,%u],\"params\":[",
                      l.grid[0], l.grid[1], l.grid[2], l.block[0], l.block[1], l.block[2], l.shared_bytes,
                      l.cluster[0], l.cluster[1], l.cluster[2]);
        j += buf;
        for (size_t k = 0; k < l.params.size(); ++k) {
            std::snprintf(buf, sizeof buf, "%s{\"type\":\"%s\",\"bits\":%llu}", k ? "," : "",
                          json_escape(l.params[k].type).c_str(), static_cast<unsigned long long>(l.params[k].bits));
            j += buf;
        }
        j += "]}";
    }
    j += "]";
    return j.c_str();
}

FAKE_EXPORT const char* fake_call_log_json() {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    return json_strings(st().call_log);
}

FAKE_EXPORT const char* fake_resolution_log_json() {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    return json_strings(st().resolutions);
}

// Handle of a loaded function by entry name (the most recently loaded module wins), or null.
FAKE_EXPORT void* fake_function_handle(const char* name) {
    std::lock_guard<std::recursive_mutex> g(st().lock);
    void* found = nullptr;
    for (Module* m : st().modules) {
        auto it = m->functions.find(name);
        if (it != m->functions.end()) found = it->second.get();
    }
    return found;
}

namespace {

// Configuration from the environment, so a child process can be set up before anything in it
// touches the driver: FAKE_CUDA_CC="7.5", FAKE_CUDA_DEVICES="0",
// FAKE_CUDA_FAIL="cuMemAlloc:2:2,cuInit:0:100" (entry:nth:status), FAKE_CUDA_HIDE="cuLaunchKernel",
// FAKE_CUDA_MEMORY_LIMIT=bytes, FAKE_CUDA_STRICT=1, FAKE_CUDA_SYNC_DELAY_MS=n (each stream
// synchronisation takes that long, as a long kernel would), FAKE_CUDA_MAX_GRID_Y=n (at most 65535),
// FAKE_CUDA_SM_COUNT=n (the multiprocessor count reported, 8 by default),
// FAKE_CUDA_INTERPRET="all" | "none" | kernel,kernel,
// FAKE_CUDA_REFUSE="entry,..." (modules declaring one of these entries fail to load with 218),
// FAKE_CUDA_CORRUPT="kernel,..." (a copy back from the output, parameter 0, of such a kernel's
// launch has its last float off by one), FAKE_CUDA_NO_KERNELS=1 (launches run nothing: for
// benchmarks of the host side).
struct EnvConfig {
    EnvConfig() {
        State& s = st();
        if (const char* cc = std::getenv("FAKE_CUDA_CC")) std::sscanf(cc, "%d.%d", &s.cc_major, &s.cc_minor);
        if (const char* n = std::getenv("FAKE_CUDA_DEVICES")) s.device_count = std::atoi(n);
        if (const char* m = std::getenv("FAKE_CUDA_MEMORY_LIMIT")) s.memory_limit = std::strtoull(m, nullptr, 10);
        if (const char* x = std::getenv("FAKE_CUDA_STRICT")) s.strict_launch = std::atoi(x) != 0;
        if (const char* d = std::getenv("FAKE_CUDA_SYNC_DELAY_MS")) s.sync_delay_ms = std::atoi(d);
        if (const char* y = std::getenv("FAKE_CUDA_MAX_GRID_Y")) s.max_grid_y = std::strtoul(y, nullptr, 10);
        if (const char* n = std::getenv("FAKE_CUDA_SM_COUNT")) s.sm_count = std::atoi(n);
        if (const char* x = std::getenv("FAKE_CUDA_INTERPRET")) s.interpret = x;
        if (const char* x = std::getenv("FAKE_CUDA_NO_KERNELS")) s.no_kernels = std::atoi(x) != 0;
        if (const char* f = std::getenv("FAKE_CUDA_FAIL")) {
            std::stringstream ss(f);
            std::string item;
            while (std::getline(ss, item, ',')) {
                char name[128];
                long nth;
                int status;
                if (std::sscanf(item.c_str(), "%127[^:]:%ld:%d", name, &nth, &status) == 3)
                    s.failures.push_back({name, nth, status});
            }
        }
        if (const char* r = std::getenv("FAKE_CUDA_REFUSE")) {
            std::stringstream ss(r);
            std::string item;
            while (std::getline(ss, item, ',')) s.refused_entries.insert(item);
        }
        if (const char* c = std::getenv("FAKE_CUDA_CORRUPT")) {
            std::stringstream ss(c);
            std::string item;
            while (std::getline(ss, item, ',')) s.corrupted_kernels.insert(item);
        }
        if (const char* h = std::getenv("FAKE_CUDA_HIDE")) {
            std::stringstream ss(h);
            std::string item;
            while (std::getline(ss, item, ',')) s.hidden_entries.insert(item);
        }
    }
} env_config;

}  // namespace

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
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <unordered_map>

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
    kIllegalAddress = 700,
    kLaunchOutOfResources = 701,
    kLaunchFailed = 719,
};

struct Allocation {
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
};

struct Context {
    int device = 0;
};

struct Function;

struct Module {
    int ptx_major = 0, ptx_minor = 0;
    int target = 0;
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
};

struct Stream {
    Context* context = nullptr;
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
    unsigned max_grid_y = 65535;  // reported and enforced; lower it to exercise split launches
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
    std::set<Context*> contexts;
    std::set<Module*> modules;
    std::set<Stream*> streams;
    long contexts_created = 0, contexts_destroyed = 0, modules_loaded = 0, modules_unloaded = 0;
    long allocs_made = 0, frees_made = 0, bad_frees = 0, bounds_violations = 0, launches_unexecuted = 0;
    long launches_interpreted = 0, interpreter_reports = 0;
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

thread_local Context* current_context = nullptr;

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

#define NEED_CONTEXT()                                              \
    NEED_INIT();                                                    \
    if (!current_context || !s.contexts.count(current_context)) return kInvalidContext

// Host pointer for [addr, addr + bytes) when it lies inside one live allocation.
uint8_t* translate(uint64_t addr, uint64_t bytes) {
    State& s = st();
    auto it = s.allocations.upper_bound(addr);
    if (it == s.allocations.begin()) return nullptr;
    --it;
    uint64_t off = addr - it->first;
    if (off > it->second.size || bytes > it->second.size - off) return nullptr;
    return it->second.bytes.get() + off;
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

// ---- accessors for executors ---------------------------------------------------------------

namespace fake {

static void* checked(uint64_t addr, uint64_t count, uint64_t elem) {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, elem, &bytes)) throw BoundsError("element count overflows");
    uint8_t* p = translate(addr, bytes);
    if (!p) {
        char msg[128];
        std::snprintf(msg, sizeof msg, "access of %llu bytes at 0x%llx outside every live allocation",
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(addr));
        throw BoundsError(msg);
    }
    return p;
}

float* dev_f32(uint64_t addr, uint64_t count) { return static_cast<float*>(checked(addr, count, 4)); }
uint16_t* dev_u16(uint64_t addr, uint64_t count) { return static_cast<uint16_t*>(checked(addr, count, 2)); }
uint8_t* dev_u8(uint64_t addr, uint64_t count) { return static_cast<uint8_t*>(checked(addr, count, 1)); }

void register_executor(const char* kernel, Executor fn) { executors()[kernel] = fn; }

}  // namespace fake

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
        case 16: *value = 8; break;            // multiprocessor count
        case 75: *value = s.cc_major; break;
        case 76: *value = s.cc_minor; break;
        default: *value = 0; break;
    }
    return kSuccess;
}

FAKE_EXPORT CUresult cuCtxCreate_v2(Context** ctx, unsigned int flags, int device) {
    ENTER("cuCtxCreate");
    NEED_INIT();
    if (!ctx) return kInvalidValue;
    (void)flags;
    if (device < 0 || device >= s.device_count) return kInvalidDevice;
    auto* c = new Context{device};
    s.contexts.insert(c);
    ++s.contexts_created;
    current_context = c;
    *ctx = c;
    return kSuccess;
}

FAKE_EXPORT CUresult cuCtxDestroy_v2(Context* ctx) {
    ENTER("cuCtxDestroy");
    NEED_INIT();
    if (!s.contexts.erase(ctx)) return kInvalidContext;
    ++s.contexts_destroyed;
    if (current_context == ctx) current_context = nullptr;
    delete ctx;
    return kSuccess;
}

FAKE_EXPORT CUresult cuCtxSetCurrent(Context* ctx) {
    ENTER("cuCtxSetCurrent");
    NEED_INIT();
    if (ctx && !s.contexts.count(ctx)) return kInvalidContext;
    current_context = ctx;
    return kSuccess;
}

FAKE_EXPORT CUresult cuCtxGetCurrent(Context** ctx) {
    ENTER("cuCtxGetCurrent");
    NEED_INIT();
    if (!ctx) return kInvalidValue;
    *ctx = current_context;
    return kSuccess;
}

FAKE_EXPORT CUresult cuStreamCreate(Stream** stream, unsigned int flags) {
    ENTER("cuStreamCreate");
    NEED_CONTEXT();
    if (!stream || flags > 1) return kInvalidValue;
    auto* st_ = new Stream{current_context};
    s.streams.insert(st_);
    *stream = st_;
    return kSuccess;
}

FAKE_EXPORT CUresult cuStreamSynchronize(Stream* stream) {
    ENTER("cuStreamSynchronize");
    NEED_CONTEXT();
    if (stream && !s.streams.count(stream)) return kInvalidHandle;
    return kSuccess;  // every launch already ran to completion
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
    for (const auto& kv : m->functions)
        if (s.refused_entries.count(kv.first)) return kInvalidPtx;
    *module = m.get();
    s.modules.insert(m.release());
    ++s.modules_loaded;
    return kSuccess;
}

FAKE_EXPORT CUresult cuModuleUnload(Module* module) {
    ENTER("cuModuleUnload");
    NEED_INIT();
    if (!s.modules.erase(module)) return kInvalidHandle;
    ++s.modules_unloaded;
    delete module;
    return kSuccess;
}

FAKE_EXPORT CUresult cuModuleGetFunction(Function** fn, Module* module, const char* name) {
    ENTER("cuModuleGetFunction");
    NEED_CONTEXT();
    if (!fn || !name) return kInvalidValue;
    if (!s.modules.count(module)) return kInvalidHandle;
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
    auto it = s.allocations.find(dptr);
    if (it == s.allocations.end()) {
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
    if (bytes == 0) return kSuccess;
    uint8_t* p = translate(dst, bytes);
    if (!p || !src) return kInvalidValue;
    std::memcpy(p, src, bytes);
    return kSuccess;
}

FAKE_EXPORT CUresult cuMemcpyDtoH_v2(void* dst, uint64_t src, size_t bytes) {
    ENTER("cuMemcpyDtoH");
    NEED_CONTEXT();
    if (bytes == 0) return kSuccess;
    uint8_t* p = translate(src, bytes);
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

struct DeviceMemory : ptxi::Memory {
    uint8_t* translate(uint64_t addr, uint64_t bytes) override { return ::translate(addr, bytes); }
};

// Runs a launch through the PTX interpreter; memcheck reports fail it as an illegal address (700),
// every other report (race, uninitialised shared read, unknown instruction) as a launch failure
// (719), each printed on stderr.
CUresult interpret_launch(Function& f, const fake::Launch& launch, void** params) {
    State& s = st();
    Module& m = *f.module;
    if (!m.interp) {
        ++s.interpreter_reports;
        std::fprintf(stderr, "[fake driver] %s: the PTX interpreter cannot read the module: %s\n", f.name.c_str(),
                     m.interp_error.c_str());
        return kLaunchFailed;
    }
    ptxi::Launch l;
    for (int i = 0; i < 3; ++i) l.grid[i] = launch.grid[i], l.block[i] = launch.block[i];
    l.dynamic_shared = launch.shared_bytes;
    DeviceMemory mem;
    ++s.launches_interpreted;
    try {
        ptxi::run(*m.interp, f.name, l, params, mem);
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

FAKE_EXPORT CUresult cuLaunchKernel(Function* f, unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by,
                                    unsigned bz, unsigned shared, Stream* stream, void** params, void** extra) {
    ENTER("cuLaunchKernel");
    NEED_CONTEXT();
    bool known = false;
    for (Module* m : s.modules)
        for (auto& kv : m->functions)
            if (kv.second.get() == f) known = true;
    if (!known) return kInvalidHandle;
    if (stream && !s.streams.count(stream)) return kInvalidHandle;
    if (extra) return kInvalidValue;
    if (gx == 0 || gy == 0 || gz == 0 || bx == 0 || by == 0 || bz == 0) return kInvalidValue;
    if (gx > 2147483647u || gy > s.max_grid_y || gz > 65535) return kInvalidValue;  // grid limits
    if (bx > 1024 || by > 1024 || bz > 64) return kInvalidValue;
    if (uint64_t(bx) * by * bz > 1024) return kInvalidValue;
    if (shared > 49152) return kInvalidValue;
    if (!f->param_types.empty() && !params) return kInvalidValue;

    // the PTX as the interpreter reads it: static shared memory counts against the 48 KiB too
    Module* mod = f->module;
    if (!mod->interp_tried) {
        mod->interp_tried = true;
        mod->interp = ptxi::Module::parse(mod->text, &mod->interp_error);
    }
    if (mod->interp && mod->interp->kernel(f->name) &&
        uint64_t(mod->interp->static_shared(f->name)) + shared > 49152)
        return kInvalidValue;

    fake::Launch launch;
    launch.kernel = f->name;
    launch.grid[0] = gx, launch.grid[1] = gy, launch.grid[2] = gz;
    launch.block[0] = bx, launch.block[1] = by, launch.block[2] = bz;
    launch.shared_bytes = shared;
    for (size_t i = 0; i < f->param_types.size(); ++i) {
        fake::Param p;
        p.type = f->param_types[i];
        unsigned size = f->param_sizes[i];
        if (!params[i]) return kInvalidValue;
        std::memcpy(&p.bits, params[i], std::min<unsigned>(size, 8));
        launch.params.push_back(std::move(p));
    }
    s.launches.push_back(launch);

    auto ex = executors().find(f->name);
    bool listed = false;
    if (!s.interpret.empty() && s.interpret != "none" && s.interpret != "all") {
        std::stringstream names(s.interpret);
        std::string item;
        while (std::getline(names, item, ','))
            if (item == f->name) listed = true;
    }
    bool interpret = s.interpret == "all" || listed || (ex == executors().end() && s.interpret != "none");
    if (interpret) return interpret_launch(*f, launch, params);
    if (ex == executors().end()) {
        ++s.launches_unexecuted;
        return s.strict_launch ? kLaunchOutOfResources : kSuccess;
    }
    try {
        ex->second(launch);
    } catch (const fake::BoundsError& e) {
        ++s.bounds_violations;
        std::fprintf(stderr, "[fake driver] %s: %s\n", f->name.c_str(), e.what());
        return kIllegalAddress;
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
    {"cuGetErrorString", 6000, 1 << 30, reinterpret_cast<void*>(&cuGetErrorString)},
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
    for (Context* c : s.contexts) delete c;
    for (Stream* x : s.streams) delete x;
    s.modules.clear();
    s.contexts.clear();
    s.streams.clear();
    s.allocations.clear();
    s.live_bytes = 0;
    s.initialised = false;
    s.contexts_created = s.contexts_destroyed = s.modules_loaded = s.modules_unloaded = 0;
    s.allocs_made = s.frees_made = s.bad_frees = s.bounds_violations = s.launches_unexecuted = 0;
    s.launches_interpreted = s.interpreter_reports = 0;
    clear_logs(s);
    s.failures.clear();
    s.hidden_entries.clear();
    s.error_texts.clear();
    current_context = nullptr;
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
    if (w == "live_allocations") return static_cast<long>(s.allocations.size());
    if (w == "live_bytes") return static_cast<long>(s.live_bytes);
    if (w == "live_contexts") return static_cast<long>(s.contexts.size());
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
    if (w == "launches_interpreted") return s.launches_interpreted;
    if (w == "interpreter_reports") return s.interpreter_reports;
    if (w == "initialised") return s.initialised;
    if (w == "current_context_set") return current_context != nullptr;
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
        std::snprintf(buf, sizeof buf, "\",\"grid\":[%u,%u,%u],\"block\":[%u,%u,%u],\"shared\":%u,\"params\":[",
                      l.grid[0], l.grid[1], l.grid[2], l.block[0], l.block[1], l.block[2], l.shared_bytes);
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
// FAKE_CUDA_MEMORY_LIMIT=bytes, FAKE_CUDA_STRICT=1, FAKE_CUDA_MAX_GRID_Y=n (at most 65535),
// FAKE_CUDA_INTERPRET="all" | "none" | kernel,kernel,
// FAKE_CUDA_REFUSE="entry,..." (modules declaring one of these entries fail to load with 218),
// FAKE_CUDA_CORRUPT="kernel,..." (a copy back from the output, parameter 0, of such a kernel's
// launch has its last float off by one).
struct EnvConfig {
    EnvConfig() {
        State& s = st();
        if (const char* cc = std::getenv("FAKE_CUDA_CC")) std::sscanf(cc, "%d.%d", &s.cc_major, &s.cc_minor);
        if (const char* n = std::getenv("FAKE_CUDA_DEVICES")) s.device_count = std::atoi(n);
        if (const char* m = std::getenv("FAKE_CUDA_MEMORY_LIMIT")) s.memory_limit = std::strtoull(m, nullptr, 10);
        if (const char* x = std::getenv("FAKE_CUDA_STRICT")) s.strict_launch = std::atoi(x) != 0;
        if (const char* y = std::getenv("FAKE_CUDA_MAX_GRID_Y")) s.max_grid_y = std::strtoul(y, nullptr, 10);
        if (const char* x = std::getenv("FAKE_CUDA_INTERPRET")) s.interpret = x;
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

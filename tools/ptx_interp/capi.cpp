// C API of the interpreter for ctypes (tests/ptxinterp.py). Global memory is host memory: the
// caller registers the host ranges a kernel may touch and passes host addresses as pointers.
#include "ptx_interp.hpp"

#include <cstring>
#include <map>

#define PTXI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct HostMemory : ptxi::Memory {
    std::map<uint64_t, uint64_t> ranges;  // start -> bytes
    uint8_t* translate(uint64_t addr, uint64_t bytes) override {
        auto it = ranges.upper_bound(addr);
        if (it == ranges.begin()) return nullptr;
        --it;
        uint64_t off = addr - it->first;
        if (off > it->second || bytes > it->second - off) return nullptr;
        return reinterpret_cast<uint8_t*>(addr);
    }
};

HostMemory& memory() {
    static HostMemory m;
    return m;
}

std::string& text_buffer() {
    static std::string s;
    return s;
}

void copy_out(const std::string& s, char* buf, size_t len) {
    if (!buf || !len) return;
    std::strncpy(buf, s.c_str(), len - 1);
    buf[len - 1] = 0;
}

}  // namespace

PTXI_EXPORT void* ptxi_load(const char* text, char* err, size_t errlen) {
    std::string e;
    auto m = ptxi::Module::parse(text, &e);
    if (!m) copy_out(e, err, errlen);
    return m.release();
}

PTXI_EXPORT void ptxi_unload(void* m) { delete static_cast<ptxi::Module*>(m); }

// Newline-separated: kernel names, a kernel's parameter types, or the decoded instruction forms.
PTXI_EXPORT const char* ptxi_describe(void* m, const char* what, const char* kernel) {
    auto* mod = static_cast<ptxi::Module*>(m);
    std::vector<std::string> items;
    std::string w = what;
    if (w == "kernels") items = mod->kernel_names();
    else if (w == "params") items = mod->param_types(kernel);
    else if (w == "forms") items = ptxi::decoded_forms(*mod);
    else if (w == "static_shared") items = {std::to_string(mod->static_shared(kernel))};
    std::string& s = text_buffer();
    s.clear();
    for (auto& i : items) s += i + "\n";
    return s.c_str();
}

PTXI_EXPORT void ptxi_register(uint64_t addr, uint64_t bytes) { memory().ranges[addr] = bytes; }
PTXI_EXPORT void ptxi_unregister(uint64_t addr) { memory().ranges.erase(addr); }

// Completion moments of asynchronous operations for the following launches (ptxi::Launch::schedule).
static uint64_t g_schedule = 0;
PTXI_EXPORT void ptxi_set_schedule(uint64_t schedule) { g_schedule = schedule; }

// 0 on success; else the report's kind in `kind` and its text in `err`.
PTXI_EXPORT int ptxi_launch(void* m, const char* kernel, const unsigned* grid, const unsigned* block, unsigned dynamic_shared,
                            void** params, char* kind, size_t kindlen, char* err, size_t errlen) {
    ptxi::Launch l;
    for (int i = 0; i < 3; ++i) l.grid[i] = grid[i], l.block[i] = block[i];
    l.dynamic_shared = dynamic_shared;
    l.schedule = g_schedule;
    try {
        ptxi::run(*static_cast<ptxi::Module*>(m), kernel, l, params, memory());
        return 0;
    } catch (const ptxi::Fault& f) {
        copy_out(f.kind, kind, kindlen);
        copy_out(f.what(), err, errlen);
        return 1;
    }
}

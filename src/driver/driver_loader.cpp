// Run-time loading of the CUDA driver. The library is opened on the first wrapper call that
// finds its slot empty; a failed load is not remembered as final, so installing the driver later
// makes the next call succeed. A search that found no library file is repeated only after
// something it depends on has changed (missing_library_watch.hpp), which keeps the calls of a
// machine without a driver cheap. After a successful load each wrapper is one atomic load, a
// null test and a call: the slots never change once set, so no lock is taken on that path.
#include "driver_api.hpp"

#include <atomic>
#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>

#include <mutex>

#include "missing_library_watch.hpp"
#endif

namespace vant::drv {
namespace {

using GetProcAddressFn = CUresult (*)(const char* symbol, void** pfn, int version, uint64_t flags,
                                      int* symbol_status);

constexpr int kBootstrapVersion = 13000;
constexpr uint64_t kDefaultFlags = 0;  // CU_GET_PROC_ADDRESS_DEFAULT

enum Entry : int {
#define VANT_ENTRY_INDEX(name, version, params, args) k_##name,
    VANT_DRIVER_ENTRIES(VANT_ENTRY_INDEX)
#undef VANT_ENTRY_INDEX
    kEntryCount
};

struct EntryInfo {
    const char* name;
    int version;
};

constexpr EntryInfo kEntries[kEntryCount] = {
#define VANT_ENTRY_INFO(name, version, params, args) {#name, version},
    VANT_DRIVER_ENTRIES(VANT_ENTRY_INFO)
#undef VANT_ENTRY_INFO
};

// Zero-initialised at load time; written only by the loader, never cleared.
std::atomic<void*> g_slots[kEntryCount];

// Fills the table from an opened library. False when the bootstrap entry cannot be obtained;
// entries the driver lacks simply stay null.
bool resolve_all(void* get_proc_v2) {
    void* bootstrap = nullptr;
    reinterpret_cast<GetProcAddressFn>(get_proc_v2)("cuGetProcAddress", &bootstrap, kBootstrapVersion,
                                                    kDefaultFlags, nullptr);
    if (!bootstrap) return false;
    auto resolve = reinterpret_cast<GetProcAddressFn>(bootstrap);
    for (int i = 0; i < kEntryCount; ++i) {
        void* fn = nullptr;
        resolve(kEntries[i].name, &fn, kEntries[i].version, kDefaultFlags, nullptr);
        if (fn) g_slots[i].store(fn, std::memory_order_release);
    }
    return true;
}

#ifdef _WIN32

INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK load_once(PINIT_ONCE, PVOID, PVOID*) {
    // Only the system directory: a nvcuda.dll planted beside the executable must not be picked up.
    HMODULE lib = LoadLibraryExA("nvcuda.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!lib) return FALSE;
    FARPROC get_proc = GetProcAddress(lib, "cuGetProcAddress_v2");
    if (!get_proc) return FALSE;  // the library stays loaded; a later attempt reuses it
    return resolve_all(reinterpret_cast<void*>(get_proc)) ? TRUE : FALSE;
}

#else

// A once-guard whose failure is not remembered: std::call_once would retry after an exception,
// but a plain flag under a mutex says the same thing without exceptions.
std::mutex g_load_mutex;
std::atomic<bool> g_loaded{false};
void* g_library = nullptr;  // once opened, kept for the process (also when it proved unusable)
MissingLibraryWatch g_missing;

constexpr const char* kLibraryName = "libcuda.so.1";

bool load_library() {
    if (!g_library) {
        if (g_missing.still_missing()) return false;
        g_missing.prepare();
        g_library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (!g_library) {
            g_missing.search_failed(kLibraryName);
            return false;
        }
        g_missing.reset();
    }
    void* get_proc = dlsym(g_library, "cuGetProcAddress_v2");
    if (!get_proc) return false;
    return resolve_all(get_proc);
}

#endif

}  // namespace

int ensure_loaded() noexcept {
#ifdef _WIN32
    return InitOnceExecuteOnce(&g_once, load_once, nullptr, nullptr) ? 0 : -1;
#else
    if (g_loaded.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> lock(g_load_mutex);
    if (g_loaded.load(std::memory_order_relaxed)) return 0;
    if (!load_library()) return -1;
    g_loaded.store(true, std::memory_order_release);
    return 0;
#endif
}

namespace {
std::atomic<uint64_t> g_suspect_statuses{0};

CUresult noted(CUresult status) noexcept {
    if (status == CUDA_ERROR_INVALID_CONTEXT || status == CUDA_ERROR_INVALID_HANDLE ||
        status == CUDA_ERROR_CONTEXT_IS_DESTROYED)
        g_suspect_statuses.fetch_add(1, std::memory_order_relaxed);
    return status;
}
}  // namespace

uint64_t suspect_status_count() noexcept { return g_suspect_statuses.load(std::memory_order_relaxed); }

bool entry_available(const char* name) noexcept {
    if (!name) return false;
    for (int i = 0; i < kEntryCount; ++i)
        if (std::strcmp(kEntries[i].name, name) == 0)
            return g_slots[i].load(std::memory_order_acquire) != nullptr;
    return false;
}

namespace {

// The slot of an entry after loading when needed; null means 801 for the caller.
template <int Index>
void* slot_or_load() noexcept {
    void* fn = g_slots[Index].load(std::memory_order_acquire);
    if (fn) return fn;
    if (ensure_loaded() != 0) return nullptr;
    return g_slots[Index].load(std::memory_order_acquire);
}

}  // namespace

#define VANT_DEFINE_DRIVER_WRAPPER(name, version, params, args)                  \
    CUresult name params noexcept {                                              \
        using EntryFn = CUresult(*) params;                                      \
        void* resolved_entry = slot_or_load<k_##name>();                         \
        if (!resolved_entry) return CUDA_ERROR_NOT_SUPPORTED;                    \
        return noted(reinterpret_cast<EntryFn>(resolved_entry) args);            \
    }
VANT_DRIVER_ENTRIES(VANT_DEFINE_DRIVER_WRAPPER)
#undef VANT_DEFINE_DRIVER_WRAPPER

}  // namespace vant::drv

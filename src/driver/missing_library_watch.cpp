#include "missing_library_watch.hpp"

#if defined(__linux__)

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vant::drv {
namespace {

using Clock = std::chrono::steady_clock;

// A remembered failure is searched again at the first attempt this long after the last search
// began; with the search itself that keeps any change found within 100 ms.
constexpr auto kRetryPeriod = std::chrono::milliseconds(90);

constexpr const char* kCacheFolder = "/etc";
constexpr const char* kCacheName = "ld.so.cache";

// A searched directory: entries of the library's name, new subfolders, and the folder itself.
constexpr uint32_t kSearchedMask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB |
                                   IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// The nearest existing ancestor of a searched directory that does not exist (yet), and the
// folder of the loader's cache: only events about one child name count.
constexpr uint32_t kChildMask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB |
                                IN_MODIFY | IN_CLOSE_WRITE;

// Subfolders the dynamic loader also tries inside every directory of its path, where they exist.
constexpr const char* kLegacySubdirs[] = {"tls", "tls/x86_64", "tls/x86_64/x86_64", "x86_64",
                                          "x86_64/x86_64", "tls/haswell", "haswell",
                                          "tls/haswell/x86_64", "haswell/x86_64"};

// What one watch descriptor is there for (a folder can be both searched and an ancestor).
struct Interest {
    int wd;
    bool searched;                      // entries of the library's name and new subfolders count
    std::vector<std::string> children;  // entries of these names count
};

// The loader's counters of objects added to and removed from the process.
struct LoadCounters {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
    bool known = false;
    bool operator==(const LoadCounters&) const = default;
};

int g_fd = -1;          // the inotify instance, kept until the library is found
bool g_armed = false;   // a failed search is remembered
Clock::time_point g_searched;
LoadCounters g_loaded;
std::string g_name;     // the library the failed search was for
std::vector<Interest> g_interests;
std::vector<Interest> g_next;  // built by prepare, then swapped in (keeps both allocations)
bool g_initial_path_read = false;
std::vector<std::string> g_initial_path;

int read_counters(dl_phdr_info* info, size_t size, void* data) {
    auto* c = static_cast<LoadCounters*>(data);
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        c->adds = info->dlpi_adds;
        c->subs = info->dlpi_subs;
        c->known = true;
    }
    return 1;  // every entry carries the same counters
}

LoadCounters load_counters() noexcept {
    LoadCounters c;
    dl_iterate_phdr(read_counters, &c);
    return c;
}

void drop_watch() noexcept {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_armed = false;
    g_interests.clear();
    g_next.clear();
}

// A child process shares the inotify descriptor's queue with its parent: whoever reads an event
// takes it from the other. The child forgets the failed search and makes its own watch. (Closing
// the child's copy is cheap: the parent still holds the instance.)
void forget_in_child() {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_armed = false;
    g_interests.clear();
}

bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Interest& interest_for(int wd) {
    for (Interest& in : g_next)
        if (in.wd == wd) return in;
    g_next.push_back(Interest{wd, false, {}});
    return g_next.back();
}

// A watch that cannot be placed is left out: the clock still bounds the delay.
void add_watch(const std::string& path, const std::string& child, uint32_t mask) {
    const int wd = inotify_add_watch(g_fd, path.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) return;
    Interest& in = interest_for(wd);
    if (child.empty()) in.searched = true;
    else if (std::find(in.children.begin(), in.children.end(), child) == in.children.end())
        in.children.push_back(child);
}

// Appends the directories of a list separated by any of `separators` (the loader splits
// LD_LIBRARY_PATH on ':' and ';', run paths on ':'); $ORIGIN is the folder of the object that
// carries the list. Entries with anything else the loader would expand ($LIB, $PLATFORM) are
// left out (the clock covers them).
void append_path_list(const char* list, const char* separators, const char* origin_file,
                      std::vector<std::string>& out) {
    std::string all(list);
    size_t start = 0;
    for (;;) {
        const size_t end = all.find_first_of(separators, start);
        std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
            for (size_t at; origin_file && (at = dir.find(token)) != std::string::npos;) {
                std::string origin(origin_file);
                const size_t slash = origin.rfind('/');
                origin = slash == std::string::npos ? std::string(".") : origin.substr(0, slash);
                dir.replace(at, std::strlen(token), origin);
            }
        }
        if (dir.find('$') == std::string::npos)
            out.push_back(dir.empty() ? std::string(".") : dir);  // an empty entry is the working directory
        if (end == std::string::npos) return;
        start = end + 1;
    }
}

// LD_LIBRARY_PATH as the dynamic loader read it when the process started (a later change of the
// environment does not reach the loader).
void initial_library_path(std::vector<std::string>& out) {
    const int fd = open("/proc/self/environ", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string env;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return;
        }
        if (n == 0) break;
        env.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    constexpr const char kKey[] = "LD_LIBRARY_PATH=";
    for (size_t at = 0; at < env.size();) {
        const size_t end = env.find('\0', at);
        const std::string entry = env.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (entry.compare(0, sizeof kKey - 1, kKey) == 0) {
            if (entry.size() > sizeof kKey - 1) append_path_list(entry.c_str() + sizeof kKey - 1, ":;", nullptr, out);
            return;
        }
        if (end == std::string::npos) return;
        at = end + 1;
    }
}

// Run paths (DT_RPATH, DT_RUNPATH) of every loaded object: a superset of those the loader
// consults for this module's request.
int collect_run_paths(dl_phdr_info* info, size_t, void* data) {
    auto& out = *static_cast<std::vector<std::string>*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) continue;
        const auto* dyn = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
        const char* strtab = nullptr;
        for (const ElfW(Dyn)* d = dyn; d->d_tag != DT_NULL; ++d)
            if (d->d_tag == DT_STRTAB) {
                // Relocated by the loader for most objects, an offset for some (the vDSO).
                ElfW(Addr) ptr = d->d_un.d_ptr;
                if (ptr < info->dlpi_addr) ptr += info->dlpi_addr;
                strtab = reinterpret_cast<const char*>(ptr);
            }
        for (const ElfW(Dyn)* d = dyn; d->d_tag != DT_NULL; ++d) {
            if (d->d_tag != DT_RPATH && d->d_tag != DT_RUNPATH) continue;
            if (!strtab) continue;
            // The main program's name is empty here: it is the executable.
            std::string self = info->dlpi_name ? info->dlpi_name : "";
            if (self.empty()) {
                char exe[4096];
                const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
                if (n > 0) self.assign(exe, static_cast<size_t>(n));
            }
            append_path_list(strtab + d->d_un.d_val, ":", self.empty() ? nullptr : self.c_str(), out);
        }
    }
    return 0;
}

// Every directory the dynamic loader may search for a library this module opens by bare name,
// and some more: LD_LIBRARY_PATH, run paths, the system directories of the common layouts.
std::vector<std::string> loader_search_path() {
    if (!g_initial_path_read) {
        initial_library_path(g_initial_path);
        g_initial_path_read = true;
    }
    std::vector<std::string> out = g_initial_path;
    dl_iterate_phdr(collect_run_paths, &out);
    for (const char* dir : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"}) out.emplace_back(dir);
    // The multiarch folders: the one of the C library and its twin with or without /usr.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&close), &info) && info.dli_fname) {
        std::string libc_dir(info.dli_fname);
        libc_dir = libc_dir.substr(0, libc_dir.rfind('/'));
        if (libc_dir.size() > 1 && libc_dir[0] == '/') {
            out.push_back(libc_dir);
            if (libc_dir.compare(0, 5, "/usr/") == 0) out.push_back(libc_dir.substr(4));
            else out.push_back("/usr" + libc_dir);
        }
    }
    std::vector<std::string> unique;
    for (std::string& dir : out)
        if (std::find(unique.begin(), unique.end(), dir) == unique.end()) unique.push_back(std::move(dir));
    return unique;
}

// Watches one directory of the search path with the subfolders the loader tries in it; for a
// directory that does not exist, its nearest existing ancestor for the name that would create it.
// Relative entries depend on the working directory and are left to the clock.
void watch_path_entry(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty() || dir[0] != '/') return;
    if (is_dir(dir)) {
        add_watch(dir, "", kSearchedMask);
        for (const char* sub : kLegacySubdirs) {
            const std::string path = dir + "/" + sub;
            if (is_dir(path)) add_watch(path, "", kSearchedMask);
        }
        const std::string hwcaps = dir + "/glibc-hwcaps";
        if (is_dir(hwcaps)) {
            add_watch(hwcaps, "", kSearchedMask);
            if (DIR* d = opendir(hwcaps.c_str())) {
                while (dirent* e = readdir(d)) {
                    if (e->d_name[0] == '.') continue;
                    const std::string path = hwcaps + "/" + e->d_name;
                    if (is_dir(path)) add_watch(path, "", kSearchedMask);
                }
                closedir(d);
            }
        }
        return;
    }
    for (;;) {
        const size_t slash = dir.rfind('/');
        const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
        const std::string child = dir.substr(slash + 1);
        if (is_dir(parent)) return add_watch(parent, child, kChildMask | IN_ONLYDIR);
        if (parent == "/") return;
        dir = parent;
    }
}

// Places the watches for the current search path on the kept instance (made on first use) and
// removes those no longer wanted. Removing a watch does not wait for the kernel; closing an
// instance does, which is why there is only one.
void renew_watches() {
    if (g_fd < 0) g_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_fd < 0) return;
    g_next.clear();
    for (const std::string& dir : loader_search_path()) watch_path_entry(dir);
    add_watch(kCacheFolder, kCacheName, kChildMask);
    for (const Interest& old : g_interests) {
        const bool kept = std::any_of(g_next.begin(), g_next.end(), [&](const Interest& in) { return in.wd == old.wd; });
        if (!kept) inotify_rm_watch(g_fd, old.wd);
    }
    g_interests.swap(g_next);
}

bool event_counts(const inotify_event& ev) noexcept {
    if (ev.mask & IN_Q_OVERFLOW) return true;
    for (const Interest& in : g_interests) {
        if (in.wd != ev.wd) continue;
        if (ev.mask & (IN_IGNORED | IN_UNMOUNT | IN_DELETE_SELF | IN_MOVE_SELF)) return true;
        if (!ev.len) continue;
        if (in.searched && ((ev.mask & IN_ISDIR) || g_name == ev.name)) return true;
        for (const std::string& child : in.children)
            if (child == ev.name) return true;
    }
    return false;  // a watch removed since, or another entry of a searched folder
}

// Reads what is queued without blocking; true when an event calls for a new search. Stops at the
// first such event unless `drain`.
bool events_call_for_search(bool drain) noexcept {
    alignas(inotify_event) char buf[4096];
    bool counts = false;
    for (;;) {
        const ssize_t n = read(g_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return counts;
        if (n <= 0) return true;  // cannot tell
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            counts = counts || event_counts(*ev);
        }
        if (counts && !drain) return true;
    }
}

}  // namespace

bool MissingLibraryWatch::still_missing() noexcept {
    if (!g_armed) return false;
    if (Clock::now() - g_searched >= kRetryPeriod) return false;
    const LoadCounters loaded = load_counters();
    if (loaded != g_loaded) return false;  // an object was loaded or unloaded since
    return g_fd < 0 || !events_call_for_search(false);
}

void MissingLibraryWatch::prepare() noexcept {
    static bool fork_handler = false;
    if (!fork_handler) {
        if (pthread_atfork(nullptr, nullptr, forget_in_child) != 0) return drop_watch();
        fork_handler = true;
    }
    g_armed = false;
    g_searched = Clock::now();
    try {
        if (g_fd >= 0) events_call_for_search(true);  // what is queued is answered by this search
        renew_watches();
    } catch (...) {  // out of memory: the clock alone bounds the delay
        g_interests.clear();
    }
}

void MissingLibraryWatch::search_failed(const char* name) noexcept {
    try {
        g_name = name;
    } catch (...) {
        return drop_watch();  // nothing remembered: every attempt searches
    }
    // Read after the search: a library that the search mapped and dropped again counts as seen.
    g_loaded = load_counters();
    g_armed = true;
}

void MissingLibraryWatch::reset() noexcept { drop_watch(); }

}  // namespace vant::drv

#else

namespace vant::drv {
bool MissingLibraryWatch::still_missing() noexcept { return false; }
void MissingLibraryWatch::prepare() noexcept {}
void MissingLibraryWatch::search_failed(const char*) noexcept {}
void MissingLibraryWatch::reset() noexcept {}
}  // namespace vant::drv

#endif

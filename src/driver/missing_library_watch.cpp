#include "missing_library_watch.hpp"

#if defined(__linux__)

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace vant::drv {
namespace {

constexpr const char* kLoaderCache = "/etc/ld.so.cache";

// A searched directory: any change of its entries or of itself counts.
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

struct Watched {
    int wd;
    std::string child;  // empty: every event of this watch counts
};

int g_fd = -1;
bool g_armed = false;  // a search that found no file is remembered
std::vector<Watched> g_watched;
std::vector<std::string> g_searched;  // existing directories the loader searches

void drop() noexcept {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_armed = false;
    g_watched.clear();
    g_searched.clear();
}

// A child process shares the inotify descriptor's queue with its parent: whoever reads an event
// takes it from the other. The child starts without a watch of its own.
void forget_in_child() {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_armed = false;
}

bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool add_watch(const std::string& path, const std::string& child, uint32_t mask) {
    const int wd = inotify_add_watch(g_fd, path.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) return false;
    g_watched.push_back(Watched{wd, child});
    return true;
}

bool watch_searched(const std::string& dir) {
    if (!add_watch(dir, "", kSearchedMask)) return false;
    g_searched.push_back(dir);
    return true;
}

// Appends the directories of a colon-separated list; $ORIGIN is the folder of the object that
// carries the list. False for anything else the loader would expand ($LIB, $PLATFORM).
bool append_path_list(const char* list, const char* origin_file, std::vector<std::string>& out) {
    std::string all(list);
    size_t start = 0;
    for (;;) {
        const size_t end = all.find(':', start);
        std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
            for (size_t at; (at = dir.find(token)) != std::string::npos;) {
                if (!origin_file) return false;
                std::string origin(origin_file);
                const size_t slash = origin.rfind('/');
                origin = slash == std::string::npos ? std::string(".") : origin.substr(0, slash);
                dir.replace(at, std::strlen(token), origin);
            }
        }
        if (dir.find('$') != std::string::npos) return false;
        out.push_back(dir.empty() ? std::string(".") : dir);  // an empty entry is the working directory
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// LD_LIBRARY_PATH as the dynamic loader read it when the process started (a later change of the
// environment does not reach the loader).
bool initial_library_path(std::vector<std::string>& out) {
    const int fd = open("/proc/self/environ", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string env;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        env.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    constexpr const char kKey[] = "LD_LIBRARY_PATH=";
    for (size_t at = 0; at < env.size();) {
        const size_t end = env.find('\0', at);
        const std::string entry = env.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (entry.compare(0, sizeof kKey - 1, kKey) == 0)
            return entry.size() == sizeof kKey - 1 || append_path_list(entry.c_str() + sizeof kKey - 1, nullptr, out);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return true;
}

struct RunPaths {
    std::vector<std::string>* out;
    bool ok;
};

// Run paths (DT_RPATH, DT_RUNPATH) of every loaded object: a superset of those the loader
// consults for this module's request.
int collect_run_paths(dl_phdr_info* info, size_t, void* data) {
    auto* rp = static_cast<RunPaths*>(data);
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
            if (!strtab) {
                rp->ok = false;
                continue;
            }
            // The main program's name is empty here: it is the executable.
            std::string self = info->dlpi_name ? info->dlpi_name : "";
            if (self.empty()) {
                char exe[4096];
                const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
                if (n > 0) self.assign(exe, static_cast<size_t>(n));
            }
            if (!append_path_list(strtab + d->d_un.d_val, self.empty() ? nullptr : self.c_str(), *rp->out))
                rp->ok = false;
        }
    }
    return 0;
}

// Every directory the dynamic loader may search for a library this module opens by bare name,
// and some more: LD_LIBRARY_PATH, run paths, the system directories of the common layouts.
bool loader_search_path(std::vector<std::string>& out) {
    if (!initial_library_path(out)) return false;
    RunPaths rp{&out, true};
    dl_iterate_phdr(collect_run_paths, &rp);
    if (!rp.ok) return false;
    for (const char* dir : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"}) out.emplace_back(dir);
    // The multiarch folders: the one of the C library and its twin with or without /usr.
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&close), &info) || !info.dli_fname) return false;
    std::string libc_dir(info.dli_fname);
    libc_dir = libc_dir.substr(0, libc_dir.rfind('/'));
    if (libc_dir.empty()) return false;
    out.push_back(libc_dir);
    if (libc_dir.compare(0, 5, "/usr/") == 0) out.push_back(libc_dir.substr(4));
    else out.push_back("/usr" + libc_dir);
    std::vector<std::string> unique;
    for (std::string& dir : out)
        if (std::find(unique.begin(), unique.end(), dir) == unique.end()) unique.push_back(std::move(dir));
    out.swap(unique);
    return true;
}

// Watches one directory of the search path with the subfolders the loader tries in it; for a
// directory that does not exist, its nearest existing ancestor for the name that would create it.
bool watch_path_entry(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty() || dir[0] != '/') return false;  // relative: depends on the working directory
    if (is_dir(dir)) {
        if (!watch_searched(dir)) return false;
        for (const char* sub : kLegacySubdirs) {
            const std::string path = dir + "/" + sub;
            if (is_dir(path) && !watch_searched(path)) return false;
        }
        const std::string hwcaps = dir + "/glibc-hwcaps";
        if (is_dir(hwcaps)) {
            if (!watch_searched(hwcaps)) return false;
            if (DIR* d = opendir(hwcaps.c_str())) {
                bool ok = true;
                while (dirent* e = readdir(d)) {
                    if (e->d_name[0] == '.') continue;
                    const std::string path = hwcaps + "/" + e->d_name;
                    if (is_dir(path) && !watch_searched(path)) ok = false;
                }
                closedir(d);
                if (!ok) return false;
            } else {
                return false;
            }
        }
        return true;
    }
    for (;;) {
        const size_t slash = dir.rfind('/');
        const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
        const std::string child = dir.substr(slash + 1);
        if (is_dir(parent)) return add_watch(parent, child, kChildMask | IN_ONLYDIR);
        if (parent == "/") return false;
        dir = parent;
    }
}

// Whether an entry of that name exists (a dangling link included) in any searched directory.
bool file_in_search_path(const char* name) {
    for (const std::string& dir : g_searched) {
        struct stat st;
        const std::string path = dir + "/" + name;
        if (lstat(path.c_str(), &st) == 0) return true;
        if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) return true;  // cannot tell
    }
    return false;
}

// Whether the loader's cache names the library (as a bare name or as the last part of a path).
bool named_in_loader_cache(const char* name) {
    const int fd = open(kLoaderCache, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT;
    struct stat st;
    bool named = true;
    if (fstat(fd, &st) == 0) {
        const size_t size = static_cast<size_t>(st.st_size);
        void* map = size ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
        if (size == 0) {
            named = false;
        } else if (map != MAP_FAILED) {
            const char* data = static_cast<const char*>(map);
            const size_t len = std::strlen(name) + 1;  // the terminating zero too
            named = false;
            for (const char* p = data; !named && p + len <= data + size;) {
                const void* hit = memmem(p, static_cast<size_t>(data + size - p), name, len);
                if (!hit) break;
                const char* h = static_cast<const char*>(hit);
                named = h == data || h[-1] == '\0' || h[-1] == '/';
                p = h + 1;
            }
            munmap(map, size);
        }
    }
    close(fd);
    return named;
}

bool event_counts(const inotify_event& ev) {
    if (ev.mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_UNMOUNT | IN_DELETE_SELF | IN_MOVE_SELF)) return true;
    for (const Watched& w : g_watched) {
        if (w.wd != ev.wd) continue;
        if (w.child.empty()) return true;
        if (ev.len && w.child == ev.name) return true;
    }
    return false;
}

}  // namespace

bool MissingLibraryWatch::still_missing() noexcept {
    if (!g_armed || g_fd < 0) return false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = read(g_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) break;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (event_counts(*ev)) {
                drop();
                return false;
            }
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    drop();
    return false;
}

void MissingLibraryWatch::prepare() noexcept {
    drop();
    static bool fork_handler = false;
    if (!fork_handler) {
        if (pthread_atfork(nullptr, nullptr, forget_in_child) != 0) return;
        fork_handler = true;
    }
    try {
        std::vector<std::string> path;
        if (!loader_search_path(path)) return;
        g_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (g_fd < 0) return;
        for (const std::string& dir : path)
            if (!watch_path_entry(dir)) return drop();
        if (!add_watch("/etc", "ld.so.cache", kChildMask)) return drop();
    } catch (...) {  // out of memory: no watch, every attempt searches
        drop();
    }
}

void MissingLibraryWatch::search_failed(const char* name) noexcept {
    if (g_fd < 0) return;
    try {
        if (file_in_search_path(name) || named_in_loader_cache(name)) return drop();
    } catch (...) {
        return drop();
    }
    g_armed = true;
}

void MissingLibraryWatch::reset() noexcept { drop(); }

}  // namespace vant::drv

#else

namespace vant::drv {
bool MissingLibraryWatch::still_missing() noexcept { return false; }
void MissingLibraryWatch::prepare() noexcept {}
void MissingLibraryWatch::search_failed(const char*) noexcept {}
void MissingLibraryWatch::reset() noexcept {}
}  // namespace vant::drv

#endif

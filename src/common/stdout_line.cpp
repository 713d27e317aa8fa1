#include "stdout_line.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vant {

int write_stdout(std::string_view text) noexcept {
#ifdef _WIN32
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return static_cast<int>(GetLastError());
        text.remove_prefix(written);
    }
    return 0;
#else
    while (!text.empty()) {
        ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
#endif
}

int write_stdout_line(std::string_view text) noexcept {
    try {
        std::string line;
        line.reserve(text.size() + 1);
        line.append(text);
        line.push_back('\n');
        return write_stdout(line);
    } catch (...) {
        return ENOMEM;
    }
}

std::string_view format_handle(const void* handle, char (&buf)[32]) noexcept {
    int n = std::snprintf(buf, sizeof buf, "0x%llx",
                          static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return std::string_view(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace vant

// Progress and warning lines go to the process's standard output descriptor with one write per
// line, never through Python's sys.stdout.
#pragma once

#include <string_view>

namespace vant {

// Writes text plus a line feed to standard output; returns 0 or the errno of the failed write.
int write_stdout_line(std::string_view text) noexcept;
// Writes text unchanged (one write where possible); returns 0 or an errno.
int write_stdout(std::string_view text) noexcept;

// "0x" followed by lower-case hexadecimal digits, as handles are printed.
std::string_view format_handle(const void* handle, char (&buf)[32]) noexcept;

}  // namespace vant

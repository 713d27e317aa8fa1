// Numbers read from the environment. A value is decimal digits with optional surrounding spaces
// and no suffix; anything else (a sign, a fraction, hexadecimal, trailing text, overflow) is
// refused with one warning line on standard error that names the variable and the value, and the
// caller's default applies.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vant {

// Strict parse of `text`; nullopt when it is not a plain decimal number that fits 64 bits.
std::optional<uint64_t> parse_decimal(std::string_view text) noexcept;

// The value of the environment variable `name`: nullopt when it is unset or empty (silently) or
// malformed (with the warning line "[VantBLAS] Warning: ignoring NAME='VALUE': expected a
// non-negative decimal integer; using DEFAULT_TEXT").
std::optional<uint64_t> read_env_decimal(const char* name, std::string_view default_text) noexcept;

}  // namespace vant

#include "common/env_number.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vant {

std::optional<uint64_t> parse_decimal(std::string_view text) noexcept {
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<uint64_t> read_env_decimal(const char* name, std::string_view default_text) noexcept {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    if (auto v = parse_decimal(text)) return v;
    try {
        std::string line = "[VantBLAS] Warning: ignoring ";
        line += name;
        line += "='";
        line += text;
        line += "': expected a non-negative decimal integer; using ";
        line += default_text;
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace vant

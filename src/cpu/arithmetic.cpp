// The process-wide choice between the exact and the fused arithmetic of the CPU products.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cpu/cpu_ops.hpp"

namespace vant::cpu {
namespace {

constexpr const char* kEnvName = "VANTBLAS_CPU_ARITHMETIC";

Arithmetic from_environment() noexcept {
    const char* text = std::getenv(kEnvName);
    Arithmetic a = Arithmetic::Exact;
    if (!text || !*text || parse_arithmetic(text, a)) return a;
    try {
        std::string line = "[VantBLAS] Warning: ignoring ";
        line += kEnvName;
        line += "='";
        line += text;
        line += "': expected \"exact\" or \"fused\"; using exact\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
    }
    return Arithmetic::Exact;
}

// Read from the environment once, on first use (thread-safe static initialisation).
std::atomic<int>& setting() {
    static std::atomic<int> value{static_cast<int>(from_environment())};
    return value;
}

}  // namespace

Arithmetic arithmetic() { return static_cast<Arithmetic>(setting().load(std::memory_order_relaxed)); }

void set_arithmetic(Arithmetic a) { setting().store(static_cast<int>(a), std::memory_order_relaxed); }

const char* arithmetic_name(Arithmetic a) { return a == Arithmetic::Fused ? "fused" : "exact"; }

bool parse_arithmetic(std::string_view name, Arithmetic& out) {
    if (name == "exact") {
        out = Arithmetic::Exact;
        return true;
    }
    if (name == "fused") {
        out = Arithmetic::Fused;
        return true;
    }
    return false;
}

}  // namespace vant::cpu

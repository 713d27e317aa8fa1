// Internal faults (an index outside an array, a broken invariant) are thrown as Panic and turned
// into PanicException by the entry guard of every Python-facing function. No other C++ exception
// may cross that boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace vant {

class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& what) : std::runtime_error(what) {}
};

// The text every out-of-range read of an argument array reports.
inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";

[[noreturn]] inline void panic_index() { throw Panic(kIndexOutOfBounds); }

}  // namespace vant

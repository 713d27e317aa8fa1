// PTX texts embedded at build time, one per file under kernels/.
#pragma once

#include <string_view>

namespace vant {

// The text of kernels/<path> (for example "gemm/small.ptx"); the byte after the view is a NUL,
// so data() can be handed to the driver as is. Empty when no such file was embedded.
std::string_view kernel_text(std::string_view path) noexcept;

}  // namespace vant

// Results of the launch and dispatch layer: a value or a CudaError (whose display() is the text
// callers put after their own prefix).
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "../runtime/cuda_core.hpp"

namespace vant::engine {

using rt::CudaError;

template <class T>
class [[nodiscard]] CudaResult {
public:
    CudaResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    CudaResult(CudaError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    const CudaError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, CudaError> state_;
};

template <>
class [[nodiscard]] CudaResult<void> {
public:
    CudaResult() = default;
    CudaResult(CudaError error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    const CudaError& error() const { return *error_; }

private:
    std::optional<CudaError> error_;
};

}  // namespace vant::engine

// Errors are values inside the module: a Result<T> holds either a value or a message text.
// Only src/python turns a failed Result into a Python exception.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vant {

struct Error {
    std::string message;
};

inline Error err(std::string message) { return Error{std::move(message)}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const T& value() const& { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    T& operator*() & { return value(); }

    const std::string& error() const { return std::get<1>(state_).message; }
    Error take_error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error.message)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const std::string& error() const { return error_; }
    Error take_error() && { return Error{std::move(error_)}; }

private:
    std::string error_;
    bool failed_ = false;
};

inline Result<void> ok() { return {}; }

}  // namespace vant

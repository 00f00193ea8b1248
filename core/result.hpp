// Error values: core operations report data problems as a value carrying the exact message;
// the binding layer decides which Python exception it becomes.
#pragma once
#include <string>
#include <utility>
#include <variant>

namespace nubiro {

enum class ErrorKind { Value, Runtime };

struct Error {
    ErrorKind kind;
    std::string message;
};

inline Error value_error(std::string message) { return {ErrorKind::Value, std::move(message)}; }
inline Error runtime_error(std::string message) { return {ErrorKind::Runtime, std::move(message)}; }

template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

}  // namespace nubiro

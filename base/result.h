// The outcome of an operation in the lower rooms: a value, or a failure that carries the user's
// sentence (when the room knows it) and the cause behind it (errno text, a library's message).
#pragma once

#include <concepts>
#include <string>
#include <utility>
#include <variant>

namespace tg {

struct Failure {
    std::string message; // the sentence a user reads; empty where a caller above decides it
    std::string cause;   // what the system or a library said, for logs and --json
    int code = 0;        // the errno behind the cause, 0 when there is none

    bool is(int errnoValue) const { return code != 0 && code == errnoValue; }
};

// Failure from an errno value, with its strerror text as the cause and the value as the code.
Failure errnoFailure(int err, std::string message = {});

template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}
    // A yes/no is no value: a callback still answering true or false must not compile as a count.
    template <typename U>
        requires(std::same_as<U, bool> && !std::same_as<T, bool>)
    Result(U) = delete;

    bool ok() const { return state_.index() == 0; }
    bool failed() const { return !ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    const Failure& failure() const { return std::get<1>(state_); }
    const std::string& cause() const { return failure().cause; }
    bool is(int errnoValue) const { return failed() && failure().is(errnoValue); }

private:
    std::variant<T, Failure> state_;
};

class [[nodiscard]] Status {
public:
    Status() = default; // success
    Status(Failure failure) : failed_(true), failure_(std::move(failure)) {}

    bool ok() const { return !failed_; }
    bool failed() const { return failed_; }
    const Failure& failure() const { return failure_; }
    const std::string& cause() const { return failure_.cause; }
    bool is(int errnoValue) const { return failure_.is(errnoValue); }

private:
    bool failed_ = false;
    Failure failure_;
};

} // namespace tg

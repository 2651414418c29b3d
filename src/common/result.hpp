// Error values shared by every layer: an `Error` carries a kind and the exact text a caller shows;
// `Result<T>` holds either a value or an `Error`. Only the binding layer turns an `Error` into a
// Python exception (every I/O kind becomes plain OSError with the text unchanged).
//
// Thread-safety: plain values; distinct objects may be used from different threads.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace velmot {

enum class ErrorKind {
    os,             // an operating-system call failed
    not_found,      // a named resource (interface, file) does not exist
    permission,     // the operation needs privileges the process lacks
    invalid_input,  // data handed to an I/O operation cannot be used (oversized frame, bad id)
    broken_pipe,    // the other end of a queue or socket is gone
    value,          // an argument converted but is not acceptable
    type,           // an object of the wrong kind
    timeout,        // a wait ran out of time
    interrupted,    // a wait was ended early because its caller asked (common/interrupt_poll.hpp)
    runtime,        // anything else that is not an I/O failure
};

// True for the kinds that the binding layer reports as OSError.
constexpr bool is_io_kind(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::os:
        case ErrorKind::not_found:
        case ErrorKind::permission:
        case ErrorKind::invalid_input:
        case ErrorKind::broken_pipe:
            return true;
        default:
            return false;
    }
}

struct Error {
    ErrorKind kind;
    std::string message;  // exactly the text the user sees

    // An OS error for `errno_value`, displayed as "<strerror text> (os error N)".
    static Error from_errno(int errno_value);
    // The same display form with a context prefix: "<context>: <strerror text> (os error N)".
    static Error from_errno(int errno_value, const std::string& context);
};

// Either a value or an Error. Modelled on std::expected (not available in C++20).
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    T* operator->() { return &value(); }
    T& operator*() & { return value(); }

    const Error& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    Error&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }

    const Error& error() const& {
        assert(failed_);
        return error_;
    }
    Error&& error() && {
        assert(failed_);
        return std::move(error_);
    }

private:
    Error error_{ErrorKind::runtime, {}};
    bool failed_ = false;
};

}  // namespace velmot

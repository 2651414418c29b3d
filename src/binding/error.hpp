// Python errors inside the binding layer.
//
// `PythonError` is the one C++ exception meaning "a Python exception is already set": converters
// and helpers throw it, the entry-point wrapper catches it and returns the error value to the
// interpreter. It never reaches internal (core) code, and it deliberately does not derive from
// std::exception so that no handler meant for internal failures intercepts it.
//
// `set_python_error` / `raise` turn an internal `velmot::Error` into the Python exception of its
// kind with the error's text unchanged: every I/O kind becomes plain OSError (never a subclass).
//
// Thread-safety: everything here needs the GIL.
#pragma once

#include <Python.h>

#include <utility>

#include "common/result.hpp"

namespace velmot::binding {

struct PythonError {};

// Throws PythonError; the caller has set the Python exception (or a C-API call did).
[[noreturn]] inline void throw_python_error() {
    throw PythonError{};
}

// The Python exception class used for an internal error of `kind`.
PyObject* exception_type_for(ErrorKind kind) noexcept;

// Sets the Python exception for `error`.
void set_python_error(const Error& error);

// Sets the Python exception for `error` and throws PythonError.
[[noreturn]] void raise(const Error& error);

// The value of `result`, or raise its error.
template <class T>
T unwrap(Result<T>&& result) {
    if (!result.ok()) {
        raise(result.error());
    }
    return std::move(result).value();
}

inline void unwrap(Result<void>&& result) {
    if (!result.ok()) {
        raise(result.error());
    }
}

// Throws PythonError when `object` is null (a failed C-API call), else returns it.
inline PyObject* check(PyObject* object) {
    if (object == nullptr) {
        throw_python_error();
    }
    return object;
}

// Throws PythonError when a C-API status is negative.
inline void check_status(int status) {
    if (status < 0) {
        throw_python_error();
    }
}

}  // namespace velmot::binding

// The wrapper every entry point (method, function, constructor, type slot, deallocator) runs its
// body in. It marks the GIL as held and releases pending references (EntryScope), runs the body
// and translates what escapes it into the interpreter's error protocol:
//   PythonError          -> the error value (the Python exception is already set)
//   velmot::Panic        -> PanicException(message), the error value
//   std::bad_alloc       -> MemoryError, the error value
//   other std::exception -> a fatal-error notice, then as a Panic with its what() text
//   abi::__forced_unwind -> rethrown: the interpreter is ending this thread
// If raising PanicException itself fails with a fatal error, the process aborts with
// "uncaught panic at ffi boundary". Any other exception type is a bug and ends the process.
//
// Thread-safety: entry points run with the GIL held, on the interpreter's thread.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>

#include "binding/error.hpp"
#include "binding/gil.hpp"
#include "common/panic.hpp"

namespace velmot::binding {

namespace detail {

// Raises PanicException(message); aborts the process if that raises a fatal error again.
void raise_panic(const std::string& message) noexcept;
// Reports an unexpected internal exception as a fatal error and raises PanicException.
void raise_internal_exception(const std::exception& error) noexcept;
// Prints "uncaught panic at ffi boundary" and aborts.
[[noreturn]] void abort_uncaught_panic() noexcept;

// Runs `body` and turns what escapes it into a Python exception and `failure`.
template <class R, class Body>
R contain(R failure, Body&& body) {
    try {
        return body();
    } catch (const PythonError&) {
        return failure;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const Panic& panic) {
        raise_panic(panic.message());
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    } catch (const std::exception& error) {
        raise_internal_exception(error);
        return failure;
    }
}

}  // namespace detail

// Entry points returning an object: the body returns a new reference, or null with an error set.
template <class Body>
PyObject* entry(Body&& body) {
    EntryScope scope;
    return detail::contain<PyObject*>(nullptr, body);
}

// Entry points returning a status (setters, init-like slots): 0 on success, -1 on error.
template <class Body>
int entry_status(Body&& body) {
    EntryScope scope;
    return detail::contain<int>(-1, [&] {
        body();
        return 0;
    });
}

// Deallocators: no exception can be returned, so a failure in `body` is reported through the
// unraisable-exception hook. An exception already pending when the deallocator runs is kept.
// The caller frees the object afterwards in every case.
template <class Body>
void entry_dealloc(PyObject* self, Body&& body) {
    EntryScope scope;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const int failed = detail::contain<int>(-1, [&] {
        body();
        return 0;
    });
    if (failed != 0) {
        // The object is being destroyed: name its class instead of handing the object itself out.
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace velmot::binding

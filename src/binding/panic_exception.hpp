// The module's fatal-error exception and calls into Python from internal code.
//
// `PanicException` derives directly from BaseException, so `except Exception` does not catch it:
// like SystemExit it normally propagates up and ends the interpreter. It is created on first use
// and is never a module attribute. Each extension that links the binding layer has its own class.
//
// `call_python` calls a Python callable for internal code. An ordinary exception raised by the
// callee is returned as an empty Ref with the exception set. A PanicException (a fatal error that
// surfaced in an earlier call and was not handled) is not ordinary: its notice and Python
// traceback are printed to stderr and the fatal error continues in the calling C++ code as
// `velmot::Panic` with the same message.
//
// Thread-safety: everything here needs the GIL.
#pragma once

#include <Python.h>

#include <string>

#include "binding/ref.hpp"

namespace velmot::binding {

// The PanicException class (borrowed; created on first call). Panics if it cannot be created.
PyObject* panic_exception_type();

// Sets PanicException(message) as the current Python exception. Panics if that fails.
void set_panic_exception(const std::string& message);

// callable(), callable(*args) and callable(*args, **kwargs); `args` must be a tuple.
Ref call_python(PyObject* callable);
Ref call_python(PyObject* callable, PyObject* args, PyObject* kwargs = nullptr);

}  // namespace velmot::binding

// The signal check of a wait that released the GIL, and the exception it kept.
//
// Thread-safety: see interruptible_wait.hpp.
#include "binding/interruptible_wait.hpp"

#include "binding/error.hpp"
#include "binding/signals.hpp"

namespace velmot::binding {

SignalChecks::SignalChecks() : poll_([this] { return check(); }) {}

bool SignalChecks::check() {
    GilGuard gil;
    try {
        run_signal_handlers();
        return false;
    } catch (const PythonError&) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
        interrupted_ = true;
        return true;
    }
}

void SignalChecks::raise_if_interrupted() {
    if (!interrupted_) {
        return;
    }
    interrupted_ = false;
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    throw_python_error();
}

}  // namespace velmot::binding

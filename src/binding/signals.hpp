// Running the interpreter's pending signal handlers from inside a long wait: a wait that released
// the GIL takes it back every few tens of milliseconds for this check (interruptible_wait.hpp), so
// that Ctrl+C raises KeyboardInterrupt instead of waiting for the call to end.
//
// CPython runs the handlers in PyErr_CheckSignals. PyPy's C API accepts that call but runs
// nothing there: PyPy runs pending handlers when it next executes Python code, so on PyPy a
// Python function that does nothing is called as well.
//
// Thread-safety: needs the GIL. Handlers run only on the interpreter's main thread; elsewhere the
// check does nothing.
#pragma once

namespace velmot::binding {

// Runs pending signal handlers; throws PythonError when one of them raised.
void run_signal_handlers();

}  // namespace velmot::binding

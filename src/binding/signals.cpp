// Pending signal handlers on CPython and PyPy.
#include "binding/signals.hpp"

#include <Python.h>

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace velmot::binding {
namespace {

#ifdef PYPY_VERSION
// A Python function that does nothing: calling it lets PyPy run its pending actions. Built on
// first use under the GIL and kept for the life of the process.
PyObject* python_no_op() {
    static PyObject* function = nullptr;
    if (function == nullptr) {
        Ref globals = Ref::steal(check(PyDict_New()));
        check_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
        function = check(PyRun_String("lambda: None", Py_eval_input, globals.get(), globals.get()));
    }
    return function;
}
#endif

}  // namespace

void run_signal_handlers() {
    check_status(PyErr_CheckSignals());
#ifdef PYPY_VERSION
    Ref ignored = Ref::steal(check(PyObject_CallObject(python_no_op(), nullptr)));
#endif
}

}  // namespace velmot::binding

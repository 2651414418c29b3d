// PanicException and the fatal-error-aware call into Python.
//
// Thread-safety: needs the GIL; the class pointer is written once under it.
#include "binding/panic_exception.hpp"

#include "common/console.hpp"
#include "common/panic.hpp"

namespace velmot::binding {
namespace {

constexpr const char* k_panic_doc =
    "Signals an internal fatal error of the extension (a broken invariant or an unrecoverable "
    "condition).\n\nIt derives from BaseException, not Exception: like SystemExit it normally "
    "propagates up and ends the interpreter. Its single argument is the fatal error's message.";

constexpr ConsoleKind k_reached_internal_code_kind{"binding: fatal error through a Python call"};

// The message carried by a PanicException instance: its first argument, else str(exc).
std::string panic_message(PyObject* value) {
    Ref text;
    PyObject* args = PyObject_GetAttrString(value, "args");
    if (args != nullptr && PyTuple_Check(args) && PyTuple_Size(args) > 0) {
        text = Ref::steal(PyObject_Str(PyTuple_GetItem(args, 0)));
    }
    Py_XDECREF(args);
    if (!text) {
        PyErr_Clear();
        text = Ref::steal(PyObject_Str(value));
    }
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable panic message>";
    }
    return utf8;
}

// Prints the notice and the traceback of the pending PanicException, clears it and continues the
// fatal error. PyErr_Display is used instead of PyErr_Print so that sys.last_* stay untouched.
[[noreturn]] void continue_panic() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    // The traceback itself goes through the interpreter's sys.stderr, not the console writer.
    write_stderr(k_reached_internal_code_kind,
                 "a fatal error raised in an earlier call reached internal code through a Python "
                 "call; its Python traceback:\n");
    PyErr_Display(type, value, traceback);
    std::string message = value != nullptr ? panic_message(value) : "<no message>";
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    velmot::panic(std::move(message));
}

Ref checked_result(PyObject* result) {
    if (result == nullptr && PyErr_ExceptionMatches(panic_exception_type())) {
        continue_panic();
    }
    return Ref::steal(result);
}

}  // namespace

PyObject* panic_exception_type() {
    // Leaked on purpose, like every class object.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        // Often first needed while another exception is pending (checking a failed call):
        // creating a class needs a clear error indicator, so that exception is set aside.
        PyObject* pending_type = nullptr;
        PyObject* pending_value = nullptr;
        PyObject* pending_traceback = nullptr;
        PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
        type = PyErr_NewExceptionWithDoc("velmot.PanicException", k_panic_doc, PyExc_BaseException,
                                         nullptr);
        if (type == nullptr) {
            PyErr_Clear();
        }
        PyErr_Restore(pending_type, pending_value, pending_traceback);
        if (type == nullptr) {
            velmot::panic("cannot create the PanicException class");
        }
    }
    return type;
}

void set_panic_exception(const std::string& message) {
    PyObject* type = panic_exception_type();
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) {
        PyErr_Clear();
        velmot::panic("cannot build the PanicException message");
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

Ref call_python(PyObject* callable) {
    return checked_result(PyObject_CallObject(callable, nullptr));
}

Ref call_python(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return checked_result(PyObject_Call(callable, args, kwargs));
}

}  // namespace velmot::binding

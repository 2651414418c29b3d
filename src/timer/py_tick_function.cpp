// The tick call of Python timers and the one-line report of an exception it raised.
//
// Thread-safety: see py_tick_function.hpp; report_tick_exception needs the GIL.
#include "timer/py_tick_function.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "binding/gil.hpp"
#include "binding/panic_exception.hpp"
#include "common/console.hpp"

namespace velmot::timer {
namespace {

using binding::Ref;

constexpr ConsoleKind k_tick_error_kind{"timer: function error"};

// UTF-8 text of a str object. Lone surrogates (which strict UTF-8 cannot encode) come out as
// U+FFFD, as a lenient decode of their surrogatepass bytes gives. Empty Ref = failure (set).
std::string lenient_utf8(PyObject* text) {
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!raw) {
        return {};
    }
    Ref decoded = Ref::steal(
        PyUnicode_DecodeUTF8(PyBytes_AsString(raw.get()), PyBytes_Size(raw.get()), "replace"));
    Py_ssize_t size = 0;
    const char* data = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &size) : nullptr;
    return data != nullptr ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// ": " + str(value), or ": <exception str() failed>" when str() (or its encoding) fails.
std::string describe_value(PyObject* value) {
    static constexpr std::string_view k_failed = ": <exception str() failed>";
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) {
        PyErr_Clear();
        return std::string(k_failed);
    }
    std::string utf8 = lenient_utf8(text.get());
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return std::string(k_failed);
    }
    return ": " + utf8;
}

// The type's __qualname__ (its tp_name when that attribute cannot be read).
std::string qualified_name(PyObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        std::string text = lenient_utf8(name.get());
        if (PyErr_Occurred() == nullptr) {
            return text;
        }
    }
    PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(type)->tp_name;
}

}  // namespace

void report_tick_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    std::string line = "Timer function error: ";
    line += type != nullptr ? qualified_name(type) : std::string("<unknown>");
    line += value != nullptr ? describe_value(value) : std::string(": <exception str() failed>");
    line += '\n';
    write_stderr(k_tick_error_kind, line);
}

PythonTickFunction::PythonTickFunction(Ref callable, Ref args)
    : callable_(std::move(callable)), args_(std::move(args)) {}

void PythonTickFunction::call() {
    binding::GilGuard gil;
    // A PanicException raised by the callable continues here as velmot::Panic; the loop ends the
    // tick with it.
    Ref result = binding::call_python(callable_.get(), args_.get());
    if (!result) {
        report_tick_exception();
    }
}

}  // namespace velmot::timer

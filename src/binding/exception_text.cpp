// Text of the current Python exception; see exception_text.hpp.
//
// Thread-safety: needs the GIL.
#include "binding/exception_text.hpp"

#include <Python.h>

#include <string_view>

#include "binding/ref.hpp"

namespace velmot::binding {
namespace {

constexpr std::string_view k_str_failed = ": <exception str() failed>";

// UTF-8 text of a str object. Lone surrogates (which strict UTF-8 cannot encode) come out as
// U+FFFD, as a lenient decode of their surrogatepass bytes gives. Failure leaves an exception set.
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
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) {
        PyErr_Clear();
        return std::string(k_str_failed);
    }
    std::string utf8 = lenient_utf8(text.get());
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return std::string(k_str_failed);
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

std::string take_exception_text() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    std::string text = type != nullptr ? qualified_name(type) : std::string("<unknown>");
    text += value != nullptr ? describe_value(value) : std::string(k_str_failed);
    return text;
}

}  // namespace velmot::binding

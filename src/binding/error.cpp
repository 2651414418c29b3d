// Mapping of internal error kinds to Python exceptions.
//
// Thread-safety: needs the GIL.
#include "binding/error.hpp"

namespace velmot::binding {

PyObject* exception_type_for(ErrorKind kind) noexcept {
    if (is_io_kind(kind)) {
        return PyExc_OSError;
    }
    switch (kind) {
        case ErrorKind::value:
            return PyExc_ValueError;
        case ErrorKind::type:
            return PyExc_TypeError;
        case ErrorKind::timeout:
            return PyExc_TimeoutError;
        default:
            return PyExc_RuntimeError;
    }
}

void set_python_error(const Error& error) {
    PyObject* text = PyUnicode_DecodeUTF8(error.message.data(),
                                          static_cast<Py_ssize_t>(error.message.size()), "replace");
    if (text == nullptr) {
        return;  // the decoding failure (MemoryError) stays set
    }
    // A single str argument: OSError(text) keeps errno/strerror unset, so the message is exactly
    // the text and the class stays plain OSError.
    PyErr_SetObject(exception_type_for(error.kind), text);
    Py_DECREF(text);
}

void raise(const Error& error) {
    set_python_error(error);
    throw_python_error();
}

}  // namespace velmot::binding

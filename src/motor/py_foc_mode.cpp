// Mode parsing with Python's own lower-casing, so that the text in the error message is the one
// str.lower() gives for any script.
#include "motor/py_foc_mode.hpp"

#include <Python.h>

#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace velmot::motor {

namespace {

std::string python_lower(const std::string& text) {
    using binding::Ref;
    Ref object = Ref::steal(binding::check(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass")));
    Ref lowered = Ref::steal(binding::check(PyObject_CallMethod(object.get(), "lower", nullptr)));
    return binding::to_string(lowered.get());
}

}  // namespace

Result<FocMode> parse_foc_mode(const std::string& text) {
    const std::string lowered = python_lower(text);
    if (auto mode = comm::dr_v1::foc_mode_named(lowered)) {
        return *mode;
    }
    return Error{ErrorKind::value,
                 "unknown mode '" + lowered + "', expected 'current', 'speed', or 'position'"};
}

}  // namespace velmot::motor

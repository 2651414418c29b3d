// Argument and result converters.
//
// Thread-safety: needs the GIL.
#include "binding/convert.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace velmot::binding {
namespace {

// More than a CAN payload ever holds; longer sequences grow the vector as their items arrive.
constexpr Py_ssize_t k_byte_sequence_reserve_cap = 64;

const char* type_name(PyObject* object) {
    return Py_TYPE(object)->tp_name;
}

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_python_error();
}

template <class T>
T to_narrow_unsigned(PyObject* object) {
    const std::uint64_t value = to_u64(object);
    if (value > std::numeric_limits<T>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw_python_error();
    }
    return static_cast<T>(value);
}

// A string attribute of `object` equal to `expected` (lookup failures count as "no").
bool attribute_is(PyObject* object, const char* attribute,
                  std::initializer_list<const char*> expected) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
    const char* text =
        value && PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8(value.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    for (const char* candidate : expected) {
        if (std::strcmp(text, candidate) == 0) {
            return true;
        }
    }
    return false;
}

// NumPy's bool scalar type, recognised by its module and name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    return attribute_is(type, "__module__", {"numpy"}) &&
           attribute_is(type, "__name__", {"bool_", "bool"});
}

}  // namespace

std::string to_string(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_type_error(std::string("'") + type_name(object) +
                         "' object cannot be converted to 'str'");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        throw_python_error();  // e.g. lone surrogates: UnicodeEncodeError
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::uint64_t to_u64(PyObject* object) {
    // __index__ semantics: ints and index-like objects only, a float raises TypeError.
    Ref index = Ref::steal(check(PyNumber_Index(object)));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw_python_error();  // the interpreter's OverflowError (negative or too big)
    }
    return value;
}

std::uint32_t to_u32(PyObject* object) {
    return to_narrow_unsigned<std::uint32_t>(object);
}

std::uint8_t to_u8(PyObject* object) {
    return to_narrow_unsigned<std::uint8_t>(object);
}

std::vector<std::uint8_t> to_byte_vector(PyObject* object) {
    if (PyBytes_Check(object)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
        return {data, data + PyBytes_GET_SIZE(object)};
    }
    if (PyByteArray_Check(object)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(object));
        return {data, data + PyByteArray_GET_SIZE(object)};
    }
    if (PyUnicode_Check(object)) {
        raise_type_error("a str is not a byte sequence (encode it to bytes first)");
    }
    if (!PySequence_Check(object)) {
        raise_type_error(std::string("expected a sequence of ints in range(256), got '") +
                         type_name(object) + "'");
    }
    // __len__ is only a hint for the first allocation, capped, so a length that lies allocates
    // nothing it claims. The items are taken by iteration, as bytes(sequence) takes them: a list
    // that an item's __index__ shrinks mid-call ends early instead of failing with IndexError.
    Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        // A length beyond Py_ssize_t (2**31 and up on 32-bit targets) is a hint like any other.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw_python_error();
        }
        PyErr_Clear();
        size = k_byte_sequence_reserve_cap;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(std::min(size, k_byte_sequence_reserve_cap)));
    Ref iterator = Ref::steal(check(PyObject_GetIter(object)));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        bytes.push_back(to_u8(item.get()));
    }
    if (PyErr_Occurred()) {
        throw_python_error();
    }
    return bytes;
}

double to_f64(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        throw_python_error();
    }
    return value;
}

float to_f32(PyObject* object) {
    return static_cast<float>(to_f64(object));
}

bool to_bool(PyObject* object) {
    if (PyBool_Check(object)) {
        return object == Py_True;
    }
    if (is_numpy_bool(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) {
            throw_python_error();
        }
        return truth != 0;
    }
    raise_type_error(std::string("'") + type_name(object) +
                     "' object cannot be converted to 'bool'");
}

void prefix_type_error(const char* name) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {  // a subclass of TypeError passes unchanged
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref original_type = Ref::steal(type);
    Ref original = Ref::steal(value);
    Ref original_traceback = Ref::steal(traceback);
    Ref cause = Ref::steal(original ? PyException_GetCause(original.get()) : nullptr);
    Ref text = Ref::steal(original ? PyObject_Str(original.get()) : nullptr);
    if (!text) {
        return;  // the failure of str() is the exception now
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        return;
    }
    Ref replacement =
        Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) {
        return;
    }
    if (cause) {
        PyException_SetCause(replacement.get(), cause.release());  // steals
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyObject* to_python_str(std::string_view text) {
    return check(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* to_python_bytes(const std::vector<std::uint8_t>& bytes) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace velmot::binding

// Conversions between Python objects and internal values.
//
// Argument converters take a borrowed object and return the internal value or throw PythonError
// with the interpreter's exception set:
//   str -> std::string (UTF-8); u8/u32/u64 from int or __index__ (float refused with TypeError,
//   negative or too large -> OverflowError); byte sequence -> std::vector<uint8_t> (bytes and
//   bytearray directly, else any sequence of u8 items; str refused); float -> double / float;
//   bool (exactly bool or NumPy's bool); any object -> Ref.
// The converter tags (Str, U8, ..., Opt<C>) name a parameter's conversion in a Signature.
// `convert_argument` applies the argument-name rule: a failure whose exception type is exactly
// TypeError becomes TypeError("argument 'NAME': <message>") keeping the original's __cause__;
// every other exception passes unchanged.
//
// Result converters (`to_python`) return a new reference or throw PythonError.
//
// Thread-safety: needs the GIL.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "common/result.hpp"

namespace velmot::binding {

std::string to_string(PyObject* object);
std::uint8_t to_u8(PyObject* object);
std::uint32_t to_u32(PyObject* object);
std::uint64_t to_u64(PyObject* object);
std::vector<std::uint8_t> to_byte_vector(PyObject* object);
double to_f64(PyObject* object);
float to_f32(PyObject* object);
bool to_bool(PyObject* object);
inline Ref to_object(PyObject* object) {
    return Ref::new_ref(object);
}

// Rewrites a pending exception of exactly TypeError as "argument 'NAME': <message>".
void prefix_type_error(const char* name);

// --- converter tags
struct Str {
    using type = std::string;
    static type from(PyObject* o) { return to_string(o); }
};
struct U8 {
    using type = std::uint8_t;
    static type from(PyObject* o) { return to_u8(o); }
};
struct U32 {
    using type = std::uint32_t;
    static type from(PyObject* o) { return to_u32(o); }
};
struct U64 {
    using type = std::uint64_t;
    static type from(PyObject* o) { return to_u64(o); }
};
struct ByteSeq {
    using type = std::vector<std::uint8_t>;
    static type from(PyObject* o) { return to_byte_vector(o); }
};
struct F64 {
    using type = double;
    static type from(PyObject* o) { return to_f64(o); }
};
struct F32 {
    using type = float;
    static type from(PyObject* o) { return to_f32(o); }
};
struct Bool {
    using type = bool;
    static type from(PyObject* o) { return to_bool(o); }
};
struct Object {
    using type = Ref;
    static type from(PyObject* o) { return to_object(o); }
};

// An optional parameter: absent (not passed, or None for "name=None") gives std::nullopt.
template <class C>
struct Opt {
    using type = std::optional<typename C::type>;
    static type from(PyObject* o) { return C::from(o); }
};

template <class C>
typename C::type convert_argument(const char* name, PyObject* object) {
    try {
        return C::from(object);
    } catch (const PythonError&) {
        prefix_type_error(name);
        throw;
    }
}

// --- results
struct None {};

PyObject* to_python_str(std::string_view text);
PyObject* to_python_bytes(const std::vector<std::uint8_t>& bytes);

template <class T>
PyObject* to_python(T&& value);

namespace detail {

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};
template <class T>
struct is_tuple : std::false_type {};
template <class... A>
struct is_tuple<std::tuple<A...>> : std::true_type {};
template <class T>
struct is_result : std::false_type {};
template <class T>
struct is_result<Result<T>> : std::true_type {};

template <class Tuple>
PyObject* tuple_to_python(Tuple&& values) {
    constexpr std::size_t k_size = std::tuple_size_v<std::remove_cvref_t<Tuple>>;
    Ref tuple = Ref::steal(check(PyTuple_New(k_size)));
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        // PyTuple_SET_ITEM steals; each item is converted before the next (left to right).
        (PyTuple_SET_ITEM(tuple.get(), I, to_python(std::get<I>(std::forward<Tuple>(values)))),
         ...);
    }(std::make_index_sequence<k_size>{});
    return tuple.release();
}

}  // namespace detail

// Returns a new reference for `value`: None, bool, integers, floats (float widened), text, byte
// vectors (bytes), pairs and tuples, optionals (None when empty), Ref (handed over), and
// Result<T> (its value, or its error raised).
template <class T>
PyObject* to_python(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, None> || std::is_same_v<V, std::nullopt_t>) {
        Py_INCREF(Py_None);
        return Py_None;
    } else if constexpr (std::is_same_v<V, bool>) {
        return PyBool_FromLong(value ? 1 : 0);
    } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
        return check(PyLong_FromLongLong(static_cast<long long>(value)));
    } else if constexpr (std::is_integral_v<V>) {
        return check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    } else if constexpr (std::is_floating_point_v<V>) {
        return check(PyFloat_FromDouble(static_cast<double>(value)));
    } else if constexpr (std::is_convertible_v<const V&, std::string_view>) {
        return to_python_str(std::string_view(value));
    } else if constexpr (std::is_same_v<V, std::vector<std::uint8_t>>) {
        return to_python_bytes(value);
    } else if constexpr (std::is_same_v<V, Ref>) {
        return check(Ref(std::forward<T>(value)).release());
    } else if constexpr (detail::is_optional<V>::value) {
        return value ? to_python(*std::forward<T>(value)) : to_python(None{});
    } else if constexpr (detail::is_pair<V>::value || detail::is_tuple<V>::value) {
        return detail::tuple_to_python(std::forward<T>(value));
    } else if constexpr (detail::is_result<V>::value) {
        if constexpr (std::is_same_v<V, Result<void>>) {
            unwrap(Result<void>(std::forward<T>(value)));
            return to_python(None{});
        } else {
            return to_python(unwrap(V(std::forward<T>(value))));
        }
    } else {
        static_assert(sizeof(V) == 0, "no Python conversion for this type");
    }
}

}  // namespace velmot::binding

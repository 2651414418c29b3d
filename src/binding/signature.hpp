// A callable's parameter list with the converter of each parameter, and the steps every entry
// point shares: bind the arguments, convert them in parameter order, run the body and convert its
// result. A definition reads like its Python signature:
//
//     constexpr Signature<U32, Opt<Bool>> k_start{"start", {arg("rate"), arg_default("realtime")}};
//
// Thread-safety: needs the GIL.
#pragma once

#include <Python.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "common/panic.hpp"

namespace velmot::binding {

template <class... Cs>
struct Signature {
    const char* function;  // "name" or "Class.method", as binding errors name it
    std::array<Param, sizeof...(Cs)> params;
};

template <class... Cs>
using BoundArgs = std::array<PyObject*, sizeof...(Cs)>;

template <class... Cs>
BoundArgs<Cs...> bind(const Signature<Cs...>& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    BoundArgs<Cs...> bound{};
    bind_fastcall(signature.function, signature.params, args, nargs, kwnames, bound.data());
    return bound;
}

template <class... Cs>
BoundArgs<Cs...> bind(const Signature<Cs...>& signature, PyObject* args, PyObject* kwargs) {
    BoundArgs<Cs...> bound{};
    bind_tuple(signature.function, signature.params, args, kwargs, bound.data());
    return bound;
}

namespace detail {

template <class C>
struct is_opt : std::false_type {};
template <class C>
struct is_opt<Opt<C>> : std::true_type {};

template <class C>
typename C::type convert_param(const Param& param, PyObject* object) {
    if (object == nullptr) {
        if constexpr (is_opt<C>::value) {
            return std::nullopt;
        } else {
            velmot::panic(std::string("parameter '") + param.name +
                          "' may be absent but its converter is not Opt<...>");
        }
    }
    return convert_argument<C>(param.name, object);
}

}  // namespace detail

// Converts the bound arguments in parameter order; the first failure throws PythonError.
template <class... Cs>
std::tuple<typename Cs::type...> convert_all(const Signature<Cs...>& signature,
                                             const BoundArgs<Cs...>& bound) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        // A braced list evaluates its elements left to right.
        return std::tuple<typename Cs::type...>{
            detail::convert_param<Cs>(signature.params[I], bound[I])...};
    }(std::index_sequence_for<Cs...>{});
}

// Calls body(leading..., converted...) and converts its result (void gives None).
template <class Body, class Values, class... Leading>
PyObject* invoke(Body& body, Values&& values, Leading&... leading) {
    return std::apply(
        [&](auto&&... converted) -> PyObject* {
            using R = std::invoke_result_t<Body&, Leading&..., decltype(std::move(converted))...>;
            if constexpr (std::is_void_v<R>) {
                body(leading..., std::move(converted)...);
                return to_python(None{});
            } else {
                return to_python(body(leading..., std::move(converted)...));
            }
        },
        std::forward<Values>(values));
}

}  // namespace velmot::binding

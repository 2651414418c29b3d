// Module-level functions: the entry-point bodies for the two calling shapes and the pieces that
// turn them into module items. A function is a PyMethodDef plus a small entry function:
//
//     constexpr Signature<U32> k_timer{"timer", {arg("frequency_hz")}};
//     PyObject* timer(PyObject*, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
//         return call_function(k_timer, a, n, kw, [](std::uint32_t hz) { return make_timer(hz); });
//     }
//     PyMethodDef g_timer = fastcall_def("timer", timer, "timer(frequency_hz)\n--\n\nbody");
//     ... catalog.add("timer", function_item<g_timer>);
//
// Thread-safety: needs the GIL.
#pragma once

#include <Python.h>

#include <tuple>

#include "binding/entry.hpp"
#include "binding/ref.hpp"
#include "binding/signature.hpp"

namespace velmot::binding {

using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// A METH_FASTCALL | METH_KEYWORDS entry (functions and methods with parameters).
inline PyMethodDef fastcall_def(const char* name, FastcallFunction function, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// A METH_NOARGS entry: function(self, unused).
inline PyMethodDef noargs_def(const char* name, PyCFunction function, const char* doc) {
    return {name, function, METH_NOARGS, doc};
}

inline constexpr PyMethodDef k_end_of_methods{nullptr, nullptr, 0, nullptr};

// Body of a fast-call function entry: bind -> convert in parameter order -> body -> result.
template <class... Cs, class Body>
PyObject* call_function(const Signature<Cs...>& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Body&& body) {
    return entry([&]() -> PyObject* {
        const BoundArgs<Cs...> bound = bind(signature, args, nargs, kwnames);
        return invoke(body, convert_all(signature, bound));
    });
}

// Body of a METH_NOARGS function entry.
template <class Body>
PyObject* call_function_noargs(Body&& body) {
    return entry([&]() -> PyObject* { return invoke(body, std::tuple<>{}); });
}

// Module item factory: the function object of `Def`, bound to the module.
template <PyMethodDef& Def>
Ref function_item(PyObject* module) {
    Ref name = Ref::steal(check(PyObject_GetAttrString(module, "__name__")));
    return Ref::steal(check(PyCFunction_NewEx(&Def, module, name.get())));
}

}  // namespace velmot::binding

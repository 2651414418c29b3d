// Argument binding: matches the positional and keyword arguments of a call against a static
// parameter list and yields one borrowed object per parameter (nullptr = absent), or raises the
// interpreter's usual TypeError naming the function ("name()"; methods use "Class.method()").
//
// Every parameter may be passed by position or by keyword. `Presence::optional` parameters may be
// omitted; `Presence::optional_none` ones may be omitted and None passed for them counts as
// absent. Binding only reads the arguments, so a binding error happens before any side effect.
//
// Thread-safety: needs the GIL.
#pragma once

#include <Python.h>

#include <array>
#include <span>

namespace velmot::binding {

enum class Presence {
    required,
    optional,       // has a default other than None
    optional_none,  // "name=None": None means absent
};

struct Param {
    const char* name;
    Presence presence = Presence::required;
};

constexpr Param arg(const char* name) {
    return {name, Presence::required};
}
constexpr Param arg_default(const char* name) {
    return {name, Presence::optional};
}
constexpr Param arg_default_none(const char* name) {
    return {name, Presence::optional_none};
}

// Fast-call shape (METH_FASTCALL | METH_KEYWORDS): `args[0..nargs)` are positional, the values of
// the keywords named in the `kwnames` tuple follow them. Fills `out[i]` for params[i]; throws
// PythonError on a binding error.
void bind_fastcall(const char* function, std::span<const Param> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Tuple-and-dict shape (tp_new, tp_call): `kwargs` may be null.
void bind_tuple(const char* function, std::span<const Param> params, PyObject* args,
                PyObject* kwargs, PyObject** out);

// For callables that take positional arguments only: any keyword raises the binder's usual
// unexpected-keyword TypeError (throws PythonError). `kwargs` may be null.
void refuse_keywords(const char* function, PyObject* kwargs);

}  // namespace velmot::binding

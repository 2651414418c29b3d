// Argument binding and the interpreter-style TypeError messages.
//
// Thread-safety: needs the GIL.
#include "binding/args.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace velmot::binding {
namespace {

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_python_error();
}

std::string prefix(const char* function) {
    return std::string(function) + "()";
}

[[noreturn]] void too_many_positional(const char* function, std::span<const Param> params,
                                      Py_ssize_t given) {
    std::size_t required = 0;
    for (const Param& param : params) {
        required += param.presence == Presence::required ? 1 : 0;
    }
    const std::size_t total = params.size();
    std::string takes = required == total
                            ? std::to_string(total)
                            : "from " + std::to_string(required) + " to " + std::to_string(total);
    type_error(prefix(function) + " takes " + takes + " positional argument" +
               (total == 1 && required == total ? "" : "s") + " but " + std::to_string(given) +
               (given == 1 ? " was" : " were") + " given");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" (the interpreter's own listing).
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        text += std::string("'") + names[i] + "'";
    }
    return text;
}

void check_missing(const char* function, std::span<const Param> params, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (out[i] == nullptr && params[i].presence == Presence::required) {
            missing.push_back(params[i].name);
        }
    }
    if (missing.empty()) {
        return;
    }
    type_error(prefix(function) + " missing " + std::to_string(missing.size()) +
               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
               quoted_list(missing));
}

// Places one keyword argument; `nargs` positional arguments were placed already.
void place_keyword(const char* function, std::span<const Param> params, Py_ssize_t nargs,
                   PyObject* name, PyObject* value, PyObject** out) {
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        type_error(prefix(function) + " keywords must be strings");
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (std::strcmp(params[i].name, text) != 0) {
            continue;
        }
        if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
            type_error(prefix(function) + " got multiple values for argument '" + text + "'");
        }
        out[i] = value;
        return;
    }
    type_error(prefix(function) + " got an unexpected keyword argument '" + text + "'");
}

void place_positional(const char* function, std::span<const Param> params, PyObject* const* args,
                      Py_ssize_t nargs, PyObject** out) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        out[i] = nullptr;
    }
    if (nargs > static_cast<Py_ssize_t>(params.size())) {
        too_many_positional(function, params, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
}

// After binding, None for a "name=None" parameter means absent.
void finish(const char* function, std::span<const Param> params, PyObject** out) {
    check_missing(function, params, out);
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].presence == Presence::optional_none && out[i] == Py_None) {
            out[i] = nullptr;
        }
    }
}

}  // namespace

void bind_fastcall(const char* function, std::span<const Param> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    place_positional(function, params, args, nargs, out);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        place_keyword(function, params, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    finish(function, params, out);
}

void bind_tuple(const char* function, std::span<const Param> params, PyObject* args,
                PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> positional(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        positional[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    place_positional(function, params, positional.data(), nargs, out);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            place_keyword(function, params, nargs, name, value, out);
        }
    }
    finish(function, params, out);
}

void refuse_keywords(const char* function, PyObject* kwargs) {
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) {
        return;
    }
    Ref no_positional = Ref::steal(check(PyTuple_New(0)));
    bind_tuple(function, {}, no_positional.get(), kwargs, nullptr);
}

}  // namespace velmot::binding

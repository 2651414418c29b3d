// Class objects from ClassDef.
//
// Thread-safety: needs the GIL.
#include "binding/class_def.hpp"

#include <vector>

namespace velmot::binding {
namespace {

// tp_new of classes without a constructor: the interpreter's own refusal text.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    return entry([&]() -> PyObject* {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
        return nullptr;
    });
}

#ifdef PYPY_VERSION
// PyPy ignores a class's missing Py_TPFLAGS_BASETYPE and lets object.__new__ make an instance
// without running tp_new (an object holding no value). Each class is closed there by hand: an
// __init_subclass__ that refuses every subclass with CPython's text, and an abstract method that
// makes object.__new__ refuse; type.__call__ still reaches the class's own tp_new.
PyObject* refuse_subclass(PyObject* base, PyObject*, PyObject*) {
    return entry([&]() -> PyObject* {
        PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type",
                     reinterpret_cast<PyTypeObject*>(base)->tp_name);
        return nullptr;
    });
}

PyMethodDef g_refuse_subclass_def{
    "__init_subclass__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&refuse_subclass)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

void close_class(PyObject* type) {
    Ref function = Ref::steal(check(PyCFunction_New(&g_refuse_subclass_def, type)));
    Ref method = Ref::steal(check(PyClassMethod_New(function.get())));
    check_status(PyObject_SetAttrString(type, "__init_subclass__", method.get()));
    Ref listed = Ref::steal(check(Py_BuildValue("(s)", "__new__")));
    Ref names = Ref::steal(check(PyFrozenSet_New(listed.get())));
    check_status(PyObject_SetAttrString(type, "__abstractmethods__", names.get()));
}
#endif

}  // namespace

PyTypeObject* create_class(const ClassDef& definition, Py_ssize_t basicsize, destructor dealloc) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(definition.constructor != nullptr
                                                            ? definition.constructor
                                                            : &refuse_new)});
    if (definition.doc != nullptr) {
        slots.push_back({Py_tp_doc, const_cast<char*>(definition.doc)});
    }
    if (definition.methods != nullptr) {
        slots.push_back({Py_tp_methods, definition.methods});
    }
    if (definition.getters != nullptr) {
        slots.push_back({Py_tp_getset, definition.getters});
    }
    if (definition.repr != nullptr) {
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(definition.repr)});
    }
    if (definition.call != nullptr) {
        slots.push_back({Py_tp_call, reinterpret_cast<void*>(definition.call)});
    }
    slots.push_back({0, nullptr});
    // The interpreter keeps pointing at `qualified_name`, a string with static storage.
    PyType_Spec shape{definition.qualified_name, static_cast<int>(basicsize), 0, Py_TPFLAGS_DEFAULT,
                      slots.data()};
    PyObject* type = check(PyType_FromSpec(&shape));
#ifdef PYPY_VERSION
    Ref owner = Ref::steal(type);
    close_class(type);
    type = owner.release();
#endif
    return reinterpret_cast<PyTypeObject*>(type);
}

void raise_wrong_receiver(const char* function, PyTypeObject* expected, PyObject* self) {
    PyErr_Format(PyExc_TypeError, "%s() needs a '%s' object as receiver, not '%s'", function,
                 expected != nullptr ? expected->tp_name : "?",
                 self != nullptr ? Py_TYPE(self)->tp_name : "NULL");
    throw_python_error();
}

}  // namespace velmot::binding

// Class objects from ClassDef.
//
// Thread-safety: needs the GIL.
#include "binding/class_def.hpp"

#include <cstring>
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

#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030A0000
// CPython before 3.10 keeps the class docstring in tp_doc without its "Name(params)\n--\n\n"
// line, and type.__text_signature__ reads that line from tp_doc: the whole text is put back.
// __doc__ (in the class's dict) stays without the line. tp_doc is the type's own allocation.
void keep_text_signature(PyTypeObject* type, const char* doc) {
    const std::size_t size = std::strlen(doc) + 1;
    void* whole = PyObject_Malloc(size);
    if (whole == nullptr) {
        PyErr_NoMemory();
        throw_python_error();
    }
    std::memcpy(whole, doc, size);
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = static_cast<const char*>(whole);
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
    Ref type = Ref::steal(check(PyType_FromSpec(&shape)));
#ifdef PYPY_VERSION
    close_class(type.get());
#elif PY_VERSION_HEX < 0x030A0000
    if (definition.doc != nullptr) {
        keep_text_signature(reinterpret_cast<PyTypeObject*>(type.get()), definition.doc);
    }
#endif
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void raise_wrong_receiver(const char* function, PyTypeObject* expected, PyObject* self) {
    PyErr_Format(PyExc_TypeError, "%s() needs a '%s' object as receiver, not '%s'", function,
                 expected != nullptr ? expected->tp_name : "?",
                 self != nullptr ? Py_TYPE(self)->tp_name : "NULL");
    throw_python_error();
}

}  // namespace velmot::binding

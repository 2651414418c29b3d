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
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&shape)));
}

void raise_wrong_receiver(const char* function, PyTypeObject* expected, PyObject* self) {
    PyErr_Format(PyExc_TypeError, "%s() needs a '%s' object as receiver, not '%s'", function,
                 expected != nullptr ? expected->tp_name : "?",
                 self != nullptr ? Py_TYPE(self)->tp_name : "NULL");
    throw_python_error();
}

}  // namespace velmot::binding

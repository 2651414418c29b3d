// Python classes whose objects each hold exactly one internal C++ value.
//
// Layout: the object header, the borrow counter, a "live" mark and the value, placement-constructed
// when the object is created and destroyed in tp_dealloc. Each class object is built once per
// process from a ClassDef (PyType_FromSpec, so it works on PyPy too) and leaked on purpose.
// Classes are final (no Py_TPFLAGS_BASETYPE) and take no part in cyclic GC. In a process forked
// after the import, values are not destroyed (leaked with their resources).
//
// A class is declared with static tables; every slot and method body goes through the helpers
// below, which run the entry-point steps in order: bind arguments -> check the receiver and take
// the borrow -> convert arguments in parameter order -> body -> release the borrow (every path).
//
//     constexpr Signature<ByteSeq> k_send{"CanDevice.send", {arg("data")}};
//     PyObject* send(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
//         return call_method<Device, Access::exclusive>(k_send, self, a, n, kw,
//             [](Device& d, std::vector<std::uint8_t> data) { return d.send(data); });
//     }
//     PyMethodDef g_methods[] = {fastcall_def("send", send, "send($self, data)\n--\n\n..."),
//                                k_end_of_methods};
//     const ClassDef k_class{"velmot.CanDevice", "CanDevice(interface)\n--\n\n...", g_methods};
//     ... catalog.add("CanDevice", class_item<Device, k_class>);
//
// Thread-safety: needs the GIL. The class pointer of each T is written once, under the GIL.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <tuple>
#include <utility>

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/entry.hpp"
#include "binding/exit_steps.hpp"
#include "binding/function_def.hpp"
#include "binding/ref.hpp"
#include "binding/signature.hpp"
#include "common/panic.hpp"

namespace velmot::binding {

template <class T>
struct Instance {
    PyObject object_header;
    BorrowFlag borrow;
    bool live;  // the value is constructed
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
    static Instance* from(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }
};

struct ClassDef {
    const char* qualified_name;      // "module.Name": sets __module__ and __name__
    const char* doc;                 // "Name(params)\n--\n\nbody"
    PyMethodDef* methods = nullptr;  // ends with k_end_of_methods
    PyGetSetDef* getters = nullptr;  // ends with k_end_of_getters
    reprfunc repr = nullptr;
    ternaryfunc call = nullptr;
    newfunc constructor = nullptr;  // null: Python code cannot instantiate the class
};

inline constexpr PyGetSetDef k_end_of_getters{nullptr, nullptr, nullptr, nullptr, nullptr};

// A read-only property.
inline PyGetSetDef getter_def(const char* name, getter function, const char* doc) {
    return {name, function, nullptr, doc, nullptr};
}

// Builds the class object (new, leaked). Throws PythonError.
PyTypeObject* create_class(const ClassDef& definition, Py_ssize_t basicsize, destructor dealloc);

// Raises the receiver TypeError naming the object's type and the class; throws PythonError.
[[noreturn]] void raise_wrong_receiver(const char* function, PyTypeObject* expected,
                                       PyObject* self);

template <class T>
inline PyTypeObject* g_class_object = nullptr;

// The class object of T, or null before build_class<T> ran.
template <class T>
PyTypeObject* class_object() noexcept {
    return g_class_object<T>;
}

template <class T>
void instance_dealloc(PyObject* self) {
    Instance<T>* instance = Instance<T>::from(self);
    entry_dealloc(self, [&] {
        if (instance->live) {
            instance->live = false;
            // In a forked child the value is left as it is: its destructor could wait for a lock
            // that a thread of the parent held at the fork (see forked_after_import).
            if (!forked_after_import()) {
                instance->value().~T();
            }
        }
    });
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their class
}

// The class object of T, built on first call from `definition`.
template <class T>
PyTypeObject* build_class(const ClassDef& definition) {
    if (g_class_object<T> == nullptr) {
        g_class_object<T> = create_class(definition, sizeof(Instance<T>), &instance_dealloc<T>);
    }
    return g_class_object<T>;
}

// Module item factory for the class of T.
template <class T, const ClassDef& Definition>
Ref class_item(PyObject* /*module*/) {
    return Ref::new_ref(reinterpret_cast<PyObject*>(build_class<T>(Definition)));
}

// A new Python object of T's class (which must be built) holding `value`.
template <class T>
Ref new_instance(T value, PyTypeObject* type = class_object<T>()) {
    if (type == nullptr) {
        velmot::panic("new_instance: the class is not built yet");
    }
    PyObject* object = check(type->tp_alloc(type, 0));
    Instance<T>* instance = Instance<T>::from(object);
    new (&instance->borrow) BorrowFlag();
    instance->live = false;
    Ref owner = Ref::steal(object);  // frees the object if the value's construction throws
    new (instance->storage) T(std::move(value));
    instance->live = true;
    return owner;
}

// The receiver as an instance of T, or the receiver TypeError.
template <class T>
Instance<T>& receiver(PyObject* self, const char* function) {
    PyTypeObject* type = class_object<T>();
    if (type == nullptr || self == nullptr || !PyObject_TypeCheck(self, type)) {
        raise_wrong_receiver(function, type, self);
    }
    Instance<T>* instance = Instance<T>::from(self);
    if (!instance->live) {
        velmot::panic(std::string(function) + "(): the object holds no value");
    }
    return *instance;
}

// --- entry-point bodies of methods and slots

template <class T, Access Mode, class... Cs, class Body>
PyObject* call_method(const Signature<Cs...>& signature, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return entry([&]() -> PyObject* {
        const BoundArgs<Cs...> bound = bind(signature, args, nargs, kwnames);
        Instance<T>& instance = receiver<T>(self, signature.function);
        BorrowGuard<Mode> borrow(instance.borrow);
        return invoke(body, convert_all(signature, bound), instance.value());
    });
}

// METH_NOARGS method; `function` is "Class.method".
template <class T, Access Mode, class Body>
PyObject* call_method_noargs(const char* function, PyObject* self, Body&& body) {
    return entry([&]() -> PyObject* {
        Instance<T>& instance = receiver<T>(self, function);
        BorrowGuard<Mode> borrow(instance.borrow);
        return invoke(body, std::tuple<>{}, instance.value());
    });
}

// Getter slot (shared access); `function` is "Class.name".
template <class T, class Body>
PyObject* call_getter(const char* function, PyObject* self, Body&& body) {
    return call_method_noargs<T, Access::shared>(function, self, body);
}

// tp_repr slot (shared access); the body returns the text.
template <class T, class Body>
PyObject* call_repr(PyObject* self, Body&& body) {
    return call_method_noargs<T, Access::shared>("__repr__", self, body);
}

// tp_call slot.
template <class T, Access Mode, class... Cs, class Body>
PyObject* call_slot(const Signature<Cs...>& signature, PyObject* self, PyObject* args,
                    PyObject* kwargs, Body&& body) {
    return entry([&]() -> PyObject* {
        const BoundArgs<Cs...> bound = bind(signature, args, kwargs);
        Instance<T>& instance = receiver<T>(self, signature.function);
        BorrowGuard<Mode> borrow(instance.borrow);
        return invoke(body, convert_all(signature, bound), instance.value());
    });
}

// tp_call slot of a callable that takes positional arguments only (shared access): any keyword is
// refused with the binder's unexpected-keyword TypeError; the body gets the value and the
// argument tuple and returns a new reference (Ref).
template <class T, class Body>
PyObject* call_slot_positional(const char* function, PyObject* self, PyObject* args,
                               PyObject* kwargs, Body&& body) {
    return entry([&]() -> PyObject* {
        refuse_keywords(function, kwargs);
        Instance<T>& instance = receiver<T>(self, function);
        BorrowGuard<Access::shared> borrow(instance.borrow);
        return body(instance.value(), args).release();
    });
}

// tp_new slot: the body returns the value (or Result of it); the object is allocated only after
// binding and conversion succeeded.
template <class T, class... Cs, class Body>
PyObject* construct(const Signature<Cs...>& signature, PyTypeObject* type, PyObject* args,
                    PyObject* kwargs, Body&& body) {
    return entry([&]() -> PyObject* {
        const BoundArgs<Cs...> bound = bind(signature, args, kwargs);
        auto values = convert_all(signature, bound);
        return std::apply(
            [&](auto&&... converted) -> PyObject* {
                auto made = body(std::move(converted)...);
                if constexpr (std::is_same_v<decltype(made), T>) {
                    return new_instance<T>(std::move(made), type).release();
                } else {
                    return new_instance<T>(unwrap(std::move(made)), type).release();
                }
            },
            std::move(values));
    });
}

}  // namespace velmot::binding

// Building a module from named items. Subsystems put item factories into an ItemCatalog through
// their registration hooks; `build_module` then adds the items in the order of the module's name
// table, whatever order the hooks ran in. Each addition sets the module attribute and appends the
// name to `__all__` (created on the first addition). A name of the table without a factory is
// skipped; a factory under a name missing from the table, or two under one name, is a fatal error.
//
// Thread-safety: needs the GIL (runs inside the module's init function).
#pragma once

#include <Python.h>

#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/ref.hpp"

namespace velmot::binding {

// Creates the item (a class or a function object) to add under its name; throws PythonError.
using ItemFactory = Ref (*)(PyObject* module);

class ItemCatalog {
public:
    // Registers `factory` under `name` (a string with static storage).
    void add(const char* name, ItemFactory factory);
    // The factory registered under `name`, or null.
    ItemFactory find(std::string_view name) const noexcept;
    // Names registered so far, in registration order.
    std::vector<const char*> names() const;

private:
    std::vector<std::pair<const char*, ItemFactory>> items_;
};

using RegisterHook = void (*)(ItemCatalog& catalog);

// Creates the module from `definition`, runs every hook, then adds the items in `names` order.
// Returns the new module, or null with the exception set (the partly built module is dropped).
PyObject* build_module(PyModuleDef& definition, std::span<const char* const> names,
                       std::span<const RegisterHook> hooks);

}  // namespace velmot::binding

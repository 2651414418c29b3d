// Module building from an item catalog.
//
// Thread-safety: needs the GIL.
#include "binding/module_items.hpp"

#include <algorithm>
#include <string>

#include "binding/error.hpp"
#include "common/panic.hpp"

namespace velmot::binding {
namespace {

void check_catalog_against_table(const ItemCatalog& catalog, std::span<const char* const> names) {
    for (const char* registered : catalog.names()) {
        const bool listed = std::any_of(names.begin(), names.end(), [&](const char* name) {
            return std::string_view(name) == registered;
        });
        if (!listed) {
            velmot::panic(std::string("module item '") + registered +
                          "' is not in the module's name table");
        }
    }
}

void add_item(PyObject* module, PyObject* all, const char* name, PyObject* item) {
    check_status(PyObject_SetAttrString(module, name, item));
    Ref text = Ref::steal(check(PyUnicode_FromString(name)));
    check_status(PyList_Append(all, text.get()));
}

}  // namespace

void ItemCatalog::add(const char* name, ItemFactory factory) {
    if (find(name) != nullptr) {
        velmot::panic(std::string("module item '") + name + "' is registered twice");
    }
    items_.emplace_back(name, factory);
}

ItemFactory ItemCatalog::find(std::string_view name) const noexcept {
    for (const auto& [registered, factory] : items_) {
        if (name == registered) {
            return factory;
        }
    }
    return nullptr;
}

std::vector<const char*> ItemCatalog::names() const {
    std::vector<const char*> result;
    result.reserve(items_.size());
    for (const auto& item : items_) {
        result.push_back(item.first);
    }
    return result;
}

PyObject* build_module(PyModuleDef& definition, std::span<const char* const> names,
                       std::span<const RegisterHook> hooks) {
    Ref module = Ref::steal(PyModule_Create(&definition));
    if (!module) {
        return nullptr;
    }
    ItemCatalog catalog;
    for (RegisterHook hook : hooks) {
        hook(catalog);
    }
    check_catalog_against_table(catalog, names);
    Ref all;  // created with the first item, so a module without items has no __all__
    for (const char* name : names) {
        ItemFactory factory = catalog.find(name);
        if (factory == nullptr) {
            continue;
        }
        if (!all) {
            all = Ref::steal(check(PyList_New(0)));
            check_status(PyObject_SetAttrString(module.get(), "__all__", all.get()));
        }
        Ref item = factory(module.get());
        add_item(module.get(), all.get(), name, check(item.get()));
    }
    return module.release();
}

}  // namespace velmot::binding

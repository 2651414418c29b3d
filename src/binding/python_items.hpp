// Registration hooks through which each subsystem contributes its classes and functions to the
// `velmot` module. Each is defined in its subsystem's py_items.cpp; the module entry runs them all
// and adds the items in the order of its own name table.
//
// Thread-safety: called once, from the module's init function, with the GIL held.
#pragma once

#include "binding/module_items.hpp"

namespace velmot::comm::can {
void register_python_items(binding::ItemCatalog& catalog);
}

namespace velmot::motor {
void register_python_items(binding::ItemCatalog& catalog);
}

namespace velmot::task {
void register_python_items(binding::ItemCatalog& catalog);
}

namespace velmot::timer {
void register_python_items(binding::ItemCatalog& catalog);
}

// Probe functions that drive the shared runtime from Python: starting it, and waiting for a
// signal through its chaining signal listener with the GIL released.
#pragma once

#include "binding/module_items.hpp"

namespace probe {

// Adds "start_runtime" and "wait_for_signal".
void register_runtime_functions(velmot::binding::ItemCatalog& catalog);

}  // namespace probe

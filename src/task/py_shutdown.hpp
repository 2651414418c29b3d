// block_all, block_until and shutdown_all: the blocking functions a control script ends with.
//
// Thread-safety: everything here runs with the GIL held, except the waits, which release it.
#pragma once

#include "binding/module_items.hpp"

namespace velmot::task {

// Adds shutdown_all, block_all and block_until.
void register_shutdown_items(binding::ItemCatalog& catalog);

}  // namespace velmot::task

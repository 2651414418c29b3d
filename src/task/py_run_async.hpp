// RunAsync and run_async: the background-task decorator. Calling a decorated function starts one
// background task with the call's positional arguments and returns its AsyncHandle at once.
//
// Thread-safety: everything here runs with the GIL held.
#pragma once

#include "binding/module_items.hpp"

namespace velmot::task {

// Adds RunAsync and run_async.
void register_run_async_items(binding::ItemCatalog& catalog);

}  // namespace velmot::task

// TaskManager and get_task_manager: the script's window on the process-wide task registry. A
// TaskManager object holds no state; every member goes straight to the one registry, so all such
// objects show the same numbers.
//
// Thread-safety: everything here runs with the GIL held, except wait_all and shutdown, which
// release it while they wait.
#pragma once

#include "binding/module_items.hpp"

namespace velmot::task {

// Adds TaskManager and get_task_manager.
void register_task_manager_items(binding::ItemCatalog& catalog);

}  // namespace velmot::task

// Python items of the task subsystem: AsyncHandle, RunAsync, run_async, TaskManager,
// get_task_manager, shutdown_all, block_all and block_until, registered into the module's item
// catalog.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include "binding/python_items.hpp"
#include "task/py_async_handle.hpp"
#include "task/py_run_async.hpp"
#include "task/py_shutdown.hpp"
#include "task/py_task_manager.hpp"

namespace velmot::task {

void register_python_items(binding::ItemCatalog& catalog) {
    catalog.add("AsyncHandle", &async_handle_class_item);
    register_run_async_items(catalog);
    register_task_manager_items(catalog);
    register_shutdown_items(catalog);
}

}  // namespace velmot::task

// Python items of the task subsystem: AsyncHandle, RunAsync, run_async, TaskManager,
// get_task_manager, shutdown_all, block_all and block_until, registered into the module's item
// catalog; and the exit step that stops every timer before the interpreter exits.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include "binding/exit_steps.hpp"
#include "binding/python_items.hpp"
#include "task/py_async_handle.hpp"
#include "task/py_run_async.hpp"
#include "task/py_shutdown.hpp"
#include "task/py_task_manager.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {

namespace {

// At exit, no timer call may still come: stop every activity and wait for the calls in flight.
void stop_timers_at_exit(runtime::Clock::time_point deadline) {
    task_manager().stop_all();
    (void)task_manager().wait_all_until(deadline);
}

}  // namespace

void register_python_items(binding::ItemCatalog& catalog) {
    binding::add_exit_step(binding::ExitStage::stop_timers, &stop_timers_at_exit);
    catalog.add("AsyncHandle", &async_handle_class_item);
    register_run_async_items(catalog);
    register_task_manager_items(catalog);
    register_shutdown_items(catalog);
}

}  // namespace velmot::task

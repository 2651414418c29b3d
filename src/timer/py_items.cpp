// Python items of the timer subsystem: the decorators (Timer, PrecisionTimer, timer,
// precision_timer), TimerWrapper and TimerHandle, registered into the module's item catalog.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include "binding/python_items.hpp"
#include "timer/py_decorators.hpp"
#include "timer/py_timer_handle.hpp"
#include "timer/py_timer_wrapper.hpp"

namespace velmot::timer {

void register_python_items(binding::ItemCatalog& catalog) {
    register_decorator_items(catalog);
    catalog.add("TimerWrapper", &timer_wrapper_class_item);
    catalog.add("TimerHandle", &timer_handle_class_item);
}

}  // namespace velmot::timer

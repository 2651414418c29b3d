// The timer decorators: the `timer` and `precision_timer` functions and the `Timer` and
// `PrecisionTimer` classes they return. Applying a decorator to a callable gives a TimerWrapper.
//
// Thread-safety: everything here runs with the GIL held.
#pragma once

#include "binding/module_items.hpp"

namespace velmot::timer {

// Adds Timer, PrecisionTimer, timer and precision_timer.
void register_decorator_items(binding::ItemCatalog& catalog);

}  // namespace velmot::timer

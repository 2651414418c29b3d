// TimerWrapper: what a timer decorator turns a function into. Calling it starts one new timer
// (with the call's positional arguments) and returns its TimerHandle; it can be called any number
// of times.
//
// Ownership: holds one reference to the decorated callable.
// Thread-safety: used under the GIL. A start may run on any Python thread, including one that
// drives the shared runtime (a background task's function).
#pragma once

#include "binding/module_items.hpp"
#include "binding/ref.hpp"
#include "timer/precision.hpp"

namespace velmot::timer {

struct TimerWrapperState {
    double frequency;  // as given to the decorator; its period was checked at decoration
    binding::Ref func;
    TimerPrecision precision;
};

// A new TimerWrapper object (the class must be built). Throws PythonError.
binding::Ref new_timer_wrapper(TimerWrapperState state);

// Module item factory of the TimerWrapper class.
binding::Ref timer_wrapper_class_item(PyObject* module);

}  // namespace velmot::timer

// The Python class Motor: a broadcast group on one CAN interface. Each object owns one internal
// Motor; collecting the object cancels the group's feedback receiver.
//
// Thread-safety: needs the GIL; the Motor itself is thread-safe, so every method takes shared
// access.
#pragma once

#include "binding/ref.hpp"

namespace velmot::motor {

// Module item factory of the Motor class.
binding::Ref motor_class_item(PyObject* module);

}  // namespace velmot::motor

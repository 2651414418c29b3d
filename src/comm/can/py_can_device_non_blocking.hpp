// The Python class CanDeviceNonBlocking: a raw CAN device whose background I/O task owns the
// socket (CanDeviceAsync); sends only queue, receives take frames the task has read.
//
// Thread-safety: entry points run with the GIL held, which none of them releases; every method
// takes a shared borrow (the device's queues are safe for concurrent use).
#pragma once

#include <Python.h>

#include "binding/ref.hpp"

namespace velmot::comm::can {

// Module item factory of the CanDeviceNonBlocking class.
binding::Ref can_device_non_blocking_class_item(PyObject* module);

}  // namespace velmot::comm::can

// The Python class CanDevice: a blocking raw CAN device over CanDeviceSync.
//
// Thread-safety: entry points run with the GIL held, which none of them releases; send and
// receive take an exclusive borrow of the object.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"

namespace velmot::comm::can {

// Module item factory of the CanDevice class.
binding::Ref can_device_class_item(PyObject* module);

}  // namespace velmot::comm::can

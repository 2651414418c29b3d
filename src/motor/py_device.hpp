// The Python class Device: one driver of a broadcast group. Each object holds one share of an
// internal Device; objects come only from Motor.add_device and stay usable after the Motor goes.
//
// Thread-safety: needs the GIL; the Device itself is thread-safe, so every method takes shared
// access.
#pragma once

#include <memory>

#include "binding/ref.hpp"
#include "motor/device.hpp"

namespace velmot::motor {

// A new Device object holding `device` (the class must be built). Throws PythonError.
binding::Ref new_device_object(std::shared_ptr<Device> device);

// Module item factory of the Device class.
binding::Ref device_class_item(PyObject* module);

}  // namespace velmot::motor

// Python items of the motor subsystem: the classes Motor and Device, registered into the module's
// item catalog.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include "binding/python_items.hpp"
#include "motor/py_device.hpp"
#include "motor/py_motor.hpp"

namespace velmot::motor {

void register_python_items(binding::ItemCatalog& catalog) {
    catalog.add("Motor", &motor_class_item);
    catalog.add("Device", &device_class_item);
}

}  // namespace velmot::motor

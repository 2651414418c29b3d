// Python items of the comm::can subsystem: the raw CAN classes CanDevice and
// CanDeviceNonBlocking, registered into the module's item catalog.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include "binding/python_items.hpp"
#include "comm/can/py_can_device.hpp"
#include "comm/can/py_can_device_non_blocking.hpp"

namespace velmot::comm::can {

void register_python_items(binding::ItemCatalog& catalog) {
    catalog.add("CanDevice", &can_device_class_item);
    catalog.add("CanDeviceNonBlocking", &can_device_non_blocking_class_item);
}

}  // namespace velmot::comm::can

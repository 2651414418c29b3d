// Python items of the comm::can subsystem: the raw CAN classes CanDevice and
// CanDeviceNonBlocking, registered into the module's item catalog; and the exit step that writes
// the frames still queued on every CanDeviceAsync before the interpreter exits.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include <string>

#include "binding/exit_steps.hpp"
#include "binding/python_items.hpp"
#include "comm/can/outbox.hpp"
#include "comm/can/py_can_device.hpp"
#include "comm/can/py_can_device_non_blocking.hpp"
#include "common/console.hpp"

namespace velmot::comm::can {

namespace {

constexpr ConsoleKind k_exit_kind{"can: frames not written at exit"};

void flush_frames_at_exit(runtime::Clock::time_point deadline) {
    const std::uint64_t left = wait_for_empty_outboxes(deadline);
    if (left != 0) {
        write_stderr(k_exit_kind, "[velmot] " + std::to_string(left) +
                                      " queued CAN frames were not written at exit\n");
    }
}

}  // namespace

void register_python_items(binding::ItemCatalog& catalog) {
    binding::add_exit_step(binding::ExitStage::flush_can, &flush_frames_at_exit);
    catalog.add("CanDevice", &can_device_class_item);
    catalog.add("CanDeviceNonBlocking", &can_device_non_blocking_class_item);
}

}  // namespace velmot::comm::can

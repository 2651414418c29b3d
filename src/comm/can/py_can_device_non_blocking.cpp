// CanDeviceNonBlocking: constructor, send, try_receive, receive_timeout, interface.
//
// send validates the frame before queuing it and raises OSError for a payload above 8 bytes or an
// identifier above 0x1FFFFFFF, so a frame that can never be sent is not reported as queued.
//
// Blocks: send and try_receive never wait (try_receive answers None while another thread's
// receive_timeout holds the receive queue). receive_timeout takes a frame already queued with the
// GIL held; otherwise it waits with the GIL released, running the signal check every 50 ms (with
// the receive lock let go), so Ctrl+C raises KeyboardInterrupt there. The constructor waits for
// provisioning the same way. Cancel safety: an interrupted receive_timeout takes no frame.
// close() (also at the end of a `with` block) writes the queued frames within 1 s with the GIL
// released, ends the I/O task and closes the socket; every later call raises OSError "CAN device
// is closed", a second close does nothing.
// Thread-safety: every method may be called from several threads at once (shared borrows).
#include "comm/can/py_can_device_non_blocking.hpp"

#include <memory>

#include "binding/class_def.hpp"
#include "binding/interruptible_wait.hpp"
#include "comm/can/can_device_async.hpp"
#include "comm/can/device_closed.hpp"
#include "comm/can/py_can_message.hpp"

namespace velmot::comm::can {
namespace {

using namespace binding;

// The Python object's value: one share of the device.
using DeviceShare = std::shared_ptr<CanDeviceAsync>;

constexpr Signature<Str> k_new{"CanDeviceNonBlocking", {arg("interface")}};
constexpr Signature<U32, ByteSeq> k_send{"CanDeviceNonBlocking.send", {arg("id"), arg("data")}};
constexpr Signature<U64> k_receive_timeout{"CanDeviceNonBlocking.receive_timeout",
                                           {arg("timeout_ms")}};
constexpr Signature<Object, Object, Object> k_exit{
    "CanDeviceNonBlocking.__exit__", {arg("exc_type"), arg("exc_value"), arg("traceback")}};

// The device, or the closed error.
Result<const CanDeviceAsync*> open_device(const DeviceShare& device) {
    if (device->is_closed()) {
        return device_closed_error();
    }
    return device.get();
}

PyObject* construct_device(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<DeviceShare>(k_new, type, args, kwargs, [](std::string interface) {
        return wait_without_gil([&](const InterruptPoll& interrupt) {
            return CanDeviceAsync::create(interface, interrupt);
        });
    });
}

Result<void> send_frame(const CanDeviceAsync& device, std::uint32_t id,
                        const std::vector<std::uint8_t>& data) {
    auto message = CanMessage::make(id, data);
    if (!message) {
        return std::move(message).error();
    }
    return device.send_nonblocking(std::move(message).value());
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<DeviceShare, Access::shared>(
        k_send, self, args, nargs, kwnames,
        [](DeviceShare& device, std::uint32_t id, const std::vector<std::uint8_t>& data) {
            return send_frame(*device, id, data);
        });
}

PyObject* try_receive(PyObject* self, PyObject*) {
    return call_method_noargs<DeviceShare, Access::shared>("CanDeviceNonBlocking.try_receive", self,
                                                           [](DeviceShare& device) -> Result<Ref> {
                                                               auto open = open_device(device);
                                                               if (!open) {
                                                                   return std::move(open).error();
                                                               }
                                                               auto queued = (*open)->try_receive();
                                                               if (!queued) {
                                                                   return std::move(queued).error();
                                                               }
                                                               return message_to_python(*queued);
                                                           });
}

Result<Ref> receive_within(const DeviceShare& device, std::uint64_t timeout_ms) {
    if (device->is_closed()) {
        return device_closed_error();
    }
    auto queued = device->try_receive();
    if (!queued) {
        return std::move(queued).error();
    }
    if (*queued || timeout_ms == 0) {
        return message_to_python(*queued);
    }
    auto received = wait_without_gil([share = device, timeout_ms](const InterruptPoll& interrupt) {
        return share->receive_timeout(timeout_ms, interrupt);
    });
    return message_to_python(unwrap(std::move(received)));
}

PyObject* receive_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return call_method<DeviceShare, Access::shared>(k_receive_timeout, self, args, nargs, kwnames,
                                                    receive_within);
}

PyObject* interface(PyObject* self, PyObject*) {
    return call_method_noargs<DeviceShare, Access::shared>(
        "CanDeviceNonBlocking.interface", self, [](DeviceShare& device) -> Result<std::string> {
            auto open = open_device(device);
            if (!open) {
                return std::move(open).error();
            }
            return (*open)->interface();
        });
}

void close_device(DeviceShare& device) {
    wait_without_gil([&](const InterruptPoll& interrupt) { return device->close(interrupt); });
}

PyObject* close_method(PyObject* self, PyObject*) {
    return call_method_noargs<DeviceShare, Access::shared>("CanDeviceNonBlocking.close", self,
                                                           close_device);
}

PyObject* enter_method(PyObject* self, PyObject*) {
    return call_method_noargs<DeviceShare, Access::shared>(
        "CanDeviceNonBlocking.__enter__", self, [self](DeviceShare& device) -> Result<Ref> {
            auto open = open_device(device);
            if (!open) {
                return std::move(open).error();
            }
            return Ref::new_ref(self);
        });
}

PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<DeviceShare, Access::shared>(
        k_exit, self, args, nargs, kwnames,
        [](DeviceShare& device, Ref, Ref, Ref) { close_device(device); });
}

PyMethodDef g_methods[] = {
    fastcall_def("send", send,
                 "send($self, id, data)\n--\n\n"
                 "Send a CAN frame (non-blocking)\n\n"
                 "Args:\n"
                 "    id: CAN frame ID\n"
                 "    data: Data bytes to send (up to 8 bytes)"),
    noargs_def("try_receive", try_receive,
               "try_receive($self)\n--\n\n"
               "Try to receive a CAN frame (non-blocking)\n\n"
               "Returns:\n"
               "    Tuple of (id, data) if message available, None otherwise"),
    fastcall_def("receive_timeout", receive_timeout,
                 "receive_timeout($self, timeout_ms)\n--\n\n"
                 "Receive a CAN frame with timeout\n\n"
                 "Args:\n"
                 "    timeout_ms: Timeout in milliseconds\n\n"
                 "Returns:\n"
                 "    Tuple of (id, data) if message received, None if timeout"),
    noargs_def("interface", interface, "interface($self)\n--\n\nGet the interface name"),
    noargs_def(
        "close", close_method,
        "close($self)\n--\n\n"
        "Write the queued frames (within 1 s), stop the background task and close the socket.\n\n"
        "Every later call raises OSError; closing twice does nothing."),
    noargs_def("__enter__", enter_method, "__enter__($self)\n--\n\nReturn the device itself"),
    fastcall_def("__exit__", exit_method,
                 "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the device"),
    k_end_of_methods,
};

const ClassDef k_class{
    "velmot.CanDeviceNonBlocking",
    "CanDeviceNonBlocking(interface)\n--\n\n"
    "高级模式的异步 CAN 设备（非阻塞式 API）。\n\n"
    "使用异步运行时的后台任务处理 CAN 通信，提供非阻塞的 API。",
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    construct_device,
};

}  // namespace

Ref can_device_non_blocking_class_item(PyObject* module) {
    return class_item<DeviceShare, k_class>(module);
}

}  // namespace velmot::comm::can

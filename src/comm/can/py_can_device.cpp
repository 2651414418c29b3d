// CanDevice: constructor, send, receive, interface.
//
// Blocks: the constructor while provisioning runs `ip` / `sudo`, send while the socket buffer is
// full, receive until a frame arrives. Each first tries with the GIL held (a frame already waiting
// is taken, a frame the socket can take is written, at no extra cost) and only then waits with the
// GIL released, running the signal check every 50 ms, so other threads keep running and Ctrl+C
// raises KeyboardInterrupt in a script blocked here. Cancel safety: an interrupted receive takes
// no frame (the next receive gets it), an interrupted send writes nothing, an interrupted
// constructor kills and reaps its child.
// close() (also at the end of a `with` block) closes the socket at once; every later call raises
// OSError "CAN device is closed", a second close does nothing. It takes the exclusive borrow, so
// a close from another thread while send or receive waits raises "Already borrowed" instead of
// pulling the socket from under the wait.
// Thread-safety: send and receive hold the object's exclusive borrow also while they wait, so a
// second thread using the same CanDevice meanwhile gets RuntimeError "Already borrowed".
#include "comm/can/py_can_device.hpp"

#include "binding/class_def.hpp"
#include "binding/interruptible_wait.hpp"
#include "comm/can/can_device_sync.hpp"
#include "comm/can/device_closed.hpp"
#include "comm/can/py_can_message.hpp"

namespace velmot::comm::can {
namespace {

using namespace binding;

constexpr Signature<Str> k_new{"CanDevice", {arg("interface")}};
constexpr Signature<U32, ByteSeq> k_send{"CanDevice.send", {arg("id"), arg("data")}};
constexpr Signature<Object, Object, Object> k_exit{
    "CanDevice.__exit__", {arg("exc_type"), arg("exc_value"), arg("traceback")}};

PyObject* construct_device(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<CanDeviceSync>(k_new, type, args, kwargs, [](std::string interface) {
        return wait_without_gil([&](const InterruptPoll& interrupt) {
            return CanDeviceSync::create(interface, interrupt);
        });
    });
}

Result<void> send_frame(CanDeviceSync& device, std::uint32_t id,
                        const std::vector<std::uint8_t>& data) {
    auto frame = build_kernel_frame(id, data);
    if (!frame) {
        return std::move(frame).error();
    }
    auto written = device.try_send(*frame);
    if (!written) {
        return std::move(written).error();
    }
    if (written.value()) {
        return {};
    }
    return wait_without_gil(
        [&](const InterruptPoll& interrupt) { return device.send(*frame, interrupt); });
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<CanDeviceSync, Access::exclusive>(
        k_send, self, args, nargs, kwnames,
        [](CanDeviceSync& device, std::uint32_t id, const std::vector<std::uint8_t>& data) {
            return send_frame(device, id, data);
        });
}

Ref receive_frame(CanDeviceSync& device) {
    if (auto waiting = unwrap(device.try_receive())) {
        return message_to_python(*waiting);
    }
    auto received =
        wait_without_gil([&](const InterruptPoll& interrupt) { return device.receive(interrupt); });
    return message_to_python(unwrap(std::move(received)));
}

PyObject* receive(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::exclusive>("CanDevice.receive", self,
                                                                receive_frame);
}

PyObject* interface(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::shared>(
        "CanDevice.interface", self, [](CanDeviceSync& device) -> Result<std::string> {
            if (device.is_closed()) {
                return device_closed_error();
            }
            return device.interface();
        });
}

PyObject* close_method(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::exclusive>(
        "CanDevice.close", self, [](CanDeviceSync& device) { device.close(); });
}

PyObject* enter_method(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::shared>(
        "CanDevice.__enter__", self, [self](CanDeviceSync& device) -> Result<Ref> {
            if (device.is_closed()) {
                return device_closed_error();
            }
            return Ref::new_ref(self);
        });
}

PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<CanDeviceSync, Access::exclusive>(
        k_exit, self, args, nargs, kwnames,
        [](CanDeviceSync& device, Ref, Ref, Ref) { device.close(); });
}

PyMethodDef g_methods[] = {
    fastcall_def("send", send,
                 "send($self, id, data)\n--\n\n"
                 "Send a CAN frame (blocking)\n\n"
                 "Args:\n"
                 "    id: CAN frame ID\n"
                 "    data: Data bytes to send (up to 8 bytes)"),
    noargs_def("receive", receive,
               "receive($self)\n--\n\n"
               "Receive a CAN frame (blocking)\n\n"
               "Returns:\n"
               "    Tuple of (id, data) where id is u32 and data is bytes"),
    noargs_def("interface", interface, "interface($self)\n--\n\nGet the interface name"),
    noargs_def("close", close_method,
               "close($self)\n--\n\n"
               "Close the socket. Every later call raises OSError; closing twice does nothing."),
    noargs_def("__enter__", enter_method, "__enter__($self)\n--\n\nReturn the device itself"),
    fastcall_def("__exit__", exit_method,
                 "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the device"),
    k_end_of_methods,
};

const ClassDef k_class{
    "velmot.CanDevice",
    "CanDevice(interface)\n--\n\n"
    "简单模式的 CAN 设备（阻塞式 API）。\n\n"
    "此版本使用同步 API，适合简单场景。",
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    construct_device,
};

}  // namespace

Ref can_device_class_item(PyObject* module) {
    return class_item<CanDeviceSync, k_class>(module);
}

}  // namespace velmot::comm::can

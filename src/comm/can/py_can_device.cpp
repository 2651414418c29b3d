// CanDevice: constructor, send, receive, interface.
//
// receive() keeps the GIL while it waits, as every CAN operation does, but wakes every 50 ms to
// run the interpreter's signal check, so Ctrl+C raises KeyboardInterrupt in a script blocked on
// it. Each wake-up ends a read wait that took nothing, so no frame is lost or half-read.
#include "comm/can/py_can_device.hpp"

#include <chrono>

#include "binding/class_def.hpp"
#include "binding/signals.hpp"
#include "comm/can/can_device_sync.hpp"
#include "comm/can/py_can_message.hpp"

namespace velmot::comm::can {
namespace {

using namespace binding;

constexpr auto k_signal_check_period = std::chrono::milliseconds(50);

constexpr Signature<Str> k_new{"CanDevice", {arg("interface")}};
constexpr Signature<U32, ByteSeq> k_send{"CanDevice.send", {arg("id"), arg("data")}};

PyObject* construct_device(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<CanDeviceSync>(k_new, type, args, kwargs,
                                    [](std::string interface) { return CanDeviceSync::create(interface); });
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<CanDeviceSync, Access::exclusive>(
        k_send, self, args, nargs, kwnames,
        [](CanDeviceSync& device, std::uint32_t id, std::vector<std::uint8_t> data) {
            return device.send(id, data);
        });
}

Ref receive_checking_signals(CanDeviceSync& device) {
    for (;;) {
        auto message = unwrap(device.receive_within(k_signal_check_period));
        if (message) return message_to_python(*message);
        run_signal_handlers();
    }
}

PyObject* receive(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::exclusive>("CanDevice.receive", self,
                                                                receive_checking_signals);
}

PyObject* interface(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::shared>(
        "CanDevice.interface", self, [](CanDeviceSync& device) { return device.interface(); });
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

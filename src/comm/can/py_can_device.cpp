// CanDevice: constructor, send, receive, interface.
//
// Blocks: the constructor while provisioning runs `ip` / `sudo`, send while the socket buffer is
// full, receive until a frame arrives. Each first tries with the GIL held (a frame already waiting
// is taken, a frame the socket can take is written, at no extra cost) and only then waits with the
// GIL released, running the signal check every 50 ms, so other threads keep running and Ctrl+C
// raises KeyboardInterrupt in a script blocked here. Cancel safety: an interrupted receive takes
// no frame (the next receive gets it), an interrupted send writes nothing, an interrupted
// constructor kills and reaps its child.
// Thread-safety: send and receive hold the object's exclusive borrow also while they wait, so a
// second thread using the same CanDevice meanwhile gets RuntimeError "Already borrowed".
#include "comm/can/py_can_device.hpp"

#include "binding/class_def.hpp"
#include "binding/interruptible_wait.hpp"
#include "comm/can/can_device_sync.hpp"
#include "comm/can/py_can_message.hpp"

namespace velmot::comm::can {
namespace {

using namespace binding;

constexpr Signature<Str> k_new{"CanDevice", {arg("interface")}};
constexpr Signature<U32, ByteSeq> k_send{"CanDevice.send", {arg("id"), arg("data")}};

PyObject* construct_device(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<CanDeviceSync>(k_new, type, args, kwargs, [](std::string interface) {
        return wait_without_gil(
            [&](const InterruptPoll& interrupt) { return CanDeviceSync::create(interface, interrupt); });
    });
}

Result<void> send_frame(CanDeviceSync& device, std::uint32_t id, const std::vector<std::uint8_t>& data) {
    auto frame = build_kernel_frame(id, data);
    if (!frame) return std::move(frame).error();
    auto written = device.try_send(*frame);
    if (!written) return std::move(written).error();
    if (written.value()) return {};
    return wait_without_gil([&](const InterruptPoll& interrupt) { return device.send(*frame, interrupt); });
}

PyObject* send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<CanDeviceSync, Access::exclusive>(
        k_send, self, args, nargs, kwnames,
        [](CanDeviceSync& device, std::uint32_t id, std::vector<std::uint8_t> data) {
            return send_frame(device, id, data);
        });
}

Ref receive_frame(CanDeviceSync& device) {
    if (auto waiting = unwrap(device.try_receive())) return message_to_python(*waiting);
    auto received = wait_without_gil([&](const InterruptPoll& interrupt) { return device.receive(interrupt); });
    return message_to_python(unwrap(std::move(received)));
}

PyObject* receive(PyObject* self, PyObject*) {
    return call_method_noargs<CanDeviceSync, Access::exclusive>("CanDevice.receive", self, receive_frame);
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

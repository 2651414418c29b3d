// Device: set_target, get_target, get_watch_data, the unicast configuration methods, slot_index,
// node_id and the representation. Once the group's Motor is closed every method raises OSError
// "CAN device is closed"; slot_index, node_id and the representation keep working.
#include "motor/py_device.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "binding/class_def.hpp"
#include "comm/can/device_closed.hpp"
#include "motor/py_foc_mode.hpp"
#include "motor/py_watch_data.hpp"

namespace velmot::motor {
namespace {

using namespace binding;

using DeviceShare = std::shared_ptr<Device>;

constexpr Signature<F32> k_set_target{"Device.set_target", {arg("value")}};
constexpr Signature<Str> k_set_foc_mode{"Device.set_foc_mode", {arg("mode")}};

// Fixed-point with four decimals; NaN, inf and -inf spelled out.
std::string target_text(float target) {
    if (std::isnan(target)) {
        return "NaN";
    }
    if (std::isinf(target)) {
        return target > 0 ? "inf" : "-inf";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(target));
    return text;
}

std::string device_repr(const Device& device) {
    char head[64];
    std::snprintf(head, sizeof head, "Device(slot=%u, node_id=0x%X, target=",
                  static_cast<unsigned>(device.slot_index()),
                  static_cast<unsigned>(device.node_id()));
    return head + target_text(device.get_target()) + ")";
}

// The Device, or the closed error raised (PythonError).
Device& open_device(DeviceShare& device) {
    if (device->is_closed()) {
        unwrap(Result<void>(comm::can::device_closed_error()));
    }
    return *device;
}

template <class Body>
PyObject* device_method(const char* function, PyObject* self, Body body) {
    return call_method_noargs<DeviceShare, Access::shared>(
        function, self, [&](DeviceShare& device) { return body(open_device(device)); });
}

PyObject* set_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<DeviceShare, Access::shared>(k_set_target, self, args, nargs, kwnames,
                                                    [](DeviceShare& device, float value) {
                                                        open_device(device).set_target(value);
                                                        return None{};
                                                    });
}

PyObject* get_target(PyObject* self, PyObject*) {
    return device_method("Device.get_target", self,
                         [](Device& device) { return device.get_target(); });
}

PyObject* get_watch_data(PyObject* self, PyObject*) {
    return device_method("Device.get_watch_data", self, [](Device& device) {
        return watch_data_to_python(device.get_watch_data_blocking());
    });
}

PyObject* enter_configure(PyObject* self, PyObject*) {
    return device_method("Device.enter_configure", self,
                         [](Device& device) { return device.enter_configure(); });
}

PyObject* exit_configure(PyObject* self, PyObject*) {
    return device_method("Device.exit_configure", self,
                         [](Device& device) { return device.exit_configure(); });
}

PyObject* start_calibration(PyObject* self, PyObject*) {
    return device_method("Device.start_calibration", self,
                         [](Device& device) { return device.start_calibration(); });
}

PyObject* set_foc_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<DeviceShare, Access::shared>(
        k_set_foc_mode, self, args, nargs, kwnames,
        [](DeviceShare& device, const std::string& mode) -> Result<void> {
            auto parsed = parse_foc_mode(mode);
            if (!parsed) {
                return std::move(parsed).error();
            }
            return open_device(device).set_foc_mode(*parsed);
        });
}

PyObject* slot_index(PyObject* self, void*) {
    return call_getter<DeviceShare>("Device.slot_index", self,
                                    [](DeviceShare& device) { return device->slot_index(); });
}

PyObject* node_id(PyObject* self, void*) {
    return call_getter<DeviceShare>("Device.node_id", self,
                                    [](DeviceShare& device) { return device->node_id(); });
}

PyObject* repr(PyObject* self) {
    return call_repr<DeviceShare>(self, [](DeviceShare& device) { return device_repr(*device); });
}

PyMethodDef g_methods[] = {
    fastcall_def(
        "set_target", set_target,
        "set_target($self, value)\n--\n\n"
        "设置目标值（物理单位）：电流模式为 A，速度模式为 rad/s，位置模式为 rad。\n\n"
        "只保存目标值，不发送；在下一次 Motor.broadcast() 时按本设备的模式编码为 i16 发出。"),
    noargs_def("get_target", get_target, "get_target($self)\n--\n\n返回当前保存的目标值。"),
    noargs_def(
        "get_watch_data", get_watch_data,
        "get_watch_data($self)\n--\n\n"
        "返回最新的反馈数据：字典 {\"position\": rad, \"speed\": rad/s, \"current\": A}。\n\n"
        "收到第一帧反馈之前各项均为 0.0。"),
    noargs_def("enter_configure", enter_configure,
               "enter_configure($self)\n--\n\n"
               "向本驱动器单播发送进入配置会话的 DR v1 帧：先发字节 3 = 0x73 的帧，再发 0x74 的帧，"
               "两帧的目标地址与字节 6 的 CTL 相同。"),
    noargs_def("exit_configure", exit_configure,
               "exit_configure($self)\n--\n\n"
               "向本驱动器单播发送结束配置会话的帧（group 0 code 0），不改变固件的运行状态。"),
    noargs_def("start_calibration", start_calibration,
               "start_calibration($self)\n--\n\n"
               "在配置会话内向本驱动器单播请求编码器电角度零点，随后阻塞约 200 ms。"),
    fastcall_def("set_foc_mode", set_foc_mode,
                 "set_foc_mode($self, mode)\n--\n\n"
                 "向本驱动器单播发送设置 FOC 模式的帧，mode 为 \"current\"、\"speed\" 或 "
                 "\"position\"（不区分大小写）。\n\n"
                 "必须在配置会话内使用；本设备在广播中的缩放仍按创建时的模式。"),
    k_end_of_methods,
};

PyGetSetDef g_getters[] = {
    getter_def("slot_index", slot_index, "槽位索引（0 到 3）。"),
    getter_def("node_id", node_id,
               "驱动器的节点 ID，即其反馈帧的 CAN ID，与固件中的 node_id 设置相同。"),
    k_end_of_getters,
};

const ClassDef k_class{
    "velmot.Device",
    "广播组中一个驱动器的发送与接收单元，由 Motor.add_device() 创建。\n\n"
    "持有它时可随时调用 set_target(value) 设置下一次广播的目标值，"
    "调用 get_watch_data() 读取最新的反馈。\n\n"
    "广播帧：8 字节，4 个小端 i16：[0..2] 槽位 0，[2..4] 槽位 1，[4..6] 槽位 2，[6..8] 槽位 3。",
    g_methods,
    g_getters,
    repr,
};

}  // namespace

Ref new_device_object(std::shared_ptr<Device> device) {
    return new_instance<DeviceShare>(std::move(device));
}

Ref device_class_item(PyObject* module) {
    return class_item<DeviceShare, k_class>(module);
}

}  // namespace velmot::motor

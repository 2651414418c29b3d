// Motor: constructor (the host id rule), add_device, set_target, broadcast, get_watch_data, the
// broadcast configuration methods, host / host_id and the representation.
//
// Every send validates the frame first, so a group whose host id is above 0x1FFFFFFF raises
// OSError "CAN ID too large" on each send instead of reporting frames that can never be sent.
//
// close() (also at the end of a `with` block) closes the group for good, with the GIL released
// while its queued frames are written (within 1 s): every later method call, on the Motor and on
// its Devices, raises OSError "CAN device is closed"; host, host_id and repr keep working, and a
// second close does nothing.
//
// Blocks: the constructor waits for the interface's provisioning (`ip` / `sudo`) with the GIL
// released, running the signal check every 50 ms; Ctrl+C there kills and reaps the running child
// and raises KeyboardInterrupt. calibrate_broadcast pauses 200 ms with the GIL held.
#include "motor/py_motor.hpp"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "binding/class_def.hpp"
#include "binding/interruptible_wait.hpp"
#include "comm/can/device_closed.hpp"
#include "motor/motor.hpp"
#include "motor/py_device.hpp"
#include "motor/py_foc_mode.hpp"
#include "motor/py_watch_data.hpp"

namespace velmot::motor {
namespace {

using namespace binding;

using MotorBox = std::unique_ptr<Motor>;

constexpr Signature<Str, Opt<U32>, Opt<U32>> k_new{
    "Motor", {arg("interface"), arg_default_none("host"), arg_default_none("host_id")}};
constexpr Signature<U8, U32, Str> k_add_device{"Motor.add_device",
                                               {arg("slot_index"), arg("node_id"), arg("mode")}};
constexpr Signature<U8, F32> k_set_target{"Motor.set_target", {arg("slot_index"), arg("value")}};
constexpr Signature<U8> k_get_watch_data{"Motor.get_watch_data", {arg("slot_index")}};
constexpr Signature<Str> k_set_foc_mode_broadcast{"Motor.set_foc_mode_broadcast", {arg("mode")}};
constexpr Signature<Object, Object, Object> k_exit{
    "Motor.__exit__", {arg("exc_type"), arg("exc_value"), arg("traceback")}};

// The group, or the closed error raised (PythonError).
Motor& open_motor(MotorBox& motor) {
    if (motor->is_closed()) {
        unwrap(Result<void>(comm::can::device_closed_error()));
    }
    return *motor;
}

// Exactly one of host and host_id (None counts as not given), checked before the interface is
// touched.
Result<std::uint32_t> chosen_host_id(std::optional<std::uint32_t> host,
                                     std::optional<std::uint32_t> host_id) {
    if (host && host_id) {
        return Error{ErrorKind::value, "pass only one of 'host' or 'host_id', not both"};
    }
    if (!host && !host_id) {
        return Error{ErrorKind::value,
                     "missing host CAN id: use second argument or host= / host_id="};
    }
    return host ? *host : *host_id;
}

PyObject* construct_motor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<MotorBox>(k_new, type, args, kwargs,
                               [](std::string interface, std::optional<std::uint32_t> host,
                                  std::optional<std::uint32_t> host_id) -> Result<MotorBox> {
                                   auto chosen = chosen_host_id(host, host_id);
                                   if (!chosen) {
                                       return std::move(chosen).error();
                                   }
                                   return wait_without_gil([&](const InterruptPoll& interrupt) {
                                       return Motor::create(interface, *chosen, interrupt);
                                   });
                               });
}

template <class Body>
PyObject* motor_method(const char* function, PyObject* self, Body body) {
    return call_method_noargs<MotorBox, Access::shared>(
        function, self, [&](MotorBox& motor) { return body(open_motor(motor)); });
}

Result<Ref> add_device_object(Motor& motor, std::uint8_t slot_index, std::uint32_t node_id,
                              const std::string& mode) {
    auto parsed = parse_foc_mode(mode);
    if (!parsed) {
        return std::move(parsed).error();
    }
    auto device = motor.add_device(slot_index, node_id, *parsed);
    if (!device) {
        return std::move(device).error();
    }
    return new_device_object(std::move(device).value());
}

PyObject* add_device(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MotorBox, Access::shared>(
        k_add_device, self, args, nargs, kwnames,
        [](MotorBox& motor, std::uint8_t slot_index, std::uint32_t node_id,
           const std::string& mode) {
            return add_device_object(open_motor(motor), slot_index, node_id, mode);
        });
}

PyObject* set_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MotorBox, Access::shared>(
        k_set_target, self, args, nargs, kwnames,
        [](MotorBox& motor, std::uint8_t slot_index, float value) {
            open_motor(motor).set_target(slot_index, value);
            return None{};
        });
}

PyObject* get_watch_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return call_method<MotorBox, Access::shared>(
        k_get_watch_data, self, args, nargs, kwnames, [](MotorBox& motor, std::uint8_t slot_index) {
            auto record = open_motor(motor).get_watch_data(slot_index);
            return record ? watch_data_to_python(*record) : Ref::new_ref(Py_None);
        });
}

PyObject* broadcast(PyObject* self, PyObject*) {
    return motor_method("Motor.broadcast", self, [](Motor& motor) { return motor.broadcast(); });
}

PyObject* enter_configure_broadcast(PyObject* self, PyObject*) {
    return motor_method("Motor.enter_configure_broadcast", self,
                        [](Motor& motor) { return motor.enter_configure_broadcast(); });
}

PyObject* exit_configure_broadcast(PyObject* self, PyObject*) {
    return motor_method("Motor.exit_configure_broadcast", self,
                        [](Motor& motor) { return motor.exit_configure_broadcast(); });
}

PyObject* calibrate_broadcast(PyObject* self, PyObject*) {
    return motor_method("Motor.calibrate_broadcast", self,
                        [](Motor& motor) { return motor.calibrate_broadcast(); });
}

PyObject* set_foc_mode_broadcast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return call_method<MotorBox, Access::shared>(
        k_set_foc_mode_broadcast, self, args, nargs, kwnames,
        [](MotorBox& motor, const std::string& mode) -> Result<void> {
            auto parsed = parse_foc_mode(mode);
            if (!parsed) {
                return std::move(parsed).error();
            }
            return open_motor(motor).set_foc_mode_broadcast(*parsed);
        });
}

void close_motor(MotorBox& motor) {
    wait_without_gil([&](const InterruptPoll& interrupt) { return motor->close(interrupt); });
}

PyObject* close_method(PyObject* self, PyObject*) {
    return call_method_noargs<MotorBox, Access::shared>("Motor.close", self, close_motor);
}

PyObject* enter_method(PyObject* self, PyObject*) {
    return call_method_noargs<MotorBox, Access::shared>("Motor.__enter__", self,
                                                        [self](MotorBox& motor) {
                                                            open_motor(motor);
                                                            return Ref::new_ref(self);
                                                        });
}

PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<MotorBox, Access::shared>(
        k_exit, self, args, nargs, kwnames,
        [](MotorBox& motor, Ref, Ref, Ref) { close_motor(motor); });
}

PyObject* host(PyObject* self, void*) {
    return call_getter<MotorBox>("Motor.host", self,
                                 [](MotorBox& motor) { return motor->host_id(); });
}

PyObject* host_id(PyObject* self, void*) {
    return call_getter<MotorBox>("Motor.host_id", self,
                                 [](MotorBox& motor) { return motor->host_id(); });
}

PyObject* repr(PyObject* self) {
    return call_repr<MotorBox>(self, [](MotorBox& motor) {
        char text[64];
        std::snprintf(text, sizeof text, "Motor(host=0x%X, devices=%zu)",
                      static_cast<unsigned>(motor->host_id()), motor->device_count());
        return std::string(text);
    });
}

PyMethodDef g_methods[] = {
    fastcall_def(
        "add_device", add_device,
        "add_device($self, slot_index, node_id, mode)\n--\n\n"
        "注册一个驱动器并返回对应的 Device。\n\n"
        "先单播发送 DR v1 进入配置会话的帧，再按 mode 设置 FOC 模式，最后结束会话"
        "（不写 flash，不请求编码器零点）。\n\n"
        "参数:\n"
        "    slot_index: 广播帧中的槽位（0 到 3），必须与驱动器固件中的 target_index 相同；"
        "4 到 255 按 3 保存。\n"
        "    node_id: 驱动器的节点 ID（其反馈帧的 CAN ID）。\n"
        "    mode: \"current\"、\"speed\" 或 \"position\"（不区分大小写）。\n\n"
        "返回:\n"
        "    Device。CAN 发送失败时抛出 OSError；node_id 大于 0x1FFFFFFF（不是 CAN 标识符）"
        "或低 16 位为 0xFFFF（广播目标地址，寻址所有驱动器）时，在发送任何帧之前抛出 "
        "ValueError。\n\n"
        "示例: motor.add_device(slot_index=0, node_id=0x201, mode=\"speed\")"),
    fastcall_def("set_target", set_target,
                 "set_target($self, slot_index, value)\n--\n\n"
                 "按槽位设置目标值（物理单位，与该 Device 的模式一致）；未注册的槽位被忽略。"),
    noargs_def("broadcast", broadcast,
               "broadcast($self)\n--\n\n"
               "把所有驱动器的目标值打包成一帧发出：8 字节，4 个小端 i16，未注册的槽位为 0。"),
    fastcall_def(
        "get_watch_data", get_watch_data,
        "get_watch_data($self, slot_index)\n--\n\n"
        "返回该槽位的最新反馈：字典 {\"position\": rad, \"speed\": rad/s, \"current\": A}；"
        "槽位未注册时返回 None。"),
    noargs_def("enter_configure_broadcast", enter_configure_broadcast,
               "enter_configure_broadcast($self)\n--\n\n"
               "广播进入配置会话：目标地址 0xFFFF，先发 0x73 帧再发 0x74 帧，两帧的目标地址与字节 "
               "6 的 CTL 相同。"),
    noargs_def("exit_configure_broadcast", exit_configure_broadcast,
               "exit_configure_broadcast($self)\n--\n\n"
               "广播结束配置会话（group 0 code 0）。"),
    noargs_def("calibrate_broadcast", calibrate_broadcast,
               "calibrate_broadcast($self)\n--\n\n"
               "在配置会话内广播请求编码器电角度零点，并阻塞约 200 ms。"),
    fastcall_def("set_foc_mode_broadcast", set_foc_mode_broadcast,
                 "set_foc_mode_broadcast($self, mode)\n--\n\n"),
    noargs_def("close", close_method,
               "close($self)\n--\n\n"
               "关闭广播组：停止反馈接收，在 1 秒内写出已排队的帧，然后关闭 CAN 套接字。\n\n"
               "之后对本 Motor 及其 Device 的调用都抛出 OSError；重复关闭不做任何事。"),
    noargs_def("__enter__", enter_method, "__enter__($self)\n--\n\n返回 Motor 本身。"),
    fastcall_def("__exit__", exit_method,
                 "__exit__($self, exc_type, exc_value, traceback)\n--\n\n关闭 Motor。"),
    k_end_of_methods,
};

constexpr const char* k_host_doc = "主机侧控制帧的 CAN ID，与 host 相同。";

PyGetSetDef g_getters[] = {
    getter_def("host", host, k_host_doc),
    getter_def("host_id", host_id, k_host_doc),
    k_end_of_getters,
};

const ClassDef k_class{
    "velmot.Motor",
    "Motor(interface, host=None, host_id=None)\n--\n\n"
    "电机广播组：每个 CAN 接口一个 Motor。\n\n"
    "用 add_device() 注册最多 4 个驱动器；每次 broadcast() 把所有驱动器的目标值打包进一帧 CAN "
    "帧。\n\n"
    "示例:\n"
    "    motor = Motor(\"can0\", host=0x100)\n"
    "    d1 = motor.add_device(slot_index=0, node_id=0x201, mode=\"speed\")\n"
    "    d2 = motor.add_device(slot_index=1, node_id=0x202, mode=\"speed\")\n"
    "    d1.set_target(10.0)   # 10 rad/s\n"
    "    d2.set_target(-5.0)\n"
    "    motor.broadcast()     # 一帧同时驱动两个驱动器",
    g_methods,
    g_getters,
    repr,
    nullptr,
    construct_motor,
};

}  // namespace

Ref motor_class_item(PyObject* module) {
    return class_item<MotorBox, k_class>(module);
}

}  // namespace velmot::motor

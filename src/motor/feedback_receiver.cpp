// The feedback receiver task and its console lines.
#include "motor/feedback_receiver.hpp"

#include <cstdio>
#include <utility>

#include "comm/dr_v1/feedback_frame.hpp"
#include "common/console.hpp"

namespace velmot::motor {
namespace {

constexpr std::uint64_t k_receive_timeout_ms = 100;

// Each rate-limited on its own (a peer flooding one kind does not silence the other).
constexpr ConsoleKind k_unexpected_length_kind{"motor: feedback frame of unexpected length"};
constexpr ConsoleKind k_unmatched_frame_kind{"motor: unmatched feedback frame"};

std::string hex_id(std::uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(id));
    return text;
}

asio::awaitable<void> route(const comm::can::CanMessage& frame, const DeviceList& devices) {
    auto record = comm::dr_v1::decode_feedback(frame.data());
    if (!record) {
        write_stderr(k_unexpected_length_kind, unexpected_length_line(frame));
        co_return;
    }
    if (auto device = devices.first_with_node(frame.id())) {
        co_await device->update_watch_data(*record);
    } else {
        write_stderr(k_unmatched_frame_kind, unmatched_frame_line(frame));
    }
}

}  // namespace

std::string unexpected_length_line(const comm::can::CanMessage& frame) {
    return "Warning: ignoring CAN frame " + hex_id(frame.id()) + " with unexpected length " +
           std::to_string(frame.data().size()) + "\n";
}

std::string unmatched_frame_line(const comm::can::CanMessage& frame) {
    std::string line = "[Motor] unmatched feedback frame: id=" + hex_id(frame.id()) + ", data=[";
    const char* separator = "";
    for (auto byte : frame.data()) {
        line += separator;
        line += std::to_string(byte);
        separator = ", ";
    }
    return line + "]\n";
}

asio::awaitable<void> run_feedback_receiver(std::shared_ptr<comm::can::CanDeviceAsync> can,
                                            std::shared_ptr<DeviceList> devices) {
    for (;;) {
        auto frame = co_await can->receive_timeout_async(k_receive_timeout_ms);
        if (frame) {
            co_await route(*frame, *devices);
        } else if (can->io_task_finished()) {
            co_return;
        }
    }
}

}  // namespace velmot::motor

// Device and DeviceList without a bus: slot limiting, first-match lookups, the broadcast frame
// (last Device of a slot wins, creation mode keeps its scale, NaN sends 0), the receiver's console
// lines, and feedback records that readers never see half-written while the receiver stores them.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "comm/can/can_message.hpp"
#include "motor/device_list.hpp"
#include "motor/feedback_receiver.hpp"
#include "runtime/runtime.hpp"

namespace velmot::motor {
namespace {

using comm::can::CanMessage;
using comm::dr_v1::Frame;

std::shared_ptr<Device> device(std::uint8_t slot, std::uint32_t node, FocMode mode,
                               float target = 0.0f) {
    auto made = Device::create(slot, node, mode, nullptr, 0x100);
    made->set_target(target);
    return made;
}

TEST(DeviceList, EncodesEveryDeviceAtItsSlotAndLetsTheLastOneWin) {
    DeviceList list;
    EXPECT_EQ(list.encode_targets(), Frame{});
    list.append(device(0, 0x201, FocMode::speed, 10.0f));
    list.append(device(1, 0x202, FocMode::speed, -5.0f));
    EXPECT_EQ(list.encode_targets(), (Frame{0x64, 0x00, 0xCE, 0xFF, 0, 0, 0, 0}));
    list.append(device(1, 0x203, FocMode::current, 1.0f));
    list.append(device(1, 0x204, FocMode::current, 2.0f));
    list.append(device(9, 0x205, FocMode::position, std::numeric_limits<float>::quiet_NaN()));
    list.append(device(200, 0x206, FocMode::position, -0.5f));
    EXPECT_EQ(list.encode_targets(), (Frame{0x64, 0x00, 0xC8, 0x00, 0, 0, 0xCE, 0xFF}));
}

TEST(DeviceList, LooksUpTheFirstMatchBySlotAndByFullNodeId) {
    DeviceList list;
    auto first = device(1, 0x12345, FocMode::current);
    auto second = device(1, 0x2345, FocMode::current);
    auto clamped = device(7, 0x12345, FocMode::speed);
    list.append(first);
    list.append(second);
    list.append(clamped);
    EXPECT_EQ(list.first_with_slot(1), first);
    EXPECT_EQ(list.first_with_slot(3), clamped);
    EXPECT_EQ(list.first_with_slot(7), nullptr);
    EXPECT_EQ(list.first_with_node(0x12345), first);
    EXPECT_EQ(list.first_with_node(0x2345), second);
    EXPECT_EQ(list.first_with_node(0x345), nullptr);
    EXPECT_EQ(clamped->slot_index(), 3);
    EXPECT_EQ(list.size(), 3u);
}

TEST(FeedbackReceiverLines, NameTheFrameExactly) {
    const std::uint8_t eight[] = {1, 2, 3, 4, 5, 6, 7, 255};
    const std::uint8_t six[] = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(unmatched_frame_line(CanMessage::make(0x1ABCDEF, eight).value()),
              "[Motor] unmatched feedback frame: id=0x1ABCDEF, data=[1, 2, 3, 4, 5, 6, 7, 255]\n");
    EXPECT_EQ(unexpected_length_line(CanMessage::make(0x201, six).value()),
              "Warning: ignoring CAN frame 0x201 with unexpected length 6\n");
    EXPECT_EQ(unexpected_length_line(CanMessage::make(0x0, {}).value()),
              "Warning: ignoring CAN frame 0x0 with unexpected length 0\n");
}

// The updater stores records whose three fields carry one sequence number; readers on plain
// threads must never see fields of two different records.
TEST(DeviceFeedback, ReadersNeverMixTwoRecords) {
    auto target = device(0, 0x201, FocMode::speed);
    EXPECT_EQ(target->get_watch_data_blocking(), WatchData{});
    constexpr int k_updates = 200000;
    auto& rt = runtime::get_runtime();
    auto updater = rt.spawn([](std::shared_ptr<Device> d) -> asio::awaitable<void> {
        for (int n = 1; n <= k_updates; ++n) {
            const auto v = static_cast<float>(n);
            co_await d->update_watch_data(WatchData{v, v, v});
        }
    }(target));
    std::atomic<bool> mixed{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!updater.is_finished()) {
                const WatchData seen = target->get_watch_data_blocking();
                if (seen.position != seen.speed || seen.speed != seen.current) {
                    mixed = true;
                }
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_FALSE(mixed.load());
    const float last = static_cast<float>(k_updates);
    EXPECT_EQ(target->get_watch_data_blocking(), (WatchData{last, last, last}));
}

}  // namespace
}  // namespace velmot::motor

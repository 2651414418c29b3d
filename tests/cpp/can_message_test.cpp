// CanMessage: the validation order, the standard/extended rule and the kernel frame layout both
// ways.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "comm/can/can_message.hpp"

namespace velmot::comm::can {
namespace {

struct ToFrameCase {
    std::uint32_t id;
    std::vector<std::uint8_t> data;
    std::uint32_t can_id;
};

class CanMessageToFrame : public testing::TestWithParam<ToFrameCase> {};

TEST_P(CanMessageToFrame, LaysOutTheKernelRecord) {
    const auto& c = GetParam();
    auto frame = build_kernel_frame(c.id, c.data);
    ASSERT_TRUE(frame.ok()) << frame.error().message;
    EXPECT_EQ(frame->can_id, c.can_id);
    EXPECT_EQ(frame->len, c.data.size());
    unsigned char raw[sizeof(can_frame)];
    std::memcpy(raw, &*frame, sizeof raw);
    EXPECT_EQ(raw[5], 0);  // pad and reserved bytes
    EXPECT_EQ(raw[6], 0);
    EXPECT_EQ(raw[7], 0);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(raw[8 + i], i < c.data.size() ? c.data[i] : 0) << "data byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Ids, CanMessageToFrame,
                         testing::Values(ToFrameCase{0x000, {}, 0x000},
                                         ToFrameCase{0x123, {1, 2, 3}, 0x123},
                                         ToFrameCase{0x7FF, {0xFF}, 0x7FF},
                                         ToFrameCase{0x800, {1, 2, 3, 4, 5, 6, 7, 8}, 0x80000800},
                                         ToFrameCase{0x1FFFFFFF, {9}, 0x9FFFFFFF}));

struct RefusalCase {
    std::uint32_t id;
    std::size_t length;
    const char* message;
};

class CanMessageRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(CanMessageRefusal, NamesTheFirstBrokenRule) {
    const auto& c = GetParam();
    const std::vector<std::uint8_t> data(c.length, 0xAA);
    auto message = CanMessage::make(c.id, data);
    ASSERT_FALSE(message.ok());
    EXPECT_EQ(message.error().kind, ErrorKind::invalid_input);
    EXPECT_EQ(message.error().message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CanMessageRefusal,
    testing::Values(RefusalCase{0x100, 9, "Payload is larger than CAN maximum of 8 bytes"},
                    RefusalCase{0x20000000, 9, "Payload is larger than CAN maximum of 8 bytes"},
                    RefusalCase{0x20000000, 0, "CAN ID too large"},
                    RefusalCase{0xFFFFFFFF, 8, "CAN ID too large"}));

struct FromFrameCase {
    std::uint32_t can_id;
    std::uint8_t len;
    std::uint32_t id;
};

class CanMessageFromFrame : public testing::TestWithParam<FromFrameCase> {};

TEST_P(CanMessageFromFrame, KeepsOnlyTheIdentifierBits) {
    const auto& c = GetParam();
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = c.can_id;
    frame.len = c.len;
    for (std::uint8_t i = 0; i < 8; ++i) {
        frame.data[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    const CanMessage message = CanMessage::from_frame(frame);
    EXPECT_EQ(message.id(), c.id);
    ASSERT_EQ(message.data().size(), c.len);
    for (std::size_t i = 0; i < c.len; ++i) {
        EXPECT_EQ(message.data()[i], 0x10 + i);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CanMessageFromFrame,
    testing::Values(FromFrameCase{0x80000123, 2, 0x123},  // extended 0x123 reads as 0x123
                    FromFrameCase{0x9FFFFFFF, 8, 0x1FFFFFFF}, FromFrameCase{0x7FF, 0, 0x7FF},
                    FromFrameCase{0x40000234, 1, 0x234},    // remote request, standard mask
                    FromFrameCase{0x0000F923, 3, 0x123}));  // stray high bits of a standard id

}  // namespace
}  // namespace velmot::comm::can

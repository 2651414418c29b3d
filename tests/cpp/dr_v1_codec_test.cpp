// DR v1 codec: every configuration frame of the driver protocol byte for byte, target encoding
// (scale, single-precision product, saturation, truncation, NaN), packing and feedback decoding.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "comm/dr_v1/config_frame.hpp"
#include "comm/dr_v1/feedback_frame.hpp"
#include "comm/dr_v1/target_frame.hpp"

namespace velmot::comm::dr_v1 {
namespace {

struct ConfigCase {
    const char* name;
    Frame frame;
    Frame expected;
};

std::vector<ConfigCase> config_cases() {
    const std::uint16_t node = destination_of(0x201);
    return {
        {"enter_first_unicast",
         enter_session_first_frame(node),
         {0x44, 0x52, 0x31, 0x73, 0x01, 0x02, 0x03, 0x54}},
        {"enter_second_unicast",
         enter_session_second_frame(node),
         {0x44, 0x52, 0x31, 0x74, 0x01, 0x02, 0x03, 0x53}},
        {"end_unicast", end_session_frame(node), {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x00, 0xDB}},
        {"zero_unicast",
         zero_request_frame(node),
         {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x01, 0xDA}},
        {"speed_unicast",
         set_mode_frame(node, FocMode::speed),
         {0x44, 0x52, 0x31, 0xFF, 0x01, 0x02, 0x11, 0xCA}},
        {"enter_first_broadcast",
         enter_session_first_frame(k_broadcast_dest),
         {0x44, 0x52, 0x31, 0x73, 0xFF, 0xFF, 0x03, 0x57}},
        {"enter_second_broadcast",
         enter_session_second_frame(k_broadcast_dest),
         {0x44, 0x52, 0x31, 0x74, 0xFF, 0xFF, 0x03, 0x50}},
        {"end_broadcast",
         end_session_frame(k_broadcast_dest),
         {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x00, 0xD8}},
        {"zero_broadcast",
         zero_request_frame(k_broadcast_dest),
         {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x01, 0xD9}},
        {"current_broadcast",
         set_mode_frame(k_broadcast_dest, FocMode::current),
         {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x10, 0xC8}},
        {"speed_broadcast",
         set_mode_frame(k_broadcast_dest, FocMode::speed),
         {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x11, 0xC9}},
        {"position_broadcast",
         set_mode_frame(k_broadcast_dest, FocMode::position),
         {0x44, 0x52, 0x31, 0xFF, 0xFF, 0xFF, 0x12, 0xCA}},
        {"wide_node_id",
         enter_session_first_frame(destination_of(0x12345)),
         {0x44, 0x52, 0x31, 0x73, 0x45, 0x23, 0x03, 0x31}},
    };
}

class ConfigFrames : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigFrames, MatchTheDriverProtocolByteForByte) {
    const auto& c = GetParam();
    EXPECT_EQ(c.frame, c.expected);
    std::uint8_t all = 0;
    for (auto byte : c.frame) {
        all ^= byte;
    }
    EXPECT_EQ(all, 0) << "the checksum makes the XOR of all eight bytes zero";
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigFrames, testing::ValuesIn(config_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigFrames, ChecksumHoldsForEveryCommandDestinationAndCtl) {
    for (unsigned command : {0x00u, 0x73u, 0xFFu}) {
        for (unsigned destination = 0; destination <= 0xFFFF; destination += 0x1111) {
            for (unsigned ctl = 0; ctl <= 0xFF; ctl += 0x33) {
                auto frame = build_config_frame(static_cast<std::uint8_t>(command),
                                                static_cast<std::uint16_t>(destination),
                                                static_cast<std::uint8_t>(ctl));
                std::uint8_t all = 0;
                for (auto byte : frame) {
                    all ^= byte;
                }
                ASSERT_EQ(all, 0);
            }
        }
    }
}

struct TargetCase {
    float value;
    FocMode mode;
    std::int16_t counts;
};

class EncodeTarget : public testing::TestWithParam<TargetCase> {};

TEST_P(EncodeTarget, ScalesSaturatesAndTruncates) {
    const auto& c = GetParam();
    EXPECT_EQ(encode_target(c.value, c.mode), c.counts) << c.value;
}

constexpr float k_inf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Examples, EncodeTarget,
    testing::Values(
        TargetCase{10.0f, FocMode::speed, 100}, TargetCase{-5.0f, FocMode::speed, -50},
        TargetCase{1.239f, FocMode::current, 123}, TargetCase{-1.05f, FocMode::current, -104},
        TargetCase{400.0f, FocMode::position, 32767}, TargetCase{-4000.0f, FocMode::speed, -32768},
        TargetCase{3276.75f, FocMode::speed, 32767}, TargetCase{0.019f, FocMode::position, 1},
        TargetCase{-0.009f, FocMode::position, 0}, TargetCase{k_inf, FocMode::current, 32767},
        TargetCase{-k_inf, FocMode::current, -32768},
        TargetCase{std::numeric_limits<float>::quiet_NaN(), FocMode::speed, 0},
        TargetCase{-std::numeric_limits<float>::quiet_NaN(), FocMode::position, 0}));

TEST(TargetFrame, PacksSlotsLittleEndianAndKeepsTheLastWrite) {
    EXPECT_EQ(pack_targets({100, -50, 0, 0}), (Frame{0x64, 0x00, 0xCE, 0xFF, 0, 0, 0, 0}));
    EXPECT_EQ(pack_targets({0, 0, 0, 0}), Frame{});
    TargetFrame frame;
    frame.set(1, 100);
    frame.set(1, 200);
    frame.set(3, -32768);
    EXPECT_EQ(frame.bytes(), (Frame{0, 0, 0xC8, 0x00, 0, 0, 0x00, 0x80}));
}

TEST(FeedbackFrame, DecodesPositionBitsAndDividesCountsInSinglePrecision) {
    const std::uint8_t payload[] = {0x00, 0x00, 0xC0, 0x3F, 0x7B, 0x00, 0x06, 0xFF};
    auto record = decode_feedback(payload);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->position, 1.5f);
    EXPECT_EQ(record->speed, 123.0f / 10.0f);
    EXPECT_EQ(static_cast<double>(record->speed), 12.300000190734863);
    EXPECT_EQ(record->current, -2.5f);
}

TEST(FeedbackFrame, KeepsNonFinitePositionsBitForBit) {
    const std::uint8_t payload[] = {0x01, 0x00, 0xC0, 0x7F, 0x00, 0x80, 0xFF, 0x7F};
    auto record = decode_feedback(payload);
    ASSERT_TRUE(record);
    EXPECT_TRUE(std::isnan(record->position));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(record->position), 0x7FC00001u);
    EXPECT_EQ(record->speed, -32768.0f / 10.0f);
    EXPECT_EQ(record->current, 32767.0f / 100.0f);
}

TEST(FeedbackFrame, RefusesEveryOtherLength) {
    const std::uint8_t bytes[9] = {};
    for (std::size_t length = 0; length <= 9; ++length) {
        if (length == 8) {
            continue;
        }
        EXPECT_FALSE(decode_feedback(std::span(bytes, length))) << length;
    }
}

}  // namespace
}  // namespace velmot::comm::dr_v1

// The daemon <-> shim message format, the SOL_CAN_RAW option rules of simulated sockets and the
// bus's interface list.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <linux/can/error.h>

#include "common/can_wire.hpp"
#include "common/interface_table.hpp"
#include "common/raw_options.hpp"

namespace {

std::vector<std::byte> encode(const vcan::SocketOptions& options) {
    std::vector<std::byte> out(vcan::k_max_control_size);
    out.resize(vcan::encode_options(options, out));
    return out;
}

class ControlRoundTrip : public testing::TestWithParam<std::uint32_t> {};

TEST_P(ControlRoundTrip, DecodesWhatWasEncodedAndIsNeverAFrame) {
    vcan::SocketOptions options;
    options.filter_count = GetParam();
    for (std::uint32_t i = 0; i < options.filter_count; ++i) {
        options.filters[i] = can_filter{i * 3 + 1, 0x7ffu - i};
    }
    options.err_mask = CAN_ERR_BUSOFF;
    options.recv_own_msgs = true;
    options.loopback = false;
    options.join_filters = true;
    options.rcvbuf = 4096;
    const auto message = encode(options);
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.size(), vcan::k_frame_size);
    EXPECT_TRUE(vcan::is_control_message(message));
    EXPECT_FALSE(vcan::is_valid_frame(message));
    vcan::SocketOptions decoded;
    ASSERT_TRUE(vcan::decode_options(message, decoded));
    EXPECT_EQ(decoded.filter_count, options.filter_count);
    EXPECT_EQ(0, std::memcmp(decoded.filters, options.filters,
                             options.filter_count * sizeof(can_filter)));
    EXPECT_EQ(decoded.err_mask, options.err_mask);
    EXPECT_TRUE(decoded.recv_own_msgs);
    EXPECT_FALSE(decoded.loopback);
    EXPECT_TRUE(decoded.join_filters);
    EXPECT_EQ(decoded.rcvbuf, 4096);
}

INSTANTIATE_TEST_SUITE_P(FilterCounts, ControlRoundTrip, testing::Values(0u, 1u, 2u, 100u, 512u));

TEST(ControlMessage, MalformedMessagesAreRejected) {
    const auto good = encode(vcan::SocketOptions{});
    std::vector<std::vector<std::byte>> bad;
    bad.emplace_back(good.begin(), good.end() - 1);  // truncated
    bad.emplace_back(good).push_back(std::byte{0});  // trailing byte
    bad.emplace_back(good)[0] = std::byte{0};        // wrong magic
    bad.emplace_back(good)[4] = std::byte{9};        // unknown version
    bad.emplace_back(good)[16] = std::byte{2};       // flag neither 0 nor 1
    auto too_many = good;
    const std::uint32_t count = vcan::k_max_filters + 1;
    std::memcpy(too_many.data() + offsetof(vcan::ControlHeader, filter_count), &count,
                sizeof count);
    too_many.resize(sizeof(vcan::ControlHeader) + count * sizeof(can_filter));
    bad.push_back(too_many);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        vcan::SocketOptions out;
        EXPECT_FALSE(vcan::decode_options(bad[i], out)) << "case " << i;
    }
}

TEST(FrameMessage, OnlySixteenBytesWithDlcUpToEightAreFrames) {
    for (std::size_t size : {0u, 8u, 15u, 16u, 17u, 72u}) {
        for (std::uint8_t dlc : {0, 8, 9, 15}) {
            std::vector<std::byte> message(size);
            if (size > 4) {
                message[4] = std::byte{dlc};
            }
            EXPECT_EQ(vcan::is_valid_frame(message), size == 16 && dlc <= 8)
                << size << " " << int(dlc);
        }
    }
}

TEST(RawOptions, SettingFollowsTheKernelsChecks) {
    vcan::RawOptionState state;
    const int on = 1;
    const can_filter filters[2] = {{0x100, 0x700}, {0x200, 0x700}};
    struct Case {
        int name;
        const void* value;
        socklen_t length;
        int error;
    } cases[] = {
        {CAN_RAW_LOOPBACK, &on, sizeof on, 0},
        {CAN_RAW_LOOPBACK, &on, 1, EINVAL},
        {CAN_RAW_RECV_OWN_MSGS, &on, sizeof on + 1, EINVAL},
        {CAN_RAW_FILTER, filters, sizeof filters, 0},
        {CAN_RAW_FILTER, filters, sizeof filters - 1, EINVAL},
        {CAN_RAW_FILTER, nullptr, 8, EFAULT},
        {CAN_RAW_FILTER, nullptr, (vcan::k_max_filters + 1) * 8, EINVAL},
        {CAN_RAW_ERR_FILTER, &on, 2, EINVAL},
        {8 /* CAN_RAW_XL_VCID_OPTS, not simulated */, &on, sizeof on, ENOPROTOOPT},
        {99, &on, sizeof on, ENOPROTOOPT},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vcan::set_raw_option(state, c.name, c.value, c.length), c.error)
            << "option " << c.name << " length " << c.length;
    }
    EXPECT_TRUE(state.wire.loopback);
    EXPECT_EQ(state.wire.filter_count, 2u);
}

TEST(RawOptions, ReadingBackReportsSizesLikeTheKernel) {
    vcan::RawOptionState state;
    const can_filter filters[3] = {{1, 2}, {3, 4}, {5, 6}};
    ASSERT_EQ(vcan::set_raw_option(state, CAN_RAW_FILTER, filters, sizeof filters), 0);
    can_filter out[4] = {};
    socklen_t length = sizeof(can_filter);  // too short
    EXPECT_EQ(vcan::get_raw_option(state, CAN_RAW_FILTER, out, &length), ERANGE);
    EXPECT_EQ(length, sizeof filters);
    length = sizeof out;
    ASSERT_EQ(vcan::get_raw_option(state, CAN_RAW_FILTER, out, &length), 0);
    EXPECT_EQ(length, sizeof filters);
    EXPECT_EQ(0, std::memcmp(out, filters, sizeof filters));
    ASSERT_EQ(vcan::set_raw_option(state, CAN_RAW_FILTER, nullptr, 0), 0);
    length = sizeof out;
    EXPECT_EQ(vcan::get_raw_option(state, CAN_RAW_FILTER, out, &length), 0);
    EXPECT_EQ(length, 0u);

    const std::uint32_t mask = 0xffffffffu;
    ASSERT_EQ(vcan::set_raw_option(state, CAN_RAW_ERR_FILTER, &mask, sizeof mask), 0);
    std::uint32_t read_mask = 0;
    length = 64;  // longer than the value: shortened to it
    ASSERT_EQ(vcan::get_raw_option(state, CAN_RAW_ERR_FILTER, &read_mask, &length), 0);
    EXPECT_EQ(length, sizeof read_mask);
    EXPECT_EQ(read_mask, CAN_ERR_MASK);

    for (int name :
         {CAN_RAW_LOOPBACK, CAN_RAW_RECV_OWN_MSGS, CAN_RAW_FD_FRAMES, CAN_RAW_JOIN_FILTERS}) {
        const int value = name == CAN_RAW_LOOPBACK ? 0 : 1;  // each away from its default
        ASSERT_EQ(vcan::set_raw_option(state, name, &value, sizeof value), 0);
        int read = -1;
        length = sizeof read;
        ASSERT_EQ(vcan::get_raw_option(state, name, &read, &length), 0);
        EXPECT_EQ(read, value) << "option " << name;
    }
}

TEST(InterfaceTable, ParsesIndexNameLinesAndSkipsMalformedOnes) {
    const std::string text =
        "100 can0\n101 vcan_long_name1\n"  // 15 characters: the longest name allowed
        "102 sixteen_chars_xx\n"           // too long
        "x can9\n0 can8\n103\n104 two words\n"
        "2147483648 can7\n4294967396 can6\n"  // above INT_MAX; the second is 100 modulo 2^32
        "105 can1\r\n106 can2";
    vcan::InterfaceTable table;
    vcan::parse_interfaces(text.data(), text.size(), table);
    ASSERT_EQ(table.count, 4u);
    const std::pair<int, const char*> expected[] = {
        {100, "can0"}, {101, "vcan_long_name1"}, {105, "can1"}, {106, "can2"}};
    for (const auto& [index, name] : expected) {
        const auto* by_name = table.by_name(name);
        ASSERT_NE(by_name, nullptr) << name;
        EXPECT_EQ(by_name->index, index);
        EXPECT_EQ(table.by_index(index), by_name);
    }
    EXPECT_EQ(table.by_name("can9"), nullptr);
    EXPECT_EQ(table.by_name("can6"), nullptr);
    EXPECT_EQ(table.by_index(102), nullptr);
}

}  // namespace

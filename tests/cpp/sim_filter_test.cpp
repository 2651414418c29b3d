// Kernel CAN_RAW receive-filter semantics of the virtual bus (ReceiveFilter).
#include <gtest/gtest.h>

#include <vector>

#include <linux/can/error.h>

#include "common/receive_filter.hpp"

namespace {

struct FilterCase {
    const char* name;
    std::vector<can_filter> filters;
    bool join;
    std::uint32_t err_mask;
    std::vector<std::uint32_t> pass;
    std::vector<std::uint32_t> block;
};

class ReceiveFilterTest : public testing::TestWithParam<FilterCase> {};

TEST_P(ReceiveFilterTest, PassesExactlyTheMatchingFrames) {
    const FilterCase& c = GetParam();
    vcan::SocketOptions options;
    options.filter_count = static_cast<std::uint32_t>(c.filters.size());
    std::copy(c.filters.begin(), c.filters.end(), options.filters);
    options.join_filters = c.join;
    options.err_mask = c.err_mask;
    vcan::ReceiveFilter filter;
    filter.assign(options);
    for (std::uint32_t id : c.pass) {
        EXPECT_TRUE(filter.passes(id)) << std::hex << "0x" << id;
    }
    for (std::uint32_t id : c.block) {
        EXPECT_FALSE(filter.passes(id)) << std::hex << "0x" << id;
    }
}

constexpr std::uint32_t k_eff = CAN_EFF_FLAG;
constexpr std::uint32_t k_rtr = CAN_RTR_FLAG;
constexpr std::uint32_t k_err = CAN_ERR_FLAG;

INSTANTIATE_TEST_SUITE_P(
    Kernel, ReceiveFilterTest,
    testing::Values(
        FilterCase{"default_all",
                   {{0, 0}},
                   false,
                   0,
                   {0x0, 0x7ff, k_eff | 0x1fffffff, k_rtr | 0x12},
                   {k_err | 0x4}},
        FilterCase{"empty_list_nothing",
                   {},
                   false,
                   CAN_ERR_MASK,
                   {k_err | 0x4},
                   {0x0, 0x123, k_eff | 0x123}},
        FilterCase{"id_and_mask",
                   {{0x100, 0x700}},
                   false,
                   0,
                   {0x100, 0x1ff, k_eff | 0x100},
                   {0x200, 0x0ff}},
        // Without EFF in the mask the frame format is not checked.
        FilterCase{"sff_id_any_format",
                   {{0x123, CAN_SFF_MASK}},
                   false,
                   0,
                   {0x123, k_eff | 0x123},
                   {0x124}},
        // EFF in the mask and not in the id: standard frames only, extended id bits ignored.
        FilterCase{"sff_only",
                   {{0x123, k_eff | CAN_SFF_MASK}},
                   false,
                   0,
                   {0x123, k_rtr | 0x123},
                   {k_eff | 0x123}},
        FilterCase{"eff_only",
                   {{k_eff | 0x123, k_eff | CAN_EFF_MASK}},
                   false,
                   0,
                   {k_eff | 0x123},
                   {0x123, k_eff | 0x124}},
        FilterCase{"no_rtr", {{0x123, k_rtr | CAN_SFF_MASK}}, false, 0, {0x123}, {k_rtr | 0x123}},
        FilterCase{"inverted",
                   {{CAN_INV_FILTER | 0x123, CAN_SFF_MASK}},
                   false,
                   0,
                   {0x122, 0x124},
                   {0x123}},
        FilterCase{"any_of_two", {{0x10, 0x7ff}, {0x20, 0x7ff}}, false, 0, {0x10, 0x20}, {0x30}},
        FilterCase{"join_all_of_two",
                   {{0x100, 0x700}, {0x010, 0x0f0}},
                   true,
                   0,
                   {0x110, 0x11f},
                   {0x120, 0x010}},
        FilterCase{"error_mask",
                   {{0, 0}},
                   false,
                   CAN_ERR_BUSOFF,
                   {k_err | CAN_ERR_BUSOFF, 0x1},
                   {k_err | CAN_ERR_CRTL}},
        // A filter whose mask carries the error flag subscribes to error classes only.
        FilterCase{"error_filter_entry",
                   {{0, k_err | CAN_ERR_CRTL}},
                   false,
                   0,
                   {k_err | CAN_ERR_CRTL},
                   {0x1, k_err | CAN_ERR_BUSOFF}}),
    [](const testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

}  // namespace

// The real-time mode's settings: what the two variables accept and refuse, and the spin margin
// under the real-time policy.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/realtime_mode.hpp"
#include "timer/precision.hpp"

namespace velmot {
namespace {

using timer::realtime_policy_spin_margin;
using timer::TimerPrecision;

struct PriorityCase {
    std::string text;
    int priority;  // 0: refused
};

class RtPriority : public ::testing::TestWithParam<PriorityCase> {};

TEST_P(RtPriority, AcceptsOneToNinetyNine) {
    const auto parsed = parse_rt_priority(GetParam().text);
    if (GetParam().priority == 0) {
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().message, "not a priority from 1 to 99");
    } else {
        ASSERT_TRUE(parsed.ok()) << parsed.error().message;
        EXPECT_EQ(parsed.value(), GetParam().priority);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, RtPriority,
                         ::testing::Values(PriorityCase{"1", 1}, PriorityCase{"99", 99},
                                           PriorityCase{" 80\t", 80}, PriorityCase{"007", 7},
                                           PriorityCase{"0", 0}, PriorityCase{"100", 0},
                                           PriorityCase{"-1", 0}, PriorityCase{"+5", 0},
                                           PriorityCase{"5x", 0}, PriorityCase{"5 5", 0},
                                           PriorityCase{"", 0},
                                           PriorityCase{"99999999999999999999", 0}));

struct CpuListCase {
    std::string text;
    std::vector<int> cpus;  // empty: refused
};

class CpuList : public ::testing::TestWithParam<CpuListCase> {};

TEST_P(CpuList, ParsesTheKernelsListForm) {
    const auto parsed = parse_cpu_list(GetParam().text);
    if (GetParam().cpus.empty()) {
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().message, "not a CPU list such as 0,2-3");
    } else {
        ASSERT_TRUE(parsed.ok()) << parsed.error().message;
        EXPECT_EQ(parsed.value(), GetParam().cpus);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, CpuList,
                         ::testing::Values(CpuListCase{"0", {0}}, CpuListCase{"3,1", {1, 3}},
                                           CpuListCase{"0-2,2,7", {0, 1, 2, 7}},
                                           CpuListCase{" 1 , 4-5 ", {1, 4, 5}},
                                           CpuListCase{"1023", {1023}}, CpuListCase{"1024", {}},
                                           CpuListCase{"2-1", {}}, CpuListCase{"", {}},
                                           CpuListCase{",", {}}, CpuListCase{"0,", {}},
                                           CpuListCase{"1-", {}}, CpuListCase{"-1", {}},
                                           CpuListCase{"0-1-2", {}}, CpuListCase{"a", {}}));

struct MarginCase {
    TimerPrecision precision;
    std::chrono::nanoseconds period;
    std::chrono::nanoseconds margin;
};

class RealtimePolicyMargin : public ::testing::TestWithParam<MarginCase> {};

// Short, and never more than a quarter of the period: a fast timer never spins most of its
// period, which the kernel's real-time throttling would punish.
TEST_P(RealtimePolicyMargin, IsShortAndAtMostAQuarterPeriod) {
    EXPECT_EQ(realtime_policy_spin_margin(GetParam().precision, GetParam().period),
              GetParam().margin);
}

using std::chrono::microseconds;
INSTANTIATE_TEST_SUITE_P(
    Periods, RealtimePolicyMargin,
    ::testing::Values(MarginCase{TimerPrecision::high, microseconds(1000), microseconds(50)},
                      MarginCase{TimerPrecision::realtime, microseconds(1000), microseconds(200)},
                      MarginCase{TimerPrecision::realtime, microseconds(100), microseconds(25)},
                      MarginCase{TimerPrecision::high, microseconds(100), microseconds(25)},
                      MarginCase{TimerPrecision::high, std::chrono::seconds(1), microseconds(50)}));

}  // namespace
}  // namespace velmot

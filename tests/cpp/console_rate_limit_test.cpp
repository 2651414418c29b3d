// The console's rate limit: 100 lines per kind and second, kinds counted apart, and the summary
// that takes the place of the rest, at the window's end or ahead of the kind's next line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/console_rate_limit.hpp"

namespace velmot {
namespace {

using namespace std::chrono_literals;

constexpr ConsoleKind k_kinds[] = {ConsoleKind{"test: a"}, ConsoleKind{"test: b"}};

struct Burst {
    std::vector<int> lines;  // per kind, interleaved within 0.1 s
    std::vector<std::string> summaries;
};

class ConsoleRateLimitBurst : public ::testing::TestWithParam<Burst> {};

TEST_P(ConsoleRateLimitBurst, WritesHundredPerKindThenSummarizesTheRest) {
    ConsoleRateLimit limit;
    const auto start = ConsoleRateLimit::Clock::now();
    for (int i = 0; i < 250; ++i) {
        for (std::size_t k = 0; k < GetParam().lines.size(); ++k) {
            if (i >= GetParam().lines[k]) {
                continue;
            }
            const auto line = std::string(1, char('a' + k)) + std::to_string(i) + "\n";
            EXPECT_EQ(limit.admit(k_kinds[k], line, start + i * 100us).write, i < 100);
        }
    }
    EXPECT_TRUE(limit.take_due(start + 999ms).empty());
    EXPECT_EQ(limit.take_due(start + 1s), GetParam().summaries);
    // A window ended by the kind's next line: the summary goes ahead of it, and it is written.
    for (int i = 0; i < 101; ++i) {
        limit.admit(k_kinds[0], "c\n", start + 2s);
    }
    const auto verdict = limit.admit(k_kinds[0], "d\n", start + 3s);
    EXPECT_EQ(verdict.summary, "[velmot] 1 more lines like: c\n");
    EXPECT_TRUE(verdict.write);
}

INSTANTIATE_TEST_SUITE_P(Bursts, ConsoleRateLimitBurst,
                         ::testing::Values(Burst{{100}, {}},
                                           Burst{{101}, {"[velmot] 1 more lines like: a100\n"}},
                                           Burst{{250, 150},
                                                 {"[velmot] 150 more lines like: a100\n",
                                                  "[velmot] 50 more lines like: b100\n"}}));

}  // namespace
}  // namespace velmot

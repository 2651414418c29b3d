// The console writer on a pipe: producers never wait, even when nobody reads; every line is either
// written, in order, or counted in a drop report; a flush returns by its deadline. (That a summary
// comes with no further line is shown end to end in tests/py/test_console.py.)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "common/console_writer.hpp"

namespace velmot {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto k_patience = 20s;  // only a blocked producer or a lost wake-up takes this long
constexpr ConsoleKind k_kind{"test: line"};

std::string numbered_line(int i) {
    return "line " + std::to_string(i) + std::string(90, '.') + "\n";
}

// Everything written to the pipe until its write end is closed.
std::future<std::string> read_pipe(int read_end) {
    return std::async(std::launch::async, [=] {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(read_end, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    });
}

class ConsoleWriterOnPipe : public ::testing::TestWithParam<bool> {};

// 200 kB of lines against a 64 kB pipe and a 16 kB queue, read throughout or only after a flush
// has given up.
TEST_P(ConsoleWriterOnPipe, NeverBlocksAndAccountsForEveryLine) {
    const bool read_throughout = GetParam();
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    auto& writer = ConsoleWriter::create(ends[1], {16 * 1024, 1'000'000});
    auto reader = read_throughout ? read_pipe(ends[0]) : std::future<std::string>();
    std::packaged_task<void()> produce([&] {
        for (int i = 0; i < 2000; ++i) {
            writer.write(k_kind, numbered_line(i));
        }
    });
    auto produced = produce.get_future();
    std::thread(std::move(produce)).detach();
    ASSERT_EQ(produced.wait_for(k_patience), std::future_status::ready);

    const auto deadline = Clock::now() + (read_throughout ? k_patience : 300ms);
    EXPECT_EQ(writer.flush(deadline), read_throughout);
    EXPECT_LT(Clock::now(), deadline + 10s);
    if (!read_throughout) {
        EXPECT_GE(Clock::now(), deadline);
        reader = read_pipe(ends[0]);  // lets the blocked write finish; the drop report follows
        EXPECT_TRUE(writer.flush(Clock::now() + k_patience));
    }
    ::close(ends[1]);
    std::istringstream text(reader.get());
    ::close(ends[0]);
    const std::regex report(R"(\[velmot\] (\d+) lines dropped while stderr was not writable; )"
                            R"(the first: line (\d+)\.+)");
    int written = 0, dropped = 0, last = -1;
    for (std::string line; std::getline(text, line);) {
        std::smatch match;
        if (std::regex_match(line, match, report)) {
            dropped += std::stoi(match[1]);
            EXPECT_GT(std::stoi(match[2]), last);
        } else {
            const int index = std::stoi(line.substr(5));
            EXPECT_EQ(line + "\n", numbered_line(index));
            EXPECT_GT(index, last);  // in order, none twice
            last = index;
            ++written;
        }
    }
    EXPECT_EQ(written + dropped, 2000);
    if (!read_throughout) {
        EXPECT_GT(dropped, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, ConsoleWriterOnPipe, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "read" : "unread"; });

}  // namespace
}  // namespace velmot

// Child processes: both streams read without deadlock, exit statuses and signal deaths, the
// child's signal state when started from a thread that blocks everything, verbatim arguments,
// start errors, inherited streams, no descriptor left behind, and interrupted waits.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <thread>

#include "common/os/child_process.hpp"

namespace velmot::os {
namespace {

ChildExit run_ok(const std::string& program, const std::vector<std::string>& arguments,
                 ChildStreams streams = ChildStreams::captured) {
    auto child = run_child(program, arguments, streams);
    EXPECT_TRUE(child.ok()) << child.error().message;
    return child ? child.value() : ChildExit{};
}

TEST(ChildProcess, ReadsMegabytesFromBothStreams) {
    // stderr is filled first: reading stdout alone would block both processes forever.
    const auto exit = run_ok("sh", {"-c",
                                    "head -c 1048576 /dev/zero | tr '\\0' e >&2; "
                                    "head -c 1048576 /dev/zero | tr '\\0' o"});
    EXPECT_TRUE(exit.success());
    EXPECT_EQ(exit.err, std::string(1 << 20, 'e'));
    EXPECT_EQ(exit.out, std::string(1 << 20, 'o'));
}

struct StatusCase {
    std::string script;
    std::optional<int> exit_code;
    int signal;
};

class ChildProcessStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ChildProcessStatus, SuccessIsExitZeroOnly) {
    const auto exit = run_ok("sh", {"-c", GetParam().script});
    EXPECT_EQ(exit.exit_code, GetParam().exit_code);
    EXPECT_EQ(exit.signal, GetParam().signal);
    EXPECT_EQ(exit.success(), GetParam().exit_code == 0);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ChildProcessStatus,
                         ::testing::Values(StatusCase{"exit 0", 0, 0}, StatusCase{"exit 3", 3, 0},
                                           StatusCase{"exit 255", 255, 0},
                                           StatusCase{"kill -KILL $$", std::nullopt, SIGKILL},
                                           StatusCase{"kill -TERM $$", std::nullopt, SIGTERM}));

std::uint64_t status_mask(const std::string& status, const std::string& key) {
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stoull(line.substr(key.size() + 1), nullptr, 16);
        }
    }
    ADD_FAILURE() << key << " missing from\n" << status;
    return ~0ull;
}

std::uint64_t bit(int sig) {
    return 1ull << (sig - 1);
}

TEST(ChildProcess, ChildGetsCleanSignalStateFromBlockingThread) {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);  // as Python does
    std::string status;
    ChildExit pipe_kill;
    std::thread caller([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        status = run_ok("cat", {"/proc/self/status"}).out;
        pipe_kill = run_ok("sh", {"-c", "kill -PIPE $$; kill -TERM $$; exit 0"});
    });
    caller.join();
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(status_mask(status, "SigBlk"), 0u);
    const auto reset = bit(SIGPIPE) | bit(SIGINT) | bit(SIGTERM) | bit(SIGQUIT) | bit(SIGXFSZ);
    EXPECT_EQ(status_mask(status, "SigIgn") & reset, 0u);
    EXPECT_EQ(pipe_kill.signal, SIGPIPE);
}

TEST(ChildProcess, CapturedChildReadsNullDevice) {
    EXPECT_EQ(run_ok("readlink", {"/proc/self/fd/0"}).out, "/dev/null\n");
}

TEST(ChildProcess, ArgumentsArriveVerbatimWithoutShell) {
    EXPECT_EQ(run_ok("printf", {"%s|", "a b", "$(touch X);", "", "'\""}).out,
              "a b|$(touch X);||'\"|");
}

TEST(ChildProcess, InheritedStreamsAreTheCallers) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto exit = run_ok("sh", {"-c", "echo to-out; echo to-err >&2"}, ChildStreams::inherited);
    const auto err = testing::internal::GetCapturedStderr();
    const auto out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(exit.success());
    EXPECT_TRUE(exit.out.empty() && exit.err.empty());
    EXPECT_EQ(out, "to-out\n");
    EXPECT_EQ(err, "to-err\n");
}

struct StartErrorCase {
    std::string program;
    ChildStreams streams;
    std::string message;
};

class ChildProcessStartError : public ::testing::TestWithParam<StartErrorCase> {};

TEST_P(ChildProcessStartError, ReportsTheSystemError) {
    const auto child = run_child(GetParam().program, {"x"}, GetParam().streams);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ChildProcessStartError,
    ::testing::Values(StartErrorCase{"velmot-no-such-program", ChildStreams::captured,
                                     "No such file or directory (os error 2)"},
                      StartErrorCase{"velmot-no-such-program", ChildStreams::inherited,
                                     "No such file or directory (os error 2)"},
                      StartErrorCase{"/dev/null", ChildStreams::captured,
                                     "Permission denied (os error 13)"},
                      // A NUL byte would silently shorten the argument the program sees.
                      StartErrorCase{std::string("true\0x", 6), ChildStreams::captured,
                                     "Invalid argument (os error 22)"}));

TEST(ChildProcess, RefusesAnArgumentHoldingNul) {
    const auto child = run_child("true", {std::string("can0\0;x", 7)}, ChildStreams::captured);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().message, "Invalid argument (os error 22)");
}

std::size_t open_fd_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(ChildProcess, LeavesNoDescriptorOpen) {
    const auto before = open_fd_count();
    for (int round = 0; round < 3; ++round) {
        (void)run_child("sh", {"-c", "echo out; echo err >&2; exit 1"}, ChildStreams::captured);
        (void)run_child("true", {}, ChildStreams::inherited);
        (void)run_child("velmot-no-such-program", {}, ChildStreams::captured);
        (void)run_child("/dev/null", {}, ChildStreams::captured);
    }
    EXPECT_EQ(open_fd_count(), before);
}

struct InterruptCase {
    std::vector<std::string> command;  // program and arguments
    ChildStreams streams;
};

class ChildProcessInterrupt : public ::testing::TestWithParam<InterruptCase> {};

// The poll says stop on its third call; the child must be gone (reaped, not a zombie) and every
// descriptor closed when run_child returns.
TEST_P(ChildProcessInterrupt, KillsAndReapsTheChild) {
    const auto before = open_fd_count();
    int polls = 0;
    const auto& command = GetParam().command;
    const auto child = run_child(command[0], {command.begin() + 1, command.end()},
                                 GetParam().streams, [&] { return ++polls == 3; });
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().kind, ErrorKind::interrupted);
    EXPECT_EQ(polls, 3);
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(open_fd_count(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, ChildProcessInterrupt,
    ::testing::Values(
        InterruptCase{{"sleep", "30"}, ChildStreams::captured},
        InterruptCase{{"sleep", "30"}, ChildStreams::inherited},
        // streams closed: the exit wait is the one interrupted
        InterruptCase{{"sh", "-c", "exec >&- 2>&-; exec sleep 30"}, ChildStreams::captured},
        // SIGTERM ignored: only SIGKILL ends it
        InterruptCase{{"sh", "-c", "trap '' TERM; exec sleep 30"}, ChildStreams::captured}));

TEST(ChildProcess, PollAnsweringNoLeavesTheRunAlone) {
    int polls = 0;
    auto child = run_child("sh", {"-c", "sleep 0.2; echo done"}, ChildStreams::captured, [&] {
        ++polls;
        return false;
    });
    ASSERT_TRUE(child.ok()) << child.error().message;
    EXPECT_EQ(child->out, "done\n");
    EXPECT_TRUE(child->success());
    EXPECT_GT(polls, 0);
}

}  // namespace
}  // namespace velmot::os

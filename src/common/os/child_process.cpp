// Child processes through posix_spawnp, with captured or inherited standard streams, and the
// interruptible waits for their output and exit.
//
// Thread-safety: stateless; see child_process.hpp.
#include "common/os/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace velmot::os {

namespace {

using Clock = std::chrono::steady_clock;

// How often an interruptible wait looks for the child's exit (waitpid cannot wait with a limit).
constexpr auto k_exit_check_step = std::chrono::milliseconds(5);
// How long a child asked to stop with SIGTERM has before it gets SIGKILL.
constexpr auto k_terminate_grace = std::chrono::milliseconds(100);

// Calls an InterruptPoll when it is due, at least every k_interrupt_poll_period of waiting.
class InterruptSchedule {
public:
    explicit InterruptSchedule(const InterruptPoll& interrupt)
        : interrupt_(interrupt), next_poll_(Clock::now() + k_interrupt_poll_period) {}

    bool active() const { return static_cast<bool>(interrupt_); }

    // The longest a readiness wait may last now: until the next poll, or without limit (-1).
    int wait_limit_ms() const {
        if (!active()) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_poll_ - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }

    // Calls the poll if it is due; true when it asked the wait to end.
    bool stop_requested() {
        if (!active() || Clock::now() < next_poll_) {
            return false;
        }
        next_poll_ = Clock::now() + k_interrupt_poll_period;
        return interrupt_();
    }

private:
    const InterruptPoll& interrupt_;
    Clock::time_point next_poll_;
};

// Owns one file descriptor; -1 when empty.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Moves `fd` above the standard descriptors, so that the dup2 actions of one pipe can never
// overwrite the other pipe's descriptor (possible only when the process has closed 0, 1 or 2).
Result<void> lift_above_standard(UniqueFd& fd) {
    if (fd.get() > STDERR_FILENO) {
        return {};
    }
    const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (lifted < 0) {
        return Error::from_errno(errno);
    }
    fd.reset(lifted);
    return {};
}

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};

Result<Pipe> open_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return Error::from_errno(errno);
    }
    Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    if (auto lifted = lift_above_standard(pipe.read_end); !lifted) {
        return std::move(lifted).error();
    }
    if (auto lifted = lift_above_standard(pipe.write_end); !lifted) {
        return std::move(lifted).error();
    }
    return pipe;
}

// posix_spawn attributes and file actions, destroyed with this object.
class SpawnSetup {
public:
    SpawnSetup() {
        attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
        actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    }
    ~SpawnSetup() {
        if (attr_ok_) {
            ::posix_spawnattr_destroy(&attr_);
        }
        if (actions_ok_) {
            ::posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool initialised() const { return attr_ok_ && actions_ok_; }
    posix_spawnattr_t* attr() { return &attr_; }
    posix_spawn_file_actions_t* actions() { return &actions_; }

private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
    bool attr_ok_ = false;
    bool actions_ok_ = false;
};

// Returns 0 or an error number, as the posix_spawn family does.
int set_signal_hygiene(posix_spawnattr_t* attr) {
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGXFSZ}) {
        sigaddset(&defaults, sig);
    }
    if (int e = ::posix_spawnattr_setsigmask(attr, &empty)) {
        return e;
    }
    if (int e = ::posix_spawnattr_setsigdefault(attr, &defaults)) {
        return e;
    }
    return ::posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

int redirect_streams(posix_spawn_file_actions_t* actions, const Pipe& out, const Pipe& err) {
    if (int e =
            ::posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) {
        return e;
    }
    if (int e = ::posix_spawn_file_actions_adddup2(actions, out.write_end.get(), STDOUT_FILENO)) {
        return e;
    }
    return ::posix_spawn_file_actions_adddup2(actions, err.write_end.get(), STDERR_FILENO);
}

// Starts the child; `actions` may be null (streams inherited). Returns the pid or the error.
Result<pid_t> spawn(const std::string& program, const std::vector<std::string>& arguments,
                    posix_spawnattr_t* attr, posix_spawn_file_actions_t* actions) {
    // A C argument vector cannot carry a NUL byte: the program would see a shortened argument
    // (another interface name), so such a child is not started at all.
    const auto holds_nul = [](const std::string& text) {
        return text.find('\0') != std::string::npos;
    };
    if (holds_nul(program) || std::any_of(arguments.begin(), arguments.end(), holds_nul)) {
        return Error::from_errno(EINVAL);
    }
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (int e = ::posix_spawnp(&pid, program.c_str(), actions, attr, argv.data(), environ)) {
        return Error::from_errno(e);
    }
    return pid;
}

// Reads whatever one readiness report offers; closes `fd` at end of stream, and once `sink` holds
// the most a stream may (setting `cut`). Returns 0 or errno.
int read_available(UniqueFd& fd, std::string& sink, bool& cut) {
    char buffer[65536];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
        if (sink.size() >= ChildExit::k_max_captured_bytes) {
            sink.resize(ChildExit::k_max_captured_bytes);
            cut = true;
            fd.reset();
        }
    } else if (n == 0) {
        fd.reset();
    } else if (errno != EINTR && errno != EAGAIN) {
        return errno;
    }
    return 0;
}

// Reads both pipes to their end, whichever the child fills first, so neither can block it. On a
// read error or an interruption the pipes are closed (the child then sees EPIPE / SIGPIPE).
Result<void> drain(UniqueFd& out, UniqueFd& err, ChildExit& exit, InterruptSchedule& schedule) {
    while (out || err) {
        pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        int e = 0;
        if (::poll(fds, 2, schedule.wait_limit_ms()) < 0) {
            if (errno != EINTR) {
                e = errno;
            }
        } else {
            if (fds[0].revents != 0) {
                e = read_available(out, exit.out, exit.output_cut);
            }
            if (e == 0 && err && fds[1].revents != 0) {
                e = read_available(err, exit.err, exit.output_cut);
            }
        }
        if (e != 0 || schedule.stop_requested()) {
            out.reset();
            err.reset();
            return e != 0 ? Error::from_errno(e) : interrupted_error();
        }
    }
    return {};
}

void record_status(int status, ChildExit& exit) {
    if (WIFEXITED(status)) {
        exit.exit_code = WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        exit.signal = WTERMSIG(status);
    }
}

Result<void> reap(pid_t pid, ChildExit& exit) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return Error::from_errno(errno);
        }
    }
    record_status(status, exit);
    return {};
}

// Reaps the child if it has exited: true when it was reaped.
Result<bool> reap_if_exited(pid_t pid, ChildExit& exit) {
    int status = 0;
    pid_t reaped = 0;
    do {
        reaped = ::waitpid(pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped < 0) {
        return Error::from_errno(errno);
    }
    if (reaped == 0) {
        return false;
    }
    record_status(status, exit);
    return true;
}

// Waits for the child's exit and reaps it; with a poll, looks every few milliseconds so the poll
// can be asked in time (interrupted_error() when it asked to stop; the child is then not reaped).
Result<void> wait_exit(pid_t pid, ChildExit& exit, InterruptSchedule& schedule) {
    if (!schedule.active()) {
        return reap(pid, exit);
    }
    for (;;) {
        auto reaped = reap_if_exited(pid, exit);
        if (!reaped) {
            return std::move(reaped).error();
        }
        if (reaped.value()) {
            return {};
        }
        if (schedule.stop_requested()) {
            return interrupted_error();
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(
            k_exit_check_step, std::chrono::milliseconds(schedule.wait_limit_ms())));
    }
}

// Ends a child whose wait was interrupted: SIGTERM (sudo passes it on to its command and restores
// the terminal), SIGKILL after the grace period, then reaps it.
void terminate_and_reap(pid_t pid) {
    ChildExit ignored;
    ::kill(pid, SIGTERM);
    const auto give_up = Clock::now() + k_terminate_grace;
    while (Clock::now() < give_up) {
        auto reaped = reap_if_exited(pid, ignored);
        if (!reaped || reaped.value()) {
            return;
        }
        std::this_thread::sleep_for(k_exit_check_step);
    }
    ::kill(pid, SIGKILL);
    (void)reap(pid, ignored);
}

// Waits for a started child; an interrupted wait ends the child before returning.
Result<ChildExit> wait_for_child(pid_t pid, ChildExit exit, InterruptSchedule& schedule) {
    auto exited = wait_exit(pid, exit, schedule);
    if (was_interrupted(exited)) {
        terminate_and_reap(pid);
    }
    if (!exited) {
        return std::move(exited).error();
    }
    return exit;
}

Result<ChildExit> run_inherited(const std::string& program,
                                const std::vector<std::string>& arguments, SpawnSetup& setup,
                                InterruptSchedule& schedule) {
    auto pid = spawn(program, arguments, setup.attr(), nullptr);
    if (!pid) {
        return std::move(pid).error();
    }
    return wait_for_child(pid.value(), ChildExit{}, schedule);
}

Result<ChildExit> run_captured(const std::string& program,
                               const std::vector<std::string>& arguments, SpawnSetup& setup,
                               InterruptSchedule& schedule) {
    auto out = open_pipe();
    if (!out) {
        return std::move(out).error();
    }
    auto err = open_pipe();
    if (!err) {
        return std::move(err).error();
    }
    if (int e = redirect_streams(setup.actions(), out.value(), err.value())) {
        return Error::from_errno(e);
    }
    auto pid = spawn(program, arguments, setup.attr(), setup.actions());
    if (!pid) {
        return std::move(pid).error();
    }
    // Our copies of the write ends must go, or the reads below never see the end of the streams.
    out->write_end.reset();
    err->write_end.reset();
    ChildExit exit;
    auto drained = drain(out->read_end, err->read_end, exit, schedule);
    if (was_interrupted(drained)) {
        terminate_and_reap(pid.value());
        return std::move(drained).error();
    }
    auto waited = wait_for_child(pid.value(), std::move(exit), schedule);
    if (waited && !drained) {
        return std::move(drained).error();
    }
    return waited;
}

}  // namespace

Result<ChildExit> run_child(const std::string& program, const std::vector<std::string>& arguments,
                            ChildStreams streams, const InterruptPoll& interrupt) {
    SpawnSetup setup;
    if (!setup.initialised()) {
        return Error::from_errno(ENOMEM);
    }
    if (int e = set_signal_hygiene(setup.attr())) {
        return Error::from_errno(e);
    }
    InterruptSchedule schedule(interrupt);
    if (streams == ChildStreams::inherited) {
        return run_inherited(program, arguments, setup, schedule);
    }
    return run_captured(program, arguments, setup, schedule);
}

}  // namespace velmot::os

// Child processes through posix_spawnp, with captured or inherited standard streams.
//
// Thread-safety: stateless; see child_process.hpp.
#include "comm/can/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace velmot::comm::can {

namespace {

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
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Moves `fd` above the standard descriptors, so that the dup2 actions of one pipe can never
// overwrite the other pipe's descriptor (possible only when the process has closed 0, 1 or 2).
Result<void> lift_above_standard(UniqueFd& fd) {
    if (fd.get() > STDERR_FILENO) return {};
    const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (lifted < 0) return Error::from_errno(errno);
    fd.reset(lifted);
    return {};
}

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};

Result<Pipe> open_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Error::from_errno(errno);
    Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    if (auto lifted = lift_above_standard(pipe.read_end); !lifted) return std::move(lifted).error();
    if (auto lifted = lift_above_standard(pipe.write_end); !lifted) return std::move(lifted).error();
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
        if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
        if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
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
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGXFSZ}) sigaddset(&defaults, sig);
    if (int e = ::posix_spawnattr_setsigmask(attr, &empty)) return e;
    if (int e = ::posix_spawnattr_setsigdefault(attr, &defaults)) return e;
    return ::posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

int redirect_streams(posix_spawn_file_actions_t* actions, const Pipe& out, const Pipe& err) {
    if (int e = ::posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) {
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
    const auto holds_nul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
    if (holds_nul(program) || std::any_of(arguments.begin(), arguments.end(), holds_nul)) {
        return Error::from_errno(EINVAL);
    }
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (int e = ::posix_spawnp(&pid, program.c_str(), actions, attr, argv.data(), environ)) {
        return Error::from_errno(e);
    }
    return pid;
}

// Reads whatever one readiness report offers; closes `fd` at end of stream. Returns 0 or errno.
int read_available(UniqueFd& fd, std::string& sink) {
    char buffer[65536];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
        fd.reset();
    } else if (errno != EINTR && errno != EAGAIN) {
        return errno;
    }
    return 0;
}

// Reads both pipes to their end, whichever the child fills first, so neither can block it.
// Returns 0 or errno; on error the pipes are closed (the child then sees EPIPE / SIGPIPE).
int drain(UniqueFd& out, UniqueFd& err, ChildExit& exit) {
    while (out || err) {
        pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        int e = 0;
        if (fds[0].revents != 0) e = read_available(out, exit.out);
        if (e == 0 && fds[1].revents != 0) e = read_available(err, exit.err);
        if (e != 0) {
            out.reset();
            err.reset();
            return e;
        }
    }
    return 0;
}

Result<void> reap(pid_t pid, ChildExit& exit) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return Error::from_errno(errno);
    }
    if (WIFEXITED(status)) exit.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
    return {};
}

Result<ChildExit> run_inherited(const std::string& program, const std::vector<std::string>& arguments,
                                SpawnSetup& setup) {
    auto pid = spawn(program, arguments, setup.attr(), nullptr);
    if (!pid) return std::move(pid).error();
    ChildExit exit;
    if (auto reaped = reap(pid.value(), exit); !reaped) return std::move(reaped).error();
    return exit;
}

Result<ChildExit> run_captured(const std::string& program, const std::vector<std::string>& arguments,
                               SpawnSetup& setup) {
    auto out = open_pipe();
    if (!out) return std::move(out).error();
    auto err = open_pipe();
    if (!err) return std::move(err).error();
    if (int e = redirect_streams(setup.actions(), out.value(), err.value())) return Error::from_errno(e);
    auto pid = spawn(program, arguments, setup.attr(), setup.actions());
    if (!pid) return std::move(pid).error();
    // Our copies of the write ends must go, or the reads below never see the end of the streams.
    out->write_end.reset();
    err->write_end.reset();
    ChildExit exit;
    const int drain_error = drain(out->read_end, err->read_end, exit);
    if (auto reaped = reap(pid.value(), exit); !reaped) return std::move(reaped).error();
    if (drain_error != 0) return Error::from_errno(drain_error);
    return exit;
}

}  // namespace

Result<ChildExit> run_child(const std::string& program, const std::vector<std::string>& arguments,
                            ChildStreams streams) {
    SpawnSetup setup;
    if (!setup.initialised()) return Error::from_errno(ENOMEM);
    if (int e = set_signal_hygiene(setup.attr())) return Error::from_errno(e);
    if (streams == ChildStreams::inherited) return run_inherited(program, arguments, setup);
    return run_captured(program, arguments, setup);
}

}  // namespace velmot::comm::can

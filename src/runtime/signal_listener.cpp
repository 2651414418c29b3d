// SignalListener: the chaining signal handler, the process-wide self-pipe and listener registry,
// and the per-listener pipe watch that fans wake-ups out.
//
// The handler touches only constant-initialised globals (lock-free atomics and the saved previous
// actions), so it is async-signal-safe and works before and after any other static is built.
#include "runtime/signal_listener.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <asio/buffer.hpp>
#include <asio/use_awaitable.hpp>

namespace velmot::runtime {

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// Deliveries per signal since process start, bumped by the handler.
std::atomic<std::uint32_t> g_deliveries[NSIG];
// The action each signal had before ours; written once, before our handler is installed.
struct sigaction g_previous[NSIG];
// Write end of the self-pipe (non-blocking), -1 until created.
std::atomic<int> g_wake_fd{-1};
// Whether our handler is the signal's action; cleared by the handler when it restores the default.
std::atomic<bool> g_installed[NSIG];
// Listeners and SignalInterests alive per signal.
std::atomic<int> g_interest[NSIG];

bool valid_signal(int signo) {
    return signo > 0 && signo < NSIG;
}

// Nobody acts on the signal and its action before ours was the default: take that action. The
// signal is blocked while this handler runs, so the raised one is delivered, with the default
// action, when the handler returns.
bool took_default_action(int signo) {
    const struct sigaction& previous = g_previous[signo];
    if (g_interest[signo].load() != 0 || (previous.sa_flags & SA_SIGINFO) ||
        previous.sa_handler != SIG_DFL) {
        return false;
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    g_installed[signo].store(false);
    ::sigaction(signo, &fallback, nullptr);
    ::raise(signo);
    return true;
}

void chain_previous(int signo, siginfo_t* info, void* context) {
    const struct sigaction& previous = g_previous[signo];
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) {
            previous.sa_sigaction(signo, info, context);
        }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signo);
    }
}

void on_signal(int signo, siginfo_t* info, void* context) {
    if (!valid_signal(signo)) {
        return;
    }
    const int saved_errno = errno;
    g_deliveries[signo].fetch_add(1);
    // Bump before the write: a reader that drained this byte then sees the new count.
    const int fd = g_wake_fd.load();
    if (fd >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t written =
            ::write(fd, &byte, 1);  // a full pipe already wakes
    }
    if (!took_default_action(signo)) {
        chain_previous(signo, info, context);
    }
    errno = saved_errno;
}

// Process-wide bookkeeping (leaked): the self-pipe, which signals carry our handler, and the
// listeners to wake.
class Hub {
public:
    // Registers a new listener; the delivery count it starts from is read after installation.
    Result<std::shared_ptr<detail::SignalListenerState>> create(
        const asio::any_io_executor& executor, int signo);
    void remove(const detail::SignalListenerState* state);
    void wake_all();

private:
    Result<void> ensure_pipe_locked();
    Result<void> install_locked(int signo);

    std::mutex mutex_;
    int read_fd_ = -1;
    std::vector<std::weak_ptr<detail::SignalListenerState>> listeners_;
};

Hub& hub() {
    static Hub& instance = *new Hub();  // leaked: listeners and the handler may outlive main
    return instance;
}

Result<void> Hub::ensure_pipe_locked() {
    if (read_fd_ >= 0) {
        return {};
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return Error::from_errno(errno, "cannot create the signal pipe");
    }
    read_fd_ = fds[0];
    g_wake_fd.store(fds[1]);
    return {};
}

Result<void> Hub::install_locked(int signo) {
    if (!valid_signal(signo)) {
        return Error::from_errno(EINVAL, "cannot listen for signal " + std::to_string(signo));
    }
    if (g_installed[signo].load()) {
        return {};
    }
    struct sigaction ours {};
    ours.sa_sigaction = on_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    // Saved before installing so that the handler never sees a half-written previous action.
    if (::sigaction(signo, nullptr, &g_previous[signo]) != 0 ||
        ::sigaction(signo, &ours, nullptr) != 0) {
        return Error::from_errno(errno,
                                 "cannot install a handler for signal " + std::to_string(signo));
    }
    g_installed[signo].store(true);
    return {};
}

Result<std::shared_ptr<detail::SignalListenerState>> Hub::create(
    const asio::any_io_executor& executor, int signo) {
    std::lock_guard lock(mutex_);
    if (auto piped = ensure_pipe_locked(); !piped) {
        return std::move(piped).error();
    }
    if (auto installed = install_locked(signo); !installed) {
        return std::move(installed).error();
    }
    const int fd = ::fcntl(read_fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return Error::from_errno(errno, "cannot duplicate the signal pipe");
    }
    asio::posix::stream_descriptor descriptor(executor);
    std::error_code ec;
    descriptor.assign(fd, ec);
    if (ec) {
        ::close(fd);
        return Error::from_errno(ec.value(), "cannot watch the signal pipe");
    }
    auto state = std::make_shared<detail::SignalListenerState>(std::move(descriptor), signo);
    std::erase_if(listeners_, [](const auto& listener) { return listener.expired(); });
    listeners_.push_back(state);
    g_interest[signo].fetch_add(1);
    return state;
}

void Hub::remove(const detail::SignalListenerState* state) {
    g_interest[state->signo()].fetch_sub(1);
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_, [state](const auto& listener) {
        auto alive = listener.lock();
        return !alive || alive.get() == state;
    });
}

void Hub::wake_all() {
    std::vector<std::shared_ptr<detail::SignalListenerState>> alive;
    {
        std::lock_guard lock(mutex_);
        alive.reserve(listeners_.size());
        for (const auto& listener : listeners_) {
            if (auto state = listener.lock()) {
                alive.push_back(std::move(state));
            }
        }
    }
    for (const auto& state : alive) {
        state->wake_if_delivered();
    }
}

}  // namespace

namespace detail {

SignalListenerState::SignalListenerState(asio::posix::stream_descriptor descriptor, int signo)
    : signo_(signo), seen_(g_deliveries[signo].load()), descriptor_(std::move(descriptor)) {}

bool SignalListenerState::take_delivery_locked() {
    const std::uint32_t now = g_deliveries[signo_].load();
    if (now == seen_) {
        return false;
    }
    seen_ = now;
    return true;
}

// Keeps one read of the self-pipe pending while anyone waits on this listener, so that some
// listener always notices a delivery. The read completes on the listener's executor.
void SignalListenerState::arm_read_locked() {
    if (reading_ || closed_) {
        return;
    }
    reading_ = true;
    descriptor_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](std::error_code ec, std::size_t) { self->on_readable(ec); });
}

void SignalListenerState::drain_locked() {
    while (::read(descriptor_.native_handle(), buffer_.data(), buffer_.size()) > 0) {
    }
}

void SignalListenerState::on_readable(std::error_code ec) {
    bool closed = false;
    {
        std::lock_guard lock(waiters.mutex());
        reading_ = false;
        closed = closed_;
        if (!ec && !closed) {
            drain_locked();
        }
    }
    // A read that took a byte passes the wake-up on even when this listener was closed meanwhile:
    // the byte may stand for a delivery that only other listeners wait for.
    if (!ec) {
        hub().wake_all();
    }
    if (closed) {
        return;
    }
    std::unique_lock lock(waiters.mutex());
    if (!ec) {
        if (!waiters.empty()) {
            arm_read_locked();
        }
        return;
    }
    // The pipe cannot be watched any more: fail the waiters rather than leave them hanging.
    auto failed = waiters.take_all();
    lock.unlock();
    for (auto& waiter : failed) {
        waiter->complete(ec, NoValue{});
    }
}

void SignalListenerState::wake_if_delivered() {
    std::unique_lock lock(waiters.mutex());
    if (closed_ || waiters.empty() || !take_delivery_locked()) {
        return;
    }
    auto woken = waiters.take_all();
    lock.unlock();
    for (auto& waiter : woken) {
        waiter->complete({}, NoValue{});
    }
}

void SignalListenerState::close() {
    std::unique_lock lock(waiters.mutex());
    closed_ = true;
    std::error_code ignored;
    descriptor_.close(ignored);  // cancels the pending read, which then drops its reference
    auto aborted = waiters.take_all();
    lock.unlock();
    for (auto& waiter : aborted) {
        waiter->complete(asio::error::operation_aborted, NoValue{});
    }
}

}  // namespace detail

SignalInterest::SignalInterest(int signo) noexcept : signo_(valid_signal(signo) ? signo : 0) {
    if (signo_ != 0) {
        g_interest[signo_].fetch_add(1);
    }
}

SignalInterest::~SignalInterest() {
    if (signo_ != 0) {
        g_interest[signo_].fetch_sub(1);
    }
}

std::uint32_t signal_delivery_count(int signo) noexcept {
    return signo > 0 && signo < NSIG ? g_deliveries[signo].load() : 0;
}

Result<SignalListener> SignalListener::create(const asio::any_io_executor& executor, int signo) {
    auto state = hub().create(executor, signo);
    if (!state) {
        return std::move(state).error();
    }
    return SignalListener(std::move(state).value());
}

SignalListener& SignalListener::operator=(SignalListener&& other) noexcept {
    if (this != &other) {
        if (state_) {
            hub().remove(state_.get());
            state_->close();
        }
        state_ = std::move(other.state_);
    }
    return *this;
}

SignalListener::~SignalListener() {
    if (!state_) {
        return;
    }
    hub().remove(state_.get());
    state_->close();
}

asio::awaitable<void> SignalListener::recv() {
    return async_recv(asio::use_awaitable);
}

}  // namespace velmot::runtime

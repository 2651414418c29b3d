// CanDevice (the socket wrapper): opening, non-blocking frame I/O and the readiness waits.
#include "comm/can/can_device.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "comm/can/link_loss.hpp"
#include "runtime/operation_aborted.hpp"

namespace velmot::comm::can {
namespace {

constexpr std::size_t k_max_interface_name = 4096;

Error open_failed() {
    return Error{ErrorKind::os, "Failed to open CAN Socket"};
}
Error io_error() {
    return Error{ErrorKind::os, "IO error"};
}

// A bound raw CAN socket, or -1. CLOEXEC keeps it out of the `ip` / `sudo` children of later
// provisioning runs.
int open_bound_socket(const std::string& interface) {
    if (interface.size() >= k_max_interface_name || interface.find('\0') != std::string::npos) {
        return -1;
    }
    const unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) {
        return -1;
    }
    const int fd = ::socket(AF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        return -1;
    }
    sockaddr_can address;
    std::memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool set_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

Result<CanDevice> CanDevice::open(const std::string& interface, asio::io_context& io) {
    const int fd = open_bound_socket(interface);
    if (fd < 0) {
        return open_failed();
    }
    if (!set_non_blocking(fd)) {
        ::close(fd);
        return io_error();
    }
    asio::posix::stream_descriptor socket(io);
    std::error_code ec;
    socket.assign(fd, ec);  // registers with the reactor
    if (ec) {
        ::close(fd);
        return io_error();
    }
    return CanDevice(std::move(socket));
}

Error CanDevice::failure(Error cause, bool permanent) {
    if (!permanent) {
        return cause;
    }
    loss_ = lost_interface_error(cause);
    report_interface_loss(*loss_);
    return *loss_;
}

CanDevice::Attempt CanDevice::try_write(const can_frame& frame, Error& error) {
    if (loss_) {
        error = *loss_;
        return Attempt::failed;
    }
    for (;;) {
        const ssize_t written = ::write(socket_.native_handle(), &frame, sizeof frame);
        if (written == static_cast<ssize_t>(sizeof frame)) {
            return Attempt::done;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Attempt::would_block;
        }
        const int code = written < 0 ? errno : EIO;
        error = failure(Error::from_errno(code), is_permanent_socket_errno(code));
        return Attempt::failed;
    }
}

CanDevice::Attempt CanDevice::try_read(can_frame& frame, Error& error) {
    if (loss_) {
        error = *loss_;
        return Attempt::failed;
    }
    for (;;) {
        const ssize_t got = ::read(socket_.native_handle(), &frame, sizeof frame);
        if (got == static_cast<ssize_t>(sizeof frame)) {
            return Attempt::done;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Attempt::would_block;
        }
        if (got == 0) {
            // End of stream: only a simulated socket whose bus has gone away reads it.
            error = failure(Error{ErrorKind::broken_pipe, "CAN socket closed"}, true);
        } else {
            const int code = got < 0 ? errno : EIO;
            error = failure(Error::from_errno(code), is_permanent_socket_errno(code));
        }
        return Attempt::failed;
    }
}

asio::awaitable<Result<void>> CanDevice::write(const can_frame& frame) {
    for (;;) {
        Error error{ErrorKind::os, {}};
        const Attempt attempt = try_write(frame, error);
        if (attempt == Attempt::done) {
            co_return Result<void>{};
        }
        if (attempt == Attempt::failed) {
            co_return error;
        }
        std::error_code ec;
        co_await socket_.async_wait(asio::posix::stream_descriptor::wait_write,
                                    asio::redirect_error(asio::use_awaitable, ec));
        if (runtime::is_operation_aborted(ec)) {
            throw std::system_error(ec);
        }
        if (ec) {
            co_return Error::from_errno(ec.value());
        }
    }
}

asio::awaitable<Result<can_frame>> CanDevice::read() {
    for (;;) {
        can_frame frame;
        Error error{ErrorKind::os, {}};
        const Attempt attempt = try_read(frame, error);
        if (attempt == Attempt::done) {
            co_return frame;
        }
        if (attempt == Attempt::failed) {
            co_return error;
        }
        // Aborting this wait (a timeout, a cancelled task) throws before any frame is taken.
        co_await async_wait_readable(asio::use_awaitable);
    }
}

void CanDevice::cancel() {
    std::error_code ignored;
    socket_.cancel(ignored);
}

}  // namespace velmot::comm::can

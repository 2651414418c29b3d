// CanDevice: the socket wrapper. Owns one SocketCAN raw socket bound to an interface, in
// non-blocking mode and registered with the runtime's reactor, and turns it into frame operations.
// No socket option is set: the socket receives every data frame of the interface sent by others
// (other sockets of this host included), but not its own frames and no error frames.
// Closing (destroying) the wrapper closes the socket.
//
// A failure that can never heal (link_loss.hpp: the interface is gone, the socket is broken) is
// reported once on stderr and kept: from then on every operation fails at once with the same
// "CAN interface lost: ..." error, without touching the socket.
//
// The non-blocking `try_*` calls may run on any thread; the awaitable operations must run on the
// runtime, on one task (or strand) at a time. Writes that meet a full socket buffer wait for write
// readiness rather than spinning, so a congested bus never occupies a runtime worker.
//
// Thread-safety: one user at a time (the owning device serialises its calls).
#pragma once

#include <linux/can.h>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <optional>
#include <string>

#include "common/result.hpp"

namespace velmot::comm::can {

class CanDevice {
public:
    // Outcome of one non-blocking attempt.
    enum class Attempt { done, would_block, failed };

    // Looks the interface up, opens and binds the socket, makes it non-blocking and registers it
    // with `io`. Errors: "Failed to open CAN Socket" (lookup, socket, bind) or "IO error".
    static Result<CanDevice> open(const std::string& interface, asio::io_context& io);

    CanDevice(CanDevice&&) noexcept = default;
    CanDevice& operator=(CanDevice&&) noexcept = default;

    // One write without waiting; `error` is set when it failed.
    Attempt try_write(const can_frame& frame, Error& error);
    // One read without waiting; `frame` is filled when done, `error` when it failed.
    Attempt try_read(can_frame& frame, Error& error);

    // Writes the frame, waiting for write readiness while the socket buffer is full.
    asio::awaitable<Result<void>> write(const can_frame& frame);
    // Reads the next frame, waiting for read readiness. Cancelling the wait takes no frame.
    asio::awaitable<Result<can_frame>> read();

    // Completes (with no error) once the socket is readable; operation_aborted after cancel().
    template <class Token>
    auto async_wait_readable(Token&& token) {
        return socket_.async_wait(asio::posix::stream_descriptor::wait_read,
                                  std::forward<Token>(token));
    }
    // Aborts the pending waits.
    void cancel();

    // The "CAN interface lost: ..." error, once an operation met a permanent failure.
    const std::optional<Error>& loss() const noexcept { return loss_; }

private:
    explicit CanDevice(asio::posix::stream_descriptor socket) : socket_(std::move(socket)) {}

    // Turns a failure into the error the caller sees, recording (and reporting) a permanent one.
    Error failure(Error cause, bool permanent);

    asio::posix::stream_descriptor socket_;
    std::optional<Error> loss_;
};

}  // namespace velmot::comm::can

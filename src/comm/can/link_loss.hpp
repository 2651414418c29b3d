// Losing a CAN interface for good. A socket call that fails with ENODEV or ENXIO (the interface is
// gone), EPIPE, ECONNRESET or EBADF (the socket itself is broken), or a read that meets the end of
// the stream (the simulated bus has gone away), can never succeed again: the socket is lost. Such
// a failure is reported once on stderr, "CAN interface lost: " + the error text, and from then on
// every call on the device raises OSError with that same text. Transient failures (ENOBUFS on a
// full transmit queue, ENETDOWN while the link is down) are not losses.
//
// LinkLoss is the record a device shares between its I/O task (which sets it, once) and its
// callers (which read it on every call, without a lock).
//
// Thread-safety: LinkLoss may be read from any thread while one thread sets it.
#pragma once

#include <atomic>
#include <optional>

#include "common/result.hpp"

namespace velmot::comm::can {

// True for the errno values after which a CAN socket can never work again.
bool is_permanent_socket_errno(int errno_value) noexcept;

// The error every call on a lost device returns: "CAN interface lost: " + the cause's text.
Error lost_interface_error(const Error& cause);

// Writes the one stderr line of a loss (the text of `lost`, a lost_interface_error).
void report_interface_loss(const Error& lost);

class LinkLoss {
public:
    // Records the loss; only the first call counts. `lost` is a lost_interface_error.
    void record(const Error& lost);
    // The loss, once recorded.
    std::optional<Error> error() const;
    bool lost() const noexcept { return lost_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> lost_{false};
    std::atomic<bool> recording_{false};
    Error error_{ErrorKind::broken_pipe, {}};  // written once, before lost_ is set
};

}  // namespace velmot::comm::can

// The permanent socket errors, the loss text and its stderr line, and the shared loss record.
#include "comm/can/link_loss.hpp"

#include <cerrno>

#include "common/console.hpp"

namespace velmot::comm::can {
namespace {

constexpr ConsoleKind k_interface_lost_kind{"can: interface lost"};

}  // namespace

bool is_permanent_socket_errno(int errno_value) noexcept {
    switch (errno_value) {
        case ENODEV:
        case ENXIO:
        case EPIPE:
        case ECONNRESET:
        case EBADF:
            return true;
        default:
            return false;
    }
}

Error lost_interface_error(const Error& cause) {
    return Error{ErrorKind::broken_pipe, "CAN interface lost: " + cause.message};
}

void report_interface_loss(const Error& lost) {
    write_stderr(k_interface_lost_kind, lost.message + "\n");
}

void LinkLoss::record(const Error& lost) {
    if (recording_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    error_ = lost;
    lost_.store(true, std::memory_order_release);
}

std::optional<Error> LinkLoss::error() const {
    if (!lost()) {
        return std::nullopt;
    }
    return error_;
}

}  // namespace velmot::comm::can

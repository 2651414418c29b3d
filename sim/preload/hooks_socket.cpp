// Hooks that make a CAN raw socket out of an AF_UNIX seqpacket connection to the bus daemon:
// socket, bind, setsockopt, getsockopt, getsockname, getpeername. Everything that is not a
// simulated CAN socket goes to libc unchanged; with VCAN_SIM_DIR unset no socket is simulated.
//
// Thread-safety: as libc's; no locks, no allocation.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>

#include "preload/can_address.hpp"
#include "preload/libc_calls.hpp"
#include "preload/sim_bus.hpp"
#include "preload/sim_socket_table.hpp"

using namespace vcan;

namespace {

int fail(int error) {
    errno = error;
    return -1;
}

bool is_can_raw(int domain, int type, int protocol) {
    constexpr int k_type_mask = 0xf;  // the socket type without SOCK_NONBLOCK / SOCK_CLOEXEC
    return domain == PF_CAN && (type & k_type_mask) == SOCK_RAW && protocol == CAN_RAW;
}

int bind_sim_socket(int fd, SimSocket& sim, const sockaddr* address, socklen_t length) {
    const char* dir = sim_dir();
    sockaddr_can can{};
    if (address == nullptr || length < k_can_address_length) {
        return fail(EINVAL);
    }
    std::memcpy(&can, address, std::min<socklen_t>(length, sizeof can));
    if (can.can_family != AF_CAN) {
        return fail(EINVAL);
    }
    // Index 0 (every interface) is not simulated: one connection serves one interface.
    InterfaceEntry entry;
    if (dir == nullptr || can.can_ifindex == 0 ||
        !find_interface_by_index(dir, can.can_ifindex, entry)) {
        return fail(ENODEV);
    }
    if (sim.ifindex != 0) {
        // Rebinding to the same interface changes nothing; moving a simulated socket to another
        // interface would replace its descriptor under the caller's epoll registrations.
        return sim.ifindex == can.can_ifindex ? 0 : fail(EINVAL);
    }
    int error = connect_interface(fd, dir, entry.name);
    if (error == 0) {
        error = send_options(fd, sim.options.wire);
    }
    if (error != 0) {
        return fail(error);
    }
    sim.ifindex = can.can_ifindex;
    return 0;
}

bool is_receive_buffer_option(int level, int name) {
    return level == SOL_SOCKET && (name == SO_RCVBUF || name == SO_RCVBUFFORCE);
}

// SO_RCVBUF on a simulated socket sizes the daemon's queue for it (the kernel's receive queue).
int set_receive_buffer(int fd, SimSocket& sim, int level, int name, const void* value,
                       socklen_t length) {
    const int result = real::setsockopt()(fd, level, name, value, length);
    if (result != 0) {
        return result;
    }
    int effective = 0;
    socklen_t size = sizeof effective;
    if (real::getsockopt()(fd, SOL_SOCKET, SO_RCVBUF, &effective, &size) == 0) {
        sim.options.wire.rcvbuf = effective / 2;  // the kernel doubles what it is asked for
    }
    const int error = sim.ifindex != 0 ? send_options(fd, sim.options.wire) : 0;
    return error == 0 ? 0 : fail(error);
}

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) noexcept {
    if (is_can_raw(domain, type, protocol) && sim_dir() != nullptr) {
        const int fd =
            real::socket()(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_NONBLOCK | SOCK_CLOEXEC)), 0);
        if (fd >= 0 && add_sim_socket(fd) == nullptr) {
            real::close()(fd);
            return fail(ENOBUFS);
        }
        return fd;
    }
    const int fd = real::socket()(domain, type, protocol);
    forget_fd(fd);  // a number closed behind our back and reused
    return fd;
}

int bind(int fd, const sockaddr* address, socklen_t length) noexcept {
    SimSocket* sim = find_checked_sim_socket(fd);
    return sim != nullptr ? bind_sim_socket(fd, *sim, address, length)
                          : real::bind()(fd, address, length);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept {
    if (level != SOL_CAN_RAW && !is_receive_buffer_option(level, name)) {
        return real::setsockopt()(fd, level, name, value, length);
    }
    SimSocket* sim = find_checked_sim_socket(fd);
    if (sim == nullptr) {
        return real::setsockopt()(fd, level, name, value, length);
    }
    if (level == SOL_SOCKET) {
        return set_receive_buffer(fd, *sim, level, name, value, length);
    }
    int error = set_raw_option(sim->options, name, value, length);
    if (error == 0 && sim->ifindex != 0) {
        error = send_options(fd, sim->options.wire);
    }
    return error == 0 ? 0 : fail(error);
}

int getsockopt(int fd, int level, int name, void* value, socklen_t* length) noexcept {
    const bool identity =
        level == SOL_SOCKET && (name == SO_TYPE || name == SO_DOMAIN || name == SO_PROTOCOL);
    if (level != SOL_CAN_RAW && !identity) {
        return real::getsockopt()(fd, level, name, value, length);
    }
    SimSocket* sim = find_checked_sim_socket(fd);
    if (sim == nullptr) {
        return real::getsockopt()(fd, level, name, value, length);
    }
    if (level == SOL_CAN_RAW) {
        const int error = get_raw_option(sim->options, name, value, length);
        return error == 0 ? 0 : fail(error);
    }
    const int answer = name == SO_TYPE ? SOCK_RAW : name == SO_DOMAIN ? AF_CAN : CAN_RAW;
    if (length == nullptr || value == nullptr) {
        return fail(EFAULT);
    }
    const socklen_t copied = std::min<socklen_t>(*length, sizeof answer);
    std::memcpy(value, &answer, copied);
    *length = copied;
    return 0;
}

int getsockname(int fd, sockaddr* address, socklen_t* length) noexcept {
    SimSocket* sim = find_checked_sim_socket(fd);
    if (sim == nullptr) {
        return real::getsockname()(fd, address, length);
    }
    if (length == nullptr) {
        return fail(EFAULT);
    }
    write_can_address(sim->ifindex, address, *length, length);
    return 0;
}

int getpeername(int fd, sockaddr* address, socklen_t* length) noexcept {
    if (find_checked_sim_socket(fd) != nullptr) {
        return fail(EOPNOTSUPP);  // a CAN raw socket has no peer
    }
    return real::getpeername()(fd, address, length);
}

}  // extern "C"

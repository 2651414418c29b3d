// Reads and writes on simulated sockets whose interface was removed (see link_loss.hpp): read and
// recv are hooked for the end of stream (recvmsg and recvfrom in hooks_recv.cpp), write, send,
// sendto and sendmsg for the broken pipe. A write to a simulated socket never raises SIGPIPE, as
// a write to a kernel CAN socket does not. Successful calls cost one table lookup at most.
//
// Thread-safety: as libc's; no locks, no allocation.
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include "preload/libc_calls.hpp"
#include "preload/link_loss.hpp"
#include "preload/sim_bus.hpp"
#include "preload/sim_socket_table.hpp"

using namespace vcan;

namespace {

// The bound interface of `sim` is no longer on the bus.
bool interface_removed(const SimSocket& sim) {
    const char* dir = sim_dir();
    InterfaceEntry entry;
    return dir != nullptr && sim.ifindex != 0 && !find_interface_by_index(dir, sim.ifindex, entry);
}

ssize_t fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

namespace vcan {

ssize_t translate_read_result(int fd, ssize_t result) {
    // A connection closed while the daemon still held unread frames of this socket reads as reset.
    if (result > 0 || (result < 0 && errno != ECONNRESET)) {
        return result;
    }
    const int saved = errno;
    SimSocket* sim = find_sim_socket(fd);
    if (sim == nullptr || !interface_removed(*sim)) {
        errno = saved;
        return result;
    }
    return fail(sim->removal_reported.exchange(true) ? EAGAIN : ENODEV);
}

ssize_t translate_write_result(int fd, ssize_t result) {
    if (result >= 0 || (errno != EPIPE && errno != ECONNRESET)) {
        return result;
    }
    const int saved = errno;
    const SimSocket* sim = find_sim_socket(fd);
    if (sim == nullptr || !interface_removed(*sim)) {
        return fail(saved);
    }
    return fail(ENXIO);
}

}  // namespace vcan

extern "C" {

ssize_t read(int fd, void* buffer, size_t size) {
    return translate_read_result(fd, real::read()(fd, buffer, size));
}

ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    return translate_read_result(fd, real::recv()(fd, buffer, size, flags));
}

ssize_t write(int fd, const void* buffer, size_t size) {
    if (find_sim_socket(fd) == nullptr) {
        return real::write()(fd, buffer, size);
    }
    return translate_write_result(fd, real::send()(fd, buffer, size, MSG_NOSIGNAL));
}

ssize_t send(int fd, const void* buffer, size_t size, int flags) {
    const int extra = find_sim_socket(fd) != nullptr ? MSG_NOSIGNAL : 0;
    return translate_write_result(fd, real::send()(fd, buffer, size, flags | extra));
}

ssize_t sendto(int fd, const void* buffer, size_t size, int flags, const sockaddr* to,
               socklen_t length) {
    const int extra = find_sim_socket(fd) != nullptr ? MSG_NOSIGNAL : 0;
    return translate_write_result(fd, real::sendto()(fd, buffer, size, flags | extra, to, length));
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    const int extra = find_sim_socket(fd) != nullptr ? MSG_NOSIGNAL : 0;
    return translate_write_result(fd, real::sendmsg()(fd, message, flags | extra));
}

}  // extern "C"

// Source addresses of frames received on simulated CAN sockets: recvmsg, recvfrom and recvmmsg
// report AF_CAN and the bound interface index instead of the daemon's AF_UNIX address. The data,
// flags and control messages (SO_TIMESTAMP / SO_TIMESTAMPNS, which AF_UNIX provides natively) pass
// through unchanged; recv and read carry no address (hooks_link_loss.cpp hooks them, as these two,
// for a removed interface).
//
// Thread-safety: as libc's; no locks, no allocation. The reply's address family doubles as a check
// that the descriptor still is the simulated socket (a stale entry is forgotten).
#include <sys/socket.h>
#include <cerrno>

#include "preload/can_address.hpp"
#include "preload/libc_calls.hpp"
#include "preload/link_loss.hpp"
#include "preload/sim_socket_table.hpp"

using namespace vcan;

namespace {

// The largest vector recvmmsg accepts (the kernel's UIO_MAXIOV).
constexpr unsigned k_max_messages = 1024;

// Rewrites the address the kernel wrote (`length` bytes) into a buffer of `capacity` bytes.
void rewrite_source(int fd, const SimSocket& sim, void* name, socklen_t capacity,
                    socklen_t* length) {
    if (*length >= sizeof(sa_family_t) && capacity >= sizeof(sa_family_t) &&
        static_cast<const sockaddr*>(name)->sa_family != AF_UNIX) {
        forget_fd(fd);
        return;
    }
    write_can_address(sim.ifindex, name, capacity, length);
}

}  // namespace

extern "C" {

ssize_t recvmsg(int fd, msghdr* message, int flags) {
    const socklen_t capacity = message != nullptr ? message->msg_namelen : 0;
    const ssize_t result = translate_read_result(fd, real::recvmsg()(fd, message, flags));
    if (result >= 0 && message != nullptr && message->msg_name != nullptr) {
        if (const SimSocket* sim = find_sim_socket(fd)) {
            rewrite_source(fd, *sim, message->msg_name, capacity, &message->msg_namelen);
        }
    }
    return result;
}

ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from,
                 socklen_t* from_length) {
    const SimSocket* sim =
        from != nullptr && from_length != nullptr ? find_sim_socket(fd) : nullptr;
    if (sim == nullptr) {
        return translate_read_result(fd,
                                     real::recvfrom()(fd, buffer, size, flags, from, from_length));
    }
    const socklen_t capacity = *from_length;
    const ssize_t result =
        translate_read_result(fd, real::recvfrom()(fd, buffer, size, flags, from, from_length));
    if (result >= 0) {
        rewrite_source(fd, *sim, from, capacity, from_length);
    }
    return result;
}

int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, struct timespec* timeout) {
    const SimSocket* sim = messages != nullptr ? find_sim_socket(fd) : nullptr;
    if (sim == nullptr) {
        return real::recvmmsg()(fd, messages, count, flags, timeout);
    }
    if (count > k_max_messages) {
        count = k_max_messages;  // the kernel's own limit
    }
    socklen_t capacities[k_max_messages];
    for (unsigned i = 0; i < count; ++i) {
        capacities[i] = messages[i].msg_hdr.msg_namelen;
    }
    const int result = real::recvmmsg()(fd, messages, count, flags, timeout);
    for (int i = 0; i < result; ++i) {
        msghdr& header = messages[i].msg_hdr;
        if (header.msg_name != nullptr) {
            rewrite_source(fd, *sim, header.msg_name, capacities[i], &header.msg_namelen);
        }
    }
    return result;
}

}  // extern "C"

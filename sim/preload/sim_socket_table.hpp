// The shim's record of which file descriptors are simulated CAN sockets, and each socket's state
// (bound interface, receive options). A fixed table indexed by fd number points at one of a fixed
// set of socket records; dup'ed descriptors share a record (reference-counted). Records are also
// tagged with the socket's inode, so a descriptor closed behind the shim's back (a raw close system
// call) and reused for something else is recognised as stale where it matters.
//
// Thread-safety: lookups and updates of the fd table are lock-free atomics and allocation-free
// (usable from signal handlers). A socket's options are not locked: one socket's options must not
// be changed from two threads at once (the kernel would serialise them; no known client does it).
#pragma once

#include <sys/types.h>
#include <atomic>
#include <cstdint>

#include "common/raw_options.hpp"

namespace vcan {

inline constexpr int k_max_tracked_fd = 65536;
inline constexpr int k_max_sim_sockets = 512;

struct SimSocket {
    dev_t dev = 0;
    ino_t ino = 0;
    int ifindex = 0;  // 0 until bound
    // Set once a read has reported the removal of the bound interface (hooks_link_loss.cpp).
    std::atomic<bool> removal_reported{false};
    RawOptionState options;
};

// The record of `fd`, or nullptr when fd is not a simulated socket.
SimSocket* find_sim_socket(int fd);

// As find_sim_socket, and also checks that fd still is that socket (by inode); a stale entry is
// forgotten and nullptr returned.
SimSocket* find_checked_sim_socket(int fd);

// Records the new socket `fd` as simulated, with the kernel's default options; nullptr (and no
// record) when the table is full or fd is out of its range.
SimSocket* add_sim_socket(int fd);

// Forgets `fd` (it is being closed or replaced); the record is freed with its last descriptor.
// In a child made by vfork, which shares this table with its parent, it does nothing (and
// alias_fd neither): there the descriptors are the child's own copies.
void forget_fd(int fd);

// Makes `to` (a new duplicate of `from`) refer to `from`'s record, if `from` is simulated.
void alias_fd(int from, int to);

}  // namespace vcan

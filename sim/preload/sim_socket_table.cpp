// The simulated-socket table (see sim_socket_table.hpp).
//
// Thread-safety: see the header. Storage is static (zero-initialised, touched lazily by the OS).
#include "preload/sim_socket_table.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <new>

namespace vcan {

namespace {

// 0 = not simulated; otherwise the record's index + 1.
std::atomic<std::uint16_t> g_fd_slot[k_max_tracked_fd];
// Descriptors referring to each record; 0 = free. Kept apart from the records so that all of this
// is zero-initialised (.bss): a record is constructed when it is taken.
std::atomic<int> g_refs[k_max_sim_sockets];
alignas(SimSocket) unsigned char g_storage[k_max_sim_sockets][sizeof(SimSocket)];

SimSocket& record(std::uint16_t slot) {
    return *std::launder(reinterpret_cast<SimSocket*>(g_storage[slot - 1]));
}

// The process whose table this is. A child made by vfork (as CPython's subprocess and posix_spawn
// do) shares the parent's memory until it execs: the descriptors it closes or replaces there are
// its own copies, so they must not be forgotten in the parent's table. A child made by fork has
// its own copy of the table (the fork handler makes it the owner).
std::atomic<pid_t> g_owner{0};

void own_table() {
    g_owner.store(::getpid(), std::memory_order_relaxed);
}

[[gnu::constructor]] void init_table_owner() {
    own_table();
    ::pthread_atfork(nullptr, nullptr, own_table);
}

bool table_is_ours() {
    return ::getpid() == g_owner.load(std::memory_order_relaxed);
}

void release(std::uint16_t slot) {
    if (slot != 0) {
        g_refs[slot - 1].fetch_sub(1, std::memory_order_acq_rel);
    }
}

}  // namespace

SimSocket* find_sim_socket(int fd) {
    if (fd < 0 || fd >= k_max_tracked_fd) {
        return nullptr;
    }
    const std::uint16_t slot = g_fd_slot[fd].load(std::memory_order_acquire);
    return slot == 0 ? nullptr : &record(slot);
}

SimSocket* find_checked_sim_socket(int fd) {
    SimSocket* socket = find_sim_socket(fd);
    if (socket == nullptr) {
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_dev != socket->dev || status.st_ino != socket->ino) {
        forget_fd(fd);
        return nullptr;
    }
    return socket;
}

SimSocket* add_sim_socket(int fd) {
    struct stat status {};
    if (fd < 0 || fd >= k_max_tracked_fd || ::fstat(fd, &status) != 0) {
        return nullptr;
    }
    for (int i = 0; i < k_max_sim_sockets; ++i) {
        int expected = 0;
        if (!g_refs[i].compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            continue;
        }
        SimSocket& socket = *new (g_storage[i]) SimSocket();
        socket.dev = status.st_dev;
        socket.ino = status.st_ino;
        release(
            g_fd_slot[fd].exchange(static_cast<std::uint16_t>(i + 1), std::memory_order_acq_rel));
        return &socket;
    }
    return nullptr;
}

void forget_fd(int fd) {
    if (fd >= 0 && fd < k_max_tracked_fd && g_fd_slot[fd].load(std::memory_order_relaxed) != 0 &&
        table_is_ours()) {
        release(g_fd_slot[fd].exchange(0, std::memory_order_acq_rel));
    }
}

void alias_fd(int from, int to) {
    if (to < 0 || to >= k_max_tracked_fd || from == to) {
        return;
    }
    std::uint16_t slot = 0;
    if (from >= 0 && from < k_max_tracked_fd) {
        slot = g_fd_slot[from].load(std::memory_order_acquire);
    }
    if ((slot != 0 || g_fd_slot[to].load(std::memory_order_relaxed) != 0) && !table_is_ours()) {
        return;
    }
    if (slot != 0) {
        g_refs[slot - 1].fetch_add(1, std::memory_order_acq_rel);
    }
    release(g_fd_slot[to].exchange(slot, std::memory_order_acq_rel));
}

}  // namespace vcan

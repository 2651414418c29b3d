// The shim's access to the simulated bus (see sim_bus.hpp).
//
// Thread-safety: see the header.
#include "preload/sim_bus.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "preload/libc_calls.hpp"

namespace vcan {

namespace {

struct CachedTable {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    off_t size = -1;
    InterfaceTable table;
};

std::atomic_flag g_cache_busy = ATOMIC_FLAG_INIT;
CachedTable g_cache;

bool same_file(const CachedTable& cache, const struct stat& status) {
    return cache.size == status.st_size && cache.dev == status.st_dev &&
           cache.ino == status.st_ino && cache.mtime.tv_sec == status.st_mtim.tv_sec &&
           cache.mtime.tv_nsec == status.st_mtim.tv_nsec;
}

// Calls `use(table)` with the interfaces of the bus in `dir`; false if it has no readable list.
template <typename Use>
bool with_interfaces(const char* dir, Use&& use) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/ifaces", dir) >= static_cast<int>(sizeof path)) {
        return false;
    }
    struct stat status {};
    if (::stat(path, &status) != 0) {
        return false;
    }
    if (g_cache_busy.test_and_set(std::memory_order_acquire)) {
        InterfaceTable table;  // another thread (or an interrupted one) holds the cache
        return load_interfaces(dir, table) && use(table);
    }
    bool found = true;
    if (!same_file(g_cache, status)) {
        found = load_interfaces(dir, g_cache.table);
        g_cache.size = found ? status.st_size : -1;
        g_cache.dev = status.st_dev;
        g_cache.ino = status.st_ino;
        g_cache.mtime = status.st_mtim;
    }
    found = found && use(g_cache.table);
    g_cache_busy.clear(std::memory_order_release);
    return found;
}

void pause_briefly(long nanoseconds) {
    timespec delay{0, nanoseconds};
    ::nanosleep(&delay, nullptr);
}

}  // namespace

const char* sim_dir() {
    const char* dir = std::getenv("VCAN_SIM_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}

bool find_interface_by_name(const char* dir, const char* name, InterfaceEntry& out) {
    return with_interfaces(dir, [&](const InterfaceTable& table) {
        const InterfaceEntry* entry = table.by_name(name);
        if (entry != nullptr) {
            out = *entry;
        }
        return entry != nullptr;
    });
}

bool find_interface_by_index(const char* dir, int index, InterfaceEntry& out) {
    return with_interfaces(dir, [&](const InterfaceTable& table) {
        const InterfaceEntry* entry = table.by_index(index);
        if (entry != nullptr) {
            out = *entry;
        }
        return entry != nullptr;
    });
}

int connect_interface(int fd, const char* dir, const char* name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int dir_fd = -1;
    int length = std::snprintf(address.sun_path, sizeof address.sun_path, "%s/sock/%s", dir, name);
    if (length >= static_cast<int>(sizeof address.sun_path)) {
        // Too long for sun_path: reach the directory through its descriptor instead.
        dir_fd = ::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0) {
            return ENODEV;
        }
        std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/sock/%s", dir_fd,
                      name);
    }
    // A CAN bind completes at once; wait for the connection even on a non-blocking socket.
    const int flags = real::fcntl()(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) {
        real::fcntl()(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    int result = real::connect()(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR) {
        result = real::connect()(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    const int error = result == 0 ? 0 : errno;
    if (flags >= 0 && (flags & O_NONBLOCK)) {
        real::fcntl()(fd, F_SETFL, flags);
    }
    if (dir_fd >= 0) {
        real::close()(dir_fd);
    }
    // No daemon behind the name: the interface is as good as missing.
    return error == 0 ? 0 : (error == ENOENT || error == ECONNREFUSED ? ENODEV : error);
}

int send_options(int fd, const SocketOptions& options) {
    std::byte message[k_max_control_size];
    const std::size_t size = encode_options(options, message);
    constexpr int k_patience_ms = 10000;
    for (int waited = 0;;) {
        if (real::send()(fd, message, size, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            break;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return errno;
        }
        if (waited++ >= k_patience_ms) {
            return EAGAIN;
        }
        pollfd writable{fd, POLLOUT, 0};
        ::poll(&writable, 1, 1);
    }
    // The daemon reads each connection's messages in order and applies options as it reads them;
    // an empty send queue means it has applied these.
    // Nanosecond counts in 64 bits: the patience in nanoseconds does not fit a 32-bit long.
    long delay = 20'000;
    for (std::int64_t waited = 0; waited < k_patience_ms * std::int64_t{1'000'000};
         waited += delay) {
        int queued = 0;
        if (real::ioctl()(fd, SIOCOUTQ, &queued) != 0 || queued == 0) {
            return 0;
        }
        pause_briefly(delay);
        delay = delay < 1'000'000 ? delay * 2 : delay;
    }
    return 0;
}

}  // namespace vcan

// Descriptor bookkeeping for simulated sockets: close and close_range forget them, dup, dup2,
// dup3 and fcntl(F_DUPFD / F_DUPFD_CLOEXEC) make the copy simulated too. The calls themselves are
// libc's, unchanged.
//
// Thread-safety: as libc's; lock-free table updates, no allocation.
#include <fcntl.h>
#include <linux/close_range.h>
#include <unistd.h>
#include <cstdarg>

#include "preload/libc_calls.hpp"
#include "preload/sim_socket_table.hpp"

using namespace vcan;

namespace {

int duplicate_with(real::FcntlFn* fcntl_fn, int fd, int command, void* argument) {
    const int result = fcntl_fn(fd, command, argument);
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
        alias_fd(fd, result);
    }
    return result;
}

}  // namespace

extern "C" {

int close(int fd) {
    forget_fd(fd);
    return real::close()(fd);
}

int close_range(unsigned int first, unsigned int last, int flags) noexcept {
    if (!(flags & CLOSE_RANGE_CLOEXEC)) {
        for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(k_max_tracked_fd);
             ++fd) {
            forget_fd(static_cast<int>(fd));
        }
    }
    return real::close_range()(first, last, flags);
}

int dup(int fd) noexcept {
    const int result = real::dup()(fd);
    if (result >= 0) {
        alias_fd(fd, result);
    }
    return result;
}

int dup2(int fd, int target) noexcept {
    const int result = real::dup2()(fd, target);
    if (result >= 0) {
        alias_fd(fd, target);
    }
    return result;
}

int dup3(int fd, int target, int flags) noexcept {
    const int result = real::dup3()(fd, target, flags);
    if (result >= 0) {
        alias_fd(fd, target);
    }
    return result;
}

// The argument is fetched as a pointer and passed on as one, as libc's own wrapper does.
int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return duplicate_with(real::fcntl(), fd, command, argument);
}

int fcntl64(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    return duplicate_with(real::fcntl64(), fd, command, argument);
}

}  // extern "C"

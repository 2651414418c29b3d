// What a simulated CAN socket reports once its interface has been removed (`ip link del` on the
// bus, which closes the interface's connections): the kernel's errors instead of the end of stream
// and broken pipe the daemon's connection shows. The kernel, on removing the interface, unbinds
// every raw socket on it and sets its pending error to ENODEV: the next read fails with ENODEV,
// and every write fails with ENXIO (the socket has no interface any more). A connection that ends
// while its interface is still listed (the daemon itself went away) keeps reporting the end of
// stream and EPIPE.
//
// Thread-safety: any thread; no locks, no allocation.
#pragma once

#include <sys/types.h>

namespace vcan {

// The result of a read-like call on `fd` that returned `result`: unchanged, or -1 with errno set
// to ENODEV (the first time) or EAGAIN (later) when it is the end of stream (or the reset) of a
// simulated socket whose interface was removed.
ssize_t translate_read_result(int fd, ssize_t result);

// The same for a write-like call: a broken pipe of a simulated socket whose interface was removed
// becomes ENXIO.
ssize_t translate_write_result(int fd, ssize_t result);

}  // namespace vcan

// vcanbusd: the virtual CAN bus daemon.
//   vcanbusd DIR           serve the interfaces of DIR/ifaces until SIGTERM/SIGINT, then exit 0
//   vcanbusd --stats DIR   print the running daemon's statistics (one JSON object) on stdout
//
// Thread-safety: single-threaded process.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "vcanbusd/bus_daemon.hpp"

namespace {

int usage() {
    std::fprintf(stderr, "usage: vcanbusd DIR\n       vcanbusd --stats DIR\n");
    return 2;
}

// Connects to DIR/control and copies the answer to stdout until the daemon closes.
int print_stats(const std::string& dir) {
    if (::chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "vcanbusd: %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "control");
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "vcanbusd: no bus daemon at %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    static char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            std::fprintf(stderr, "vcanbusd: reading stats: %s\n", std::strerror(errno));
            return 1;
        }
        if (n == 0) {
            break;
        }
        std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout);
    }
    ::close(fd);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--stats") == 0) {
        return print_stats(argv[2]);
    }
    if (argc != 2 || argv[1][0] == '-') {
        return usage();
    }
    auto daemon = vcan::BusDaemon::start(argv[1]);
    if (!daemon) {
        return 1;
    }
    daemon->run();
    return 0;
}

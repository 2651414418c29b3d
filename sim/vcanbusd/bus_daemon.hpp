// The bus daemon: serves the interfaces listed in `$DIR/ifaces` on `$DIR/sock/NAME` and its
// statistics on `$DIR/control`, forwarding every frame written on one connection of an interface
// to every other connection of that interface that accepts it (see common/receive_filter.hpp).
// A receiver whose queue is full loses the frame (counted); the daemon never blocks on a client.
//
// Stats protocol: connect to `$DIR/control` (SOCK_SEQPACKET); the daemon answers at once with one
// JSON object split over one or more messages and then closes; concatenate until end of file.
//
// Admin protocol: connect to `$DIR/admin` (SOCK_SEQPACKET) and send one message, "del NAME"; the
// daemon removes the interface NAME as the kernel removes a link (its socket file goes, every
// connection on it is closed, its counters stay in the statistics) and answers "ok", or "error:
// TEXT", then closes. The `ip` stand-in's `ip link del` uses it after taking NAME off `ifaces`.
//
// Thread-safety: single-threaded; one instance per process (it owns the process's signal mask for
// SIGTERM/SIGINT and its working directory).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vcanbusd/interface.hpp"

namespace vcan {

class BusDaemon {
public:
    // Sets up every socket of the bus in `dir` and writes `$DIR/ready`. Returns nullptr after
    // printing a message to stderr if that fails.
    static std::unique_ptr<BusDaemon> start(const std::string& dir);

    // Serves until SIGTERM or SIGINT (or the parent's death), then removes the sockets.
    void run();

    ~BusDaemon();

private:
    BusDaemon() = default;
    bool setup(const std::string& dir);
    bool listen_interface(Interface& iface);
    void accept_clients(Interface& iface);
    void serve_client(Client& client);
    void handle_message(Client& client, const std::byte* data, std::size_t size, int flags);
    void forward(Client& writer, const can_frame& frame);
    void flush();
    void close_client(Client& client);
    void serve_stats();
    void serve_admin();
    std::string remove_interface(const std::string& name);
    void add_watch(int fd, Watched* watched, unsigned events);

    int epoll_fd_ = -1;
    int signal_fd_ = -1;
    int control_fd_ = -1;
    int admin_fd_ = -1;
    int next_client_id_ = 1;
    bool stopping_ = false;
    Watched control_watch_{Watched::Kind::control};
    Watched admin_watch_{Watched::Kind::admin};
    Watched signal_watch_{Watched::Kind::signal};
    std::vector<std::unique_ptr<Interface>> interfaces_;
    std::vector<Client*> pending_flush_;  // clients with out_count > 0 in the current pass
};

// The statistics as one JSON object (format in the header comment of bus_daemon.hpp's users).
std::string render_stats(const std::vector<std::unique_ptr<Interface>>& interfaces);

}  // namespace vcan

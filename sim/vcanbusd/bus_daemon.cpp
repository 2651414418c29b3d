// The bus daemon's event loop (see bus_daemon.hpp).
//
// Forwarding pass: one recvmmsg of up to k_batch messages from a readable client; each valid frame
// is queued on every receiver it passes; then one sendmmsg (MSG_DONTWAIT) per receiver. Buffers are
// fixed: nothing is allocated per frame.
//
// Thread-safety: daemon thread only.
#include "vcanbusd/bus_daemon.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/interface_table.hpp"

namespace vcan {

namespace {

// A receive queue of ~11,000 frames (each 16-byte message costs ~768 bytes of socket memory),
// so a reader that keeps up on average never loses frames to a burst.
constexpr int k_client_send_buffer = 8 << 20;
constexpr std::size_t k_message_buffer = (k_max_control_size + 64) & ~std::size_t{7};
constexpr std::size_t k_stats_chunk = std::size_t{32} * 1024;

// The forwarding pass's scratch space (the daemon is single-threaded).
alignas(8) std::byte g_in_buffers[k_batch][k_message_buffer];
iovec g_in_iov[k_batch];
mmsghdr g_in_msgs[k_batch];
iovec g_out_iov[k_batch];
mmsghdr g_out_msgs[k_batch];

void report(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "vcanbusd: %s%s%s: %s\n", what, detail.empty() ? "" : " ", detail.c_str(),
                 std::strerror(errno));
}

void set_send_buffer(int fd, int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
}

int listen_at(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool write_ready_file() {
    const int fd = ::open("ready.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const char text[] = "ready\n";
    const bool written = ::write(fd, text, sizeof text - 1) == sizeof text - 1;
    ::close(fd);
    return written && ::rename("ready.tmp", "ready") == 0;
}

// A seqpacket end of stream reads as empty messages, like an empty message a client sent (which
// is refused). The empty entry `index` is the end when only empty entries follow it in this batch,
// the client has hung up and no data is left queued. (An empty message sent just before closing
// thus goes uncounted.)
bool at_end_of_stream(int fd, int index, int count) {
    for (int j = index + 1; j < count; ++j) {
        if (g_in_msgs[j].msg_len != 0) {
            return false;
        }
    }
    pollfd hangup{fd, POLLRDHUP, 0};
    if (::poll(&hangup, 1, 0) != 1 || !(hangup.revents & (POLLRDHUP | POLLHUP))) {
        return false;
    }
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

}  // namespace

std::unique_ptr<BusDaemon> BusDaemon::start(const std::string& dir) {
    std::unique_ptr<BusDaemon> daemon(new BusDaemon());
    if (!daemon->setup(dir)) {
        return nullptr;
    }
    return daemon;
}

bool BusDaemon::setup(const std::string& dir) {
    // The parent (a launcher or a test) owns the bus: die with it.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop_signals, nullptr);

    InterfaceTable table;
    if (!load_interfaces(dir.c_str(), table) || ::chdir(dir.c_str()) != 0) {
        report("cannot read the interface list in", dir);
        return false;
    }
    ::mkdir("sock", 0755);
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    signal_fd_ = ::signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
    control_fd_ = listen_at("control");
    admin_fd_ = listen_at("admin");
    if (epoll_fd_ < 0 || signal_fd_ < 0 || control_fd_ < 0 || admin_fd_ < 0) {
        report("cannot set up the control socket in", dir);
        return false;
    }
    add_watch(signal_fd_, &signal_watch_, EPOLLIN);
    add_watch(control_fd_, &control_watch_, EPOLLIN);
    add_watch(admin_fd_, &admin_watch_, EPOLLIN);
    for (std::size_t i = 0; i < table.count; ++i) {
        auto iface = std::make_unique<Interface>();
        iface->index = table.entries[i].index;
        iface->name = table.entries[i].name;
        if (!listen_interface(*iface)) {
            return false;
        }
        interfaces_.push_back(std::move(iface));
    }
    for (std::size_t i = 0; i < k_batch; ++i) {
        g_in_iov[i] = iovec{g_in_buffers[i], k_message_buffer};
    }
    if (!write_ready_file()) {
        report("cannot write the ready file in", dir);
        return false;
    }
    return true;
}

bool BusDaemon::listen_interface(Interface& iface) {
    iface.listen_fd = listen_at("sock/" + iface.name);
    if (iface.listen_fd < 0) {
        report("cannot listen for interface", iface.name);
        return false;
    }
    add_watch(iface.listen_fd, &iface, EPOLLIN);
    return true;
}

void BusDaemon::add_watch(int fd, Watched* watched, unsigned events) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = watched;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
}

BusDaemon::~BusDaemon() {
    for (auto& iface : interfaces_) {
        if (iface->listen_fd >= 0) {
            ::close(iface->listen_fd);
            ::unlink(("sock/" + iface->name).c_str());
        }
        for (Client* client : iface->open_clients) {
            ::close(client->fd);
        }
    }
    if (control_fd_ >= 0) {
        ::close(control_fd_);
        ::unlink("control");
    }
    if (admin_fd_ >= 0) {
        ::close(admin_fd_);
        ::unlink("admin");
    }
    ::unlink("ready");
    ::rmdir("sock");
}

void BusDaemon::run() {
    epoll_event events[64];
    while (!stopping_) {
        const int count = ::epoll_wait(epoll_fd_, events, 64, -1);
        if (count < 0 && errno != EINTR) {
            report("epoll_wait");
            return;
        }
        for (int i = 0; i < count && !stopping_; ++i) {
            auto* watched = static_cast<Watched*>(events[i].data.ptr);
            switch (watched->kind) {
                case Watched::Kind::listener:
                    accept_clients(*static_cast<Interface*>(watched));
                    break;
                case Watched::Kind::client: {
                    auto& client = *static_cast<Client*>(watched);
                    if (client.open) {
                        serve_client(client);
                    }
                    break;
                }
                case Watched::Kind::control:
                    serve_stats();
                    break;
                case Watched::Kind::admin:
                    serve_admin();
                    break;
                case Watched::Kind::signal:
                    stopping_ = true;
                    break;
            }
        }
    }
}

void BusDaemon::accept_clients(Interface& iface) {
    for (;;) {
        const int fd = ::accept4(iface.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        auto client = std::make_unique<Client>();
        client->id = next_client_id_++;
        client->fd = fd;
        client->iface = &iface;
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
            client->pid = credentials.pid;
        }
        set_send_buffer(fd, k_client_send_buffer);
        add_watch(fd, client.get(), EPOLLIN | EPOLLRDHUP);
        iface.open_clients.push_back(client.get());
        iface.all.push_back(std::move(client));
    }
}

void BusDaemon::serve_client(Client& client) {
    for (std::size_t i = 0; i < k_batch; ++i) {
        g_in_msgs[i] = mmsghdr{};
        g_in_msgs[i].msg_hdr.msg_iov = &g_in_iov[i];
        g_in_msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int count = ::recvmmsg(client.fd, g_in_msgs, k_batch, MSG_DONTWAIT, nullptr);
    if (count < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            close_client(client);
        }
        return;
    }
    bool ended = count == 0;
    for (int i = 0; i < count && !ended; ++i) {
        const std::size_t size = g_in_msgs[i].msg_len;
        if (size == 0 && at_end_of_stream(client.fd, i, count)) {
            ended = true;
            break;
        }
        handle_message(client, g_in_buffers[i], size, g_in_msgs[i].msg_hdr.msg_flags);
    }
    flush();
    if (ended) {
        close_client(client);
    }
}

void BusDaemon::handle_message(Client& client, const std::byte* data, std::size_t size, int flags) {
    const std::span<const std::byte> message(data, std::min(size, k_message_buffer));
    if (!(flags & MSG_TRUNC) && is_valid_frame(message)) {
        can_frame frame;
        std::memcpy(&frame, data, sizeof frame);
        client.ready = true;
        ++client.counters.sent;
        forward(client, frame);
        return;
    }
    static SocketOptions options;  // 4 KiB: kept off the stack, daemon thread only
    if ((flags & MSG_TRUNC) || !decode_options(message, options)) {
        ++client.counters.refused;
        return;
    }
    client.ready = true;
    client.filter.assign(options);
    client.recv_own_msgs = options.recv_own_msgs;
    client.loopback = options.loopback;
    if (options.rcvbuf > 0) {
        set_send_buffer(client.fd, options.rcvbuf);
    }
}

void BusDaemon::forward(Client& writer, const can_frame& frame) {
    // With loopback off no socket of this host sees the frame; all bus clients share the host.
    if (!writer.loopback) {
        return;
    }
    for (Client* receiver : writer.iface->open_clients) {
        if ((receiver == &writer && !writer.recv_own_msgs) || !receiver->ready ||
            !receiver->filter.passes(frame.can_id)) {
            continue;
        }
        if (receiver->out_count == 0) {
            pending_flush_.push_back(receiver);
        }
        receiver->out[receiver->out_count++] = frame;
    }
}

void BusDaemon::flush() {
    for (Client* receiver : pending_flush_) {
        const std::size_t count = receiver->out_count;
        receiver->out_count = 0;
        for (std::size_t i = 0; i < count; ++i) {
            g_out_iov[i] = iovec{&receiver->out[i], sizeof(can_frame)};
            g_out_msgs[i] = mmsghdr{};
            g_out_msgs[i].msg_hdr.msg_iov = &g_out_iov[i];
            g_out_msgs[i].msg_hdr.msg_iovlen = 1;
        }
        std::size_t sent = 0;
        int error = 0;
        while (sent < count) {
            const int n =
                ::sendmmsg(receiver->fd, g_out_msgs + sent, static_cast<unsigned>(count - sent),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                error = errno;
                break;
            }
        }
        receiver->counters.delivered += sent;
        // A full queue loses frames, as a kernel socket's receive queue does. A receiver that has
        // gone away is not counted: it is closed as soon as its hangup is seen.
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ENOMEM) {
            receiver->counters.dropped += count - sent;
        }
    }
    pending_flush_.clear();
}

void BusDaemon::close_client(Client& client) {
    client.open = false;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, client.fd, nullptr);
    ::close(client.fd);
    client.fd = -1;
    auto& receivers = client.iface->open_clients;
    receivers.erase(std::remove(receivers.begin(), receivers.end(), &client), receivers.end());
}

void BusDaemon::serve_stats() {
    for (;;) {
        const int fd = ::accept4(control_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        const std::string json = render_stats(interfaces_);
        // The whole answer fits the buffer, so these sends never wait on the asker.
        set_send_buffer(fd, static_cast<int>(2 * json.size() + (1 << 20)));
        for (std::size_t offset = 0; offset < json.size(); offset += k_stats_chunk) {
            const std::size_t size = std::min(k_stats_chunk, json.size() - offset);
            if (::send(fd, json.data() + offset, size, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
                break;
            }
        }
        ::close(fd);
    }
}

void BusDaemon::serve_admin() {
    constexpr int k_patience_ms = 1000;  // a client that connects and says nothing is dropped
    for (;;) {
        const int fd = ::accept4(admin_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        char request[64];
        pollfd readable{fd, POLLIN, 0};
        ssize_t size = -1;
        if (::poll(&readable, 1, k_patience_ms) == 1) {
            size = ::recv(fd, request, sizeof request - 1, MSG_DONTWAIT);
        }
        std::string answer = "error: no request";
        if (size > 4 && std::strncmp(request, "del ", 4) == 0) {
            answer = remove_interface(std::string(request + 4, static_cast<std::size_t>(size) - 4));
        } else if (size > 0) {
            answer = "error: unknown request";
        }
        ::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        ::close(fd);
    }
}

std::string BusDaemon::remove_interface(const std::string& name) {
    for (auto& iface : interfaces_) {
        if (iface->name != name || iface->listen_fd < 0) {
            continue;
        }
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, iface->listen_fd, nullptr);
        ::close(iface->listen_fd);
        iface->listen_fd = -1;
        ::unlink(("sock/" + iface->name).c_str());
        const std::vector<Client*> clients = iface->open_clients;
        for (Client* client : clients) {
            close_client(*client);
        }
        return "ok";
    }
    return "error: no interface " + name;
}

}  // namespace vcan

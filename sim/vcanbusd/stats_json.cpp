// Rendering of the daemon's statistics:
// {"interfaces": {"can0": {"clients": [{"id": 1, "pid": 1234, "open": true, "sent": N,
//  "delivered": N, "dropped": N, "refused": N}, ...]}}}
//
// Thread-safety: daemon thread only (reads the daemon's interfaces).
#include <cstdio>
#include <string>

#include "vcanbusd/bus_daemon.hpp"

namespace vcan {

namespace {

void append_string(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_client(std::string& out, const Client& client) {
    const ClientCounters& c = client.counters;
    out += "{\"id\": " + std::to_string(client.id) + ", \"pid\": " + std::to_string(client.pid) +
           ", \"open\": " + (client.open ? "true" : "false") +
           ", \"sent\": " + std::to_string(c.sent) +
           ", \"delivered\": " + std::to_string(c.delivered) +
           ", \"dropped\": " + std::to_string(c.dropped) +
           ", \"refused\": " + std::to_string(c.refused) + "}";
}

}  // namespace

std::string render_stats(const std::vector<std::unique_ptr<Interface>>& interfaces) {
    std::string out = "{\"interfaces\": {";
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        append_string(out, interfaces[i]->name);
        out += ": {\"clients\": [";
        const auto& clients = interfaces[i]->all;
        for (std::size_t j = 0; j < clients.size(); ++j) {
            if (j > 0) {
                out += ", ";
            }
            append_client(out, *clients[j]);
        }
        out += "]}";
    }
    out += "}}\n";
    return out;
}

}  // namespace vcan

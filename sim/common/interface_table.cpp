// Parsing of the bus's interface list (see interface_table.hpp).
//
// Thread-safety: see the header. No allocation, no stdio: async-signal-safe.
#include "common/interface_table.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vcan {

const InterfaceEntry* InterfaceTable::by_name(const char* name) const {
    for (std::size_t i = 0; i < count; ++i) {
        if (std::strncmp(entries[i].name, name, IF_NAMESIZE) == 0) {
            return &entries[i];
        }
    }
    return nullptr;
}

const InterfaceEntry* InterfaceTable::by_index(int index) const {
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].index == index) {
            return &entries[i];
        }
    }
    return nullptr;
}

namespace {

bool parse_line(const char* line, std::size_t length, InterfaceEntry& out) {
    std::size_t pos = 0;
    std::int64_t index = 0;  // INT_MAX * 10 + 9 must fit: no 32-bit long
    while (pos < length && line[pos] >= '0' && line[pos] <= '9') {
        index = index * 10 + (line[pos++] - '0');
        if (index > INT_MAX) {
            return false;
        }
    }
    if (pos == 0 || pos >= length || line[pos] != ' ' || index <= 0) {
        return false;
    }
    const char* name = line + pos + 1;
    std::size_t name_length = length - pos - 1;
    while (name_length > 0 && (name[name_length - 1] == '\r' || name[name_length - 1] == ' ')) {
        --name_length;
    }
    if (name_length == 0 || name_length >= IF_NAMESIZE || std::memchr(name, ' ', name_length)) {
        return false;
    }
    out.index = static_cast<int>(index);
    std::memcpy(out.name, name, name_length);
    out.name[name_length] = '\0';
    return true;
}

}  // namespace

void parse_interfaces(const char* text, std::size_t length, InterfaceTable& out) {
    out.count = 0;
    std::size_t start = 0;
    while (start < length && out.count < k_max_interfaces) {
        const void* newline = std::memchr(text + start, '\n', length - start);
        const std::size_t end = newline ? static_cast<const char*>(newline) - text : length;
        InterfaceEntry entry;
        if (parse_line(text + start, end - start, entry)) {
            out.entries[out.count++] = entry;
        }
        start = end + 1;
    }
}

bool load_interfaces(const char* dir, InterfaceTable& out) {
    out.count = 0;
    char path[PATH_MAX];
    const int path_length = std::snprintf(path, sizeof path, "%s/ifaces", dir);
    if (path_length < 0 || static_cast<std::size_t>(path_length) >= sizeof path) {
        return false;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[k_max_interfaces * (IF_NAMESIZE + 12)];
    std::size_t length = 0;
    while (length < sizeof text) {
        const ssize_t n = ::read(fd, text + length, sizeof text - length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        length += static_cast<std::size_t>(n);
    }
    ::close(fd);
    parse_interfaces(text, length, out);
    return true;
}

}  // namespace vcan

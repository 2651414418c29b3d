// The interfaces of one simulated bus, as listed in `$DIR/ifaces` (one "INDEX NAME" line each).
// Loaded with plain open/read/close into a fixed-size table, so the shim can use it from hooks
// that must not allocate.
//
// Thread-safety: a plain value; `load_interfaces` only touches its arguments.
#pragma once

#include <net/if.h>
#include <cstddef>

namespace vcan {

inline constexpr std::size_t k_max_interfaces = 64;

struct InterfaceEntry {
    int index = 0;
    char name[IF_NAMESIZE] = {};
};

struct InterfaceTable {
    std::size_t count = 0;
    InterfaceEntry entries[k_max_interfaces];

    // nullptr when absent.
    const InterfaceEntry* by_name(const char* name) const;
    const InterfaceEntry* by_index(int index) const;
};

// Parses the text of an ifaces file; malformed lines are skipped.
void parse_interfaces(const char* text, std::size_t length, InterfaceTable& out);

// Reads `<dir>/ifaces`; false if it cannot be read (out is then empty).
bool load_interfaces(const char* dir, InterfaceTable& out);

}  // namespace vcan

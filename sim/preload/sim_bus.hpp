// The shim's view of the simulated bus named by VCAN_SIM_DIR: which interfaces it has, and how a
// simulated socket joins one of them and hands its receive options to the daemon.
//
// Thread-safety: any thread; no allocation; the interface list is cached behind a try-lock and read
// afresh onto the stack when the cache is busy, so a signal handler never waits.
#pragma once

#include "common/can_wire.hpp"
#include "common/interface_table.hpp"

namespace vcan {

// VCAN_SIM_DIR, or nullptr when it is unset or empty (the shim is then inert). Read at each call.
const char* sim_dir();

// Looks an interface of the bus in `dir` up by name or index; false when the bus has none such.
bool find_interface_by_name(const char* dir, const char* name, InterfaceEntry& out);
bool find_interface_by_index(const char* dir, int index, InterfaceEntry& out);

// Connects the unconnected AF_UNIX seqpacket socket `fd` to the interface's socket of the bus
// (waiting for the connection even when fd is non-blocking). Returns 0 or an errno value.
int connect_interface(int fd, const char* dir, const char* name);

// Sends `options` to the daemon over the connected `fd` and waits until the daemon has read them,
// so they govern every frame sent on the bus after this returns. Returns 0 or an errno value.
int send_options(int fd, const SocketOptions& options);

}  // namespace vcan

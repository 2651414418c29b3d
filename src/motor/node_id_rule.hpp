// The node-id rule of driver registration. A node id names one driver only when a CAN frame can
// carry it (the driver sends its feedback with it as identifier, so at most 0x1FFFFFFF) and when
// its DR v1 destination, the low 16 bits, is not the broadcast destination 0xFFFF, which every
// driver on the bus obeys.
//
// Thread-safety: a pure function.
#pragma once

#include <cstdint>

#include "common/result.hpp"

namespace velmot::motor {

// Succeeds for a node id that names one driver; otherwise the value error of the first rule it
// breaks (N in upper-case hex without leading zeros):
//   "node_id 0xN is not a CAN identifier (above 0x1FFFFFFF)"
//   "node_id 0xN addresses every driver (destination 0xFFFF)"
Result<void> check_node_id(std::uint32_t node_id);

}  // namespace velmot::motor

// The feedback frame a driver sends with its node id: position as a little-endian binary32
// (bytes 0..3, taken bit for bit), speed and current as little-endian i16 counts (bytes 4..5 and
// 6..7) divided in single precision by 10 and 100. Only 8-byte payloads are feedback.
//
// Thread-safety: pure function.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "comm/dr_v1/watch_data.hpp"

namespace velmot::comm::dr_v1 {

inline constexpr std::size_t k_feedback_length = 8;

// The decoded record, or nothing when the payload is not exactly 8 bytes.
std::optional<WatchData> decode_feedback(std::span<const std::uint8_t> payload) noexcept;

}  // namespace velmot::comm::dr_v1

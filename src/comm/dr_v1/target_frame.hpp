// The broadcast target frame: the set-points of up to four drivers in one 8-byte frame, one
// signed 16-bit little-endian value per slot (slot k in bytes 2k and 2k+1), sent with the host's
// CAN id. Targets are scaled to counts in single precision (x10 for speed, x100 for current and
// position), saturated to the i16 range and truncated toward zero; NaN gives 0.
//
// Thread-safety: pure functions; TargetFrame is a plain value.
#pragma once

#include <array>
#include <cstdint>

#include "comm/dr_v1/config_frame.hpp"
#include "comm/dr_v1/foc_mode.hpp"

namespace velmot::comm::dr_v1 {

inline constexpr std::size_t k_slot_count = 4;

std::int16_t encode_target(float value, FocMode mode) noexcept;

// Builds the frame slot by slot; a slot written twice keeps the later value. Unwritten slots are 0.
class TargetFrame {
public:
    // slot must be below k_slot_count.
    void set(std::size_t slot, std::int16_t counts) noexcept {
        const auto bits = static_cast<std::uint16_t>(counts);
        bytes_[2 * slot] = static_cast<std::uint8_t>(bits & 0xFFu);
        bytes_[2 * slot + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    const Frame& bytes() const noexcept { return bytes_; }

private:
    Frame bytes_{};
};

// The frame for four slot values (slot 0 first).
Frame pack_targets(const std::array<std::int16_t, k_slot_count>& counts) noexcept;

}  // namespace velmot::comm::dr_v1

// CanMessage: one classic CAN data frame as the module passes it on (identifier without flag bits
// and 0 to 8 data bytes), plus the conversions to and from the kernel's 16-byte `struct can_frame`.
//
// A CanMessage is always sendable: `make` refuses a payload above 8 bytes first ("Payload is larger
// than CAN maximum of 8 bytes") and then an identifier above 0x1FFFFFFF ("CAN ID too large"). The
// payload is stored inline, so moving messages through the queues allocates nothing.
// Identifiers from 0x800 up are sent as extended frames, lower ones as standard frames; a received
// frame keeps only its identifier bits, so extended 0x123 reads back as 0x123.
//
// Thread-safety: a plain value.
#pragma once

#include <linux/can.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/result.hpp"

namespace velmot::comm::can {

inline constexpr std::size_t k_max_payload = 8;
inline constexpr std::uint32_t k_max_standard_id = 0x7FF;
inline constexpr std::uint32_t k_max_extended_id = 0x1FFFFFFF;

class CanMessage {
public:
    // The message, or the invalid-input error of the first rule it breaks.
    static Result<CanMessage> make(std::uint32_t id, std::span<const std::uint8_t> data);
    // The identifier and payload of a frame read from a socket (flag bits dropped).
    static CanMessage from_frame(const can_frame& frame) noexcept;

    std::uint32_t id() const noexcept { return id_; }
    std::span<const std::uint8_t> data() const noexcept { return {bytes_.data(), length_}; }

    // The kernel record to write: extended flag from 0x800 up, unused data bytes zero.
    can_frame to_frame() const noexcept;

private:
    CanMessage(std::uint32_t id, std::span<const std::uint8_t> data) noexcept;

    std::uint32_t id_;
    std::uint8_t length_;
    std::array<std::uint8_t, k_max_payload> bytes_;
};

// The kernel record for `id` and `data`, with the errors of CanMessage::make.
Result<can_frame> build_kernel_frame(std::uint32_t id, std::span<const std::uint8_t> data);

}  // namespace velmot::comm::can

// Feedback frame decoding.
#include "comm/dr_v1/feedback_frame.hpp"

#include <bit>

namespace velmot::comm::dr_v1 {
namespace {

std::uint16_t u16_le(std::span<const std::uint8_t> bytes, std::size_t at) noexcept {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t u32_le(std::span<const std::uint8_t> bytes, std::size_t at) noexcept {
    return static_cast<std::uint32_t>(u16_le(bytes, at)) |
           (static_cast<std::uint32_t>(u16_le(bytes, at + 2)) << 16);
}

float counts_over(std::uint16_t raw, float divisor) noexcept {
    volatile float quotient = static_cast<float>(static_cast<std::int16_t>(raw)) / divisor;
    return quotient;
}

}  // namespace

std::optional<WatchData> decode_feedback(std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() != k_feedback_length) {
        return std::nullopt;
    }
    return WatchData{
        .position = std::bit_cast<float>(u32_le(payload, 0)),
        .speed = counts_over(u16_le(payload, 4), 10.0f),
        .current = counts_over(u16_le(payload, 6), 100.0f),
    };
}

}  // namespace velmot::comm::dr_v1

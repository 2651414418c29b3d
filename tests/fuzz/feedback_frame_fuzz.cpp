// libFuzzer target: the feedback decoder on arbitrary payloads. Only 8-byte payloads decode; the
// position keeps the frame's bits exactly and speed and current are the i16 counts scaled back
// (checked by encoding them again).
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "comm/dr_v1/feedback_frame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded =
        velmot::comm::dr_v1::decode_feedback(std::span<const std::uint8_t>(data, size));
    if (decoded.has_value() != (size == velmot::comm::dr_v1::k_feedback_length)) {
        std::abort();
    }
    if (!decoded) {
        return 0;
    }
    std::uint32_t position_bits = 0;
    std::memcpy(&position_bits, data, 4);  // little-endian host, as on every target we build for
    if (std::bit_cast<std::uint32_t>(decoded->position) != position_bits) {
        std::abort();
    }
    const auto counts = [&](std::size_t at) {
        return static_cast<std::int16_t>(data[at] | (data[at + 1] << 8));
    };
    if (std::lround(decoded->speed * 10.0f) != counts(4)) {
        std::abort();
    }
    if (std::lround(decoded->current * 100.0f) != counts(6)) {
        std::abort();
    }
    return 0;
}

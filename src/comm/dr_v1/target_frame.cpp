// Target encoding and packing of the broadcast target frame.
#include "comm/dr_v1/target_frame.hpp"

#include <cmath>

namespace velmot::comm::dr_v1 {

std::int16_t encode_target(float value, FocMode mode) noexcept {
    const float scale = mode == FocMode::speed ? 10.0f : 100.0f;
    // volatile keeps the product in single precision whatever the target's FPU does with
    // intermediates (the truncation of e.g. -1.05 A depends on it: -104.99999f, not -105).
    volatile float product = value * scale;
    float counts = product;
    if (std::isnan(counts)) {
        return 0;
    }
    if (counts < -32768.0f) {
        counts = -32768.0f;
    }
    if (counts > 32767.0f) {
        counts = 32767.0f;
    }
    return static_cast<std::int16_t>(counts);  // truncates toward zero
}

Frame pack_targets(const std::array<std::int16_t, k_slot_count>& counts) noexcept {
    TargetFrame frame;
    for (std::size_t slot = 0; slot < k_slot_count; ++slot) {
        frame.set(slot, counts[slot]);
    }
    return frame.bytes();
}

}  // namespace velmot::comm::dr_v1

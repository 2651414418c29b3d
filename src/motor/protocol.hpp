// The values a motor group and its drivers exchange: the driver control mode and the decoded
// feedback record. Plain values, no behaviour; the wire formats are in comm/dr_v1.
//
// Thread-safety: plain values; copy them freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmot::motor {

// The driver's FOC control mode; the enumerator's value is its code on the wire.
enum class FocMode : std::uint8_t {
    current = 0,   // target in A
    speed = 1,     // target in rad/s
    position = 2,  // target in rad
};

// The mode named by lower-case `name` ("current", "speed", "position"), or nothing.
constexpr std::optional<FocMode> foc_mode_named(std::string_view name) noexcept {
    if (name == "current") return FocMode::current;
    if (name == "speed") return FocMode::speed;
    if (name == "position") return FocMode::position;
    return std::nullopt;
}

// The latest feedback of one driver. All zeros until the first feedback frame.
struct WatchData {
    float position = 0.0f;  // rad
    float speed = 0.0f;     // rad/s
    float current = 0.0f;   // A

    friend bool operator==(const WatchData&, const WatchData&) = default;
};

}  // namespace velmot::motor

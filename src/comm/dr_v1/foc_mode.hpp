// The driver's FOC control mode, as the configuration and target frames carry it.
//
// Thread-safety: plain values and a pure function.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmot::comm::dr_v1 {

// The enumerator's value is its code on the wire.
enum class FocMode : std::uint8_t {
    current = 0,   // target in A
    speed = 1,     // target in rad/s
    position = 2,  // target in rad
};

// The mode named by lower-case `name` ("current", "speed", "position"), or nothing.
constexpr std::optional<FocMode> foc_mode_named(std::string_view name) noexcept {
    if (name == "current") {
        return FocMode::current;
    }
    if (name == "speed") {
        return FocMode::speed;
    }
    if (name == "position") {
        return FocMode::position;
    }
    return std::nullopt;
}

}  // namespace velmot::comm::dr_v1

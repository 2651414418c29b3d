// Names and spin margins of the timer precision modes.
//
// Thread-safety: constants only.
#include "timer/precision.hpp"

#include <algorithm>

namespace velmot::timer {

std::string_view lower_name(TimerPrecision precision) noexcept {
    switch (precision) {
        case TimerPrecision::high:
            return "high";
        case TimerPrecision::realtime:
            return "realtime";
        case TimerPrecision::normal:
            break;
    }
    return "normal";
}

std::string_view capitalised_name(TimerPrecision precision) noexcept {
    switch (precision) {
        case TimerPrecision::high:
            return "High";
        case TimerPrecision::realtime:
            return "Realtime";
        case TimerPrecision::normal:
            break;
    }
    return "Normal";
}

std::chrono::nanoseconds spin_margin(TimerPrecision precision) noexcept {
    // Normal timers never spin; they are given the High margin only so the function is total.
    return precision == TimerPrecision::realtime ? std::chrono::nanoseconds(3'000'000)
                                                 : std::chrono::nanoseconds(800'000);
}

std::chrono::nanoseconds realtime_policy_spin_margin(TimerPrecision precision,
                                                     std::chrono::nanoseconds period) noexcept {
    const std::chrono::nanoseconds margin = precision == TimerPrecision::realtime
                                                ? std::chrono::microseconds(200)
                                                : std::chrono::microseconds(50);
    return std::min(margin, period / 4);
}

}  // namespace velmot::timer

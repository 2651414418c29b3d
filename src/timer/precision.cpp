// Names and spin margins of the timer precision modes.
//
// Thread-safety: constants only.
#include "timer/precision.hpp"

#include <algorithm>

namespace velmot::timer {

std::string_view lower_name(TimerPrecision precision) noexcept {
    switch (precision) {
    case TimerPrecision::High:
        return "high";
    case TimerPrecision::Realtime:
        return "realtime";
    case TimerPrecision::Normal:
        break;
    }
    return "normal";
}

std::string_view capitalised_name(TimerPrecision precision) noexcept {
    switch (precision) {
    case TimerPrecision::High:
        return "High";
    case TimerPrecision::Realtime:
        return "Realtime";
    case TimerPrecision::Normal:
        break;
    }
    return "Normal";
}

std::chrono::nanoseconds spin_margin(TimerPrecision precision) noexcept {
    // Normal timers never spin; they are given the High margin only so the function is total.
    return precision == TimerPrecision::Realtime ? std::chrono::nanoseconds(3'000'000)
                                                 : std::chrono::nanoseconds(800'000);
}

std::chrono::nanoseconds realtime_policy_spin_margin(TimerPrecision precision,
                                                     std::chrono::nanoseconds period) noexcept {
    const std::chrono::nanoseconds margin = precision == TimerPrecision::Realtime ? std::chrono::microseconds(200)
                                                                                   : std::chrono::microseconds(50);
    return std::min(margin, period / 4);
}

}  // namespace velmot::timer

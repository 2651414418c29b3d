// TimerPrecision: the three modes of a timer and their names. Normal runs on the shared runtime;
// High and Realtime run on a thread of their own and differ only in the spin margin of their wait
// and in the thread's name.
//
// Thread-safety: constants only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace velmot::timer {

enum class TimerPrecision : std::uint8_t { normal = 0, high = 1, realtime = 2 };

// "normal", "high", "realtime": the name shown in Python-visible text.
std::string_view lower_name(TimerPrecision precision) noexcept;
// "Normal", "High", "Realtime": the name used in thread names.
std::string_view capitalised_name(TimerPrecision precision) noexcept;

// The busy-wait stretch before each deadline of a thread loop: 800 us (High), 3 ms (Realtime).
std::chrono::nanoseconds spin_margin(TimerPrecision precision) noexcept;

}  // namespace velmot::timer

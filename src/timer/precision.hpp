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

enum class TimerPrecision : std::uint8_t { Normal = 0, High = 1, Realtime = 2 };

// "normal", "high", "realtime": the name shown in Python-visible text.
std::string_view lower_name(TimerPrecision precision) noexcept;
// "Normal", "High", "Realtime": the name used in thread names.
std::string_view capitalised_name(TimerPrecision precision) noexcept;

// The busy-wait stretch before each deadline of a thread loop: 800 us (High), 3 ms (Realtime).
std::chrono::nanoseconds spin_margin(TimerPrecision precision) noexcept;

// The stretch for a thread loop running under SCHED_FIFO, which wakes from its sleep within
// tens of microseconds, and within 200 us nearly always, even on a loaded machine: 50 us (High),
// 200 us (Realtime), and never more than a quarter of `period`, so that a timer thread spins at
// most a quarter of each period and stays far from the kernel's real-time throttling (95% of
// each second by default), which would stall it for tens of milliseconds.
std::chrono::nanoseconds realtime_policy_spin_margin(TimerPrecision precision,
                                                     std::chrono::nanoseconds period) noexcept;

}  // namespace velmot::timer

// The period of a timer: 1 / frequency in double precision, converted to whole nanoseconds by
// rounding to the nearest, ties to even (1000 Hz -> 1,000,000 ns; 3 Hz -> 333,333,333 ns).
//
// Thread-safety: pure functions.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/result.hpp"

namespace velmot::timer {

// The period for `frequency_hz`, or a value error (kind `value`) with a clear message when the
// frequency has no usable period: NaN, infinite, not positive, a period that rounds to 0 ns, or
// one beyond the clock's nanosecond range.
Result<std::chrono::nanoseconds> period_from_frequency(double frequency_hz);

// The exact binary value of `seconds` times 10^9, rounded once to the nearest whole number with
// ties to even. nullopt for NaN, infinities, negative values and results above 2^64 - 1.
std::optional<std::uint64_t> seconds_to_nanos_exact(double seconds);

}  // namespace velmot::timer

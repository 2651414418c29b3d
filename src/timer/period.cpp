// Frequency to period: 1 / f in double precision, then that exact binary value of seconds times
// 10^9, rounded once to the nearest nanosecond (ties to even). `q * 1e9` in floating point would
// round twice and is off by one nanosecond for some frequencies.
//
// Thread-safety: pure functions.
#include "timer/period.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace velmot::timer {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t k_nanos_per_second = 1'000'000'000;
constexpr u128 k_max_nanos = static_cast<u128>(std::numeric_limits<std::chrono::nanoseconds::rep>::max());

// `value >> shift`, rounded to nearest with ties to even. 0 < shift < 128.
u128 shift_right_rounded(u128 value, int shift) {
    const u128 quotient = value >> shift;
    const u128 remainder = value & ((static_cast<u128>(1) << shift) - 1);
    const u128 half = static_cast<u128>(1) << (shift - 1);
    const bool round_up = remainder > half || (remainder == half && (quotient & 1) != 0);
    return quotient + (round_up ? 1 : 0);
}

}  // namespace

std::optional<std::uint64_t> seconds_to_nanos_exact(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) return std::nullopt;
    if (seconds == 0.0) return 0;
    // seconds = mantissa * 2^exponent exactly, with a 53-bit integer mantissa.
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;
    const u128 scaled = static_cast<u128>(mantissa) * k_nanos_per_second;  // below 2^83
    // A mantissa of at least 2^52 times 10^9 exceeds 2^64 already, so any exponent >= 0 is out of range;
    // at or below -128 the value is under 2^-45 ns and rounds to 0.
    if (exponent >= 0) return std::nullopt;
    if (exponent <= -128) return 0;
    const u128 nanos = shift_right_rounded(scaled, -exponent);
    if (nanos > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    return static_cast<std::uint64_t>(nanos);
}

Result<std::chrono::nanoseconds> period_from_frequency(double frequency_hz) {
    if (std::isnan(frequency_hz)) return Error{ErrorKind::value, "frequency_hz must be a number, not NaN"};
    if (frequency_hz <= 0.0) return Error{ErrorKind::value, "frequency_hz must be positive"};
    if (std::isinf(frequency_hz)) return Error{ErrorKind::value, "frequency_hz must be finite"};
    const auto nanos = seconds_to_nanos_exact(1.0 / frequency_hz);
    if (!nanos || *nanos > k_max_nanos) {
        return Error{ErrorKind::value, "frequency_hz is too low: its period exceeds the range of the clock"};
    }
    if (*nanos == 0) {
        return Error{ErrorKind::value, "frequency_hz is too high: its period rounds to 0 ns"};
    }
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(*nanos));
}

}  // namespace velmot::timer

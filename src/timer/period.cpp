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

constexpr std::uint32_t k_nanos_per_second = 1'000'000'000;
constexpr std::uint64_t k_max_nanos = std::numeric_limits<std::chrono::nanoseconds::rep>::max();

// An unsigned 128-bit number in two halves: 32-bit targets (armhf) have no 128-bit integer type.
struct U128 {
    std::uint64_t hi;
    std::uint64_t lo;
};

// The exact product a * b.
U128 multiply(std::uint64_t a, std::uint32_t b) {
    const std::uint64_t low = (a & 0xFFFF'FFFF) * b;
    const std::uint64_t high = (a >> 32) * b + (low >> 32);  // at most 2^64 - 2^32, no wrap
    return {high >> 32, (high << 32) | (low & 0xFFFF'FFFF)};
}

// `value >> shift`. 0 <= shift < 128.
U128 shift_right(U128 value, int shift) {
    if (shift == 0) {
        return value;
    }
    if (shift >= 64) {
        return {0, value.hi >> (shift - 64)};
    }
    return {value.hi >> shift, (value.lo >> shift) | (value.hi << (64 - shift))};
}

// Whether any bit of `value` below bit `shift` is set. 0 <= shift < 128.
bool any_bit_below(U128 value, int shift) {
    if (shift <= 64) {
        return shift > 0 && (value.lo & (~std::uint64_t{0} >> (64 - shift))) != 0;
    }
    return value.lo != 0 || (value.hi & (~std::uint64_t{0} >> (128 - shift))) != 0;
}

// `value >> shift`, rounded to nearest with ties to even; nullopt above 2^64 - 1. 0 < shift < 128.
std::optional<std::uint64_t> shift_right_rounded(U128 value, int shift) {
    const U128 quotient = shift_right(value, shift);
    const bool half_bit = (shift_right(value, shift - 1).lo & 1) != 0;
    const bool round_up = half_bit && (any_bit_below(value, shift - 1) || (quotient.lo & 1) != 0);
    if (quotient.hi != 0 ||
        (round_up && quotient.lo == std::numeric_limits<std::uint64_t>::max())) {
        return std::nullopt;
    }
    return quotient.lo + (round_up ? 1 : 0);
}

}  // namespace

std::optional<std::uint64_t> seconds_to_nanos_exact(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        return std::nullopt;
    }
    if (seconds == 0.0) {
        return 0;
    }
    // seconds = mantissa * 2^exponent exactly, with a 53-bit integer mantissa.
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;
    const U128 scaled = multiply(mantissa, k_nanos_per_second);  // below 2^83
    // A mantissa of at least 2^52 times 10^9 exceeds 2^64 already, so any exponent >= 0 is out of
    // range; at or below -128 the value is under 2^-45 ns and rounds to 0.
    if (exponent >= 0) {
        return std::nullopt;
    }
    if (exponent <= -128) {
        return 0;
    }
    return shift_right_rounded(scaled, -exponent);
}

Result<std::chrono::nanoseconds> period_from_frequency(double frequency_hz) {
    if (std::isnan(frequency_hz)) {
        return Error{ErrorKind::value, "frequency_hz must be a number, not NaN"};
    }
    if (frequency_hz <= 0.0) {
        return Error{ErrorKind::value, "frequency_hz must be positive"};
    }
    if (std::isinf(frequency_hz)) {
        return Error{ErrorKind::value, "frequency_hz must be finite"};
    }
    const auto nanos = seconds_to_nanos_exact(1.0 / frequency_hz);
    if (!nanos || *nanos > k_max_nanos) {
        return Error{ErrorKind::value,
                     "frequency_hz is too low: its period exceeds the range of the clock"};
    }
    if (*nanos == 0) {
        return Error{ErrorKind::value, "frequency_hz is too high: its period rounds to 0 ns"};
    }
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(*nanos));
}

}  // namespace velmot::timer

// Number texts of the timer reprs: std::to_chars for the shortest round-trip form, glibc's
// printf for correctly rounded fixed digits.
//
// Thread-safety: pure functions.
#include "timer/py_number_text.hpp"

#include <charconv>
#include <cstdio>

namespace velmot::timer {

std::string shortest_fixed(double value) {
    // Fixed notation of a double needs at most 309 integer digits or 1074 fraction digits.
    char buffer[1100];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (error != std::errc{}) {
        return std::to_string(value);
    }
    return std::string(buffer, end);
}

std::string one_decimal(double value) {
    // "%.1f" rounds the exact binary value in the current rounding mode (nearest, ties to even).
    char buffer[400];
    const int length = std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace velmot::timer

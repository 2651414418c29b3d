// Number texts of the timer reprs.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

namespace velmot::timer {

// The shortest decimal text that reads back as `value`, never with an exponent and without a
// fractional part when the value is whole: 100 -> "100", 0.5 -> "0.5", 1e20 ->
// "100000000000000000000", 1e-7 -> "0.0000001". Finite values only.
std::string shortest_fixed(double value);

// `value` with exactly one digit after the point: the exact binary value rounded to the nearest
// tenth, ties to even (0.25 gives "0.2"; 99.85 is stored just below the tie and gives "99.8").
std::string one_decimal(double value);

}  // namespace velmot::timer

// Mode names from Python: "current", "speed" or "position" in any letter case.
//
// Thread-safety: needs the GIL (lower-casing follows Python's str.lower).
#pragma once

#include <string>

#include "comm/dr_v1/foc_mode.hpp"
#include "common/result.hpp"

namespace velmot::motor {

using comm::dr_v1::FocMode;

// The mode named by `text` after lower-casing; a value error naming the lower-cased text
// otherwise. Throws PythonError only if lower-casing itself fails.
Result<FocMode> parse_foc_mode(const std::string& text);

}  // namespace velmot::motor

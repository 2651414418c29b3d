// Feedback records as Python sees them: a dict with the keys "position", "speed" and "current",
// inserted in that order, each a float (the single-precision value widened).
//
// Thread-safety: needs the GIL.
#pragma once

#include "binding/ref.hpp"
#include "comm/dr_v1/watch_data.hpp"

namespace velmot::motor {

using comm::dr_v1::WatchData;

// A new dict; throws PythonError.
binding::Ref watch_data_to_python(const WatchData& record);

}  // namespace velmot::motor

// Starting threads of our own with every signal blocked: the runtime's name for the helper in
// common/signal_blocked_thread.hpp (which the console writer, below the runtime, also uses).
//
// Thread-safety: see common/signal_blocked_thread.hpp.
#pragma once

#include "common/signal_blocked_thread.hpp"

namespace velmot::runtime {

using velmot::start_signal_blocked_thread;

}  // namespace velmot::runtime

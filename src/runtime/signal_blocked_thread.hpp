// Starting threads of our own with every signal blocked, and leaving the interpreter at the end of
// a thread's body: the runtime's names for the helpers in common/signal_blocked_thread.hpp (which
// the console writer, below the runtime, also uses).
//
// Thread-safety: see common/signal_blocked_thread.hpp.
#pragma once

#include "common/signal_blocked_thread.hpp"

namespace velmot::runtime {

using velmot::at_body_exit;
using velmot::start_signal_blocked_thread;

}  // namespace velmot::runtime

// Starting threads of our own: every thread the module creates (runtime workers, timer threads,
// the console writer) blocks all signals, so that signals are delivered to the interpreter's main
// thread (or to threads that ask for them), never to a worker in the middle of a task. It lives in
// common/ because the console writer, below the runtime, starts a thread too.
//
// Thread-safety: may be called from any thread; the caller's signal mask is left as it was.
#pragma once

#include <functional>
#include <thread>

namespace velmot {

// Starts a thread that runs `body` with every signal blocked. Throws std::system_error when the
// thread cannot be created.
std::thread start_signal_blocked_thread(std::function<void()> body);

}  // namespace velmot

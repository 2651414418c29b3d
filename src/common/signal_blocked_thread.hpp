// Starting threads of our own: every thread the module creates (runtime workers, timer threads,
// the console writer) blocks all signals but the synchronous fault signals (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGTRAP, SIGSYS, which only the faulting thread can take), so that signals are
// delivered to the interpreter's main thread (or to threads that ask for them), never to a worker
// in the middle of a task; and such a thread can leave the interpreter at the end of its body
// (at_body_exit) instead of in a thread-local destructor. It lives in common/ because the console
// writer, below the runtime, starts a thread too.
//
// Thread-safety: may be called from any thread; the caller's signal mask is left as it was.
#pragma once

#include <functional>
#include <thread>

namespace velmot {

// Starts a thread that runs `body` with every signal but the fault signals blocked, then the
// thread's body-exit hooks. Throws std::system_error when the thread cannot be created.
std::thread start_signal_blocked_thread(std::function<void()> body);

// Runs `hook` on the calling thread once its body (started by start_signal_blocked_thread) has
// returned, in the thread's own frame rather than in a thread-local destructor: a hook that takes
// the GIL may then be ended by the interpreter's forced unwinding (pthread_exit during
// finalization), which a destructor cannot pass through. Hooks run once, in registration order;
// none runs when the body itself was ended by an unwind. Returns false (and keeps nothing) on a
// thread that start_signal_blocked_thread did not start.
bool at_body_exit(void (*hook)());

}  // namespace velmot

// Tracking of the GIL: a thread-local flag says whether the calling thread holds the GIL through
// the binding layer. Nothing here guesses from the interpreter's own state: the flag is set only by
// the scopes below, and `Ref` consults it to decide between releasing at once and queueing.
//
// - EntryScope: at every entry point (the interpreter called us, so the GIL is held).
// - AllowThreads: an entry point releases the GIL around a long wait and takes it back.
// - GilGuard: a thread the interpreter did not create (runtime worker, timer, blocking pool) calls
//   into Python. The thread attaches to the interpreter once, on its first GilGuard, and keeps its
//   thread state until it exits, so `threading.get_ident()`, `threading.local` values and the
//   interpreter's view of the thread stay the same from one acquisition to the next; each later
//   GilGuard only swaps the GIL in and out.
//
// Interpreter finalization: once the interpreter is finalizing, a GilGuard never touches it again:
// the thread parks (sleeps until the process exits) instead of acquiring. If finalization starts
// while the thread is already waiting for the GIL, CPython ends the thread with pthread_exit, which
// unwinds through our frames (abi::__forced_unwind): this is why nothing that may take the GIL is
// noexcept. The same holds for AllowThreads taking the GIL back; one that is left by an exception
// while the interpreter finalizes parks the thread, since a forced unwind cannot start while
// another exception is propagating.
//
// Thread-safety: every object here belongs to the thread that created it and must be destroyed
// on that thread, in reverse order of creation.
#pragma once

#include <Python.h>

namespace velmot::binding {

// True while the calling thread holds the GIL through one of the scopes below.
bool holds_gil() noexcept;

// Set at every entry point: marks the GIL as held for the call and releases pending references.
class EntryScope {
public:
    EntryScope();
    ~EntryScope();
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;

private:
    bool previous_;
};

// Releases the GIL for the scope (PyEval_SaveThread) and takes it back at the end
// (PyEval_RestoreThread), then releases pending references. Only inside an entry point.
class AllowThreads {
public:
    AllowThreads();
    ~AllowThreads() noexcept(false);  // may meet the interpreter's pthread_exit, see above
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* saved_;
    PyThreadState* previous_released_;
    int uncaught_on_entry_;
};

// Holds the GIL for the scope on a thread that is not running Python code (see the file comment).
// Nested use on a thread that already holds the GIL through us is a no-op.
class GilGuard {
public:
    GilGuard();
    ~GilGuard();
    GilGuard(const GilGuard&) = delete;
    GilGuard& operator=(const GilGuard&) = delete;

private:
    // The thread state this guard swapped in; null when the guard is a nested no-op.
    PyThreadState* state_ = nullptr;
};

}  // namespace velmot::binding

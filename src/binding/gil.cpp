// GIL tracking: the thread-local flag, the three scopes and the per-thread interpreter attachment.
//
// Thread-safety: all state here is thread-local; see gil.hpp.
#include "binding/gil.hpp"

#include <unistd.h>

#include <exception>
#include <utility>

#include "binding/pending_release.hpp"
#include "binding/ref.hpp"
#include "runtime/signal_blocked_thread.hpp"

namespace velmot::binding {
namespace {

thread_local bool t_holds_gil = false;
// The thread state an AllowThreads on this thread released (a thread the interpreter created):
// a GilGuard there swaps it back in instead of attaching the thread a second time.
thread_local PyThreadState* t_released_state = nullptr;

// Whether the interpreter is finalizing, and this thread's current thread state without the
// fatal error PyThreadState_Get raises when there is none. Both became public API in 3.13, which
// dropped the older private names.
bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && !defined(PYPY_VERSION)
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && !defined(PYPY_VERSION)
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Never returns: used where touching the interpreter again could crash the process because it
// is being torn down. The process exit ends the thread.
[[noreturn]] void park_forever() {
    for (;;) {
        pause();
    }
}

// A background thread's attachment to the interpreter, made on its first GilGuard and undone when
// the thread ends. Between acquisitions the thread state is kept but not current (the GIL is free).
//
// Detaching takes the GIL, and CPython ends a thread that waits for the GIL while the interpreter
// finalizes (pthread_exit): a forced unwind that a destructor cannot pass through (the process
// would abort). So threads started by the runtime detach at the end of their body
// (runtime::at_body_exit), where the unwind passes; the thread-local destructor is only the
// fallback for other threads, and it leaves the thread state to the finalizing interpreter.
struct Attachment {
    PyThreadState* state = nullptr;
    PyGILState_STATE outer{};

    void attach() {
        outer = PyGILState_Ensure();  // creates the thread state and takes the GIL
        state = PyThreadState_Get();
    }

    // Not noexcept in effect: may be ended by a forced unwind (see above).
    void detach() {
        PyThreadState* attached = std::exchange(state, nullptr);
        if (attached == nullptr || interpreter_finalizing()) {
            return;
        }
        PyEval_RestoreThread(attached);
        PyGILState_Release(outer);  // deletes the thread state and drops the GIL
    }

    ~Attachment() {
        if (state != nullptr && !interpreter_finalizing()) {
            detach();
        }
    }
};

thread_local Attachment t_attachment;

void detach_at_body_exit() {
    t_attachment.detach();
}

}  // namespace

bool holds_gil() noexcept {
    return t_holds_gil;
}

void release_reference(PyObject* object) noexcept {
    // While the interpreter finalizes, releasing could run Python code that ends this thread,
    // which cannot unwind through a destructor: the reference is queued (and so leaked).
    if (t_holds_gil && !interpreter_finalizing()) {
        Py_DECREF(object);
    } else {
        pending_release::push(object);
    }
}

EntryScope::EntryScope() : previous_(t_holds_gil) {
    t_holds_gil = true;
    pending_release::drain();
}

EntryScope::~EntryScope() {
    t_holds_gil = previous_;
}

AllowThreads::AllowThreads()
    : previous_released_(t_released_state), uncaught_on_entry_(std::uncaught_exceptions()) {
    t_holds_gil = false;
    saved_ = PyEval_SaveThread();
    t_released_state = saved_;
}

AllowThreads::~AllowThreads() noexcept(false) {
    if (std::uncaught_exceptions() > uncaught_on_entry_ && interpreter_finalizing()) {
        park_forever();
    }
    t_released_state = previous_released_;
    PyEval_RestoreThread(saved_);
    t_holds_gil = true;
    pending_release::drain();
}

GilGuard::GilGuard() {
    if (t_holds_gil) {
        return;
    }
    if (interpreter_finalizing()) {
        park_forever();
    }
    if (t_released_state != nullptr) {
        state_ = t_released_state;
        PyEval_RestoreThread(state_);
    } else if (t_attachment.state == nullptr) {
        t_attachment.attach();
        state_ = t_attachment.state;
        (void)runtime::at_body_exit(&detach_at_body_exit);
    } else {
        state_ = t_attachment.state;
        PyEval_RestoreThread(state_);
    }
    t_holds_gil = true;
    pending_release::drain();
}

GilGuard::~GilGuard() {
    if (state_ == nullptr) {
        return;
    }
    t_holds_gil = false;
    // A call made under this guard that had to wait for the GIL while the interpreter started
    // finalizing is ended by CPython with pthread_exit inside its wait: the forced unwind reaches
    // this destructor without the GIL, and releasing it then would be a fatal error. The current
    // thread state says whether this thread still holds the GIL; PyGILState_Check alone cannot,
    // since it answers "yes" once finalization has torn down its thread-state key.
    if (interpreter_finalizing() && (current_thread_state() != state_ || !PyGILState_Check())) {
        return;
    }
    PyEval_SaveThread();  // keeps the thread state for the next acquisition
}

}  // namespace velmot::binding

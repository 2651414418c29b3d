// The tick call of Python timers and the one-line report of an exception it raised.
//
// Thread-safety: see py_tick_function.hpp; report_tick_exception needs the GIL.
#include "timer/py_tick_function.hpp"

#include <utility>

#include "binding/exception_text.hpp"
#include "binding/gil.hpp"
#include "binding/panic_exception.hpp"
#include "common/console.hpp"

namespace velmot::timer {

using binding::Ref;

namespace {

constexpr ConsoleKind k_tick_error_kind{"timer: function error"};

}  // namespace

void report_tick_exception() {
    write_stderr(k_tick_error_kind,
                 "Timer function error: " + binding::take_exception_text() + "\n");
}

PythonTickFunction::PythonTickFunction(Ref callable, Ref args)
    : callable_(std::move(callable)), args_(std::move(args)) {}

void PythonTickFunction::call(TickGate& gate) {
    binding::GilGuard gil;
    if (!gate.open()) {
        return;
    }
    // A PanicException raised by the callable continues here as velmot::Panic; the loop ends the
    // tick with it.
    Ref result = binding::call_python(callable_.get(), args_.get());
    if (!result) {
        report_tick_exception();
    }
}

}  // namespace velmot::timer

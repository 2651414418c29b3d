// Fatal-error containment at the entry points.
//
// Thread-safety: needs the GIL (called from entry points only).
#include "binding/entry.hpp"

#include <chrono>
#include <cstdlib>
#include <source_location>

#include "binding/panic_exception.hpp"
#include "common/console.hpp"

namespace velmot::binding::detail {

namespace {

constexpr ConsoleKind k_uncaught_panic_kind{"binding: uncaught panic"};
// How long the console may take to write what is queued (this line included) before the abort.
constexpr auto k_console_bound_before_abort = std::chrono::milliseconds(500);

}  // namespace

void abort_uncaught_panic() noexcept {
    write_stderr(k_uncaught_panic_kind, "uncaught panic at ffi boundary\n");
    flush_console(std::chrono::steady_clock::now() + k_console_bound_before_abort);
    std::abort();
}

void raise_panic(const std::string& message) noexcept {
    try {
        set_panic_exception(message);
    } catch (const std::exception&) {
        abort_uncaught_panic();  // a second fatal error while containing the first
    }
}

void raise_internal_exception(const std::exception& error) noexcept {
    try {
        std::string message = error.what();
        print_panic_notice(message, std::source_location::current());
        set_panic_exception(message);
    } catch (const std::exception&) {
        abort_uncaught_panic();
    }
}

}  // namespace velmot::binding::detail

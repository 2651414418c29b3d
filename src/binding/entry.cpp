// Fatal-error containment at the entry points.
//
// Thread-safety: needs the GIL (called from entry points only).
#include "binding/entry.hpp"

#include <cstdio>
#include <cstdlib>
#include <source_location>

#include "binding/panic_exception.hpp"

namespace velmot::binding::detail {

void abort_uncaught_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
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

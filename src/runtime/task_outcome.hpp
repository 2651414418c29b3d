// How the end of a task or blocking job becomes the outcome its joiner sees: a value, the
// "task was cancelled" error, or a Panic that is rethrown in the joiner. Any other exception that
// escapes a task is a broken invariant: it is reported like a panic and delivered as one.
//
// Thread-safety: plain functions; `run_into` completes a thread-safe OneShot.
#pragma once

#include <exception>
#include <source_location>
#include <type_traits>
#include <utility>

#include "common/panic.hpp"
#include "common/result.hpp"
#include "runtime/oneshot.hpp"

namespace velmot::runtime {

// The error a join reports for an aborted task.
Error cancelled_error();

// Prints the panic notice for an exception that escaped a task or job and returns it as a Panic.
std::exception_ptr escaped_as_panic(
    const std::exception& escaped, std::source_location location = std::source_location::current());

// Calls `fn` and completes `cell` with its value, or with the Panic it ended with.
template <class R, class F>
void run_into(OneShot<Result<R>>& cell, F& fn) {
    try {
        if constexpr (std::is_void_v<R>) {
            fn();
            cell.set_value(Result<void>{});
        } else {
            cell.set_value(Result<R>(fn()));
        }
    } catch (const Panic&) {
        cell.set_exception(std::current_exception());
    } catch (const std::exception& e) {
        cell.set_exception(escaped_as_panic(e));
    }
}

}  // namespace velmot::runtime

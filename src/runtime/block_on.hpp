// block_on: runs an operation on the runtime and blocks the calling thread until it ends. For code
// that is not itself a task (the Python-facing layer, plain threads, tests). A Panic inside the
// operation is rethrown to the caller.
//
// Refused (Panic, nothing waited for) on a thread that drives the runtime: the worker would block
// the very tasks it waits for. Such a caller uses block_in_place first.
// Thread-safety: may be called from any thread that does not drive the runtime.
#pragma once

#include <asio.hpp>

#include <type_traits>
#include <utility>

#include "common/panic.hpp"
#include "runtime/blocking_wait.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task_handle.hpp"

namespace velmot::runtime {

template <class T>
T Runtime::block_on(asio::awaitable<T> op) {
    refuse_blocking_on_driving_thread();
    Result<T> result = spawn(std::move(op)).wait();
    // Nobody else holds the handle, so nobody can abort the task: an error here is a broken
    // invariant.
    if (!result.ok()) {
        panic("block_on: " + result.error().message);
    }
    if constexpr (!std::is_void_v<T>) {
        return std::move(result).value();
    }
}

}  // namespace velmot::runtime

// Registry waits with signal checks.
//
// Thread-safety: see py_registry_wait.hpp.
#include "task/py_registry_wait.hpp"

#include "binding/signal_checked_wait.hpp"
#include "task/task_manager.hpp"

namespace velmot::task {

std::optional<runtime::Clock::duration> optional_millis(std::optional<std::uint64_t> ms) {
    if (!ms) {
        return std::nullopt;
    }
    return runtime::millis_to_duration(*ms);
}

bool wait_all_checking_signals(std::optional<std::uint64_t> timeout_ms) {
    const auto timeout = optional_millis(timeout_ms);
    const auto deadline = timeout ? runtime::saturating_add(runtime::Clock::now(), *timeout)
                                  : runtime::Clock::time_point::max();
    return binding::wait_checking_signals(deadline, [](runtime::Clock::time_point until) {
        return task_manager().wait_all_until(until);
    });
}

bool stop_all_and_wait(std::optional<std::uint64_t> timeout_ms) {
    task_manager().stop_all();
    return wait_all_checking_signals(timeout_ms);
}

}  // namespace velmot::task

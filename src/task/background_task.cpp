// Background tasks: the blocking-pool job that makes the call.
//
// Thread-safety: see background_task.hpp. The job shares only the completion flags and `running`.
#include "task/background_task.hpp"

#include <utility>

#include "runtime/runtime.hpp"
#include "task/call_tracker.hpp"

namespace velmot::task {

namespace {

// Marks the end of the task however the job ends (also by a Panic of the call, or by the forced
// unwinding of a thread the interpreter ends), so that no waiter is left waiting.
struct FinishTask {
    TaskCompletion& completion;
    std::atomic<bool>& running;

    ~FinishTask() {
        completion.mark_completed();
        running.store(false, std::memory_order_seq_cst);
        call_waits::notify_change();  // registry waits look again at once
    }
};

struct CallJob {
    std::shared_ptr<TaskCompletion> completion;
    RunningFlag running;
    std::unique_ptr<BackgroundCall> call;

    void operator()() {
        FinishTask finish{*completion, *running};
        const CallPermission permission(*completion, *running);
        if (permission.granted()) {
            call->call(permission);
        }
    }
};

}  // namespace

void start_background_task(std::shared_ptr<TaskCompletion> completion, RunningFlag running,
                           std::unique_ptr<BackgroundCall> call) {
    // A Panic of the call was reported where it was raised; the detached job's outcome drops it.
    runtime::get_runtime()
        .spawn_blocking(CallJob{std::move(completion), std::move(running), std::move(call)})
        .detach();
}

}  // namespace velmot::task

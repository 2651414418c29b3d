"""Background work with `run_async`, and the `TaskManager` view of everything that runs.

Each call of a `run_async` function runs it once on a thread of velmot's pool and returns an
`AsyncHandle` at once: `wait()` waits for the result (with the interpreter lock released, so
timers keep running), `try_result()` never waits, `cancel()` skips a call that has not started.
An exception of the function is kept and raised as `RuntimeError` by `wait()`. Timers and tasks
are counted by one registry, which `get_task_manager()` shows.

    sim/with-bus can0 -- python3 examples/background_tasks.py
"""
from __future__ import annotations

import time

import velmot


@velmot.run_async
def slow_square(x: int) -> int:
    time.sleep(0.3)                  # stands for a computation or a file or network access
    return x * x


@velmot.run_async
def failing() -> None:
    raise ValueError("sensor not found")


def main() -> None:
    manager = velmot.get_task_manager()
    ticks = [0]

    @velmot.timer(50.0)
    def heartbeat() -> None:
        ticks[0] += 1

    beat = heartbeat()
    handles = [slow_square(n) for n in range(1, 5)]
    print("started:", manager)        # TaskManager(timers=1, tasks=4, stopped=0, total=5)
    print("first result yet?", handles[0].try_result())   # None: still running

    print("results:", [h.wait(timeout_ms=5000) for h in handles])
    print("heartbeat went on meanwhile: %d calls" % ticks[0])

    bad = failing()
    try:
        bad.wait()
    except RuntimeError as exc:
        print("the task failed:", exc)                     # ValueError: sensor not found

    late = slow_square(12)           # keep every handle until its call has ended
    try:
        late.wait(timeout_ms=10)
    except TimeoutError:
        print("no result within 10 ms; running:", manager.async_task_count, "task")
    print("then:", late.wait(), "- done:", late.is_done())

    status = manager.status()
    print("status:", status)
    print("running: %d (timers %d, tasks %d) of %d"
          % (manager.running_count, manager.timer_count, manager.async_task_count,
             manager.total_count))

    ok = velmot.shutdown_all(timeout_ms=2000)   # stop the heartbeat and every task
    print("shut down cleanly:", ok, "- heartbeat running:", beat.is_running())
    manager.cleanup()                           # forget the finished entries
    print("after cleanup:", manager)


if __name__ == "__main__":
    main()

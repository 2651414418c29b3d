"""Callbacks that misbehave: a timer or background-task function that calls sys.exit() or sleeps
for seconds. sys.exit() there is an exception like any other: a timer prints its line and goes
on, a task stores it; neither ends the script. A sleeping timer function delays only its own
timer, which skips the ticks it missed instead of making them up.
"""
import sys
import time

import pytest

import velmot

PRECISIONS = [
    pytest.param(lambda hz: velmot.timer(hz), id="normal"),
    pytest.param(lambda hz: velmot.precision_timer(hz), id="high"),
    pytest.param(lambda hz: velmot.precision_timer(hz, realtime=True), id="realtime"),
]
# sys.exit() without an argument raises SystemExit() on CPython and SystemExit(None) on PyPy.
NO_ARGUMENT = "None" if sys.implementation.name == "pypy" else ""


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.005)
    return predicate()


@pytest.mark.parametrize("make", PRECISIONS)
@pytest.mark.parametrize("exit_call, line", [
    (lambda: sys.exit(3), "SystemExit: 3"),
    (lambda: sys.exit("bye"), "SystemExit: bye"),
    (sys.exit, "SystemExit: " + NO_ARGUMENT),
])
def test_sys_exit_in_a_timer_is_printed_and_the_timer_goes_on(capfd, make, exit_call, line):
    calls = []

    def tick():
        calls.append(1)
        if len(calls) == 2:
            exit_call()

    handle = make(100.0)(tick)()
    try:
        assert wait_until(lambda: len(calls) >= 5)
    finally:
        handle.stop()
    assert handle.tick_count() == len(calls)
    assert capfd.readouterr().err == "Timer function error: %s\n" % line


@pytest.mark.parametrize("exit_call, text", [
    (lambda: sys.exit(5), "SystemExit: 5"),
    (sys.exit, "SystemExit: " + NO_ARGUMENT),
])
def test_sys_exit_in_a_task_is_stored_for_its_handle(capfd, exit_call, text):
    handle = velmot.run_async(exit_call)()
    with pytest.raises(RuntimeError) as stored:
        handle.wait(timeout_ms=10000)
    assert str(stored.value) == text
    with pytest.raises(RuntimeError, match="^SystemExit"):
        handle.try_result()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("make", PRECISIONS)
def test_sleeping_timer_delays_only_itself_and_skips_its_missed_ticks(make):
    slow_calls, fast_calls = [], []

    def slow():
        slow_calls.append(time.monotonic())
        if len(slow_calls) == 2:
            time.sleep(1.5)

    fast = velmot.timer(100.0)(lambda: fast_calls.append(time.monotonic()))()
    slow_handle = make(20.0)(slow)()
    try:
        assert wait_until(lambda: len(slow_calls) >= 2)
        asleep = slow_calls[1]
        assert wait_until(lambda: len(slow_calls) >= 3)
        time.sleep(0.4)
    finally:
        slow_handle.stop()
        fast.stop()
    # The other timer kept going while this one slept (100 Hz for 1.5 s: about 150 calls).
    assert sum(asleep < t < asleep + 1.5 for t in fast_calls) >= 30
    # The 30 ticks missed meanwhile are not made up in a burst: 20 Hz goes on (8 calls at most
    # in 0.3 s, counting the one made at once after the overrun).
    woke = slow_calls[2]
    assert woke - asleep >= 1.5
    assert sum(woke <= t < woke + 0.3 for t in slow_calls) <= 8

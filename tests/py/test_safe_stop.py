"""Safe stop: once TimerHandle.stop() or a shutdown function returns, no timer call is running or
still to come, whatever thread stops it (also the timer's own call, or two timers stopping each
other); and the script's last frames reach the bus."""
import threading
import time

import pytest

import velmot

DECORATORS = {
    "normal": "velmot.timer",
    "high": "velmot.precision_timer",
    "realtime": "lambda hz: velmot.precision_timer(hz, realtime=True)",
}
PRECISIONS = [pytest.param(eval(text, {"velmot": velmot}), id=name) for name, text in DECORATORS.items()]


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class SlowCalls:
    """A timer function whose calls last 50 ms; counts the calls that began and ended."""

    def __init__(self):
        self.began = self.ended = 0
        self.inside = threading.Event()

    def __call__(self):
        self.began += 1
        self.inside.set()
        time.sleep(0.05)
        self.ended += 1


@pytest.mark.parametrize("from_thread", [False, True], ids=["caller", "thread"])
@pytest.mark.parametrize("make", PRECISIONS)
def test_stop_returns_after_the_call_in_flight_and_nothing_follows(make, from_thread):
    calls = SlowCalls()
    handle = make(100.0)(calls)()
    assert calls.inside.wait(5)
    if from_thread:
        stopper = threading.Thread(target=handle.stop)
        stopper.start()
        stopper.join(10)
    else:
        handle.stop()
    assert calls.began == calls.ended >= 1 and not handle.is_running()
    made = calls.began
    time.sleep(0.2)
    assert calls.began == made == handle.tick_count()


@pytest.mark.parametrize("make", PRECISIONS)
def test_timers_stopping_themselves_or_each_other_do_not_deadlock(make):
    stopped = []
    handles = []

    def stop_self():
        handles[0].stop()          # inside its own call: returns at once
        stopped.append("self")

    def stop_other(index):
        time.sleep(0.02)           # both calls are in flight when the stops begin
        handles[1 - index].stop()
        stopped.append(index)

    handles.append(make(50.0)(stop_self)())
    assert wait_until(lambda: stopped == ["self"])
    handles.clear()
    handles.extend(make(50.0)(stop_other)(i) for i in range(2))
    assert wait_until(lambda: len(stopped) >= 2), stopped
    assert not any(h.is_running() for h in handles)


# The shutdown functions while a 200 ms timer call is in flight: a zero timeout reports it still
# running, and a wait returns (and prints its success line) only after the call has ended.
SHUTDOWN_SCRIPT = """
import sys, threading, time, velmot
inside = threading.Event()
def slow():
    inside.set()
    time.sleep(0.2)
    sys.stderr.write("call ended\\n"); sys.stderr.flush()
handle = (%s)(100.0)(slow)()
inside.wait()
print(velmot.shutdown_all(timeout_ms=0), velmot.get_task_manager().wait_all(timeout_ms=0))
print(velmot.block_until(wait_ms=0), handle.tick_count())
time.sleep(0.1)
print(handle.tick_count())
"""


@pytest.mark.parametrize("precision", DECORATORS)
def test_shutdown_functions_wait_for_a_timer_call_in_flight(run_python, precision):
    result = run_python(SHUTDOWN_SCRIPT % DECORATORS[precision])
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False False\n('timeout', True) 1\n1\n"
    assert result.stderr == ("\n[velmot] Stopping (reason: timeout), initiating graceful shutdown...\n"
                             "call ended\n[velmot] All tasks stopped successfully\n")

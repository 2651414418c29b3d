"""Background tasks and the registry's Python view: run_async / RunAsync / AsyncHandle (results,
stored errors, cancel, waits, drop warning, reprs) and TaskManager. Whatever raises the registry's
shutdown flag runs in a fresh interpreter, since the flag stays set for the rest of a process."""
import gc
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import velmot

IS_PYPY = sys.implementation.name == "pypy"
DROP_WARNING = ("Warning: AsyncHandle(id=%d) dropped while task still running. Consider calling "
                "handle.cancel() or handle.wait() before dropping.\n")


def collect():
    if IS_PYPY:
        for _ in range(3):
            gc.collect()


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raiser(exception):
    def raise_it():
        raise exception
    return raise_it


@pytest.fixture
def gil_kept():
    """This thread keeps the GIL until it waits, so a task's call cannot begin before that."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(10)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture
def gate():
    """An event the test's task functions wait on; set at teardown so no task outlives the test."""
    event = threading.Event()
    yield event
    event.set()
    time.sleep(0.05)


def test_a_fresh_process_counts_from_one_and_stops_tasks_that_have_not_started(run_python):
    result = run_python("""
        import inspect, sys, velmot  # inspect: a timer start uses it, and an import lets go of the GIL
        sys.setswitchinterval(10)      # nothing below lets go of the GIL before stop_all
        manager = velmot.get_task_manager()
        fresh = (manager.status(), repr(manager))
        calls = []
        first = velmot.run_async(calls.append)("task")     # id 1
        timer = velmot.timer(1000.0)(abs)(-1)               # id 2
        counts = (first.task_id, timer.task_id, manager.timer_count, manager.async_task_count,
                  manager.running_count, manager.total_count)
        manager.stop_all()
        print(*fresh)
        print(*counts)
        print(first.wait(), first.is_completed(), first.is_cancelled(), first, manager.running_count,
              manager.status()["stopped"] == manager.total_count)
        manager.cleanup()
        print(manager.total_count, first.task_id, calls, manager.wait_all(timeout_ms=0))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "{'running_timers': 0, 'running_tasks': 0, 'stopped': 0, 'total': 0} "
        "TaskManager(timers=0, tasks=0, stopped=0, total=0)",
        "1 2 1 1 2 2",
        "None True False AsyncHandle(id=1, status=completed) 0 True",
        "0 1 [] True",
    ]


def test_wait_and_try_result_return_the_stored_value():
    value = object()
    handle = velmot.run_async(lambda x: x)(value)
    assert handle.wait() is value
    assert handle.wait(timeout_ms=0) is value and handle.try_result() is value
    assert (handle.is_done(), handle.is_completed(), handle.is_cancelled()) == (True, True, False)
    assert repr(handle) == "AsyncHandle(id=%d, status=completed)" % handle.task_id


@pytest.mark.parametrize("func, text", [
    (raiser(ValueError("bad input")), "ValueError: bad input"),
    (raiser(BadStr()), "BadStr: <exception str() failed>"),
    (raiser(KeyError("k")), "KeyError: 'k'"),
    (42, "TypeError: 'int' object is not callable"),
])
def test_a_failed_call_is_stored_as_runtime_error_text(func, text):
    handle = velmot.RunAsync(func)()
    for retrieve in (handle.wait, handle.try_result, handle.wait):
        with pytest.raises(RuntimeError) as error:
            retrieve()
        assert str(error.value) == text and type(error.value) is RuntimeError
    assert handle.is_completed() and not handle.is_cancelled()


def test_wait_times_out_at_once_and_returns_after_cancel(gate):
    handle = velmot.run_async(gate.wait)()
    assert handle.try_result() is None and repr(handle).endswith("status=running)")
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="^Async task wait timed out$"):
        handle.wait(timeout_ms=0)
    with pytest.raises(TimeoutError):
        handle.wait(timeout_ms=30)
    threading.Timer(0.1, handle.cancel).start()
    assert handle.wait() is None              # woken by cancel(); the call keeps running
    assert time.monotonic() - start < 5
    assert repr(handle).endswith("status=cancelled)") and handle.is_done()
    gate.set()
    while not handle.is_completed():          # wait() no longer waits once cancelled
        time.sleep(0.01)
    assert handle.wait() is True              # the call ran to its end and stored its value


def test_cancel_before_the_call_started_skips_it(gil_kept):
    calls = []
    handle = velmot.run_async(calls.append)(1)
    handle.cancel()
    time.sleep(0.05)
    assert handle.wait() is None and calls == []
    assert handle.is_completed() and repr(handle).endswith("status=cancelled)")


@pytest.mark.parametrize("ending, warned", [("running", True), ("cancelled", False), ("finished", False)])
def test_dropping_a_handle_warns_only_while_it_runs_and_unregisters(capfd, gate, ending, warned):
    manager = velmot.get_task_manager()
    collect()
    total = manager.total_count
    handle = velmot.run_async(gate.wait)(10)
    task_id = handle.task_id
    if ending == "cancelled":
        handle.cancel()
    elif ending == "finished":
        gate.set()
        handle.wait()
    del handle
    collect()
    assert manager.total_count == total
    assert capfd.readouterr().err == (DROP_WARNING % task_id if warned else "")


def test_call_takes_positional_arguments_only():
    decorated = velmot.run_async(lambda *a: a)
    assert repr(decorated) == "RunAsync(...)"
    assert decorated(1, "two").wait() == (1, "two")
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        decorated(x=1)


@pytest.mark.parametrize("call, exception", [
    (lambda h: h.wait(timeout_ms=-1), OverflowError),
    (lambda h: h.wait(timeout_ms=1.5), TypeError),
    (lambda h: h.wait(1, 2), TypeError),
    (lambda h: velmot.get_task_manager().wait_all(timeout_ms="1"), TypeError),
    (lambda h: velmot.block_until(wait_ms=-5), OverflowError),
    (lambda h: velmot.block_all(timeout_ms=[]), TypeError),
])
def test_bad_timeouts_raise_before_anything_waits(call, exception):
    handle = velmot.run_async(int)()
    with pytest.raises(exception):
        call(handle)
    handle.wait()


@pytest.mark.timing
def test_long_calls_do_not_delay_a_normal_timer():
    sleepers = [velmot.run_async(time.sleep)(1) for _ in range(4)]
    time.sleep(0.05)
    ticks = []
    handle = velmot.timer(100.0)(lambda: ticks.append(1))()
    time.sleep(0.5)
    handle.stop()
    assert len(ticks) >= 30, len(ticks)      # about 50; sleeping tasks hold no runtime worker
    for sleeper in sleepers:
        sleeper.wait()


def test_ctrl_c_ends_a_wait_without_limit(run_python):
    result = run_python("""
        import os, signal, threading, time, velmot
        handle = velmot.run_async(time.sleep)(30)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            handle.wait()
        except KeyboardInterrupt:
            print("interrupted after %.3f s" % (time.monotonic() - start))
        handle.cancel()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("interrupted after 0.")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine holds freed memory back")
@pytest.mark.skipif(os.environ.get("VELMOT_EMULATED") == "1",
                    reason="an emulator's own memory (translated code) is part of the process's RSS")
def test_ten_thousand_round_trips_leak_nothing(run_python):
    result = run_python("""
        import gc, velmot
        def rss_kib():
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) for l in status if l.startswith("VmRSS"))
        double = velmot.run_async(lambda x: 2 * x)
        for batch in range(100):   # 100 calls in flight at a time
            handles = [double(i) for i in range(100)]
            assert [h.wait() for h in handles] == [2 * i for i in range(100)]
            del handles
            gc.collect()
            if batch == 9:
                baseline = rss_kib()
        print(rss_kib() / baseline, velmot.get_task_manager().total_count)
    """)
    assert result.returncode == 0, result.stderr
    growth, total = result.stdout.split()
    assert float(growth) < 1.10 and total == "0"

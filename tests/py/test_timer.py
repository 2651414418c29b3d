"""Timers from Python: decorator checks and their order, wrapper and handle reprs, the start
sequence (ids, coroutine warning, keyword refusal), tick calls and their error line, stop and
drop semantics, thread names, and the schedule at coarse tolerance."""
import gc
import math
import os
import sys
import threading
import time

import pytest

import velmot

IS_PYPY = sys.implementation.name == "pypy"


COROUTINE_WARNING = (
    "Warning: Timer callback is an async function (coroutine function). It will not be awaited "
    "and will likely fail to execute properly. Please use a synchronous function.\n")

# (decorator factory, precision name); each factory takes a frequency.
PRECISIONS = [
    pytest.param(lambda hz: velmot.timer(hz), "normal", id="normal"),
    pytest.param(lambda hz: velmot.precision_timer(hz), "high", id="high"),
    pytest.param(lambda hz: velmot.precision_timer(hz, realtime=True), "realtime", id="realtime"),
]


def collect():
    """Lets the interpreter destroy unreachable handles now (PyPy has no reference counting)."""
    if IS_PYPY:
        for _ in range(3):
            gc.collect()


def task_counts():
    """Running and total registry entries, after unreachable handles were destroyed."""
    collect()
    manager = velmot.get_task_manager()
    return manager.running_count, manager.total_count


def wait_until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


@pytest.fixture
def handles():
    """Handles a test starts; stopped (and given time to finish a call in flight) afterwards."""
    started = []
    yield started
    for handle in started:
        handle.stop()
    time.sleep(0.05)


def noop(*args):
    pass


class Outer:
    class NestedError(Exception):
        pass


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class FakeNumpyBool:
    """Stands in for numpy.bool_: the converter recognises it by module and name."""
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool_"


class FloatLike:
    def __float__(self):
        return 20.0


# --- construction checks, in order

POSITIVE = "frequency_hz must be positive"
TEN_KHZ = "frequency > 10kHz requires realtime=True"


@pytest.mark.parametrize("make", [velmot.timer, velmot.Timer], ids=["timer", "Timer"])
@pytest.mark.parametrize("hz, error, message", [
    (0, ValueError, POSITIVE),
    (-1.0, ValueError, POSITIVE),
    (-math.inf, ValueError, POSITIVE),
    (math.nan, ValueError, "NaN"),
    (math.inf, ValueError, "finite"),
    (3e9, ValueError, "too high"),
    (1e-20, ValueError, "too low"),
    ("10", TypeError, "^argument 'frequency_hz': "),
    (None, TypeError, "^argument 'frequency_hz': "),
])
def test_timer_construction_refuses(make, hz, error, message):
    with pytest.raises(error, match=message):
        make(hz)


@pytest.mark.parametrize("make", [velmot.precision_timer, velmot.PrecisionTimer],
                         ids=["precision_timer", "PrecisionTimer"])
@pytest.mark.parametrize("args, kwargs, error, message", [
    ((-5.0,), {}, ValueError, POSITIVE),
    ((0.0, True), {}, ValueError, POSITIVE),       # positivity before everything else
    ((10000.5,), {}, ValueError, TEN_KHZ),
    ((math.inf,), {}, ValueError, TEN_KHZ),        # the 10 kHz check comes before the period's
    ((50000.0, False), {}, ValueError, TEN_KHZ),
    ((math.nan,), {}, ValueError, "NaN"),
    ((math.inf,), {"realtime": True}, ValueError, "finite"),
    ((3e9,), {"realtime": True}, ValueError, "too high"),
    ((1e-20,), {}, ValueError, "too low"),
    ((1.0,), {"realtime": 1}, TypeError, "^argument 'realtime': "),
    ((1.0,), {"realtime": None}, TypeError, "^argument 'realtime': "),
    ((1.0, "yes"), {}, TypeError, "^argument 'realtime': "),
    ((-1.0,), {"realtime": 0}, TypeError, "^argument 'realtime': "),  # conversions before checks
    (("x",), {"realtime": 0}, TypeError, "^argument 'frequency_hz': "),  # frequency converted first
    ((), {}, TypeError, "missing 1 required positional argument: 'frequency_hz'"),
    ((1.0,), {"rt": True}, TypeError, "unexpected keyword argument 'rt'"),
])
def test_precision_construction_refuses(make, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        make(*args, **kwargs)


@pytest.mark.parametrize("build, mode", [
    (lambda: velmot.timer(50000.0), "normal"),
    (lambda: velmot.Timer(frequency_hz=1e-7), "normal"),
    (lambda: velmot.timer(FloatLike()), "normal"),
    (lambda: velmot.precision_timer(10000.0), "high"),
    (lambda: velmot.precision_timer(1), "high"),
    (lambda: velmot.precision_timer(50000.0, realtime=True), "realtime"),
    (lambda: velmot.PrecisionTimer(frequency_hz=2.0, realtime=False), "high"),
    (lambda: velmot.precision_timer(1e9, realtime=True), "realtime"),
    (lambda: velmot.precision_timer(100.0, realtime=FakeNumpyBool(True)), "realtime"),
    (lambda: velmot.precision_timer(100.0, realtime=FakeNumpyBool(False)), "high"),
])
def test_accepted_frequencies_give_the_mode(build, mode):
    decorator = build()
    assert type(decorator).__name__ == ("Timer" if mode == "normal" else "PrecisionTimer")
    assert repr(decorator(noop)).endswith(f"Hz, mode={mode})")


@pytest.mark.parametrize("decorator, message", [
    (velmot.timer(10.0), "timer decorator requires a callable"),
    (velmot.Timer(10.0), "timer decorator requires a callable"),
    (velmot.precision_timer(10.0), "precision_timer decorator requires a callable"),
    (velmot.PrecisionTimer(10.0, True), "precision_timer decorator requires a callable"),
])
@pytest.mark.parametrize("func", [42, None, "f"])
def test_decorating_a_non_callable(decorator, message, func):
    with pytest.raises(TypeError, match=f"^{message}$"):
        decorator(func)


@pytest.mark.parametrize("cls", [velmot.TimerWrapper, velmot.TimerHandle])
def test_wrapper_and_handle_cannot_be_created_from_python(cls):
    with pytest.raises(TypeError):
        cls()


# --- reprs

@pytest.mark.parametrize("decorator, text", [
    (velmot.timer(100.0), "TimerWrapper(frequency=100Hz, mode=normal)"),
    (velmot.precision_timer(0.5), "TimerWrapper(frequency=0.5Hz, mode=high)"),
    (velmot.precision_timer(1000.0, realtime=True), "TimerWrapper(frequency=1000Hz, mode=realtime)"),
    (velmot.timer(1.5e9), "TimerWrapper(frequency=1500000000Hz, mode=normal)"),
    (velmot.precision_timer(1e9, realtime=True), "TimerWrapper(frequency=1000000000Hz, mode=realtime)"),
    (velmot.timer(1e-7), "TimerWrapper(frequency=0.0000001Hz, mode=normal)"),
    (velmot.timer(2.5e-10), "TimerWrapper(frequency=0.00000000025Hz, mode=normal)"),
    (velmot.timer(0.1), "TimerWrapper(frequency=0.1Hz, mode=normal)"),
    (velmot.timer(1 / 3), "TimerWrapper(frequency=0.3333333333333333Hz, mode=normal)"),
    (velmot.timer(123456.789), "TimerWrapper(frequency=123456.789Hz, mode=normal)"),
])
def test_wrapper_repr(decorator, text):
    assert repr(decorator(noop)) == text


@pytest.mark.parametrize("hz, shown", [
    (100.0, "100.0"), (0.25, "0.2"), (0.75, "0.8"), (0.35, "0.3"), (0.05, "0.1"), (99.95, "100.0"), (99.85, "99.8"),
    (1000.0, "1000.0"),
])
def test_handle_repr_rounds_the_exact_value_half_even(handles, hz, shown):
    handle = velmot.precision_timer(hz, realtime=True)(noop)()
    handles.append(handle)
    handle.stop()
    text = repr(handle)
    assert text.startswith(f"TimerHandle(id={handle.task_id}, freq={shown}Hz, actual=")
    assert text.endswith(f"Hz, mode=realtime, ticks={handle.tick_count()}, running=false)")


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_handle_reports_its_timer(handles, make, mode):
    handle = make(50.0)(noop)()
    handles.append(handle)
    assert isinstance(handle.task_id, int) and handle.task_id >= 1
    assert handle.frequency() == 50.0
    assert handle.precision_mode() == mode
    assert handle.is_running() is True
    assert wait_until(lambda: handle.tick_count() >= 3)
    assert 0.0 < handle.elapsed_secs() < 60.0
    assert 0.0 < handle.actual_frequency() < 1000.0
    text = repr(handle)
    assert text.startswith(f"TimerHandle(id={handle.task_id}, freq=50.0Hz, actual=")
    assert f"Hz, mode={mode}, ticks=" in text and text.endswith(", running=true)")


# --- starting

def test_keyword_arguments_start_nothing(handles):
    calls = []
    wrapper = velmot.timer(1.0)(lambda *args, **kwargs: calls.append(kwargs))
    handles.append(first := wrapper())
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'x'"):
        wrapper(1, x=2)
    handles.append(second := wrapper())
    assert second.task_id == first.task_id + 1   # the refused call took no id either
    assert wait_until(lambda: len(calls) >= 2)
    time.sleep(0.05)
    assert calls == [{}, {}]


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_each_call_starts_an_independent_timer_with_the_next_id(handles, make, mode):
    wrapper = make(20.0)(noop)
    handles.extend(started := [wrapper() for _ in range(3)])
    assert [h.task_id for h in started] == [started[0].task_id + i for i in range(3)]
    started[1].stop()
    assert [h.is_running() for h in started] == [True, False, True]
    assert wait_until(lambda: started[2].tick_count() >= 2)


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_every_call_gets_exactly_the_start_arguments(handles, make, mode):
    marker, seen = object(), []
    handles.append(handle := make(100.0)(lambda *args, **kwargs: seen.append((args, kwargs)))(1, "two", marker))
    assert wait_until(lambda: len(seen) >= 3)
    handle.stop()
    assert all(kwargs == {} and args[:2] == (1, "two") and args[2] is marker for args, kwargs in seen)


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_coroutine_function_warns_at_every_start(capfd, handles, make, mode):
    async def update():
        pass

    wrapper = make(1.0)(update)
    assert capfd.readouterr().err == ""
    handles.extend([wrapper(), wrapper()])
    for handle in handles:
        handle.stop()
    time.sleep(0.1)
    collect()
    assert capfd.readouterr().err.count(COROUTINE_WARNING) == 2


def test_failing_coroutine_check_is_silent(capfd, handles):
    class Opaque:
        def __call__(self):
            pass

        def __getattr__(self, name):
            raise RuntimeError("no attributes")

    handles.append(velmot.timer(1.0)(Opaque())())
    assert "Warning" not in capfd.readouterr().err


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_the_registry_counts_a_started_timer_until_its_handle_goes(capfd, make, mode):
    running, total = task_counts()
    handle = make(10.0)(noop)()
    assert task_counts() == (running + 1, total + 1)
    handle.stop()
    assert task_counts() == (running, total + 1)  # stop() leaves the entry in place
    del handle
    collect()
    assert task_counts() == (running, total)
    assert capfd.readouterr().err == ""  # destroyed after stop: no warning


# --- tick calls

@pytest.mark.parametrize("make, mode", PRECISIONS)
@pytest.mark.parametrize("exception, line", [
    (ValueError("boom"), "ValueError: boom"),
    (Outer.NestedError("inner"), "Outer.NestedError: inner"),
    (BadStr(), "BadStr: <exception str() failed>"),
    (KeyError("k"), "KeyError: 'k'"),
    (RuntimeError("caf\u00e9 \ud800"), "RuntimeError: caf\u00e9 \ufffd\ufffd\ufffd"),
])
def test_raising_calls_print_one_line_and_count_as_ticks(capfd, handles, make, mode, exception, line):
    calls = []

    def fail():
        calls.append(1)
        raise exception

    handles.append(handle := make(200.0)(fail)())
    assert wait_until(lambda: len(calls) >= 3)
    handle.stop()
    time.sleep(0.05)
    assert handle.tick_count() == len(calls)
    err = capfd.readouterr().err
    assert err.count(f"Timer function error: {line}\n") == len(calls)
    assert "Traceback" not in err
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_stop_freezes_the_tick_count(handles, make, mode):
    handles.append(handle := make(200.0)(noop)())
    assert wait_until(lambda: handle.tick_count() >= 3)
    handle.stop()
    assert handle.is_running() is False
    time.sleep(0.05)   # a Normal timer may still make the call of a tick it was waiting for
    frozen = handle.tick_count()
    time.sleep(0.2)
    assert handle.tick_count() == frozen
    handle.stop()
    assert handle.is_running() is False
    assert repr(handle).endswith(f"ticks={frozen}, running=false)")


@pytest.mark.parametrize("make, mode", PRECISIONS)
def test_dropped_running_handle_warns_and_stops(capfd, handles, make, mode):
    calls = []
    wrapper = make(200.0)(lambda: calls.append(1))
    handles.append(before := wrapper())
    wrapper()   # the handle is dropped at once (at the next collection on PyPy)
    collect()
    assert capfd.readouterr().err == (
        f"Warning: TimerHandle(id={before.task_id + 1}) dropped while still running. Make sure to "
        "save the handle returned by timer-decorated functions.\n")
    before.stop()
    time.sleep(0.05)
    settled = len(calls)
    time.sleep(0.2)
    assert len(calls) == settled


def test_dropping_a_running_handle_unregisters_it():
    running, total = task_counts()
    velmot.precision_timer(50.0)(noop)()
    collect()
    assert task_counts() == (running, total)


@pytest.mark.parametrize("make, mode", PRECISIONS)
@pytest.mark.timing
def test_first_call_is_immediate(handles, make, mode):
    calls = []
    start = time.perf_counter()
    handles.append(make(1.0)(lambda: calls.append(time.perf_counter()))())
    assert wait_until(lambda: calls, timeout=0.6)
    assert calls[0] - start < 0.5   # the second call would come a whole second later


@pytest.mark.parametrize("make, mode", PRECISIONS)
@pytest.mark.timing
def test_overrunning_calls_are_followed_at_once_and_missed_ticks_dropped(handles, make, mode):
    calls = []

    def slow_first_four():
        calls.append(time.perf_counter())
        if len(calls) <= 4:
            time.sleep(0.25)

    handles.append(handle := make(10.0)(slow_first_four)())
    assert wait_until(lambda: len(calls) >= 9, timeout=10)
    handle.stop()
    offsets = [t - calls[0] for t in calls[:9]]
    # Expected: 0, .25, .5, .75, 1.0, then the 100 ms grid: 1.1, 1.2, 1.3, 1.4.
    expected = [0.0, 0.25, 0.5, 0.75, 1.0, 1.1, 1.2, 1.3, 1.4]
    assert all(abs(got - want) < 0.06 for got, want in zip(offsets, expected)), offsets
    gaps = [b - a for a, b in zip(offsets[4:], offsets[5:])]
    assert min(gaps) > 0.04, offsets   # ticks missed during the slow calls are not made up


@pytest.mark.timing
def test_normal_timer_keeps_a_sub_millisecond_grid(handles):
    # 400 Hz: calls 2.5 ms apart. A runtime that rounded each due instant up to a whole millisecond
    # would space them 3, 2, 3, 2 ms apart, never 2.5.
    calls = []
    handles.append(handle := velmot.timer(400.0)(lambda: calls.append(time.perf_counter()))())
    assert wait_until(lambda: len(calls) >= 101, timeout=10)
    handle.stop()
    gaps = sorted(abs((b - a) - 0.0025) for a, b in zip(calls[:100], calls[1:101]))
    assert gaps[len(gaps) // 2] < 0.00035, gaps[len(gaps) // 2]


# --- threads

@pytest.mark.parametrize("realtime, suffix", [(False, "High"), (True, "Realtime")])
def test_thread_loop_runs_on_a_named_thread_that_keeps_its_identity(handles, realtime, suffix):
    idents = []
    handles.append(handle := velmot.precision_timer(100.0, realtime=realtime)(
        lambda: idents.append(threading.get_ident()))())
    assert wait_until(lambda: len(idents) >= 5)
    names = set()
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                names.add(comm.read().strip())
        except FileNotFoundError:
            pass
    assert f"timer-{handle.task_id}-{suffix}"[:15] in names
    assert len(set(idents)) == 1 and idents[0] != threading.get_ident()


def test_normal_timer_can_start_from_another_python_thread(handles):
    calls, started = [], []
    worker = threading.Thread(target=lambda: started.append(velmot.timer(100.0)(lambda: calls.append(1))()))
    worker.start()
    worker.join()
    handles.extend(started)
    assert wait_until(lambda: len(calls) >= 3)


# --- text signatures (PyPy does not expose the docstrings of C-level methods)

@pytest.mark.skipif(IS_PYPY, reason="PyPy hides method docstrings of C types")
@pytest.mark.parametrize("obj, signature", [
    (velmot.timer, "(frequency_hz)"),
    (velmot.precision_timer, "(frequency_hz, realtime=False)"),
    (velmot.Timer, "(frequency_hz)"),
    (velmot.PrecisionTimer, "(frequency_hz, realtime=False)"),
] + [(getattr(velmot.TimerHandle, name), "($self)") for name in (
    "stop", "is_running", "frequency", "precision_mode", "tick_count", "actual_frequency",
    "elapsed_secs")])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    body = obj.__doc__
    assert body and not body.startswith("(") and any("\u4e00" <= ch <= "\u9fff" for ch in body)


def test_class_docstrings_are_in_chinese():
    for cls in (velmot.Timer, velmot.PrecisionTimer, velmot.TimerWrapper, velmot.TimerHandle):
        assert any("\u4e00" <= ch <= "\u9fff" for ch in cls.__doc__), cls

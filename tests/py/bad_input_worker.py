"""Calls every callable of one group of velmot's Python surface with arbitrary objects, in a process
of its own: `python bad_input_worker.py GROUP EXAMPLES [MARKER_DIR]`. Exits 0 when every call
returned or raised an allowed exception, else prints the falsifying example and exits 1; a crash
shows as the process dying.

Allowed: TypeError, ValueError, OverflowError, OSError (TimeoutError included), RuntimeError, and
the exception an argument's own dunder raised (ArgumentFault). A call that would wait for long
(block_all, receive on a silent bus) is ended by SIGINT from a watchdog after a short time; a
KeyboardInterrupt is allowed only then. The shutdown group runs the functions that raise the
shutdown flag for the rest of the process.
"""
import array
import fractions
import math
import os
import signal
import sys
import threading
import time
import traceback

from hypothesis import HealthCheck, given, settings, strategies as st

import velmot

GROUP, EXAMPLES = sys.argv[1], int(sys.argv[2])
MARKER = os.path.join(sys.argv[3] if len(sys.argv) > 3 else "/nonexistent", "pwned")
ALLOWED = (TypeError, ValueError, OverflowError, OSError, RuntimeError)
CALL_BOUND_S = 0.3


class ArgumentFault(Exception):
    """Raised by the dunders of the hostile arguments below."""


# --- a watchdog that interrupts a call still running after CALL_BOUND_S

class Watchdog:
    def __init__(self):
        self.deadline = None
        self.fired = False
        self.lock = threading.Lock()
        signal.signal(signal.SIGINT, self.on_sigint)
        threading.Thread(target=self.run, daemon=True).start()

    def on_sigint(self, signum, frame):
        if self.deadline is not None:
            raise KeyboardInterrupt
        # A late signal after the call returned is ignored.

    def run(self):
        while True:
            time.sleep(0.05)
            with self.lock:
                late = self.deadline is not None and time.monotonic() > self.deadline
                if late:
                    self.fired = True
                    self.deadline = time.monotonic() + 0.2
            if late:
                os.kill(os.getpid(), signal.SIGINT)

    def call(self, function, args, kwargs):
        with self.lock:
            self.fired = False
            self.deadline = time.monotonic() + CALL_BOUND_S
        try:
            return function(*args, **kwargs)
        finally:
            with self.lock:
                self.deadline = None


WATCHDOG = Watchdog()


# --- hostile and ordinary arguments

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return "Index(%r)" % (self.value,)


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return "Float(%r)" % (self.value,)


class Text(str):
    def __str__(self):
        raise ArgumentFault("__str__")


class Sequence:
    """A sequence whose __len__ may lie or raise; items past `items` raise IndexError."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]

    def __repr__(self):
        return "Sequence(%r, %r)" % (self.length, self.items)


class Clears:
    """An item whose conversion empties the container it sits in (a list mutated mid-call)."""

    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        del self.victim[:]
        return 1

    def __repr__(self):
        return "Clears()"


def mutated_list(size):
    victim = list(range(size))
    victim.insert(size // 2, Clears(victim))
    return victim


class Callable:
    def __call__(self, *args, **kwargs):
        return None


async def coroutine_function():
    pass


def harmless(*args, **kwargs):
    return 1


def raising(*args, **kwargs):
    raise ArgumentFault("callable")


HUGE = [0, 1, -1, 7, 8, 9, 255, 256, 0x7FF, 0x800, 2**16 - 1, 2**29 - 1, 2**29, 2**31, 2**32 - 1,
        2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, 2**1000, -2**1000]
NAMES = ["", "can0", "can1", "-can0", "--help", "-details", "up", "dev", "help", "lo", "eth0",
         "can0; touch " + MARKER, "$(touch %s)" % MARKER, "`touch %s`" % MARKER, "can0\x00eth0",
         "can0 up", "a" * 16, "a" * 200_000, "../../../etc/passwd", "\ud800", "\u0441an0",
         "can0\n1: lo:", "speed", "SPEED", "current\x00", "position", "realtime", "normal"]
FLOATS = [math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324, 1e-10, 1e10, 2e9, 3e9, 1e4, 10000.5]
SHARED = {}   # velmot objects made by the group, usable as arguments of the wrong kind


def hostile():
    fault = ArgumentFault("dunder")
    return st.one_of(
        st.sampled_from(HUGE).map(Index), st.just(Index(fault)), st.just(Index("x")),
        st.just(Index(1.5)), st.sampled_from(FLOATS).map(Float), st.just(Float(fault)),
        st.just(Float("x")), st.just(Text("can0")),
        st.sampled_from([2**62, 2**31, sys.maxsize, 10**6, -1, fault, "x"]).flatmap(
            lambda n: st.lists(st.integers(-1, 300), max_size=4).map(lambda items: Sequence(n, items))),
        st.integers(0, 12).map(mutated_list),
    )


def anything():
    """Ordinary objects of every kind, and (about half the time) hostile ones."""
    return st.one_of(ordinary(), hostile())


def ordinary():
    return st.one_of(
        st.none(), st.booleans(), st.integers(), st.sampled_from(HUGE),
        st.floats(), st.sampled_from(FLOATS), st.text(max_size=20), st.sampled_from(NAMES),
        st.binary(max_size=12), st.binary(max_size=12).map(bytearray),
        st.binary(max_size=12).map(memoryview), st.binary(max_size=12).map(lambda b: array.array("B", b)),
        st.lists(st.integers(-300, 300), max_size=12), st.lists(st.integers(0, 255), max_size=9).map(tuple),
        st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
        st.sampled_from([object(), harmless, raising, Callable(), coroutine_function, type, int, print,
                         velmot, Ellipsis, 1 + 2j, fractions.Fraction(1, 3), range(5), range(10**12)]),
        st.sampled_from(sorted(SHARED)).map(SHARED.get) if SHARED else st.nothing(),
    )


# Valid values of each parameter name, so that calls also get past the first argument.
VALID = {
    "interface": st.sampled_from(["can0"]),
    "host": st.integers(0, 0x7FF), "host_id": st.integers(0, 0x7FF),
    "id": st.integers(0, 0x1FFFFFFF), "data": st.binary(max_size=8),
    "timeout_ms": st.integers(0, 20), "wait_ms": st.integers(0, 20),
    "shutdown_timeout_ms": st.integers(0, 200),
    "slot_index": st.integers(0, 5), "node_id": st.integers(0x201, 0x204),
    "mode": st.sampled_from(["speed", "current", "position", "Speed"]),
    "value": st.floats(-100, 100), "frequency_hz": st.sampled_from([50.0, 100.0, 1000.0]),
    "realtime": st.booleans(), "func": st.sampled_from([harmless, raising, Callable()]),
}


def argument(name):
    return st.one_of(VALID.get(name, st.nothing()), anything())


@st.composite
def call_arguments(draw, params):
    """Positional and keyword arguments for parameters `params`: some omitted, some extra."""
    args, kwargs = [], {}
    keyword = False
    for name in params:
        choice = draw(st.integers(0, 9))
        if choice == 0:
            keyword = True          # omitted: the rest go by keyword
            continue
        value = draw(argument(name))
        keyword = keyword or choice >= 7
        if keyword:
            kwargs[name] = value
        else:
            args.append(value)
    extra = draw(st.integers(0, 19))
    if extra == 0:
        args.append(draw(anything()))
    elif extra == 1:
        kwargs[draw(st.sampled_from(["bogus", "self", "args"] + list(params)))] = draw(anything())
    return args, kwargs


# --- the surface: (label, callable, parameter names); None for an unknown signature

SIGNATURES = {
    "CanDevice": ["interface"], "CanDevice.send": ["id", "data"], "CanDevice.receive": [],
    "CanDevice.interface": [],
    "CanDeviceNonBlocking": ["interface"], "CanDeviceNonBlocking.send": ["id", "data"],
    "CanDeviceNonBlocking.try_receive": [], "CanDeviceNonBlocking.receive_timeout": ["timeout_ms"],
    "CanDeviceNonBlocking.interface": [],
    "Motor": ["interface", "host", "host_id"], "Motor.add_device": ["slot_index", "node_id", "mode"],
    "Motor.set_target": ["slot_index", "value"], "Motor.get_watch_data": ["slot_index"],
    "Motor.set_foc_mode_broadcast": ["mode"], "Device.set_target": ["value"],
    "Device.set_foc_mode": ["mode"],
    "Timer": ["frequency_hz"], "PrecisionTimer": ["frequency_hz", "realtime"], "RunAsync": ["func"],
    "Timer.__call__": ["func"], "PrecisionTimer.__call__": ["func"], "RunAsync.__call__": ["value"],
    "TimerWrapper.__call__": ["value"],
    "AsyncHandle.wait": ["timeout_ms"], "TaskManager.wait_all": ["timeout_ms"],
    "TaskManager.shutdown": ["timeout_ms"],
    "timer": ["frequency_hz"], "precision_timer": ["frequency_hz", "realtime"], "run_async": ["func"],
    "get_task_manager": [], "shutdown_all": ["timeout_ms"], "block_all": ["timeout_ms"],
    "block_until": ["wait_ms", "shutdown_timeout_ms"],
}
SHUTDOWN = {"shutdown_all", "block_all", "block_until", "TaskManager.shutdown", "TaskManager.stop_all"}


def getter(receiver, name):
    return lambda: getattr(receiver, name)


def members(label, receiver):
    """Every public method and property of `receiver`'s class, bound, plus the same called
    through the class with a receiver of the wrong kind."""
    cls = type(receiver)
    found = []
    for name, attribute in sorted(vars(cls).items()):
        if name.startswith("_") and name not in ("__call__", "__enter__", "__exit__"):
            continue
        full = "%s.%s" % (label, name)
        if full in SHUTDOWN:
            continue
        if callable(attribute):
            found.append((full, getattr(receiver, name), SIGNATURES.get(full)))
            found.append((full + "(unbound)", attribute, ["self"] + (SIGNATURES.get(full) or [])))
        else:   # a property
            found.append((full, getter(receiver, name), []))
    return found


def group_targets():
    def function(name):
        return (name, getattr(velmot, name), SIGNATURES[name])

    if GROUP == "can":
        device, non_blocking = velmot.CanDevice("can0"), velmot.CanDeviceNonBlocking("can0")
        SHARED.update(device=device, non_blocking=non_blocking)
        return ([function("CanDevice"), function("CanDeviceNonBlocking")] +
                members("CanDevice", device) + members("CanDeviceNonBlocking", non_blocking))
    if GROUP == "motor":
        motor = velmot.Motor("can0", host=0x100)
        device = motor.add_device(0, 0x201, "speed")
        SHARED.update(motor=motor, device=device)
        return ([function("Motor"), ("Device", velmot.Device, None)] +
                members("Motor", motor) + members("Device", device))
    if GROUP == "tasks":
        timer, precision = velmot.timer(100.0), velmot.precision_timer(100.0)
        handle = timer(harmless)()
        task = velmot.run_async(harmless)
        SHARED.update(timer=timer, precision=precision, handle=handle, task=task,
                      async_handle=task(1), manager=velmot.get_task_manager())
        targets = [function(n) for n in ("timer", "precision_timer", "run_async", "get_task_manager")]
        targets += [(n, getattr(velmot, n), SIGNATURES.get(n)) for n in
                    ("Timer", "PrecisionTimer", "RunAsync", "TaskManager", "TimerWrapper", "TimerHandle",
                     "AsyncHandle")]
        for label in ("timer", "precision", "handle", "task", "async_handle", "manager"):
            receiver = SHARED[label]
            targets += members(type(receiver).__name__, receiver)
        targets += [("TimerWrapper.__call__", timer(harmless), None),
                    ("PrecisionTimer.__call__(precision)", velmot.precision_timer(100.0, True), ["func"])]
        return targets
    if GROUP == "shutdown":
        manager = velmot.get_task_manager()
        SHARED.update(manager=manager, handle=velmot.timer(100.0)(harmless)())
        return [function(n) for n in ("shutdown_all", "block_until", "block_all")] + [
            ("TaskManager.shutdown", manager.shutdown, ["timeout_ms"]),
            ("TaskManager.stop_all", manager.stop_all, [])]
    raise SystemExit("unknown group " + GROUP)


def tidy(result):
    """Stops what a call started, so that examples do not pile up running timers."""
    if type(result).__name__ == "TimerHandle":
        result.stop()
    elif type(result).__name__ == "AsyncHandle":
        result.wait()


def check(label, function, params):
    shape = (call_arguments(params) if params is not None else
             st.tuples(st.lists(anything(), max_size=4), st.just({})))

    @settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=False,
              suppress_health_check=list(HealthCheck))
    @given(shape)
    def run(arguments):
        args, kwargs = arguments
        try:
            result = WATCHDOG.call(function, args, kwargs)
        except ALLOWED + (ArgumentFault,):
            return
        except KeyboardInterrupt:
            assert WATCHDOG.fired, "KeyboardInterrupt without the watchdog"
            return
        tidy(result)

    start = time.monotonic()
    try:
        run()
    except BaseException:
        print("FAILED %s" % label, flush=True)
        traceback.print_exc()
        sys.stdout.flush()
        os._exit(1)
    if os.environ.get("VELMOT_EXAMPLES_TIMES"):
        print("%-45s %.2f s" % (label, time.monotonic() - start), flush=True)


def main():
    for label, function, params in group_targets():
        check(label, function, params)
    assert not os.path.exists(MARKER), "a shell ran an argument"
    print("ok", flush=True)


main()

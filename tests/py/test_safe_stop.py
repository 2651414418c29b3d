"""Safe stop: once TimerHandle.stop() or a shutdown function returns, no timer call is running or
still to come, whatever thread stops it (also the timer's own call, or two timers stopping each
other); and the script's last frames reach the bus."""
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import velmot
from can_peer import Peer
from vcansim.kernel_links import kernel_tier, on_can_bus

BUILD = os.path.dirname(velmot.__file__)

DECORATORS = {
    "normal": "velmot.timer",
    "high": "velmot.precision_timer",
    "realtime": "lambda hz: velmot.precision_timer(hz, realtime=True)",
}
PRECISIONS = [pytest.param(eval(text, {"velmot": velmot}), id=name) for name, text in DECORATORS.items()]


@pytest.fixture
def bus(vcan_bus):
    return vcan_bus("can0")   # also points this process's environment (and its children) at it


@pytest.fixture
def peer(cpython, bus):
    p = Peer(cpython)
    yield p
    p.close()


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


# --- the script's last frames reach the bus ----------------------------------------------------

needs_shim = pytest.mark.skipif(not on_can_bus(),
                                reason="not on a CAN bus (sim/with-bus or the kernel tier)")

# All of them are written within the exit's 1 s bound; a User-Mode Linux guest's system calls are
# about 75 times slower, so fewer there.
FRAMES = 1_000 if kernel_tier() else 10_000
# How each script ends once it has queued its frames.
ENDINGS = {
    "end": "",
    "del": "del device",
    "sys.exit": "sys.exit(0)",
    "exception": "raise RuntimeError('the end')",
    "KeyboardInterrupt": "os.kill(os.getpid(), signal.SIGINT); time.sleep(5)",
    "block_until": "velmot.block_until(wait_ms=0)",
}
SEND_SCRIPT = """
import os, signal, sys, time, velmot
device = velmot.CanDeviceNonBlocking("can0")
for i in range(%d):
    device.send(0x123, i.to_bytes(4, "little"))
%s
"""


def run_script(code, timeout=30):
    env = dict(os.environ, PYTHONPATH=BUILD)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)


@needs_shim
@pytest.mark.parametrize("ending", ENDINGS)
def test_frames_queued_before_the_end_all_reach_the_bus(peer, ending):
    result = run_script(SEND_SCRIPT % (FRAMES, ENDINGS[ending]))
    assert "not written" not in result.stderr, result.stderr
    frames = peer.recv(FRAMES)
    assert [int.from_bytes(d, "little") for _, d in frames] == list(range(FRAMES))


@needs_shim
def test_a_forked_child_does_not_flush_its_parents_queue(peer):
    result = run_script(SEND_SCRIPT % (FRAMES, textwrap.dedent("""
        start = time.monotonic()
        child = os.fork()
        if child == 0:
            sys.exit(0)      # the child's exit writes nothing of the parent's and does not hang
        os.waitpid(child, 0)
        print("child ended after %.1f s" % (time.monotonic() - start))
    """)))
    assert result.stdout.startswith("child ended after 0."), result.stdout + result.stderr
    assert len(peer.recv(FRAMES)) == FRAMES and peer.recv(1, timeout=0.5) == []


@pytest.mark.sim_only
@needs_shim
def test_frames_that_cannot_be_written_are_counted_and_the_exit_is_bounded(bus):
    script = SEND_SCRIPT % (200_000, "os.kill(%d, signal.SIGSTOP); start = time.monotonic()" % bus.daemon_pid)
    try:
        start = time.monotonic()
        result = run_script(script + "\nprint('ending')")
        elapsed = time.monotonic() - start
    finally:
        os.kill(bus.daemon_pid, signal.SIGCONT)
    assert result.returncode == 0 and result.stdout == "ending\n", result.stderr
    assert re.fullmatch(r"\[velmot\] [1-9]\d* queued CAN frames were not written at exit\n", result.stderr)
    assert elapsed < 20


# A control timer broadcasting a non-zero target is stopped, then the script broadcasts zero and
# ends: the zero frame must be the last target frame on the bus.
ZERO_SCRIPT = """
import time, velmot
motor = velmot.Motor("can0", host=0x100)
device = motor.add_device(0, 0x201, "speed")
def control():
    device.set_target(5.0)
    time.sleep(0.002)
    motor.broadcast()
handle = (%s)(200.0)(control)()
time.sleep(0.3)
handle.stop()
device.set_target(0.0)
motor.broadcast()
"""


@needs_shim
@pytest.mark.parametrize("run", range(int(os.environ.get("VELMOT_REPEAT", "3"))))
@pytest.mark.parametrize("precision", DECORATORS)
def test_the_zero_broadcast_after_a_stop_is_the_last_target_frame(peer, precision, run):
    result = run_script(ZERO_SCRIPT % DECORATORS[precision])
    assert result.returncode == 0, result.stderr
    frames = [d for i, d in peer.recv(10_000, timeout=1) if len(d) == 8]
    assert len(frames) > 10 and frames[-1] == bytes(8) and frames[-2] != bytes(8)

"""Exit hygiene: a script with everything running (a Motor receiving feedback, CAN I/O tasks, timers
of each precision in the middle of a call, background tasks) ends the way it asked to, by itself or
by a signal: the expected status, no crash, no hang, no fatal-error or unflushed-frame line.
VELMOT_REPEAT sets the runs of each ending (`make soak` runs 100)."""
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import velmot
from vcansim.bus import shim_loaded

BUILD = os.path.dirname(velmot.__file__)
RUNS = range(int(os.environ.get("VELMOT_REPEAT", "3")))

SCRIPT = """
import os, sys, time, velmot
ending = sys.argv[1]
motor = velmot.Motor("can0", host=0x100)
drivers = [motor.add_device(slot, 0x201 + slot, "speed") for slot in range(2)]
raw = velmot.CanDeviceNonBlocking("can0")
blocking = velmot.CanDevice("can0")

def control():
    for driver in drivers:
        driver.set_target(1.0)
    motor.broadcast()
    raw.send(0x300, b"\\x01\\x02")
    time.sleep(0.015)           # a call is in flight most of the time

@velmot.run_async
def background(seconds):
    time.sleep(seconds)
    return seconds

handles = [velmot.timer(50.0)(control)(), velmot.precision_timer(50.0)(control)(),
           velmot.precision_timer(50.0, realtime=True)(control)()]
jobs = [background(5.0), background(0.01)]
print("running", flush=True)
deadline = time.monotonic() + (30 if ending.startswith("SIG") else 0.3)
while time.monotonic() < deadline:
    blocking.receive()          # feedback arrives all the time; a signal lands in this wait
    raw.try_receive()
if ending == "exception":
    raise RuntimeError("the end")
if ending == "sys.exit":
    sys.exit(3)
"""

# ending -> the exit statuses allowed (an uncaught KeyboardInterrupt ends CPython by SIGINT
# itself, PyPy with status 1; SIGTERM's default action ends the process) and a stderr line needed.
ENDINGS = {
    "end": ({0}, None),
    "exception": ({1}, "RuntimeError: the end"),
    "sys.exit": ({3}, None),
    "SIGINT": ({1, -signal.SIGINT}, "KeyboardInterrupt"),
    "SIGTERM": ({-signal.SIGTERM}, None),
}
FORBIDDEN = ("Fatal Python error", "panic", "terminate called", "Segmentation", "Aborted",
             "not written at exit", "Exception ignored")


@pytest.mark.skipif(not shim_loaded(), reason="not started under sim/with-bus: no SocketCAN shim")
@pytest.mark.parametrize("run", RUNS)
@pytest.mark.parametrize("ending", ENDINGS)
def test_a_busy_script_ends_cleanly(vcan_bus, sim_drivers, ending, run):
    bus = vcan_bus("can0")
    sim_drivers([(0x201, 0, "speed"), (0x202, 1, "speed")], bus=bus, host=0x100, feedback_hz=500)
    script = subprocess.Popen([sys.executable, "-c", SCRIPT, ending], env=dict(os.environ, PYTHONPATH=BUILD),
                              text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert script.stdout.readline() == "running\n", script.stderr.read()
        if ending.startswith("SIG"):
            time.sleep(0.3)
            script.send_signal(getattr(signal, ending))
        out, err = script.communicate(timeout=60)
    finally:
        script.kill()
        script.wait()
    statuses, needed = ENDINGS[ending]
    # The receiver's lines come from its own thread and may land inside a line of the traceback.
    err = re.sub(r"Warning: ignoring CAN frame 0x300 with unexpected length 2\n", "", err)
    tail = err[-3000:]   # the receiver's lines about the raw frames come first
    assert script.returncode in statuses, tail
    assert needed is None or needed in err, tail
    assert not [text for text in FORBIDDEN if text in err], tail

"""A CAN interface lost under a running script: `ip link del` of a virtual link, or the simulated
bus's daemon killed. Every device then raises OSError "CAN interface lost: ...", prints that one
line, hands out the frames it had already received, and the script still ends cleanly.

The scripts run in their own interpreter (of the kind running the tests) on a fresh bus, so their
stderr and exit can be checked whole; peers are CPython processes with raw AF_CAN sockets.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import velmot
from can_peer import Peer
from vcansim.bus import shim_loaded
from vcansim.kernel_links import kernel_tier

LOST = "CAN interface lost: "
# What the kernel reports for a deleted link (reader, writer), and what a vanished bus shows.
DELETED = {"No such device (os error 19)", "No such device or address (os error 6)"}
BUS_GONE = {"CAN socket closed", "Broken pipe (os error 32)", "Connection reset by peer (os error 104)"}
DOWN = "Failed to receive CAN frame: Network is down (os error 100)"

needs_shim = pytest.mark.skipif(not shim_loaded(),
                                reason="not started under sim/with-bus: no SocketCAN shim")


@pytest.fixture
def python_script():
    """Starts a script in a fresh interpreter of the running kind (build tree on its path) with
    pipes for stdin, stdout and stderr; kills what is left of it after the test."""
    procs = []

    def start(code):
        env = dict(os.environ, PYTHONPATH=os.path.dirname(velmot.__file__))
        procs.append(subprocess.Popen([sys.executable, "-c", code], env=env, text=True,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE))
        return procs[-1]

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def lose(bus, how):
    if how == "ip link del":
        subprocess.run(["ip", "link", "del", "can0"], check=True, timeout=30)
    else:
        os.kill(bus.daemon_pid, signal.SIGKILL)


SCRIPT = r"""
import json, sys, time, velmot
KIND = %r
if KIND == "Motor":
    dev = velmot.Motor("can0", host=0x100)
    device = dev.add_device(slot_index=0, node_id=0x201, mode="speed")
    call = dev.broadcast
    after = [lambda: dev.add_device(slot_index=1, node_id=0x202, mode="speed"),
             lambda: device.set_foc_mode("current"), dev.calibrate_broadcast]
elif KIND == "CanDeviceNonBlocking":
    dev = velmot.CanDeviceNonBlocking("can0")
    def call():
        dev.send(0x123, b"\x01")
        dev.receive_timeout(1)
    after = [dev.try_receive, lambda: dev.receive_timeout(50)]
else:
    dev = velmot.CanDevice("can0")
    call = lambda: dev.send(0x123, b"\x01")
    after = [dev.receive]
print("ready", flush=True)
errors, calls_after, first = [], 0, None
give_up = time.monotonic() + 60
while (first is None or time.monotonic() < first + 0.5) and time.monotonic() < give_up:
    calls_after += first is not None
    try:
        call()
    except OSError as e:
        errors.append(str(e))
        first = first or time.monotonic()
    time.sleep(0.001)
for extra in after:
    try:
        extra()
        errors.append("returned")
    except OSError as e:
        errors.append(str(e))
watch = device.get_watch_data() if KIND == "Motor" else None
print(json.dumps({"errors": sorted(set(errors)), "failed": len(errors) - len(after),
                  "calls_after": calls_after, "watch": watch,
                  "stopped": velmot.shutdown_all()}), flush=True)
"""


@pytest.mark.parametrize("how,causes", [
    ("ip link del", DELETED),
    pytest.param("daemon killed", BUS_GONE, marks=pytest.mark.sim_only),
])
@pytest.mark.parametrize("kind", ["Motor", "CanDeviceNonBlocking", "CanDevice"])
def test_running_script_sees_the_loss_once(vcan_bus, python_script, kind, how, causes):
    bus = vcan_bus("can0", kind="vcan")
    proc = python_script(SCRIPT % kind)
    assert proc.stdout.readline() == "ready\n", proc.stderr.read()
    time.sleep(0.2)
    lose(bus, how)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    result = json.loads(out)
    # One error text for every call from the loss on, the same as the one line on stderr.
    assert len(result["errors"]) == 1, result
    text = result["errors"][0]
    assert text.startswith(LOST) and text[len(LOST):] in causes
    # On the kernel the link goes down before it goes away: a reader waiting at that moment
    # reports that (transient) error once before the loss.
    lines = [line for line in err.splitlines() if line != DOWN or not kernel_tier()]
    assert lines == [text]
    assert result["failed"] == result["calls_after"] + 1
    assert result["stopped"] is True
    if kind == "Motor":
        assert set(result["watch"]) == {"position", "speed", "current"}


@needs_shim
@pytest.mark.parametrize("how,causes", [("ip link del", DELETED), ("daemon killed", BUS_GONE)])
def test_received_frames_are_handed_out_before_the_loss(vcan_bus, cpython, how, causes):
    bus = vcan_bus("can0", kind="vcan")
    nb = velmot.CanDeviceNonBlocking("can0")
    peer = Peer(cpython, "can0")
    try:
        frames = [(0x10 + i, bytes([i])) for i in range(3)]
        peer.send(frames)
        time.sleep(0.3)  # the I/O task queues them; nobody takes them yet
        lose(bus, how)
        deadline = time.monotonic() + 10
        got = []
        with pytest.raises(OSError) as lost:
            while time.monotonic() < deadline:
                frame = nb.receive_timeout(100)
                if frame is not None:
                    got.append(frame)
        assert got == frames
        assert str(lost.value)[len(LOST):] in causes
        with pytest.raises(OSError, match=LOST):
            nb.try_receive()
    finally:
        peer.close()


@needs_shim
@pytest.mark.parametrize("how,causes", [("ip link del", DELETED), ("daemon killed", BUS_GONE)])
def test_blocked_receive_wakes_with_the_loss(vcan_bus, how, causes):
    bus = vcan_bus("can0", kind="vcan")
    dev = velmot.CanDevice("can0")
    outcome = []

    def receive():
        try:
            outcome.append(dev.receive())
        except OSError as e:
            outcome.append(str(e))

    reader = threading.Thread(target=receive)
    reader.start()
    time.sleep(0.3)
    lose(bus, how)
    reader.join(30)
    assert not reader.is_alive()
    assert outcome[0].startswith(LOST) and outcome[0][len(LOST):] in causes
    with pytest.raises(OSError, match=outcome[0].replace("(", r"\(").replace(")", r"\)")):
        dev.send(0x1, b"")


@pytest.mark.parametrize("argv,status,message", [
    pytest.param(["ip", "link", "del", "can0"], 2, "RTNETLINK answers: Operation not supported",
                 marks=pytest.mark.sim_only),  # the kernel tier's can0 is a vcan
    (["ip", "link", "del", "nope0"], 1, 'Cannot find device "nope0"'),
    (["ip", "link", "del", "lo"], 2, "RTNETLINK answers: Operation not supported"),
])
def test_ip_link_del_refuses_what_the_kernel_refuses(vcan_bus, argv, status, message):
    vcan_bus("can0")  # a CAN controller's link cannot be deleted
    done = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stderr.strip()) == (status, message)
    assert subprocess.run(["ip", "link", "show", "can0"], capture_output=True).returncode == 0

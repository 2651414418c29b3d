"""The module's stderr lines end to end: a stderr pipe nobody reads stalls neither feedback
routing, nor timers, nor the exit while a peer floods the receiver with frames it reports; a kind
of line beyond 100 a second is summarized. Scripts run in their own interpreter (of the kind under
test); peers are CPython processes (PyPy's socket module has no AF_CAN)."""
import json
import os
import subprocess
import sys

import pytest

import velmot
from can_peer import Peer

# argv: seconds. Floods unknown id 0x300 and 3-byte frames from 0x201 while 0x201's feedback
# counts its position up about every 10 ms; then position -1 as the end marker.
FLOOD_PEER = r'''
import socket, struct, sys, time
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind(("can0",))
def send(can_id, data):
    try:
        s.send(struct.pack("=IB3x8s", can_id, len(data), data))
    except OSError:
        time.sleep(0.001)
end, position, next_feedback = time.monotonic() + float(sys.argv[1]), 0, 0.0
while time.monotonic() < end:
    for _ in range(50):
        send(0x300, bytes(8)); send(0x201, b"abc")
    if time.monotonic() >= next_feedback:
        send(0x201, struct.pack("<fhh", position, 0, 0))
        position, next_feedback = position + 1, time.monotonic() + 0.01
time.sleep(0.05)
send(0x201, struct.pack("<fhh", -1.0, 0, 0))
'''

# A timer that raises at every call prints a line per call meanwhile.
FLOODED_SCRIPT = r'''
import json, time, velmot
motor = velmot.Motor("can0", host=0x100)
device = motor.add_device(0, 0x201, "speed")
calls = []
@velmot.timer(200.0)
def failing():
    calls.append(1)
    raise RuntimeError("tick")
handle = failing()
print("ready", flush=True)
positions, deadline = set(), time.monotonic() + 60
while -1.0 not in positions and time.monotonic() < deadline:
    positions.add(device.get_watch_data()["position"])
    time.sleep(0.002)
handle.stop()
print(json.dumps([len(positions), -1.0 in positions, len(calls)]), flush=True)
'''

# Exits 2.5 s after the marker frame from 0x202, well after the summary is due (1 s after the
# kind's first line).
SUMMARY_SCRIPT = r'''
import time, velmot
motor = velmot.Motor("can0", host=0x100)
marker = motor.add_device(0, 0x202, "speed")
print("ready", flush=True)
deadline = time.monotonic() + 30
while marker.get_watch_data()["position"] != 1.0 and time.monotonic() < deadline:
    time.sleep(0.005)
time.sleep(2.5)
'''


def start(script, stderr):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(velmot.__file__)))
    proc = subprocess.Popen([sys.executable, "-c", script], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=stderr)
    assert proc.stdout.readline() == "ready\n"
    return proc


def test_unread_stderr_pipe_stalls_neither_feedback_nor_timers_nor_exit(vcan_bus, cpython):
    vcan_bus("can0")
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while True:  # full before the script starts
            os.write(write_end, bytes(4096))
    except BlockingIOError:
        os.set_blocking(write_end, True)
    try:
        proc = start(FLOODED_SCRIPT, write_end)
        try:
            subprocess.run([cpython, "-c", FLOOD_PEER, "2.5"], check=True, timeout=60)
            out, _ = proc.communicate(timeout=60)  # generous: a stalled exit never ends
        finally:
            proc.kill()
    finally:
        os.close(read_end)
        os.close(write_end)
    assert proc.returncode == 0
    positions, marker_seen, calls = json.loads(out)
    assert marker_seen and positions >= 20 and calls >= 20  # about 250 and 500 without a stall


def unmatched_line(i):
    return "[Motor] unmatched feedback frame: id=0x300, data=[%d, 0, 0, 0, 0, 0, 0, 0]" % i


@pytest.mark.parametrize("count", [100, 130])
def test_kind_beyond_100_lines_a_second_is_summarized(vcan_bus, cpython, count):
    vcan_bus("can0")
    peer = Peer(cpython)
    proc = start(SUMMARY_SCRIPT, subprocess.PIPE)
    try:
        # Spaced so that no socket buffer overflows; the burst still takes well under a second.
        peer.send([(0x300, bytes([i]) + bytes(7)) for i in range(count)] +
                  [(0x400, b"ab"), (0x202, bytes.fromhex("0000803F00000000"))], gap=0.0005)
        _, err = proc.communicate(timeout=60)
    finally:
        peer.close()
        proc.kill()
    assert proc.returncode == 0, err
    summary = ["[velmot] %d more lines like: %s" % (count - 100, unmatched_line(100))]
    # Another kind has an allowance of its own.
    assert [l for l in err.splitlines() if l.startswith(("[Motor]", "Warning:", "[velmot]"))] == (
        [unmatched_line(i) for i in range(min(count, 100))] +
        ["Warning: ignoring CAN frame 0x400 with unexpected length 2"] +
        (summary if count > 100 else []))

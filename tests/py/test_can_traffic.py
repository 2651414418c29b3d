"""Sustained two-way traffic through one velmot.CanDeviceNonBlocking: its background task writes
and reads in the same loop, so a fault in how it picks the next event (a frame taken by a wait that
lost the race, a read starved by writes) shows up as lost, duplicated or reordered frames here.

The peer is an independent CPython process with a raw AF_CAN socket; the module runs in-process,
so these tests need the run to start under sim/with-bus (make test) and skip otherwise."""
import json
import struct
import subprocess
import sys

import pytest

import velmot
from vcansim.kernel_links import on_can_bus


pytestmark = [
    pytest.mark.skipif(not on_can_bus(),
                       reason="not on a CAN bus (sim/with-bus or the kernel tier)"),
]

OURS, THEIRS = 0x200, 0x300

# Sends `count` numbered frames with id THEIRS while collecting every frame with id OURS, never more
# than WINDOW frames ahead of what it has collected; reports "got N" on stdout after every STEP
# collected frames, so the test can keep its own sends within a window too (a reader on a real bus
# that falls too far behind loses frames as well), and finally prints the collected sequence
# numbers as JSON.
WINDOW, STEP = 2000, 500
PEER = r"""
import json, select, socket, struct, sys, time
count, ours, theirs, window, step = map(int, sys.argv[1:6])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 23)
s.bind(("can0",))
s.setblocking(False)
print("ready", flush=True)
sys.stdin.readline()
got, sent, deadline = [], 0, time.monotonic() + 120
while (len(got) < count or sent < count) and time.monotonic() < deadline:
    if sent < count and sent < len(got) + window:
        try:
            s.send(struct.pack("<IB3x8s", theirs, 4, struct.pack("<I", sent)))
            sent += 1
        except BlockingIOError:
            select.select([s], [s], [], 0.01)
    try:
        can_id, dlc, data = struct.unpack("<IB3x8s", s.recv(16))
    except BlockingIOError:
        if sent >= min(count, len(got) + window):
            select.select([s], [], [], 0.01)
        continue
    if can_id == ours:
        got.append(struct.unpack("<I", data[:4])[0])
        if len(got) % step == 0:
            print("got", len(got), flush=True)
print(json.dumps(got), flush=True)
"""


def start_peer(cpython, count):
    peer = subprocess.Popen([cpython, "-c", PEER, str(count), str(OURS), str(THEIRS), str(WINDOW),
                             str(STEP)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert peer.stdout.readline().strip() == "ready"
    return peer


def send_within_window(device, peer, count):
    """Sends the numbered frames, waiting for the peer's progress reports to stay within WINDOW."""
    collected = 0
    for n in range(count):
        while n - collected >= WINDOW:
            line = peer.stdout.readline()
            assert line.startswith("got "), f"peer stopped reporting after {collected}: {line!r}"
            collected = int(line.split()[1])
        device.send(OURS, struct.pack("<I", n))


def last_line(peer):
    out, _ = peer.communicate(timeout=150)
    return out.strip().splitlines()[-1]


def receive_numbers(device, count):
    numbers = []
    while len(numbers) < count:
        frame = device.receive_timeout(5000)
        assert frame is not None, f"only {len(numbers)} of {count} frames arrived"
        can_id, data = frame
        assert can_id == THEIRS
        numbers.append(struct.unpack("<I", data)[0])
    return numbers


@pytest.mark.sim_only
@pytest.mark.parametrize("count", [2000, 20000])
def test_two_way_traffic_loses_and_reorders_nothing(vcan_bus, cpython, count):
    bus = vcan_bus("can0")
    device = velmot.CanDeviceNonBlocking("can0")
    peer = start_peer(cpython, count)
    try:
        peer.stdin.write("go\n")
        peer.stdin.flush()
        send_within_window(device, peer, count)
        assert receive_numbers(device, count) == list(range(count))
        out = last_line(peer)
    finally:
        if peer.poll() is None:
            peer.kill()
    assert json.loads(out) == list(range(count))
    assert device.try_receive() is None
    dropped = [c["dropped"] for c in bus.stats()["interfaces"]["can0"]["clients"]]
    assert dropped and not any(dropped)


def test_many_devices_share_one_bus(vcan_bus):
    vcan_bus("can0")
    devices = [velmot.CanDeviceNonBlocking("can0") for _ in range(4)]
    for index, device in enumerate(devices):
        device.send(0x100 + index, bytes([index]))
    for index, device in enumerate(devices):
        frames = sorted(device.receive_timeout(2000) for _ in range(3))
        assert frames == [(0x100 + i, bytes([i])) for i in range(4) if i != index]
        assert device.receive_timeout(50) is None

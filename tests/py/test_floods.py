"""Floods and stuck peers: a peer flooding a Motor with frames of random identifiers and lengths
(valid feedback is still routed, stderr stays bounded by the console's rate limit), and a peer that
stops reading (the Motor's frames still reach the other peers, and nothing is reported).

VELMOT_FLOOD_SECONDS sets how long the flood lasts (2 s by default; `make test-floods` runs 10 s).
The Motor runs in its own interpreter of the running kind, so its stderr can be counted whole;
peers are CPython processes with raw AF_CAN sockets.
"""
import json
import os
import re
import subprocess
import sys
import time

import pytest

import velmot
from can_peer import Peer

FLOOD_SECONDS = float(os.environ.get("VELMOT_FLOOD_SECONDS", "2"))
NODE = 0x201

# Sends frames as fast as it can for argv[2] seconds: random identifiers (never NODE) and lengths
# in mode "random", feedback frames for NODE (negative positions) in mode "feedback"; a valid
# feedback frame for NODE (position = its sequence number) every 500 of them, and after a pause
# one last one; prints {"frames": n, "last": the last sequence number}.
FLOODER = r"""
import json, random, socket, struct, sys, time
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind((sys.argv[1],))
node, seconds, mode = %d, float(sys.argv[2]), sys.argv[3]
FMT = struct.Struct("=IB3x8s")
rnd = random.Random(1)
def feedback(seq):
    return FMT.pack(node, 8, struct.pack("<fhh", float(seq), 0, 0))
junk = [feedback(-1 - i) for i in range(4000)] if mode == "feedback" else []
while len(junk) < 4000:
    can_id = rnd.randrange(0x20000000)
    if can_id == node:
        can_id += 1
    length = rnd.randrange(9)
    junk.append(FMT.pack(can_id | (0x80000000 if can_id > 0x7FF else 0), length,
                         bytes(rnd.randrange(256) for _ in range(length)).ljust(8, b"\0")))
print("ready", flush=True)
sys.stdin.readline()
sent, seq, end = 0, 0, time.monotonic() + seconds
while time.monotonic() < end:
    for raw in junk[sent %% 4000:sent %% 4000 + 500]:
        try:
            s.send(raw)
        except OSError:  # a full send buffer under load: the frame is lost, as on a busy bus
            pass
    sent += 500
    seq += 1
    s.send(feedback(seq))
time.sleep(0.3)
seq += 1
s.send(feedback(seq))
print(json.dumps({"frames": sent, "last": seq}), flush=True)
""" % NODE

MOTOR = r"""
import json, sys, time, velmot
motor = velmot.Motor("can0", host=0x100)
device = motor.add_device(slot_index=0, node_id=%d, mode="speed")
print("ready", flush=True)
last = float(sys.stdin.readline())
deadline = time.monotonic() + 30
while device.get_watch_data()["position"] != last and time.monotonic() < deadline:
    time.sleep(0.01)
print(json.dumps({"position": device.get_watch_data()["position"],
                  "stopped": velmot.shutdown_all()}), flush=True)
""" % NODE

# The lines a flood may cause: the receiver's two kinds, and the console's summaries of them
# (the test reads the pipe only at the end, so the console may find it full).
FLOOD_LINE = re.compile(r"(\[velmot\] \d+ (more lines like|lines dropped while stderr was not "
                        r"writable; the first): )?"
                        r"(Warning: ignoring CAN frame 0x[0-9A-F]+ with unexpected length \d"
                        r"|\[Motor\] unmatched feedback frame: id=0x[0-9A-F]+, data=\[[0-9, ]*\])$")


def clients(bus):
    return bus.stats()["interfaces"]["can0"]["clients"]


def start(argv):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(velmot.__file__))
    proc = subprocess.Popen(argv, env=env, text=True, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline() == "ready\n", proc.stderr.read()
    return proc


@pytest.mark.parametrize("mode", ["random", "feedback"])
def test_flood_keeps_feedback_routed_and_stderr_bounded(vcan_bus, cpython, mode):
    bus = vcan_bus("can0", kind="vcan")
    motor = start([sys.executable, "-c", MOTOR])
    flooder = start([cpython, "-c", FLOODER, "can0", str(FLOOD_SECONDS), mode])
    try:
        began = time.monotonic()
        flooder.stdin.write("go\n")
        flooder.stdin.flush()
        flood = json.loads(flooder.communicate(timeout=FLOOD_SECONDS + 120)[0])
        seconds = time.monotonic() - began
        out, err = motor.communicate("%d\n" % flood["last"], timeout=120)
    finally:
        for proc in (motor, flooder):
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
    assert motor.returncode == 0, err
    assert json.loads(out) == {"position": flood["last"], "stopped": True}
    lines = err.splitlines()
    assert all(FLOOD_LINE.match(line) for line in lines), [l for l in lines if not FLOOD_LINE.match(l)][:5]
    # Two kinds of line, each at most 100 a second plus one summary a second; none for feedback.
    assert len(lines) <= (2 * 101 * (seconds + 2) if mode == "random" else 0)
    drops = sum(c["dropped"] for c in clients(bus) if c["pid"] == motor.pid)
    print("\n%s flood: %d frames in %.1f s (%.0f frames/s) at the Motor, %d dropped by the bus, "
          "%d stderr lines" % (mode, flood["frames"], seconds, flood["frames"] / seconds, drops, len(lines)))


def test_peer_that_stops_reading_holds_nothing_up(vcan_bus, cpython):
    bus = vcan_bus("can0", kind="vcan")
    stuck = subprocess.Popen([cpython, "-c", "import socket, sys\n"
                              "s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)\n"
                              "s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)\n"
                              "s.bind(('can0',))\nprint('ready', flush=True)\nsys.stdin.read()\n"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert stuck.stdout.readline() == "ready\n"
    reader = Peer(cpython, "can0")
    try:
        motor = velmot.Motor("can0", host=0x100)
        motor.add_device(slot_index=0, node_id=NODE, mode="speed")
        reader.recv(4, timeout=10)  # the configuration frames
        count = 3000
        for i in range(count):
            motor.set_target(0, float(i % 1000))
            motor.broadcast()
            if i % 100 == 99:
                time.sleep(0.01)  # keep within what the reading peer's buffer holds
        got = reader.recv(count, timeout=30)
        assert [d[:2] for _, d in got] == \
            [int(i % 1000 * 10).to_bytes(2, "little", signed=True) for i in range(count)]
        # The stuck peer lost frames; the Motor's sender was never held up by it.
        assert sum(c["dropped"] for c in clients(bus) if c["pid"] == stuck.pid) > 0
    finally:
        reader.close()
        stuck.stdin.close()
        stuck.wait(10)


@pytest.mark.parametrize("cls", ["CanDevice", "CanDeviceNonBlocking", "Motor"])
@pytest.mark.parametrize("body, message", [
    ("head -c 3000 /dev/urandom\n", "Unexpected output from 'ip -details link show can0'"),
    ("exec yes 'Device: can0 up'\n", "Unexpected output from 'ip -details link show can0'"),
    ("exit 0\n", "Unexpected output from 'ip -details link show can0'"),
    ("echo '7: can9: <NOARP,UP> mtu 16'\n", "CAN interface 'can0' does not exist"),
])
def test_ip_printing_garbage_is_a_clear_oserror(vcan_bus, tmp_path, monkeypatch, cls, body, message):
    vcan_bus("can0")
    (tmp_path / "ip").write_text("#!/bin/sh\n" + body)
    (tmp_path / "ip").chmod(0o755)
    monkeypatch.setenv("PATH", "%s%s%s" % (tmp_path, os.pathsep, os.environ["PATH"]))
    args = ("can0", 0x100) if cls == "Motor" else ("can0",)
    with pytest.raises(OSError) as raised:
        getattr(velmot, cls)(*args)
    assert type(raised.value) is OSError and str(raised.value) == message

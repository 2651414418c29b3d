"""One velmot.Motor used by four Python threads at once (set_target, broadcast, get_watch_data)
while an independent peer floods feedback for two drivers: no crash, no deadlock, every broadcast
reaches the bus, and no feedback record mixes fields of two frames.

The peer is a CPython process with one raw AF_CAN socket: one thread sends the feedback, another
reads the host's frames (a socket never receives its own frames, so the reader sees only the
Motor's). Each feedback frame carries one sequence number n in all three fields (position n,
speed n counts, current n counts), so every record read must decode to position n, speed n / 10
and current n / 100 in single precision. Workers stop at a fixed time they check themselves: on
PyPy threads that loop on calls holding the GIL can keep the main thread from running.
"""
import json
import struct
import subprocess
import sys
import threading
import time

import pytest

import velmot
from vcansim.kernel_links import on_can_bus

pytestmark = [
    pytest.mark.skipif(not on_can_bus(),
                       reason="not on a CAN bus (sim/with-bus or the kernel tier)"),
]

HOST = 0x100
FED_NODES = (0x201, 0x202)          # slots 0 and 1; slots 2 and 3 get no feedback
SILENT_NODES = (0x203, 0x204)
FEEDBACK_RATE = 20000               # frames per second, both drivers together
RUN_SECONDS = 10.0
TARGET_WRAP = 3000                  # targets 0 .. 2999 rad/s: 10 counts per unit, within i16

# argv: interface, host id, rate, node ids...; stdin: "go", then "stop N" (N broadcasts to wait
# for). Prints "ready", then one JSON line: frames read, bad payloads, feedback frames sent.
PEER = r'''
import json, socket, struct, sys, threading, time
FMT = "=IB3x8s"
iface, host, rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
nodes = [int(n) for n in sys.argv[4:]]
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 23)
s.bind((iface,))
s.settimeout(0.5)
stop_flood = threading.Event()
counts = {"config": 0, "broadcast": 0, "other": 0, "bad": [], "sent": 0}
wanted = [None]
done = threading.Event()

def flood():
    start, k = time.monotonic(), 0
    while not stop_flood.is_set():
        due = int((time.monotonic() - start) * rate)
        while k < due and not stop_flood.is_set():
            n = k % 60000 - 30000
            data = struct.pack("<fhh", float(n), n, n)
            try:
                s.send(struct.pack(FMT, nodes[k % len(nodes)], 8, data))
            except socket.timeout:
                continue  # the bus is behind: try the same frame again
            k += 1
        time.sleep(0.001)
    counts["sent"] = k

def read():
    while not done.is_set():
        try:
            can_id, dlc, data = struct.unpack(FMT, s.recv(16))
        except socket.timeout:
            if wanted[0] is not None and counts["broadcast"] >= wanted[0]:
                done.set()
            continue
        data = data[:dlc]
        if can_id != host or dlc != 8:
            counts["other"] += 1
        elif data[:3] == b"DR1":
            counts["config"] += 1
        else:
            counts["broadcast"] += 1
            slots = struct.unpack("<4h", data)
            if any(v < 0 or v % 10 or v >= 10 * 3000 for v in slots) and len(counts["bad"]) < 10:
                counts["bad"].append(data.hex())

print("ready", flush=True)
sys.stdin.readline()
threads = [threading.Thread(target=flood), threading.Thread(target=read)]
for t in threads:
    t.start()
wanted_count = int(sys.stdin.readline().split()[1])
stop_flood.set()
wanted[0] = wanted_count
done.wait(30)
done.set()
for t in threads:
    t.join()
print(json.dumps(counts), flush=True)
'''


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def consistent(record):
    """Whether a record is the decoding of one frame: position n, speed n / 10, current n / 100,
    each quotient taken in single precision (double then single rounds the same way)."""
    n = record["position"]
    return (n == int(n) and -30000 <= n < 30000 and record["speed"] == f32(n / 10.0)
            and record["current"] == f32(n / 100.0) and list(record) == ["position", "speed",
                                                                         "current"])


class Worker:
    """Thread t owns slot t's target and reads the feedback of slot t % 2, through the Motor for
    even t and through the Device object for odd t."""

    def __init__(self, index, motor, devices, end):
        self.index, self.motor, self.devices, self.end = index, motor, devices, end
        self.broadcasts = self.reads = self.fed_reads = 0
        self.bad, self.errors = [], []
        self.thread = threading.Thread(target=self.run, daemon=True)

    def read(self):
        slot = self.index % 2
        if self.index % 2 == 0:
            return self.motor.get_watch_data(slot)
        return self.devices[slot].get_watch_data()

    def run(self):
        i = 0
        try:
            while time.monotonic() < self.end:
                value = float(i % TARGET_WRAP)
                if self.index < 2:
                    self.motor.set_target(self.index, value)
                else:
                    self.devices[self.index].set_target(value)
                self.motor.broadcast()
                self.broadcasts += 1
                record = self.read()
                self.reads += 1
                if record != {"position": 0.0, "speed": 0.0, "current": 0.0}:
                    self.fed_reads += 1
                if not consistent(record) and len(self.bad) < 10:
                    self.bad.append(record)
                i += 1
                time.sleep(0.001)  # at most 1,000 broadcasts per second per thread
        except Exception as e:  # reported by the test; the thread must not die silently
            self.errors.append(repr(e))


@pytest.mark.sim_only
def test_four_threads_under_a_feedback_flood(vcan_bus, cpython):
    bus = vcan_bus("can0")
    peer = subprocess.Popen(
        [cpython, "-c", PEER, "can0", str(HOST), str(FEEDBACK_RATE)] + [str(n) for n in FED_NODES],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert peer.stdout.readline() == "ready\n", peer.stderr.read()
        motor = velmot.Motor("can0", HOST)
        devices = [motor.add_device(slot, node, "speed")
                   for slot, node in enumerate(FED_NODES + SILENT_NODES)]
        peer.stdin.write("go\n")
        peer.stdin.flush()
        end = time.monotonic() + RUN_SECONDS
        workers = [Worker(i, motor, devices, end) for i in range(4)]
        for w in workers:
            w.thread.start()
        for w in workers:
            w.thread.join(RUN_SECONDS + 30)
        hung = [w.index for w in workers if w.thread.is_alive()]
        assert hung == [], "worker threads still running: %r" % hung
        sent = sum(w.broadcasts for w in workers)
        peer.stdin.write("stop %d\n" % sent)
        peer.stdin.flush()
        out, err = peer.communicate(timeout=60)
    finally:
        if peer.poll() is None:
            peer.kill()
    assert peer.returncode == 0, err
    seen = json.loads(out.splitlines()[-1])

    assert [e for w in workers for e in w.errors] == []
    assert [r for w in workers for r in w.bad] == []
    assert all(w.fed_reads > 0 for w in workers), [(w.reads, w.fed_reads) for w in workers]
    assert seen["sent"] > FEEDBACK_RATE  # the flood ran
    assert (seen["config"], seen["broadcast"], seen["other"], seen["bad"]) == (16, sent, 0, [])
    readers = [c for c in bus.stats()["interfaces"]["can0"]["clients"] if c["pid"] == peer.pid]
    assert len(readers) == 1 and readers[0]["dropped"] == 0

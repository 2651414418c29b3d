"""How long a CAN frame that a real-time 1 kHz timer queues takes to reach another socket, on a
loaded machine: the runtime's workers (which write the frames) under the real-time mode's
SCHED_FIFO, and reset to the normal policy, for comparison.

Runs under the simulated bus (sim/with-bus can0 -- ...), as root. The bench starts twice as
many CPU hogs as there are cores. The bus daemon and the receiving peer (a CPython process with
an AF_CAN socket) stand in for hardware, so they run under SCHED_FIFO 90 and add little of their
own. Latency is the receiver's CLOCK_MONOTONIC reading minus the sender's just before send().
Prints figures; asserts nothing.

    sim/with-bus can0 -- env PYTHONPATH=build/cpython/python python3 bench/rt_frame_latency.py
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import threading
import time

FRAMES = 3000
PEER = """
import socket, struct, sys, time, json
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind(("can0",))
print("ready", flush=True)
seen = {}
while len(seen) < int(sys.argv[1]):
    frame = s.recv(16)
    seen[struct.unpack("<Q", frame[8:16])[0]] = time.monotonic_ns()
print(json.dumps(seen), flush=True)
"""


def bus_daemon_pids():
    directory = os.environ["VCAN_SIM_DIR"]
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().decode(errors="replace")
        except OSError:
            continue
        if "vcanbusd" in command and directory in command:
            yield int(pid)


def child(workers):
    import velmot
    device = velmot.CanDeviceNonBlocking("can0")   # starts the runtime, so its workers
    if workers == "normal":
        me = threading.get_native_id()
        for tid in map(int, os.listdir("/proc/self/task")):
            if tid != me:
                os.sched_setscheduler(tid, os.SCHED_OTHER, os.sched_param(0))
    peer = subprocess.Popen(["chrt", "-f", "90", shutil.which("python3"), "-c", PEER, str(FRAMES)],
                            stdout=subprocess.PIPE, text=True)
    peer.stdout.readline()
    sent, count = {}, [0]

    def tick():
        i = count[0]
        if i < FRAMES:
            count[0] += 1
            sent[i] = time.monotonic_ns()
            device.send(0x123, struct.pack("<Q", i))
    handle = velmot.precision_timer(1000.0, realtime=True)(tick)()
    seen = json.loads(peer.stdout.readline())
    handle.stop()
    late = sorted(seen[str(i)] - sent[i] for i in range(FRAMES) if str(i) in seen)
    q = lambda f: late[min(len(late) - 1, int(len(late) * f))] / 1e3  # noqa: E731
    label = "SCHED_FIFO (real-time mode)" if workers == "keep" else "normal policy"
    print(f"  workers {label:<28} {len(late):>6} {q(0.5):>9.1f} {q(0.99):>9.1f} {late[-1] / 1e3:>9.1f}",
          flush=True)


def main():
    if len(sys.argv) > 1:
        return child(sys.argv[1])
    priority = os.environ.get("VELMOT_RT_PRIORITY", "80")
    for pid in bus_daemon_pids():
        os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(90))
    cores = os.cpu_count() or 1
    hogs = [subprocess.Popen([sys.executable, "-c", "while True:\n    pass"]) for _ in range(2 * cores)]
    print(f"send() to a peer's receive, {FRAMES} frames from a Realtime 1 kHz timer, "
          f"VELMOT_RT_PRIORITY={priority}, {2 * cores} CPU hogs on {cores} cores, in us")
    print(f"  {'':<36} {'frames':>6} {'p50':>9} {'p99':>9} {'max':>9}")
    try:
        for workers in ("normal", "keep"):
            subprocess.run([sys.executable, __file__, workers], env=dict(os.environ, VELMOT_RT_PRIORITY=priority),
                           timeout=120)
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()


if __name__ == "__main__":
    main()

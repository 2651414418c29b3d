"""Caller-side cost of velmot's raw CAN calls on the virtual bus, next to python-can's socketcan
Bus as the baseline, and end-to-end throughput from CanDeviceNonBlocking.send to a reader process.

Measured in one run:
- send(id, 8 bytes): CanDeviceNonBlocking.send vs python-can Bus.send(Message);
- taking one frame that is already waiting: CanDeviceNonBlocking.try_receive() vs Bus.recv(0);
- frames/s from send() to a CPython reader process, paced so that no queue of the bus daemon
  overflows; the daemon's dropped count must be 0.
Figures are medians over rounds of per-call means. Timing never makes the run fail; a lost frame
does (exit status 1). On PyPy python-can is not used (its socketcan needs AF_CAN) and only
velmot's figures are printed.

Run: make bench, or python bench/can_device_calls.py with the build tree on PYTHONPATH (the
script starts its own bus and re-runs itself on it when not already on one). Single-threaded.
"""
import json
import mmap
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from bus_plumbing import (IS_PYPY, bus_clients, find_cpython, import_velmot, on_bus,
                          open_client_ids, rerun_on_a_bus, wait_delivered)

ROUNDS = 15
CALLS = 2000            # calls per round (frames queued per round for the receive figures)
E2E_FRAMES = 200_000
E2E_WINDOW = 4000       # frames in flight at most: well under a client queue of the daemon
IFACE = "can0"
PAYLOAD = bytes(range(8))

# Reader process (CPython): counts frames, publishing the count in a shared file every 64
# frames, and prints the count and the monotonic times of the first and last frame.
READER = r'''
import json, mmap, socket, struct, sys, time
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 24)
s.bind((sys.argv[1],))
want = int(sys.argv[2])
with open(sys.argv[3], "r+b") as f:
    progress = mmap.mmap(f.fileno(), 8)
print("ready", flush=True)
s.settimeout(5.0)
got, first, last = 0, None, None
try:
    while got < want:
        s.recv(16)
        got += 1
        if first is None:
            first = time.monotonic()
        if got & 63 == 0:
            progress[:8] = struct.pack("<Q", got)
except socket.timeout:
    pass
last = time.monotonic()
progress[:8] = struct.pack("<Q", got)
print(json.dumps({"got": got, "first": first, "last": last}), flush=True)
'''


def median_ns(samples):
    return statistics.median(samples)


# --- velmot --------------------------------------------------------------------------------------

def velmot_send_ns(velmot):
    dev = velmot.CanDeviceNonBlocking(IFACE)
    send, samples = dev.send, []
    for _ in range(ROUNDS):
        start = time.perf_counter_ns()
        for _ in range(CALLS):
            send(0x123, PAYLOAD)
        samples.append((time.perf_counter_ns() - start) / CALLS)
        time.sleep(0.05)  # let the I/O task write this round's frames
    return median_ns(samples)


def velmot_take_ns(velmot):
    """try_receive() taking a frame another device of this process put on the bus."""
    before = open_client_ids(IFACE)
    rx = velmot.CanDeviceNonBlocking(IFACE)
    rx_ids = open_client_ids(IFACE) - before
    tx = velmot.CanDeviceNonBlocking(IFACE)
    take, samples, misses, queued = rx.try_receive, [], 0, 0
    for _ in range(ROUNDS):
        for i in range(CALLS):
            tx.send(0x200 + (i & 0xFF), PAYLOAD)
        queued += CALLS
        wait_delivered(IFACE, rx_ids, queued)
        time.sleep(0.1)  # the I/O task moves the delivered frames into the queue
        start = time.perf_counter_ns()
        for _ in range(CALLS):
            if take() is None:
                misses += 1
        samples.append((time.perf_counter_ns() - start) / CALLS)
    return median_ns(samples), misses


# --- python-can ----------------------------------------------------------------------------------

def python_can_ns():
    import can
    before = open_client_ids(IFACE)
    rx = can.Bus(interface="socketcan", channel=IFACE)
    rx_ids = open_client_ids(IFACE) - before
    tx = can.Bus(interface="socketcan", channel=IFACE)
    # Room for a whole round in the send buffer, so send() measures the call and not a wait
    # for the daemon (SO_SNDBUFFORCE needs privileges; SO_SNDBUF is capped by the kernel).
    for option in (getattr(socket, "SO_SNDBUFFORCE", 32), socket.SO_SNDBUF):
        try:
            tx.socket.setsockopt(socket.SOL_SOCKET, option, 1 << 24)
            break
        except OSError:
            pass
    try:
        msg = can.Message(arbitration_id=0x123, data=PAYLOAD, is_extended_id=False)
        send, recv = tx.send, rx.recv
        send_samples, take_samples, misses, queued = [], [], 0, 0
        for _ in range(ROUNDS):
            start = time.perf_counter_ns()
            for _ in range(CALLS):
                send(msg, 5.0)
            send_samples.append((time.perf_counter_ns() - start) / CALLS)
            queued += CALLS
            wait_delivered(IFACE, rx_ids, queued)
            start = time.perf_counter_ns()
            for _ in range(CALLS):
                if recv(0) is None:
                    misses += 1
            take_samples.append((time.perf_counter_ns() - start) / CALLS)
        return median_ns(send_samples), median_ns(take_samples), misses
    finally:
        rx.shutdown()
        tx.shutdown()


# --- end to end ----------------------------------------------------------------------------------

def end_to_end(velmot, workdir):
    progress_path = os.path.join(workdir, "progress")
    with open(progress_path, "wb") as f:
        f.write(bytes(8))
    with open(progress_path, "r+b") as f:
        progress = mmap.mmap(f.fileno(), 8)
    before = open_client_ids(IFACE)
    reader = subprocess.Popen([find_cpython(), "-c", READER, IFACE, str(E2E_FRAMES), progress_path],
                              stdout=subprocess.PIPE, text=True)
    assert reader.stdout.readline() == "ready\n"
    reader_ids = open_client_ids(IFACE) - before
    dev = velmot.CanDeviceNonBlocking(IFACE)
    send, received = dev.send, lambda: struct.unpack("<Q", progress[:8])[0]
    sent, start = 0, time.monotonic()
    while sent < E2E_FRAMES:
        room = min(E2E_WINDOW - (sent - received()), E2E_FRAMES - sent)
        if room < 256 and sent + room < E2E_FRAMES:
            time.sleep(0.0002)
            continue
        for i in range(sent, sent + room):
            send(i & 0x7FF, PAYLOAD)
        sent += room
    result = json.loads(reader.communicate(timeout=120)[0])
    stats = [c for c in bus_clients(IFACE) if c["id"] in reader_ids]
    del dev
    return {"sent": sent, "got": result["got"], "seconds": result["last"] - start,
            "dropped": sum(c["dropped"] for c in stats),
            "delivered": sum(c["delivered"] for c in stats)}


# --- report --------------------------------------------------------------------------------------

def fmt_ns(ns):
    return "%8.0f ns" % ns if ns < 10_000 else "%8.1f us" % (ns / 1000)


def main():
    if not on_bus():
        return rerun_on_a_bus(__file__, IFACE)
    velmot = import_velmot()

    v_send = velmot_send_ns(velmot)
    v_take, v_misses = velmot_take_ns(velmot)
    baseline = None if IS_PYPY else python_can_ns()
    with tempfile.TemporaryDirectory() as workdir:
        e2e = end_to_end(velmot, workdir)

    print("CAN device calls on the virtual bus (%s %s; %d rounds x %d calls, medians)"
          % (sys.implementation.name, sys.version.split()[0], ROUNDS, CALLS))
    print("%-34s %11s %11s %8s" % ("call", "velmot", "python-can", "ratio"))
    rows = [("send(id, 8 bytes)", v_send, baseline and baseline[0]),
            ("take one waiting frame", v_take, baseline and baseline[1])]
    for name, ours, theirs in rows:
        if theirs:
            print("%-34s %11s %11s %7.1fx" % (name, fmt_ns(ours), fmt_ns(theirs), theirs / ours))
        else:
            print("%-34s %11s %11s %8s" % (name, fmt_ns(ours), "-", "-"))
    if baseline:
        met = all(theirs / ours >= 5 for _, ours, theirs in rows)
        print("target velmot >= 5x cheaper on both: %s" % ("met" if met else "NOT met"))
    print("empty takes (frame not yet queued): velmot %d%s"
          % (v_misses, "" if baseline is None else ", python-can %d" % baseline[2]))
    print("end to end send -> reader process: %d frames in %.2f s = %.0f frames/s; "
          "reader got %d; daemon delivered %d, dropped %d"
          % (e2e["sent"], e2e["seconds"], e2e["got"] / e2e["seconds"], e2e["got"],
             e2e["delivered"], e2e["dropped"]))
    lost = e2e["dropped"] != 0 or e2e["got"] != e2e["sent"]
    print("zero loss: %s" % ("FAILED" if lost else "ok"))
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())

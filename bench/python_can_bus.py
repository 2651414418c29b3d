"""Per-call cost of python-can's Bus API on velmot's interface (can.Bus(interface="velmot"), over
a CanDeviceNonBlocking) next to python-can's own socketcan interface, in the same run on the
virtual bus:
- Bus.send(Message with 8 bytes);
- Bus.recv(0) taking one frame that is already waiting.
Figures are medians over rounds of per-call means; timing never makes the run fail. On PyPy the
socketcan interface is not usable (PyPy's socket has no AF_CAN) and only velmot's figures print.

Run: make bench, or python bench/python_can_bus.py with the build tree on PYTHONPATH (the script
starts its own bus and re-runs itself on it when not already on one). Single-threaded.
"""
import os
import socket
import statistics
import sys
import time

from bus_plumbing import IS_PYPY, import_velmot, on_bus, open_client_ids, rerun_on_a_bus, wait_delivered

ROUNDS = 15
CALLS = 2000
IFACE = "can0"
PAYLOAD = bytes(range(8))


def velmot_bus_class():
    """VelmotBus from the installed distribution, else from the source tree's python/."""
    velmot_dir = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
    sys.path.append(velmot_dir)
    import velmot_can
    return velmot_can.VelmotBus


def grow_send_buffer(bus):
    """Room for a whole round in a socketcan bus's send buffer, so send() measures the call."""
    for option in (getattr(socket, "SO_SNDBUFFORCE", 32), socket.SO_SNDBUF):
        try:
            bus.socket.setsockopt(socket.SOL_SOCKET, option, 1 << 24)
            return
        except OSError:
            pass


def measure(make_bus, settle_s):
    """(send ns, recv(0) ns, empty receives) of buses made by make_bus(): one sends, one takes."""
    import can
    before = open_client_ids(IFACE)
    rx = make_bus()
    rx_ids = open_client_ids(IFACE) - before
    tx = make_bus()
    if hasattr(tx, "socket"):
        grow_send_buffer(tx)
    try:
        msg = can.Message(arbitration_id=0x123, data=PAYLOAD, is_extended_id=False)
        send, recv = tx.send, rx.recv
        send_samples, take_samples, misses, queued = [], [], 0, 0
        for _ in range(ROUNDS):
            start = time.perf_counter_ns()
            for _ in range(CALLS):
                send(msg)
            send_samples.append((time.perf_counter_ns() - start) / CALLS)
            queued += CALLS
            wait_delivered(IFACE, rx_ids, queued)
            time.sleep(settle_s)  # velmot: its I/O task moves delivered frames into the queue
            start = time.perf_counter_ns()
            for _ in range(CALLS):
                if recv(0) is None:
                    misses += 1
            take_samples.append((time.perf_counter_ns() - start) / CALLS)
        return statistics.median(send_samples), statistics.median(take_samples), misses
    finally:
        rx.shutdown()
        tx.shutdown()


def fmt(ns):
    return "%.2f µs" % (ns / 1000)


def main():
    if not on_bus():
        return rerun_on_a_bus(__file__, IFACE)
    import_velmot()
    import can
    VelmotBus = velmot_bus_class()
    ours = measure(lambda: VelmotBus(channel=IFACE), 0.1)
    theirs = None if IS_PYPY else measure(lambda: can.Bus(interface="socketcan", channel=IFACE), 0.0)
    print("python-can Bus calls on the virtual bus (%s %s, python-can %s; %d rounds x %d calls, medians)"
          % (sys.implementation.name, sys.version.split()[0], can.__version__, ROUNDS, CALLS))
    print("%-30s %12s %12s %8s" % ("call", "velmot", "socketcan", "ratio"))
    for i, name in enumerate(("Bus.send(8-byte Message)", "Bus.recv(0), frame waiting")):
        if theirs:
            print("%-30s %12s %12s %7.1fx" % (name, fmt(ours[i]), fmt(theirs[i]), theirs[i] / ours[i]))
        else:
            print("%-30s %12s %12s %8s" % (name, fmt(ours[i]), "-", "-"))
    print("empty receives (frame not yet queued): velmot %d%s"
          % (ours[2], "" if theirs is None else ", socketcan %d" % theirs[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Cost of velmot's motor-group calls on the virtual bus, feedback routing throughput and the
latency from broadcast() to a peer, each printed next to its target.

Measured in one run, with one Motor (host 0x100) and four speed-mode Devices (nodes 0x201 to
0x204 in slots 0 to 3):
- Motor.broadcast() in a tight loop next to Device.get_target() (a trivial call of the module),
  medians over rounds of per-call means, and their ratio;
- Motor.broadcast() called at 1 kHz, where the CAN I/O task has gone idle between calls and may
  have to be woken: median and p99 of each call's own duration;
- the latency from calling broadcast() to the frame's arrival at a CPython reader process, next to
  a CPython process writing the same frame with a raw AF_CAN socket to the same kind of reader;
- feedback frames/s routed into the Devices: a CPython peer sends feedback frames round-robin to
  the four node ids at fixed offered rates and then unpaced; each frame carries its sequence
  number as the position, so a run is complete only when every Device's last record is the last
  frame sent to it, and the bus daemon must count no drops for the Motor's socket. CPU time per
  routed frame is this process's CPU time over the run divided by the frames.
Targets are printed next to the figures; a missed target never fails the run (shared, noisy
machines). Lost frames at the target rate or in the latency runs do (exit status 1).

Run: make bench, or python bench/motor_calls.py with the build tree on PYTHONPATH (the script
starts its own bus and re-runs itself on it when not already on one). Peers always run on CPython
(PyPy's socket has no AF_CAN). Single-threaded.
"""
import gc
import json
import statistics
import subprocess
import sys
import time

from bus_plumbing import dropped, find_cpython, import_velmot, on_bus, open_client_ids, \
    rerun_on_a_bus

IFACE = "can0"
HOST = 0x100
NODES = (0x201, 0x202, 0x203, 0x204)   # node of slot k is NODES[k]
PAYLOAD = bytes(8)
ROUNDS = 15
CALLS = 2000                # tight-loop calls per round
PACED_CALLS = 2000          # broadcasts at 1 kHz (also the latency samples)
PACED_PERIOD_NS = 1_000_000
FEEDBACK_FRAMES = 150_000   # per throughput run
FEEDBACK_RATES = (50_000, 100_000, 200_000, 0)   # offered frames/s; 0 = as fast as the peer can
TARGET_RATE = 50_000

# CPython peer. Modes (argv[1]):
#   read IFACE N        prints "ready", then records the arrival time (monotonic ns) of the next N
#                       8-byte target frames with id HOST (configuration frames skipped), keyed
#                       by the sequence number in slot 0; prints them as JSON.
#   write IFACE N PERIOD_NS   prints "ready", waits for a line on stdin, then writes N target
#                       frames with sequence numbers 0..N-1 in slot 0 every PERIOD_NS, taking the
#                       time just before each write; prints the times as JSON.
#   feedback IFACE N BASE RATE NODE...   prints "ready", waits for a line on stdin, then sends N
#                       feedback frames, frame i to NODE[i % len(NODE)] with position = BASE + i,
#                       at RATE frames/s in bursts (0: unpaced); prints the first and last send
#                       times.
PEER = r'''
import json, socket, struct, sys, time
HOST = 0x100
FRAME = struct.Struct("=IB3x8s")
mode, iface, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 24)
s.bind((iface,))
print("ready", flush=True)

def target_frame(seq):
    return FRAME.pack(HOST, 8, struct.pack("<4h", seq, 1, 2, 3))

if mode == "read":
    s.settimeout(10.0)
    arrivals = {}
    try:
        while len(arrivals) < n:
            raw = s.recv(16)
            now = time.monotonic_ns()
            can_id, dlc, data = FRAME.unpack(raw)
            if can_id == HOST and dlc == 8 and data[:3] != b"DR1":
                arrivals[struct.unpack_from("<h", data)[0]] = now
    except socket.timeout:
        pass
    print(json.dumps(arrivals), flush=True)
elif mode == "write":
    period = int(sys.argv[4])
    sys.stdin.readline()
    frames = [target_frame(i) for i in range(n)]
    sent, deadline = {}, time.monotonic_ns()
    for i, raw in enumerate(frames):
        deadline += period
        while (wait := deadline - time.monotonic_ns()) > 0:
            time.sleep(wait / 1e9)
        sent[i] = time.monotonic_ns()
        s.send(raw)
    print(json.dumps(sent), flush=True)
elif mode == "feedback":
    base, rate, nodes = int(sys.argv[4]), int(sys.argv[5]), [int(x, 0) for x in sys.argv[6:]]
    frames = [FRAME.pack(nodes[i % len(nodes)], 8, struct.pack("<fhh", float(base + i), 0, 0))
              for i in range(n)]
    burst = 64
    sys.stdin.readline()
    send, first = s.send, time.monotonic_ns()
    for start in range(0, n, burst):
        if rate:
            due = first + start * 1_000_000_000 // rate
            while (wait := due - time.monotonic_ns()) > 0:
                time.sleep(wait / 1e9)
        for raw in frames[start:start + burst]:
            send(raw)
    print(json.dumps({"first": first, "last": time.monotonic_ns()}), flush=True)
'''


# --- peers ---------------------------------------------------------------------------------------

class Peer:
    """One CPython peer process in a mode of PEER; ready (its socket bound) once constructed."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([find_cpython(), "-c", PEER] + [str(a) for a in args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline() != "ready\n":
            raise RuntimeError("peer %r did not start" % (args,))

    def go(self):
        self.proc.stdin.write("go\n")
        self.proc.stdin.flush()

    def result(self, timeout=60):
        out = self.proc.communicate(timeout=timeout)[0]
        if self.proc.returncode != 0:
            raise RuntimeError("peer exited with status %d" % self.proc.returncode)
        return json.loads(out)


# --- measurements --------------------------------------------------------------------------------

def per_call_ns(fn):
    """Median over ROUNDS of the mean cost of CALLS back-to-back calls of fn()."""
    samples = []
    for _ in range(ROUNDS):
        start = time.perf_counter_ns()
        for _ in range(CALLS):
            fn()
        samples.append((time.perf_counter_ns() - start) / CALLS)
        time.sleep(0.02)  # the I/O task writes this round's frames before the next round
    return statistics.median(samples)


def paced_calls(call, prepare=lambda seq: None):
    """PACED_CALLS calls of call() at 1 kHz, prepare(seq) running untimed before each. Returns
    the start time (monotonic ns) and duration of every call."""
    clock = time.monotonic_ns
    starts, durations = [], []
    deadline = clock()
    for seq in range(PACED_CALLS):
        prepare(seq)
        deadline += PACED_PERIOD_NS
        while (wait := deadline - clock()) > 0:
            time.sleep(wait / 1e9)
        t0 = clock()
        call()
        t1 = clock()
        starts.append(t0)
        durations.append(t1 - t0)
    return starts, durations


def carry_sequence(device):
    """prepare() for paced_calls: the Device's slot carries the sequence number (speed scale;
    + 0.5 so that truncation never rounds it down)."""
    return lambda seq: device.set_target((seq + 0.5) / 10.0)


def latencies(sent, arrivals):
    """Arrival minus send time for every sequence number that arrived; the count of lost ones."""
    got = [arrivals[str(i)] - t for i, t in enumerate(sent) if str(i) in arrivals]
    return got, len(sent) - len(got)


def routed_feedback(devices, rate, base, client_ids):
    """One throughput run at an offered `rate` (0: unpaced), positions counting from `base`
    (every run its own range, so no record of an earlier run passes for this one's); returns its
    figures."""
    peer = Peer("feedback", IFACE, FEEDBACK_FRAMES, base, rate, *("0x%X" % n for n in NODES))
    last_seq = {k: base + max(i for i in range(FEEDBACK_FRAMES) if i % len(NODES) == k)
                for k in range(len(NODES))}
    final = devices[(FEEDBACK_FRAMES - 1) % len(NODES)]
    drops_before = dropped(IFACE, client_ids)
    cpu0 = time.process_time()
    peer.go()
    seen, changed = None, time.monotonic()
    while True:  # until the last frame is routed, or nothing moves for 3 s
        position = final.get_watch_data()["position"]
        now = time.monotonic()
        if position == base + FEEDBACK_FRAMES - 1:
            done_ns = time.monotonic_ns()
            break
        if position != seen:
            seen, changed = position, now
        elif now - changed > 3.0:
            done_ns = None
            break
        time.sleep(0.002)
    cpu = time.process_time() - cpu0
    sent = peer.result()
    last_read = [d.get_watch_data()["position"] for d in devices]
    complete = done_ns is not None and all(last_read[k] == last_seq[k] for k in last_seq)
    drops = dropped(IFACE, client_ids) - drops_before
    seconds = ((done_ns if done_ns else time.monotonic_ns()) - sent["first"]) / 1e9
    return {"rate": rate, "offered": FEEDBACK_FRAMES / ((sent["last"] - sent["first"]) / 1e9),
            "routed": FEEDBACK_FRAMES / seconds, "drops": drops, "complete": complete,
            "lossless": complete and drops == 0, "cpu_ns": cpu * 1e9 / FEEDBACK_FRAMES}


def plain_write_latency():
    reader = Peer("read", IFACE, PACED_CALLS)
    writer = Peer("write", IFACE, PACED_CALLS, PACED_PERIOD_NS)
    writer.go()
    sent = writer.result()
    return latencies([sent[str(i)] for i in range(PACED_CALLS)], reader.result())


# --- report --------------------------------------------------------------------------------------

def pct(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * (len(ordered) - 1) + 0.5))]


def us(ns):
    return "%7.2f us" % (ns / 1000)


def verdict(met):
    return "met" if met else "NOT met"


def measure(velmot):
    before = open_client_ids(IFACE)
    motor = velmot.Motor(IFACE, host=HOST)
    ours = open_client_ids(IFACE) - before
    devices = [motor.add_device(slot_index=k, node_id=n, mode="speed")
               for k, n in enumerate(NODES)]
    for k, d in enumerate(devices):
        d.set_target(1.0 + k)
    figures = {"motor": repr(motor)}
    figures["broadcast"] = per_call_ns(motor.broadcast)
    figures["get_target"] = per_call_ns(devices[0].get_target)
    time.sleep(0.2)  # configuration and tight-loop frames are on the bus before the reader starts

    reader = Peer("read", IFACE, PACED_CALLS)
    starts, figures["paced"] = paced_calls(motor.broadcast, carry_sequence(devices[0]))
    figures["latency"], figures["latency_lost"] = latencies(starts, reader.result())

    figures["feedback"] = []
    for i, rate in enumerate(FEEDBACK_RATES):
        run = routed_feedback(devices, rate, (i + 1) * FEEDBACK_FRAMES, ours)
        figures["feedback"].append(run)
        if not run["lossless"]:
            break
    # The Motor's receiver would report every frame of the plain writer (id HOST) as unmatched.
    del motor, devices
    gc.collect()
    gc.collect()
    figures["plain"], figures["plain_lost"] = plain_write_latency()
    # The same wake-up path without the motor group, for reference.
    raw = velmot.CanDeviceNonBlocking(IFACE)
    figures["raw_paced"] = paced_calls(lambda: raw.send(HOST, PAYLOAD))[1]
    return figures


def report(f):
    print("Motor calls on the virtual bus (%s %s; %s, nodes %s)"
          % (sys.implementation.name, sys.version.split()[0], f["motor"],
             ", ".join("0x%X" % n for n in NODES)))
    ratio = f["broadcast"] / f["get_target"]
    print("tight loop, %d rounds x %d calls, medians:" % (ROUNDS, CALLS))
    print("  Motor.broadcast()      %s" % us(f["broadcast"]))
    print("  Device.get_target()    %s   broadcast / get_target = %.2fx"
          % (us(f["get_target"]), ratio))
    print("  target: within 3x and under 1 us: %s"
          % verdict(ratio <= 3.0 and f["broadcast"] < 1000))
    print("calls at 1 kHz (the CAN I/O task idles between them), %d calls:" % PACED_CALLS)
    for name, paced in (("Motor.broadcast()", f["paced"]),
                        ("CanDeviceNonBlocking.send", f["raw_paced"])):
        print("  %-26s median %s, p99 %s, max %s"
              % (name, us(statistics.median(paced)), us(pct(paced, 0.99)), us(max(paced))))
    paced = f["paced"]
    print("  target broadcast under 5 us: median %s, p99 %s"
          % (verdict(statistics.median(paced) < 5000), verdict(pct(paced, 0.99) < 5000)))
    print("latency to a CPython reader on the bus, %d frames at 1 kHz:" % PACED_CALLS)
    for name, values, lost in (("Motor.broadcast()", f["latency"], f["latency_lost"]),
                               ("raw AF_CAN write", f["plain"], f["plain_lost"])):
        print("  %-20s median %s, p99 %s, lost %d"
              % (name, us(statistics.median(values)), us(pct(values, 0.99)), lost))
    print("feedback routing, %d frames a run over %d nodes (target: >= %d frames/s, no loss):"
          % (FEEDBACK_FRAMES, len(NODES), TARGET_RATE))
    for run in f["feedback"]:
        offered = "unpaced" if run["rate"] == 0 else "%d/s" % run["rate"]
        print("  offered %-8s sent at %7.0f/s, routed %7.0f frames/s, CPU %5.2f us/frame, "
              "daemon drops %d, last records %s"
              % (offered, run["offered"], run["routed"], run["cpu_ns"] / 1000, run["drops"],
                 "match" if run["complete"] else "MISSING"))
    best = max((r["routed"] for r in f["feedback"] if r["lossless"]), default=0)
    print("  highest zero-loss routed rate: %.0f frames/s; target: %s" %
          (best, verdict(best >= TARGET_RATE)))


def failures(f):
    out = []
    if f["latency_lost"] or f["plain_lost"]:
        out.append("frames lost in the latency runs")
    if not f["feedback"][0]["lossless"]:
        out.append("feedback frames lost at %d frames/s" % f["feedback"][0]["rate"])
    return out


def main():
    if not on_bus():
        return rerun_on_a_bus(__file__, IFACE)
    velmot = import_velmot()

    figures = measure(velmot)
    report(figures)
    problems = failures(figures)
    for p in problems:
        print("FAILED: %s" % p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

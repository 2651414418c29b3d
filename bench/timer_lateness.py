"""Lateness of timer calls: how long after its due instant each call of a 1 kHz timer starts.

Each kind runs alone (never two at once) for a few seconds: the three timer precisions (realtime,
high, normal) and two pure-Python baselines on a thread of their own (sleep to the next deadline;
sleep, then spin through the last 800 us). The callback only records time.perf_counter_ns().

The due instant of a call is t0 + k*period, k being the grid point the loop meant that call for
and t0 the grid's origin, found from the calls' phases (see grid_origin). So the constant part
of the delay (taking the GIL, entering the callback) cancels out: the figures are the lateness
beyond the least delayed calls'. Loops skip grid points they have fallen behind, so k is rebuilt
from the recorded calls with each loop's own rule: the thread loops and the baselines move on to
the first grid point after a call that started later than the next one; the Normal timer's
interval does so only when a tick is more than 5 ms late (smaller delays are made up back to
back). Skipped grid points are counted as "missed". The first 50 calls are left out (warm-up;
the JIT on PyPy).
CPU is process CPU time over wall time (100% = one core). All of it runs twice: with the main
thread idle (blocked in time.sleep) and with the main thread busy running Python code (the cost
of the GIL to the timers).

With --load the machine is loaded first: the bench starts twice as many CPU hogs (processes
spinning in Python) as there are cores, and stops them at the end. Each run is then made in a
fresh process, so that the opt-in real-time mode (VELMOT_RT_PRIORITY, read once per process) can
be on or off: High and Realtime each without and with the mode (the ratio of the two p99 figures
is printed), Normal for reference, and the main thread busy running Python code under the mode,
at the interpreter's default switch interval and lowered ones (sys.setswitchinterval).

Prints figures; asserts nothing.

    PYTHONPATH=build/cpython/python python3 bench/timer_lateness.py [--seconds 5] [--rate 1000]
    PYTHONPATH=build/cpython/python python3 bench/timer_lateness.py --load [--rt-priority 80]
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import threading
import time

import velmot

WARMUP_CALLS = 50
SPIN_MARGIN_NS = 800_000


def next_deadline(deadline, period_ns):
    """The next grid point after `deadline`; grid points that have passed are skipped."""
    deadline += period_ns
    now = time.perf_counter_ns()
    if deadline < now:
        deadline += ((now - deadline) // period_ns + 1) * period_ns
    return deadline, now


def python_sleep_loop(period_ns, tick, running):
    """Sleeps to each deadline."""
    deadline = time.perf_counter_ns()
    while running.is_set():
        tick()
        deadline, now = next_deadline(deadline, period_ns)
        time.sleep((deadline - now) / 1e9)


def python_spin_loop(period_ns, tick, running):
    """Sleeps to SPIN_MARGIN_NS before each deadline, then spins."""
    deadline = time.perf_counter_ns()
    while running.is_set():
        tick()
        deadline, now = next_deadline(deadline, period_ns)
        if deadline - now > SPIN_MARGIN_NS:
            time.sleep((deadline - now - SPIN_MARGIN_NS) / 1e9)
        while time.perf_counter_ns() < deadline:
            pass


def start_kind(kind, rate, tick):
    """Starts one kind; returns a function that stops it."""
    if kind in ("realtime", "high", "normal"):
        decorator = {"realtime": velmot.precision_timer(rate, realtime=True),
                     "high": velmot.precision_timer(rate),
                     "normal": velmot.timer(rate)}[kind]
        handle = decorator(tick)()
        return handle.stop
    running = threading.Event()
    running.set()
    loop = python_sleep_loop if kind == "py-sleep" else python_spin_loop
    thread = threading.Thread(target=loop, args=(round(1e9 / rate), tick, running), daemon=True)
    thread.start()

    def stop():
        running.clear()
        thread.join()
    return stop


def busy_main_thread(seconds):
    end = time.perf_counter() + seconds
    total = 0
    while time.perf_counter() < end:
        for i in range(1000):
            total += i * i
    return total


def grid_points(samples, origin, period_ns, interval_rule):
    """The grid point k of each call by each loop's own rule. A call before its due instant shows
    that an earlier skip was inferred wrongly (no loop calls early): k is then re-synchronised to
    the last grid point before the call."""
    points, k = [], 0
    for t in samples:
        if t < origin + k * period_ns:
            k = (t - origin) // period_ns
        points.append(k)
        late = t - (origin + k * period_ns)
        behind = late > 5_000_000 if interval_rule else t > origin + (k + 1) * period_ns
        k = (t - origin) // period_ns + 1 if behind else k + 1
    return points


def grid_origin(samples, period_ns):
    """The grid's first instant. A call lies at its grid point plus its lateness, so the calls'
    phases (time since the first call, modulo the period) cluster just after the grid's phase.
    The phase taken is the one that makes the mean lateness least: the lower edge of that
    cluster, where the calls get denser than an even spread. Rare very late calls, whose phases
    lie anywhere, do not move it (the earliest call relative to an inferred grid would: one
    wrongly inferred skip would then shift every figure)."""
    t0 = samples[0]
    phases = sorted((t - t0) % period_ns for t in (samples[WARMUP_CALLS:] or samples))
    # Mean lateness for the grid phase phases[j], times n: sum(phases) - n * phases[j] + j * period.
    n = len(phases)
    best = min(range(n), key=lambda j: j * period_ns - n * phases[j])
    return t0 + phases[best] - (period_ns if phases[best] > 0 else 0)


def lateness(samples, period_ns, interval_rule):
    """(lateness in ns of each call after the warm-up, number of skipped grid points)."""
    if not samples:
        return [], 0
    origin = grid_origin(samples, period_ns)
    points = grid_points(samples, origin, period_ns, interval_rule)
    late = [t - (origin + k * period_ns) for t, k in zip(samples, points)][WARMUP_CALLS:]
    return late, max(0, points[-1] + 1 - len(points))


def measure(kind, rate, seconds, busy):
    samples = []
    tick = lambda: samples.append(time.perf_counter_ns())  # noqa: E731 (the cheapest callback)
    cpu0, wall0 = time.process_time(), time.perf_counter()
    stop = start_kind(kind, rate, tick)
    if busy:
        busy_main_thread(seconds)
    else:
        time.sleep(seconds)
    cpu, wall = time.process_time() - cpu0, time.perf_counter() - wall0
    stop()
    time.sleep(0.1)   # a Normal timer may still make one call
    late, missed = lateness(samples, round(1e9 / rate), interval_rule=kind == "normal")
    return late, missed, cpu / wall


def percentile(ordered, fraction):
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def report(kind, late, missed, cpu):
    if not late:
        print(f"  {kind:<14} no calls")
        return
    ordered = sorted(late)
    p50, p99, worst = (percentile(ordered, 0.5) / 1e3, percentile(ordered, 0.99) / 1e3,
                       ordered[-1] / 1e3)
    print(f"  {kind:<14} {len(late):>6} {missed:>6} {p50:>10.1f} {p99:>10.1f} {worst:>10.1f} {cpu * 100:>6.0f}%")


def summary(late, missed, cpu):
    ordered = sorted(late) or [0]
    return {"calls": len(late), "missed": missed, "p50": percentile(ordered, 0.5) / 1e3,
            "p99": percentile(ordered, 0.99) / 1e3, "max": ordered[-1] / 1e3, "cpu": cpu}


def run_child(options):
    """One measurement in this process; prints its summary as one JSON line."""
    if options.switch_interval is not None:
        sys.setswitchinterval(options.switch_interval)
    result = measure(options.child, options.rate, options.seconds, options.busy)
    print(json.dumps(summary(*result)), flush=True)


def start_hogs(count):
    hog = "while True:\n    pass"
    return [subprocess.Popen([sys.executable, "-c", hog], stdin=subprocess.DEVNULL)
            for _ in range(count)]


# (kind, real-time mode, main thread busy, switch interval in s or None for the default)
LOADED_RUNS = [
    ("realtime", False, False, None), ("realtime", True, False, None),
    ("high", False, False, None), ("high", True, False, None),
    ("normal", False, False, None),
    ("realtime", True, True, None), ("realtime", True, True, 0.0005), ("realtime", True, True, 0.0001),
    ("high", True, True, None), ("high", True, True, 0.0001),
]


def loaded(options):
    cores = os.cpu_count() or 1
    print(f"timer lateness at {options.rate:g} Hz under load ({2 * cores} CPU hogs on {cores} cores), "
          f"{options.seconds:g} s per run; {platform.python_implementation()} "
          f"{platform.python_version()}, {sys.platform}")
    print(f"real-time mode: VELMOT_RT_PRIORITY={options.rt_priority}"
          + (f" VELMOT_RT_CPUS={options.rt_cpus}" if options.rt_cpus else ""))
    print(f"  {'kind':<9} {'RT mode':<8} {'main thread':<18} {'calls':>6} {'missed':>6} "
          f"{'p50 us':>9} {'p99 us':>9} {'max us':>9} {'CPU':>5}")
    base_env = {k: v for k, v in os.environ.items() if not k.startswith("VELMOT_RT_")}
    hogs = start_hogs(2 * cores)
    results = {}
    try:
        time.sleep(0.5)
        for kind, rt, busy, interval in LOADED_RUNS:
            env = dict(base_env)
            if rt:
                env["VELMOT_RT_PRIORITY"] = str(options.rt_priority)
                if options.rt_cpus:
                    env["VELMOT_RT_CPUS"] = options.rt_cpus
            command = [sys.executable, __file__, "--child", kind, "--rate", str(options.rate),
                       "--seconds", str(options.seconds)]
            if busy:
                command.append("--busy")
            if interval is not None:
                command += ["--switch-interval", str(interval)]
            output = subprocess.run(command, env=env, stdout=subprocess.PIPE, text=True).stdout
            r = json.loads(output.strip().splitlines()[-1])
            results[(kind, rt, busy, interval)] = r
            main = "idle" if not busy else (
                f"busy, switch {interval * 1e3:g} ms" if interval else "busy, switch 5 ms")
            print(f"  {kind:<9} {'on' if rt else 'off':<8} {main:<18} {r['calls']:>6} {r['missed']:>6} "
                  f"{r['p50']:>9.1f} {r['p99']:>9.1f} {r['max']:>9.1f} {r['cpu'] * 100:>4.0f}%", flush=True)
    finally:
        for hog in hogs:
            hog.kill()
        for hog in hogs:
            hog.wait()
    for kind in ("realtime", "high"):
        off, on = results[(kind, False, False, None)], results[(kind, True, False, None)]
        print(f"  {kind}: p99 without / with the real-time mode = {off['p99'] / max(on['p99'], 0.1):.0f}x; "
              f"missed {off['missed']} / {on['missed']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=None,
                        help="per kind; default 5 s, or 3.1 s with --load (3000 calls and the warm-up)")
    parser.add_argument("--rate", type=float, default=1000.0)
    parser.add_argument("--load", action="store_true", help="start CPU hogs; compare the real-time mode")
    parser.add_argument("--rt-priority", type=int, default=80, help="with --load: VELMOT_RT_PRIORITY")
    parser.add_argument("--rt-cpus", default="", help="with --load: VELMOT_RT_CPUS (default: unset)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--busy", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--switch-interval", type=float, default=None, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.seconds is None:
        options.seconds = 3.1 if options.load else 5.0
    if options.child:
        return run_child(options)
    if options.load:
        return loaded(options)
    print(f"timer lateness at {options.rate:g} Hz, {options.seconds:g} s per kind; "
          f"{platform.python_implementation()} {platform.python_version()}, {sys.platform}")
    kinds = ["realtime", "high", "normal", "py-sleep", "py-sleep-spin"]
    for busy in (False, True):
        print(f"\nmain thread {'busy running Python code' if busy else 'idle (time.sleep)'}:")
        print(f"  {'kind':<14} {'calls':>6} {'missed':>6} {'p50 us':>10} {'p99 us':>10} {'max us':>10} {'CPU':>7}")
        for kind in kinds:
            report(kind, *measure(kind, options.rate, options.seconds, busy))


if __name__ == "__main__":
    main()

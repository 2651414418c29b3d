"""Lateness of timer calls: how long after its due instant each call of a 1 kHz timer starts.

Each kind runs alone (never two at once) for a few seconds: the three timer precisions (realtime,
high, normal) and two pure-Python baselines on a thread of their own (sleep to the next deadline;
sleep, then spin through the last 800 us). The callback only records time.perf_counter_ns().

The due instant of a call is t0 + k*period (t0 = the first call, moved back when a later call
would otherwise look early), k being the grid point the loop meant that call for. So the constant
part of the delay (taking the GIL, entering the callback) cancels out: the figures are the
lateness beyond the first call's. Loops skip grid points they have fallen behind, so k is rebuilt from the
recorded calls with each loop's own rule: the thread loops and the baselines move on to the first
grid point after a call that started later than the next one; the Normal timer's interval does
so only when a tick is more than 5 ms late (smaller delays are made up back to back). Skipped grid
points are counted as "missed". The first 50 calls are left out (warm-up; the JIT on PyPy).
CPU is process CPU time over wall time (100% = one core). All of it runs twice: with the main
thread idle (blocked in time.sleep) and with the main thread busy running Python code (the cost
of the GIL to the timers).

Prints figures; asserts nothing.

    PYTHONPATH=build/cpython/python python3 bench/timer_lateness.py [--seconds 5] [--rate 1000]
"""
import argparse
import platform
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
    """The grid point k of each call by each loop's own rule. A call more than half a period
    before its due instant shows that an earlier skip was inferred wrongly (no loop calls early):
    k is then re-synchronised to the nearest grid point."""
    points, k = [], 0
    for t in samples:
        if t < origin + k * period_ns - period_ns // 2:
            k = (t - origin + period_ns // 2) // period_ns
        points.append(k)
        late = t - (origin + k * period_ns)
        behind = late > 5_000_000 if interval_rule else t > origin + (k + 1) * period_ns
        k = (t - origin) // period_ns + 1 if behind else k + 1
    return points


def lateness(samples, period_ns, interval_rule):
    """(lateness in ns of each call after the warm-up, number of skipped grid points)."""
    if not samples:
        return [], 0
    # t0 is the first call; when that call was itself late (it waits for the GIL like any other),
    # later calls would seem early, which no loop does: the grid is moved back by the earliest.
    origin = samples[0]
    points = grid_points(samples, origin, period_ns, interval_rule)
    origin += min(0, min(t - (origin + k * period_ns) for t, k in zip(samples, points)))
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rate", type=float, default=1000.0)
    options = parser.parse_args()
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

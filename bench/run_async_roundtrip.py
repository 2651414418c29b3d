"""Round trip of one background call: `velmot.run_async(f)(x).wait()` next to
`concurrent.futures.ThreadPoolExecutor.submit(f, x).result()` (one worker, the same trivial
function), measured in the same run. Prints the median per round trip, the ratio, and the thread
sleeps per round trip: the voluntary context switches of every thread of the process, read from
/proc, which is what bounds a round trip (each sleep is one wake-up later). Asserts nothing.

Run: make bench (or PYTHONPATH=build/cpython/python python bench/run_async_roundtrip.py)."""
import concurrent.futures
import os
import statistics
import sys
import time

import velmot

ROUNDS = 15
CALLS = 2_000


def voluntary_switches():
    total = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/status") as status:
                for line in status:
                    if line.startswith("voluntary_ctxt_switches"):
                        total += int(line.split()[1])
        except FileNotFoundError:   # a thread that ended meanwhile
            pass
    return total


def measure(round_trip):
    """Median µs per round trip over ROUNDS rounds, and the thread sleeps per round trip."""
    round_trip(0)   # warm up: threads started, code paths taken
    samples, switches = [], []
    for _ in range(ROUNDS):
        before = voluntary_switches()
        start = time.perf_counter_ns()
        for i in range(CALLS):
            round_trip(i)
        samples.append((time.perf_counter_ns() - start) / CALLS / 1000)
        switches.append((voluntary_switches() - before) / CALLS)
    return statistics.median(samples), statistics.median(switches)


def main():
    executor = concurrent.futures.ThreadPoolExecutor(max_workers=1)
    double = velmot.run_async(lambda x: 2 * x)

    def ours(i):
        return double(i).wait()

    def theirs(i):
        return executor.submit(lambda x: 2 * x, i).result()

    rows = [("run_async(f)(x).wait()", measure(ours)),
            ("ThreadPoolExecutor.submit(f, x).result()", measure(theirs))]
    executor.shutdown()
    print(f"{sys.implementation.name} {sys.version.split()[0]}: one background call round trip, "
          f"median of {ROUNDS} rounds of {CALLS}")
    for name, (micros, sleeps) in rows:
        print(f"  {name:42s} {micros:8.1f} µs   {sleeps:5.2f} thread sleeps per round trip")
    print(f"  executor / run_async: {rows[1][1][0] / rows[0][1][0]:.2f}x")


if __name__ == "__main__":
    main()

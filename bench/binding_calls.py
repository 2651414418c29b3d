"""Caller-side cost of calls through the binding layer (the test probe's functions): argument
binding and conversion measured against the cheapest call into the extension (`noop`, the
baseline), with a call of the interpreter's own `abs` for scale, all in the same run. Prints
medians; asserts nothing.

Run: make bench (or PYTHONPATH=build/cpython/python python bench/binding_calls.py)."""
import statistics
import sys
import time

import _binding_probe as probe

ROUNDS = 15
CALLS = 100_000


def per_call_ns(fn):
    samples = []
    for _ in range(ROUNDS):
        start = time.perf_counter_ns()
        fn(CALLS)
        samples.append((time.perf_counter_ns() - start) / CALLS)
    return statistics.median(samples)


def loop_only(n):
    for _ in range(n):
        pass


def builtin_one_arg(n, f=abs):
    for _ in range(n):
        f(1)


def probe_noargs(n, f=probe.noop):
    for _ in range(n):
        f()


def probe_one_u32(n, f=probe.defaults):
    for _ in range(n):
        f(1)


def probe_keywords(n, f=probe.defaults):
    for _ in range(n):
        f(1, b=2, c="x")


def probe_nine_conversions(n, f=probe.convert, data=b"\x01\x02\x03\x04"):
    for _ in range(n):
        f("t", 1, 2, 3, data, 1.0, 2.0, True, None)


def main():
    loop = per_call_ns(loop_only)
    rows = [
        ("probe.noop() (METH_NOARGS, baseline)", per_call_ns(probe_noargs)),
        ("abs(1) (interpreter built-in)", per_call_ns(builtin_one_arg)),
        ("probe.defaults(1) (fast call, one u32)", per_call_ns(probe_one_u32)),
        ("probe.defaults(1, b=2, c='x') (keywords)", per_call_ns(probe_keywords)),
        ("probe.convert(9 args, every converter)", per_call_ns(probe_nine_conversions)),
    ]
    baseline = rows[0][1] - loop
    print(f"{sys.implementation.name} {sys.version.split()[0]}: median ns per call "
          f"(loop overhead {loop:.1f} ns subtracted), {ROUNDS} rounds of {CALLS} calls")
    for name, ns in rows:
        cost = ns - loop
        print(f"  {name:45s} {cost:8.1f} ns   x{cost / baseline:6.2f} of noop()")


if __name__ == "__main__":
    main()

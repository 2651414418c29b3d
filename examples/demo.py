"""Shows what the installed velmot module offers and runs a short control-style timer.

Run through `make demo`, which builds the module and puts it on the path.
"""
import sys
import time

import velmot


@velmot.precision_timer(100.0)
def control_step(log):
    log.append(time.perf_counter())


def main() -> int:
    names = getattr(velmot, "__all__", [])
    print(f"velmot from {velmot.__file__}")
    print(f"{len(names)} public names: {', '.join(names)}")

    ticks = []
    handle = control_step(ticks)
    time.sleep(0.5)   # the main thread stays idle: the timer thread gets the GIL at once
    handle.stop()
    print(handle)
    gaps_ms = [(b - a) * 1000 for a, b in zip(ticks, ticks[1:])]
    if gaps_ms:
        print(f"{len(ticks)} calls, spacing {min(gaps_ms):.3f} .. {max(gaps_ms):.3f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())

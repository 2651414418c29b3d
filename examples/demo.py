"""velmot demo: the road of a typical control script, from opening the bus to the last broadcast.

One Motor group on can0 (host CAN id 0x100) with two speed-mode drivers, 0x201 in slot 0 and 0x202
in slot 1. A 100 Hz precision timer follows a smooth speed profile and broadcasts the targets; a
5 Hz normal timer prints a live table (target, measured speed, position and current of each
driver, ticks and actual frequency of the control timer); `block_until` waits until the run is
over (about 10 s) or Ctrl+C / SIGTERM, and stops both timers; then every target is set to 0 and
broadcast once more.

    make demo                              # on the simulated bus, with two simulated drivers
    make demo ARGS="--plot demo.png"       # also save target against measured speed
    python3 examples/demo.py [--duration S] [--plot FILE.png]

Without CAN hardware the script runs itself on a simulated bus and starts two simulated drivers.
On a board whose can0 is a real CAN interface with the two drivers on it, the same script drives
them (velmot brings can0 up at 1 Mbit/s, through sudo when needed).
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import List, NamedTuple, Optional, Sequence, Tuple

import velmot
from simulation import ensure_bus, simulated_drivers

IFACE = "can0"
HOST = 0x100
DRIVERS = ((0x201, 0), (0x202, 1))           # (node id, slot)
CONTROL_HZ = 100.0
TABLE_HZ = 5.0
SPEEDS = ((40.0, 15.0), (-25.0, 20.0))       # rad/s: the first and the second held speed per slot
FOLLOW_TOLERANCE = 1.0                       # rad/s: largest error allowed at the end of a hold
CHECKED_FROM_S = 3.0                         # shorter runs hold too briefly for the speeds to settle

# The profile over the run's share f (0 to 1): still, up to the first speed, hold, over to the
# second, hold, down to 0, still. Each change is a smoothstep, so the speed never jumps.
_SEGMENTS = ((0.05, 0.30, "0", "a"), (0.30, 0.50, "a", "a"), (0.50, 0.70, "a", "b"),
             (0.70, 0.80, "b", "b"), (0.80, 0.95, "b", "0"))
HOLDS = ((0.40, 0.50), (0.75, 0.80), (0.97, 1.00))   # second halves of the holds: checked there


class Sample(NamedTuple):
    t: float
    targets: Tuple[float, ...]
    speeds: Tuple[float, ...]


def profile(f: float, speeds: Tuple[float, float]) -> float:
    """Target speed at share f of the run."""
    levels = {"0": 0.0, "a": speeds[0], "b": speeds[1]}
    for begin, end, frm, to in _SEGMENTS:
        if begin <= f < end:
            x = (f - begin) / (end - begin)
            s = x * x * (3.0 - 2.0 * x)
            return levels[frm] + (levels[to] - levels[frm]) * s + 0.0   # never -0.0
    return 0.0


def table_header() -> str:
    cells = ["driver 0x%X (slot %d)" % d for d in DRIVERS]
    units = "%7s %7s %9s %7s" % ("target", "speed", "position", "current")
    return ("  time | %-33s | %-33s | control timer\n     s | %s | %s |  ticks     Hz\n"
            "       | (speeds in rad/s, position in rad, current in A)"
            % (cells[0], cells[1], units, units))


def follow_error(samples: Sequence[Sample], duration_s: float) -> Optional[float]:
    """Largest |target - measured| at the ends of the holds (None without samples there)."""
    errors = [abs(tg - sp)
              for s in samples for begin, end in HOLDS if begin * duration_s <= s.t < end * duration_s
              for tg, sp in zip(s.targets, s.speeds)]
    return max(errors) if errors else None


def control(duration_s: float) -> Tuple[str, List[Sample]]:
    motor = velmot.Motor(IFACE, host=HOST)
    drivers = [motor.add_device(slot_index=slot, node_id=node, mode="speed")
               for node, slot in DRIVERS]
    print(motor, *drivers, sep="\n")
    print(table_header(), flush=True)
    samples: List[Sample] = []
    start = time.monotonic()

    @velmot.precision_timer(CONTROL_HZ)
    def steer() -> None:
        t = time.monotonic() - start
        targets = tuple(profile(t / duration_s, s) for s in SPEEDS)
        for driver, target in zip(drivers, targets):
            driver.set_target(target)
        motor.broadcast()
        samples.append(Sample(t, targets, tuple(d.get_watch_data()["speed"] for d in drivers)))

    steering = steer()

    @velmot.timer(TABLE_HZ)
    def show() -> None:
        cells = []
        for d in drivers:
            w = d.get_watch_data()
            cells.append("%7.1f %7.1f %9.2f %7.2f"
                         % (d.get_target(), w["speed"], w["position"], w["current"]))
        rate = ("%6.1f" % steering.actual_frequency() if steering.elapsed_secs() >= 0.5
                else "%6s" % "-")       # one or two ticks say little about the rate
        print("%6.2f | %s | %s | %6d %s" % (time.monotonic() - start, cells[0], cells[1],
                                            steering.tick_count(), rate), flush=True)

    showing = show()
    reason, stopped = velmot.block_until(wait_ms=int(duration_s * 1000), shutdown_timeout_ms=2000)
    for driver in drivers:
        driver.set_target(0.0)
    motor.broadcast()
    print("stopped by %s (timers ended: %s); every target set to 0 and broadcast"
          % (reason, "yes" if stopped else "NO"))
    print("control timer: %d ticks, %s; table timer: %d ticks"
          % (steering.tick_count(), rate_text(samples), showing.tick_count()))
    return reason, samples


def rate_text(samples: Sequence[Sample]) -> str:
    if len(samples) < 2:
        return "too short to measure its rate"
    return "%.1f Hz over the run" % ((len(samples) - 1) / (samples[-1].t - samples[0].t))


def save_plot(path: str, samples: Sequence[Sample]) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = [s.t for s in samples]
    fig, axes = plt.subplots(len(DRIVERS), 1, sharex=True, figsize=(8, 5.5))
    for i, ax in enumerate(axes):
        ax.plot(t, [s.targets[i] for s in samples], "--", color="black", label="target")
        ax.plot(t, [s.speeds[i] for s in samples], color="tab:blue", label="measured")
        ax.set_ylabel("speed (rad/s)")
        ax.set_title("driver 0x%X, slot %d" % DRIVERS[i], fontsize=10)
        ax.grid(alpha=0.3)
        ax.legend(loc="best")
    axes[-1].set_xlabel("time (s)")
    fig.suptitle("velmot demo: 100 Hz control loop, target against measured speed")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("plot saved to %s" % path)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--duration", type=float, default=10.0, metavar="S",
                        help="length of the run in seconds (default 10)")
    parser.add_argument("--plot", metavar="FILE.png",
                        help="save target against measured speed per driver (needs matplotlib)")
    args = parser.parse_args(argv)
    ensure_bus(IFACE)
    with simulated_drivers(IFACE, HOST, ["0x%X:%d:speed" % d for d in DRIVERS]):
        reason, samples = control(args.duration)
    if args.plot:
        save_plot(args.plot, samples)
    error = follow_error(samples, args.duration)
    if error is None or reason != "timeout" or args.duration < CHECKED_FROM_S:
        print("measured speed against target: not checked (%s)"
              % ("a run shorter than %g s" % CHECKED_FROM_S if reason == "timeout"
                 else "stopped by %s" % reason))
        return 0
    following = error <= FOLLOW_TOLERANCE
    print("measured speed follows the target: %s (largest error at the end of a hold: %.2f rad/s)"
          % ("yes" if following else "NO", error))
    return 0 if following else 1


if __name__ == "__main__":
    sys.exit(main())

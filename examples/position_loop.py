"""A 1 kHz position loop on a Realtime timer.

Two position-mode drivers (0x201 in slot 0, 0x202 in slot 1) follow sine trajectories in opposite
phase. `precision_timer(1000.0, realtime=True)` calls the loop on a thread of its own that sleeps
and then spins through the last 3 ms before each deadline: the most precise timer, at the cost of
one CPU core while it runs. The main thread waits in `block_until`, with the interpreter lock
released, so every call gets the lock at once. At the end both drivers hold where they are.

    sim/with-bus can0 -- python3 examples/position_loop.py [--duration S]
"""
from __future__ import annotations

import argparse
import math
import time

import velmot
from simulation import ensure_bus, simulated_drivers

IFACE = "can0"
HOST = 0x100
LOOP_HZ = 1000.0
AMPLITUDE = 2.0      # rad
PERIOD = 4.0         # s


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--duration", type=float, default=5.0, metavar="S")
    args = parser.parse_args()
    ensure_bus(IFACE)
    with simulated_drivers(IFACE, HOST, ["0x201:0:position", "0x202:1:position"]):
        motor = velmot.Motor(IFACE, host=HOST)
        drivers = [motor.add_device(slot_index=0, node_id=0x201, mode="position"),
                   motor.add_device(slot_index=1, node_id=0x202, mode="position")]
        phases = [0.0, math.pi]
        start = time.monotonic()
        longest_gap = [0.0]
        last_call = [start]

        @velmot.precision_timer(LOOP_HZ, realtime=True)
        def follow() -> None:
            now = time.monotonic()
            longest_gap[0] = max(longest_gap[0], now - last_call[0])
            last_call[0] = now
            angle = 2.0 * math.pi * (now - start) / PERIOD
            for driver, phase in zip(drivers, phases):
                driver.set_target(AMPLITUDE * math.sin(angle + phase))   # rad
            motor.broadcast()

        @velmot.timer(2.0)
        def report() -> None:
            cells = ["0x%X target %+5.2f rad, at %+5.2f rad" % (d.node_id, d.get_target(),
                                                               d.get_watch_data()["position"])
                     for d in drivers]
            print("%5.2f s | %s" % (time.monotonic() - start, " | ".join(cells)), flush=True)

        loop, reporter = follow(), report()
        reason, _ = velmot.block_until(wait_ms=int(args.duration * 1000))
        for driver in drivers:                    # hold the present position
            driver.set_target(driver.get_watch_data()["position"])
        motor.broadcast()
        calls, span = loop.tick_count(), last_call[0] - start
        print("stopped by %s after %d calls of the %s loop (%.0f Hz on average, longest gap "
              "between calls %.2f ms); %d reports"
              % (reason, calls, loop.precision_mode(), calls / span if span > 0 else 0.0,
                 longest_gap[0] * 1000, reporter.tick_count()))


if __name__ == "__main__":
    main()

"""velmot demo: drives two FOC motor drivers in speed mode over CAN and shows that their measured
speed follows the targets.

The control script is `control()`, shaped like a real one: one Motor group (host CAN id 0x100)
with drivers 0x201 in slot 0 and 0x202 in slot 1; a 100 Hz precision timer that sets the targets
(ramping up, holding and ramping back down) and broadcasts them; a 4 Hz normal timer that prints
target and measured speed; `block_until` to wait, which ends by itself after the run or at Ctrl+C
(or SIGTERM) and stops both timers; then every target set to 0 and one last broadcast.

`make demo` runs it on a simulated CAN bus, where this script also starts two simulated drivers
(each runs a small motor model). Run directly, it starts such a bus itself. With real drivers on
a real can0, run it with --hardware.
"""
import os
import subprocess
import sys
import time

import velmot

IFACE = "can0"
HOST = 0x100
RATE_HZ = 100
PRINT_HZ = 4
DURATION_S = 4.5
PEAKS = (40.0, -25.0)     # rad/s: the hold speed of slot 0 and of slot 1
FOLLOW_TOLERANCE = 1.0    # rad/s: largest error allowed while the targets hold


def profile(t, peak):
    """Target at t seconds: ramp to `peak` over 1.5 s, hold until 3 s, ramp back to 0 by 4 s."""
    if t < 1.5:
        share = t / 1.5
    elif t < 3.0:
        share = 1.0
    else:
        share = max(0.0, 4.0 - t)
    return peak * share + 0.0   # + 0.0: a zero target is never -0.0


def control():
    motor = velmot.Motor(IFACE, host=HOST)
    drivers = [motor.add_device(slot_index=0, node_id=0x201, mode="speed"),
               motor.add_device(slot_index=1, node_id=0x202, mode="speed")]
    print(motor, *drivers, sep="\n")
    print("   t |  slot 0 target  measured |  slot 1 target  measured   (rad/s)")
    start = time.monotonic()
    worst_hold_error = [0.0]

    @velmot.precision_timer(RATE_HZ)
    def steer():
        t = time.monotonic() - start
        for driver, peak in zip(drivers, PEAKS):
            driver.set_target(profile(t, peak))
        motor.broadcast()

    @velmot.timer(PRINT_HZ)
    def report():
        t = time.monotonic() - start
        speeds = [d.get_watch_data()["speed"] for d in drivers]
        cells = ["%14.1f %9.1f" % (d.get_target(), s) for d, s in zip(drivers, speeds)]
        print("%4.2f | %s" % (t, " | ".join(cells)), flush=True)
        if 2.5 <= t < 3.0:   # the speeds have settled on the held targets
            errors = [abs(d.get_target() - s) for d, s in zip(drivers, speeds)]
            worst_hold_error[0] = max([worst_hold_error[0]] + errors)

    timers = [steer(), report()]
    reason, stopped = velmot.block_until(wait_ms=int(DURATION_S * 1000), shutdown_timeout_ms=2000)
    for driver in drivers:
        driver.set_target(0.0)
    motor.broadcast()
    print("stopped by %s (timers ended: %s); targets set to 0 and broadcast" % (reason, stopped))
    following = worst_hold_error[0] <= FOLLOW_TOLERANCE
    print("measured speed follows the target: %s (largest error while holding: %.2f rad/s)"
          % ("yes" if following else "NO", worst_hold_error[0]))
    return 0 if following or reason != "timeout" else 1


# --- simulation scaffolding: a simulated bus and two simulated drivers ---------------------------

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(REPO, "sim")


def start_simulated_drivers():
    """The simulated drivers (a CPython process: PyPy's socket has no AF_CAN), running once they
    print "ready"."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([SIM, os.environ.get("PYTHONPATH", "")]))
    python = sys.executable if sys.implementation.name == "cpython" else "python3"
    drivers = subprocess.Popen(
        [python, "-m", "vcansim.drivers", "--iface", IFACE, "--host", "0x%X" % HOST,
         "--driver", "0x201:0:speed", "--driver", "0x202:1:speed"],
        env=env, stdout=subprocess.PIPE, text=True)
    if drivers.stdout.readline().strip() != "ready":
        sys.exit("the simulated drivers did not start")
    return drivers


def main():
    if "--hardware" in sys.argv[1:]:
        return control()
    if not os.environ.get("VCAN_SIM_DIR"):   # not on a simulated bus yet: start one, run again
        return subprocess.call([os.path.join(SIM, "with-bus"), IFACE, "--",
                                sys.executable, os.path.abspath(__file__)] + sys.argv[1:])
    drivers = start_simulated_drivers()
    try:
        return control()
    finally:
        drivers.terminate()
        drivers.wait()


if __name__ == "__main__":
    sys.exit(main())

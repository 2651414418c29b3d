"""Driver configuration over DR v1: a session, the FOC mode, the encoder zero, the end of the
session; first for one driver, then for every driver at once.

`Motor.add_device` already configures its driver (session, mode, end of session). The calls here
are for changing a driver later. A zero request (calibration) makes the driver take its present
encoder reading as the electrical zero: run it with the motor at rest. Each calibration call
pauses 200 ms after its request.

    sim/with-bus can0 -- python3 examples/configure_drivers.py
"""
from __future__ import annotations

import time

import velmot
from simulation import ensure_bus, simulated_drivers

IFACE = "can0"
HOST = 0x100


def positions(drivers: list[velmot.Device]) -> str:
    return ", ".join("0x%X at %.2f rad" % (d.node_id, d.get_watch_data()["position"])
                     for d in drivers)


def spin_and_stop(motor: velmot.Motor, drivers: list[velmot.Device]) -> None:
    """Turns both motors for a moment, so that the zero requests below have something to do."""
    for d in drivers:
        d.set_target(20.0)                 # rad/s: both are speed-mode Devices
    motor.broadcast()
    time.sleep(0.5)
    for d in drivers:
        d.set_target(0.0)
    motor.broadcast()
    time.sleep(0.5)


def main() -> None:
    ensure_bus(IFACE)
    with simulated_drivers(IFACE, HOST, ["0x201:0:speed", "0x202:1:speed"]):
        motor = velmot.Motor(IFACE, host=HOST)
        drivers = [motor.add_device(slot_index=0, node_id=0x201, mode="speed"),
                   motor.add_device(slot_index=1, node_id=0x202, mode="speed")]
        spin_and_stop(motor, drivers)
        print("before:", positions(drivers))

        # One driver: the frames go to its node id only.
        first = drivers[0]
        first.enter_configure()
        # Mode names: "current", "speed", "position", in any letter case. A Device keeps the
        # scale of the mode it was added with, so set the mode it has (or add it anew).
        first.set_foc_mode("speed")
        first.start_calibration()          # zero request, then 200 ms
        first.exit_configure()
        time.sleep(0.1)                    # a feedback frame or two
        print("after zeroing 0x%X:" % first.node_id, positions(drivers))

        spin_and_stop(motor, drivers)
        # Every driver on the bus at once (destination 0xFFFF).
        motor.enter_configure_broadcast()
        motor.set_foc_mode_broadcast("speed")
        motor.calibrate_broadcast()        # zero request to all, then 200 ms
        motor.exit_configure_broadcast()
        time.sleep(0.1)
        print("after zeroing all:", positions(drivers))


if __name__ == "__main__":
    main()

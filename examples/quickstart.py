"""Quick start: drivers 0x201 (slot 0) and 0x202 (slot 1) follow speed targets for 2 s.

Run it with two simulated drivers on a simulated bus (no hardware needed), or as it is on a board
whose can0 has the drivers on it."""
import time

import velmot

with velmot.Motor("can0", host=0x100) as motor:  # closing writes the last frames
    left = motor.add_device(slot_index=0, node_id=0x201, mode="speed")
    right = motor.add_device(slot_index=1, node_id=0x202, mode="speed")

    @velmot.precision_timer(100.0)  # 100 calls a second on a thread of its own
    def control() -> None:
        left.set_target(10.0)  # rad/s
        right.set_target(-5.0)
        motor.broadcast()  # one frame carries both targets

    handle = control()
    for _ in range(4):
        time.sleep(0.5)
        print("speed 0x201: %6.2f rad/s   0x202: %6.2f rad/s"
              % (left.get_watch_data()["speed"], right.get_watch_data()["speed"]))
    handle.stop()
    left.set_target(0.0)
    right.set_target(0.0)
    motor.broadcast()

"""Raw CAN frames with the two device classes.

`CanDevice` is the simple one: `send` returns once the frame is written and `receive` waits for
the next frame. `CanDeviceNonBlocking` hands its socket to a background task: `send` only queues a
frame, `try_receive` takes a frame that is already there (or None) and `receive_timeout` waits up
to a limit. A socket never receives its own frames but does receive those of every other socket,
also of the same process, so the two devices here talk to each other.

    sim/with-bus can0 -- python3 examples/raw_can.py
"""
from __future__ import annotations

import velmot
from simulation import ensure_bus

IFACE = "can0"


def show(frame: tuple[int, bytes] | None) -> str:
    if frame is None:
        return "nothing"
    can_id, data = frame
    return "id 0x%X, %d bytes: %s" % (can_id, len(data), data.hex(" ") or "-")


def main() -> None:
    ensure_bus(IFACE)
    simple = velmot.CanDevice(IFACE)              # brings can0 up at 1 Mbit/s when needed
    queued = velmot.CanDeviceNonBlocking(IFACE)
    print("opened", simple.interface(), "twice")

    print("nothing waiting yet:", show(queued.try_receive()))

    simple.send(0x123, b"\x01\x02\x03")           # standard frame (id below 0x800)
    print("non-blocking device got", show(queued.receive_timeout(1000)))

    queued.send(0x1ABCDE, [0xDE, 0xAD, 0xBE, 0xEF])   # from 0x800 up: sent as an extended frame
    queued.send(0x7FF, bytearray(8))                   # 8 bytes is the most a frame carries
    for _ in range(2):
        print("blocking device got", show(simple.receive()))   # Ctrl+C ends this wait

    try:
        queued.send(0x20000000, b"")
    except OSError as exc:                          # refused before anything is queued
        print("refused:", exc)
    try:
        queued.send(0x100, bytes(9))
    except OSError as exc:
        print("refused:", exc)


if __name__ == "__main__":
    main()

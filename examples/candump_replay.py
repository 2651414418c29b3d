"""Replays a candump log file onto a CAN bus through a `CanDeviceNonBlocking`.

A log line as `candump -l` / `candump -L` writes it: "(1700000000.123456) can0 201#0011223344556677".
Identifiers of 3 hex digits are standard frames, of 8 digits extended ones. Each frame is sent at
its recorded time after the first (scaled by --speed) and a second device counts what arrives.
velmot sends every identifier from 0x800 up as an extended frame and every one below as a
standard frame, and only data frames, so remote ("123#R"), error and CAN FD ("##") lines are
skipped, and an extended frame with an identifier below 0x800 goes out as a standard one.

    sim/with-bus can0 -- python3 examples/candump_replay.py [LOG] [--speed 2.0]
"""
from __future__ import annotations

import argparse
import os
import time
from typing import Iterator, NamedTuple, Optional

import velmot
from simulation import ensure_bus

HERE = os.path.dirname(os.path.abspath(__file__))
K_ERROR_FLAG = 0x20000000


class LogFrame(NamedTuple):
    timestamp: float
    can_id: int
    data: bytes


def parse_line(line: str) -> Optional[LogFrame]:
    """The data frame of one log line, or None for a line velmot cannot send as recorded."""
    fields = line.split()
    if len(fields) != 3 or not fields[0].startswith("(") or "#" not in fields[2]:
        return None
    ident, _, payload = fields[2].partition("#")
    if payload.startswith(("R", "#")):           # remote frame, CAN FD frame
        return None
    can_id = int(ident, 16)
    if can_id & K_ERROR_FLAG or len(payload) % 2 or len(payload) > 16:
        return None
    return LogFrame(float(fields[0].strip("()")), can_id, bytes.fromhex(payload))


def read_log(path: str) -> Iterator[Optional[LogFrame]]:
    with open(path, encoding="ascii") as log:
        for line in log:
            if line.strip():
                yield parse_line(line)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("log", nargs="?", default=os.path.join(HERE, "data", "demo-candump.log"))
    parser.add_argument("--speed", type=float, default=1.0, help="replay speed (2.0: twice)")
    parser.add_argument("--iface", default="can0", help="the interface to replay onto")
    args = parser.parse_args()
    ensure_bus(args.iface)
    sender = velmot.CanDeviceNonBlocking(args.iface)
    listener = velmot.CanDeviceNonBlocking(args.iface)   # sees the sender's frames

    sent = skipped = received = 0
    first: Optional[float] = None
    start = time.monotonic()
    for frame in read_log(args.log):
        if frame is None:
            skipped += 1
            continue
        first = frame.timestamp if first is None else first
        delay = start + (frame.timestamp - first) / args.speed - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sender.send(frame.can_id, frame.data)    # queued: written by the device's task
        sent += 1
        while listener.try_receive() is not None:
            received += 1
    while listener.receive_timeout(200) is not None:   # the last ones
        received += 1
    print("replayed %d frames in %.2f s (%d lines skipped); the listener received %d"
          % (sent, time.monotonic() - start, skipped, received))


if __name__ == "__main__":
    main()

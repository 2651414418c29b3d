"""python-can interface over velmot: ``can.Bus(interface="velmot", channel="can0")``.

The bus is a :class:`velmot.CanDeviceNonBlocking`: ``send`` only queues the frame for velmot's
background I/O task (it never waits for the socket), ``recv`` takes the frames that task has
already read, waiting with the GIL released when none is queued. python-can's ``Notifier``,
listeners, loggers and software filters work on it as on any bus; ``shutdown()`` (also at the end
of a ``with`` block) closes the device, writing the frames still queued first (within 1 s).

Frames: identifiers from 0x800 up go out as extended frames, lower ones as standard frames (the
``is_extended_id`` of a message with an identifier below 0x800 is not looked at); received
messages carry ``is_extended_id`` by the same rule, since velmot hands identifiers over without
flags. Remote, error and CAN FD frames cannot be sent; timestamps are taken when ``recv`` hands
the frame over (``time.time()``), not by the kernel.

Registered with python-can through the ``can.interface`` entry point of the velmot distribution.
velmot itself never imports python-can; this package does.
"""
from __future__ import annotations

import math
import time
from typing import Any, Optional, Tuple


import can
from can.typechecking import CanFilters

import velmot

__all__ = ["VelmotBus"]

# Longest single wait handed to velmot when python-can asks to wait without limit: each wait runs
# the signal check every 50 ms anyway, this only bounds the loop's own round trips.
_UNLIMITED_STEP_MS = 1000


class VelmotBus(can.BusABC):
    """A python-can bus over one velmot ``CanDeviceNonBlocking`` on ``channel``.

    Thread-safety: ``send`` and ``recv`` may be called from several threads at once (a
    ``Notifier``'s thread receiving while the script sends).
    """

    def __init__(self, channel: Any = "can0", can_filters: Optional[CanFilters] = None,
                 **kwargs: object) -> None:
        self.channel = str(channel)
        try:
            self._device = velmot.CanDeviceNonBlocking(self.channel)
        except OSError as error:
            raise can.CanInitializationError(str(error)) from error
        self.channel_info = "velmot CanDeviceNonBlocking on " + self.channel
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Queues ``msg`` for the bus; returns at once (``timeout`` is not needed: it never waits)."""
        if msg.is_remote_frame or msg.is_error_frame or msg.is_fd:
            raise can.CanOperationError("velmot sends classic data frames only")
        if not msg.is_extended_id and msg.arbitration_id > 0x7FF:
            raise can.CanOperationError("standard identifier 0x%X above 0x7FF" % msg.arbitration_id)
        try:
            self._device.send(msg.arbitration_id, msg.data[:msg.dlc])
        except OSError as error:
            raise can.CanOperationError(str(error)) from error

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[can.Message], bool]:
        try:
            frame = self._take(timeout)
        except OSError as error:
            raise can.CanOperationError(str(error)) from error
        if frame is None:
            return None, False
        can_id, data = frame
        message = can.Message(timestamp=time.time(), arbitration_id=can_id, is_extended_id=can_id > 0x7FF,
                              dlc=len(data), data=data, channel=self.channel, is_rx=True)
        return message, False

    def _take(self, timeout: Optional[float]) -> Optional[Tuple[int, bytes]]:
        if timeout is None:
            while True:
                frame = self._device.receive_timeout(_UNLIMITED_STEP_MS)
                if frame is not None:
                    return frame
        if timeout <= 0:
            return self._device.try_receive()
        return self._device.receive_timeout(math.ceil(timeout * 1000))

    def shutdown(self) -> None:
        """Closes the device (queued frames are written first, within 1 s); a second call does nothing."""
        if self._is_shutdown:
            return
        super().shutdown()
        self._device.close()

"""Explicit close: close() and `with` on CanDevice, CanDeviceNonBlocking and Motor. Closing writes
the queued frames, releases the socket (also on PyPy, where objects are not freed when their last
name goes), and every later call, also on the Devices of a closed Motor, raises OSError."""
import os

import pytest

import velmot
from can_peer import Peer

CLOSED = "CAN device is closed"


def open_motor():
    motor = velmot.Motor("can0", host=0x100)
    return motor, motor.add_device(slot_index=0, node_id=0x201, mode="speed")


def calls_after_close(kind):
    """(the object to close, the calls that must raise once it is closed)."""
    if kind == "Motor":
        motor, device = open_motor()
        return motor, [motor.broadcast, lambda: motor.add_device(1, 0x202, "speed"),
                       lambda: motor.set_target(0, 1.0), lambda: motor.get_watch_data(0),
                       motor.enter_configure_broadcast, motor.exit_configure_broadcast,
                       motor.calibrate_broadcast, lambda: motor.set_foc_mode_broadcast("speed"),
                       motor.__enter__, lambda: device.set_target(1.0), device.get_target,
                       device.get_watch_data, device.enter_configure, device.exit_configure,
                       device.start_calibration, lambda: device.set_foc_mode("speed")]
    dev = getattr(velmot, kind)("can0")
    calls = [lambda: dev.send(0x123, b"\x01"), dev.interface, dev.__enter__]
    if kind == "CanDevice":
        return dev, calls + [dev.receive]
    return dev, calls + [dev.try_receive, lambda: dev.receive_timeout(0),
                         lambda: dev.receive_timeout(10)]


@pytest.mark.parametrize("kind", ["CanDevice", "CanDeviceNonBlocking", "Motor"])
@pytest.mark.parametrize("how", ["close", "with", "with-raising"])
def test_every_call_after_close_raises(vcan_bus, kind, how):
    vcan_bus("can0")
    obj, calls = calls_after_close(kind)
    if how == "close":
        assert obj.close() is None
    else:
        with pytest.raises(ZeroDivisionError) if how == "with-raising" else _nothing():
            with obj as entered:
                assert entered is obj
                if how == "with-raising":
                    1 / 0  # the exception goes on; the device is closed all the same
    for call in calls:
        with pytest.raises(OSError) as raised:
            call()
        assert str(raised.value) == CLOSED
    assert obj.close() is None  # a second close does nothing
    assert obj.__exit__(None, None, None) is None
    if kind == "Motor":
        assert (obj.host, repr(obj)) == (0x100, "Motor(host=0x100, devices=1)")


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("kind", ["CanDeviceNonBlocking", "Motor"])
def test_close_writes_the_queued_frames_first(vcan_bus, cpython, kind):
    vcan_bus("can0")
    peer = Peer(cpython)
    try:
        count = 500
        if kind == "Motor":
            motor, device = open_motor()
            assert len(peer.recv(4, timeout=10)) == 4  # add_device's configuration frames
            for i in range(count):
                device.set_target(float(i % 100))
                motor.broadcast()
            motor.close()
        else:
            with velmot.CanDeviceNonBlocking("can0") as dev:
                for i in range(count):
                    dev.send(0x100, i.to_bytes(2, "little"))
        frames = peer.recv(count, timeout=10)
        assert len(frames) == count
        if kind != "Motor":
            assert [int.from_bytes(d, "little") for _, d in frames] == list(range(count))
    finally:
        peer.close()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("make", [lambda: velmot.CanDevice("can0"),
                                  lambda: velmot.CanDeviceNonBlocking("can0"),
                                  lambda: open_motor()[0]],
                         ids=["CanDevice", "CanDeviceNonBlocking", "Motor"])
def test_create_close_cycles_leave_no_descriptor_open(vcan_bus, make):
    vcan_bus("can0")
    make().close()  # the runtime's own descriptors are made once, on first use
    before = open_descriptors()
    kept = []  # every object stays referenced: close alone must release the socket
    for _ in range(50):
        kept.append(make())
        kept[-1].close()
    assert open_descriptors() == before

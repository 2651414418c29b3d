"""The python-can interface (package velmot_can): can.Bus(interface="velmot") over a
CanDeviceNonBlocking, with python-can's Notifier, listeners and candump-format logger, against an
independent raw-socket peer."""
import pathlib
import sys

import can
import pytest

from can_peer import Peer

_PYTHON_DIR = str(pathlib.Path(__file__).resolve().parents[2] / "python")
if _PYTHON_DIR not in sys.path:
    sys.path.insert(0, _PYTHON_DIR)
# The entry point registers the interface when the distribution is installed (the wheel tests
# check that); here the package is taken from the source tree.
if "velmot" not in can.util.VALID_INTERFACES:
    can.interfaces.BACKENDS["velmot"] = ("velmot_can", "VelmotBus")
    can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {"velmot"}

EFF = 0x80000000  # the extended-frame flag of a raw SocketCAN identifier
FRAMES = [(0x123, b"\x01\x02"), (0x7FF, b""), (0x800, bytes(range(8))), (0x1FFFFFFF, b"\xff")]


def raw_id(can_id):
    return can_id | EFF if can_id >= 0x800 else can_id


def test_notifier_feeds_listeners_and_a_candump_log(vcan_bus, cpython, tmp_path):
    vcan_bus("can0")
    peer = Peer(cpython)
    log_path = tmp_path / "bus.log"
    try:
        with can.Bus(interface="velmot", channel="can0") as bus:
            reader = can.BufferedReader()
            writer = can.CanutilsLogWriter(log_path, channel="can0")
            notifier = can.Notifier(bus, [reader, writer], timeout=0.05)
            peer.send([(raw_id(i), d) for i, d in FRAMES])
            got = [reader.get_message(timeout=10) for _ in FRAMES]
            for can_id, data in FRAMES:  # and the script sends meanwhile
                bus.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=can_id >= 0x800))
            notifier.stop()
            writer.stop()
        assert [(m.arbitration_id, bytes(m.data), m.is_extended_id) for m in got] == \
            [(i, d, i >= 0x800) for i, d in FRAMES]
        logged = list(can.CanutilsLogReader(log_path))
        assert [(m.arbitration_id, bytes(m.data), m.is_extended_id) for m in logged] == \
            [(i, d, i >= 0x800) for i, d in FRAMES]
        assert peer.recv(len(FRAMES), timeout=10) == [(raw_id(i), d) for i, d in FRAMES]
    finally:
        peer.close()


@pytest.mark.parametrize("timeout", [0, 0.05, None])
def test_recv_waits_up_to_its_timeout(vcan_bus, cpython, timeout):
    vcan_bus("can0")
    with can.Bus(interface="velmot", channel="can0") as bus:
        if timeout is not None:
            assert bus.recv(timeout) is None  # silent bus
        peer = Peer(cpython)
        try:
            peer.send([(0x42, b"\x07")], delay=0.1)
            message = bus.recv(timeout if timeout is None else 10)
        finally:
            peer.close()
    assert (message.arbitration_id, bytes(message.data)) == (0x42, b"\x07")


@pytest.mark.parametrize("message", [
    can.Message(arbitration_id=0x10, is_remote_frame=True, is_extended_id=False),
    can.Message(arbitration_id=0x10, is_error_frame=True),
    can.Message(arbitration_id=0x10, is_fd=True, data=bytes(12)),
    can.Message(arbitration_id=0x800, is_extended_id=False),
    can.Message(arbitration_id=0x20000000, data=b"\x00"),
], ids=["remote", "error", "fd", "standard-too-large", "id-too-large"])
def test_frames_velmot_cannot_send_are_refused(vcan_bus, message):
    vcan_bus("can0")
    with can.Bus(interface="velmot", channel="can0") as bus:
        with pytest.raises(can.CanOperationError):
            bus.send(message)


def test_shutdown_closes_the_device(vcan_bus):
    vcan_bus("can0")
    bus = can.Bus(interface="velmot", channel="can0")
    bus.shutdown()
    bus.shutdown()  # a second shutdown does nothing
    with pytest.raises(can.CanOperationError, match="CAN device is closed"):
        bus.recv(0)
    with pytest.raises(can.CanOperationError, match="CAN device is closed"):
        bus.send(can.Message(arbitration_id=1))

"""velmot.Motor and velmot.Device end to end on the simulated CAN bus: the configuration, target
and feedback frames as an independent peer sees them, feedback routing from the simulated
drivers, the receiver's console lines, argument and mode errors, representations, text
signatures, and the behaviour of a Motor whose host id no CAN frame can carry.

Peers are CPython processes with Python's own AF_CAN sockets (PyPy's socket module has none);
the frames they expect are written out literally or built with the independent codec in
sim/vcansim/dr_v1_frames.py. In-process Motors need the SocketCAN shim, which loads only when the
run itself starts under sim/with-bus (make test); those tests skip otherwise. Tests run on the
main thread; a peer belongs to the test that made it.
"""
import gc
import json
import math
import os
import random
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import velmot
from can_peer import Peer
from vcansim import dr_v1_frames as fr
from vcansim.bus import shim_loaded

IS_PYPY = sys.implementation.name == "pypy"
EFF = 0x80000000
HOST = 0x100
ZEROS = {"position": 0.0, "speed": 0.0, "current": 0.0}
# 00 00 C0 3F 7B 00 06 FF: position 1.5 rad, 123 counts of speed, -250 counts of current.
FEEDBACK = bytes.fromhex("0000C03F7B0006FF")
FEEDBACK_RECORD = {"position": 1.5, "speed": 12.300000190734863, "current": -2.5}
ID_TOO_LARGE = "CAN ID too large"
MISSING_HOST = "missing host CAN id: use second argument or host= / host_id="
BOTH_HOSTS = "pass only one of 'host' or 'host_id', not both"

needs_shim = pytest.mark.skipif(not shim_loaded(),
                                reason="not started under sim/with-bus: no SocketCAN shim")


def h(text):
    return bytes.fromhex(text)


def wire_id(can_id):
    """The can_id a raw socket reads for a frame the module sent with identifier `can_id`."""
    return can_id | EFF if can_id > 0x7FF else can_id


def unknown_mode(text):
    return "unknown mode '%s', expected 'current', 'speed', or 'position'" % text


# --- peer ----------------------------------------------------------------------------------------

@pytest.fixture
def bus(vcan_bus):
    return vcan_bus("can0")


@pytest.fixture
def peer(cpython, bus):
    p = Peer(cpython)
    yield p
    p.close()


def frames_through_marker(peer, motor, expected_count, host=HOST):
    """Broadcasts as a marker and returns the payloads of the `expected_count` frames the peer
    read before it; everything queued earlier precedes the marker on the bus."""
    motor.broadcast()
    frames = peer.recv(expected_count + 1)
    assert len(frames) == expected_count + 1, frames
    assert {i for i, _ in frames} == {wire_id(host)}
    return [d for _, d in frames[:-1]]


def wait_for_record(read, want, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        got = read()
        if got == want:
            return got
        if time.monotonic() > deadline:
            pytest.fail("feedback record %r never became %r" % (got, want), pytrace=False)
        time.sleep(0.005)


def config(command, dest, ctl):
    return fr.build_config_frame(command, dest, ctl)


def add_sequence(node_id, mode_code):
    dest = node_id & 0xFFFF
    return [config(0x73, dest, 3), config(0x74, dest, 3), config(0xFF, dest, 0x10 + mode_code),
            config(0xFF, dest, 0)]


# --- configuration frames ------------------------------------------------------------------------

@needs_shim
@pytest.mark.parametrize("host", [HOST, 0x7FF, 0x800, 0x1ABCDEF, 0x1FFFFFFF])
def test_add_device_sends_enter_mode_end_with_the_host_id(peer, host):
    motor = velmot.Motor("can0", host)
    device = motor.add_device(0, 0x201, "speed")
    assert isinstance(device, velmot.Device)
    assert frames_through_marker(peer, motor, 4, host) == [
        h("44 52 31 73 01 02 03 54"), h("44 52 31 74 01 02 03 53"),
        h("44 52 31 FF 01 02 11 CA"), h("44 52 31 FF 01 02 00 DB")]


@needs_shim
@pytest.mark.parametrize("node_id,mode,code", [
    (0x202, "current", 0), (0x12345, "Position", 2), (0xFFFE, "SPEED", 1),
    (0x1FFF0000, "position", 2), (0x1FFFFFFE, "current", 0)])
def test_add_device_addresses_the_low_16_bits_of_the_node_id(peer, node_id, mode, code):
    motor = velmot.Motor("can0", host=HOST)
    device = motor.add_device(slot_index=1, node_id=node_id, mode=mode)
    assert device.node_id == node_id
    assert frames_through_marker(peer, motor, 4) == add_sequence(node_id, code)


BROADCAST_OPS = [
    ("enter_configure_broadcast", (), ["44 52 31 73 FF FF 03 57", "44 52 31 74 FF FF 03 50"]),
    ("exit_configure_broadcast", (), ["44 52 31 FF FF FF 00 D8"]),
    ("calibrate_broadcast", (), ["44 52 31 FF FF FF 01 D9"]),
    ("set_foc_mode_broadcast", ("current",), ["44 52 31 FF FF FF 10 C8"]),
    ("set_foc_mode_broadcast", ("speed",), ["44 52 31 FF FF FF 11 C9"]),
    ("set_foc_mode_broadcast", ("position",), ["44 52 31 FF FF FF 12 CA"]),
    ("set_foc_mode_broadcast", ("PoSiTiOn",), ["44 52 31 FF FF FF 12 CA"]),
]


@needs_shim
@pytest.mark.parametrize("op,args,wire", BROADCAST_OPS,
                         ids=["enter", "exit", "calibrate", "current", "speed", "position", "mixed"])
def test_broadcast_configuration_frames(peer, op, args, wire):
    motor = velmot.Motor("can0", HOST)
    start = time.monotonic()
    assert getattr(motor, op)(*args) is None
    if op == "calibrate_broadcast":
        assert time.monotonic() - start >= 0.19  # the pause after the zero request
    assert frames_through_marker(peer, motor, len(wire)) == [h(w) for w in wire]


DEVICE_OPS = [
    ("enter_configure", (), [(0x73, 3), (0x74, 3)]),
    ("exit_configure", (), [(0xFF, 0)]),
    ("start_calibration", (), [(0xFF, 1)]),
    ("set_foc_mode", ("current",), [(0xFF, 0x10)]),
    ("set_foc_mode", ("Speed",), [(0xFF, 0x11)]),
    ("set_foc_mode", ("position",), [(0xFF, 0x12)]),
]


@needs_shim
@pytest.mark.parametrize("node_id", [0x201, 0x12345])
@pytest.mark.parametrize("op,args,frames", DEVICE_OPS,
                         ids=["enter", "exit", "calibrate", "current", "speed", "position"])
def test_device_configuration_frames_go_to_its_node(peer, node_id, op, args, frames):
    motor = velmot.Motor("can0", HOST)
    device = motor.add_device(0, node_id, "speed")
    start = time.monotonic()
    assert getattr(device, op)(*args) is None
    if op == "start_calibration":
        assert time.monotonic() - start >= 0.19
    expected = add_sequence(node_id, 1) + [config(c, node_id & 0xFFFF, ctl) for c, ctl in frames]
    assert frames_through_marker(peer, motor, len(expected)) == expected


@needs_shim
def test_documented_unicast_frames_to_0x201(peer):
    motor = velmot.Motor("can0", HOST)
    device = motor.add_device(0, 0x201, "speed")
    device.enter_configure()
    device.start_calibration()
    device.set_foc_mode("speed")
    device.exit_configure()
    assert frames_through_marker(peer, motor, 9)[4:] == [
        h("44 52 31 73 01 02 03 54"), h("44 52 31 74 01 02 03 53"), h("44 52 31 FF 01 02 01 DA"),
        h("44 52 31 FF 01 02 11 CA"), h("44 52 31 FF 01 02 00 DB")]


# --- broadcast target frame ----------------------------------------------------------------------

# (devices as (slot, node, mode, target), payload of the next broadcast)
BROADCAST_CASES = {
    "empty": ([], "00 00 00 00 00 00 00 00"),
    "two-speeds": ([(0, 0x201, "speed", 10.0), (1, 0x202, "speed", -5.0)],
                   "64 00 CE FF 00 00 00 00"),
    "shared-slot-last-wins": ([(1, 0x201, "current", 1.0), (1, 0x202, "current", 2.0)],
                              "00 00 C8 00 00 00 00 00"),
    "slot-9-is-3": ([(9, 0x201, "position", 1.5)], "00 00 00 00 00 00 96 00"),
    "truncation": ([(0, 0x201, "current", 1.239), (1, 0x202, "current", -1.05),
                    (2, 0x203, "speed", 0.09), (3, 0x204, "speed", -0.09)],
                   "7B 00 98 FF 00 00 00 00"),
    "saturation": ([(0, 0x201, "position", 400.0), (1, 0x202, "speed", -4000.0),
                    (2, 0x203, "speed", 3276.75), (3, 0x204, "current", float("-inf"))],
                   "FF 7F 00 80 FF 7F 00 80"),
    "nan-and-inf": ([(0, 0x201, "speed", float("nan")), (1, 0x202, "position", float("inf")),
                     (2, 0x203, "current", 1e40), (3, 0x204, "speed", -0.0)],
                    "00 00 FF 7F FF 7F 00 00"),
    "unused-slots-zero": ([(2, 0x203, "speed", 1.0)], "00 00 00 00 0A 00 00 00"),
}


@needs_shim
@pytest.mark.parametrize("case", sorted(BROADCAST_CASES))
def test_broadcast_payload(peer, case):
    devices, wire = BROADCAST_CASES[case]
    motor = velmot.Motor("can0", HOST)
    for slot, node, mode, target in devices:
        motor.add_device(slot, node, mode).set_target(target)
    assert motor.broadcast() is None
    frames = peer.recv(4 * len(devices) + 1)
    assert frames[-1] == (HOST, h(wire))
    assert len(frames) == 4 * len(devices) + 1


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def expected_counts(value, mode):
    """Broadcast value of a target: the single-precision product with the mode's scale,
    saturated to the i16 range and truncated toward zero; NaN gives 0."""
    product = f32(value) * (10.0 if mode == "speed" else 100.0)  # exact in double
    if math.isnan(product):
        return 0
    if product <= -32768.0:
        return -32768
    if product >= 32767.0:
        return 32767
    return int(f32(product))


def random_target(rng):
    kind = rng.random()
    if kind < 0.1:
        return rng.choice([0.0, -0.0, 0.05, -0.05, 0.1, -0.1, 327.67, -327.68, 3276.7, 3276.8])
    if kind < 0.4:
        return f32(rng.randint(-400000, 400000) / 1000.0)
    return f32(rng.uniform(-5000.0, 5000.0))


@needs_shim
def test_broadcast_encoding_of_many_targets(peer):
    rng = random.Random(20240611)
    motor = velmot.Motor("can0", HOST)
    modes = ["speed", "current", "position", "speed"]
    devices = [motor.add_device(slot, 0x201 + slot, modes[slot]) for slot in range(4)]
    rounds = 150
    expected = []
    for _ in range(rounds):
        values = [random_target(rng) for _ in devices]
        for slot, (device, value) in enumerate(zip(devices, values)):
            if slot % 2:
                device.set_target(value)
            else:
                motor.set_target(slot, value)
        motor.broadcast()
        expected.append(struct.pack("<4h", *(expected_counts(v, m) for v, m in
                                             zip(values, modes))))
    got = [d for _, d in peer.recv(16 + rounds)[16:]]
    mismatches = [(i, g.hex(), e.hex()) for i, (g, e) in enumerate(zip(got, expected)) if g != e]
    assert len(got) == rounds and mismatches == []


@needs_shim
def test_lookups_by_slot_take_the_first_device(peer):
    motor = velmot.Motor("can0", HOST)
    first = motor.add_device(1, 0x201, "current")
    second = motor.add_device(1, 0x202, "current")
    first.set_target(1.0)
    second.set_target(2.0)
    motor.set_target(1, 3.0)
    assert (first.get_target(), second.get_target()) == (3.0, 2.0)
    motor.broadcast()  # the later Device wins the shared slot
    assert peer.recv(9)[-1] == (HOST, h("00 00 C8 00 00 00 00 00"))
    peer.send([(0x202, h("0000803F0A000A00"))])
    wait_for_record(second.get_watch_data, {"position": 1.0, "speed": 1.0, "current": f32(0.1)})
    assert motor.get_watch_data(1) == ZEROS  # the first Device's, which got nothing
    peer.send([(0x201, FEEDBACK)])
    wait_for_record(lambda: motor.get_watch_data(1), FEEDBACK_RECORD)


@needs_shim
def test_unregistered_slots_are_ignored_and_slot_9_is_slot_3(peer):
    motor = velmot.Motor("can0", HOST)
    low = motor.add_device(0, 0x201, "speed")
    high = motor.add_device(9, 0x203, "speed")
    assert (low.slot_index, high.slot_index) == (0, 3)
    assert motor.set_target(5, 7.0) is None and motor.set_target(9, 7.0) is None
    assert motor.get_watch_data(5) is None and motor.get_watch_data(9) is None
    assert (low.get_target(), high.get_target()) == (0.0, 0.0)
    motor.set_target(3, 1.5)
    assert high.get_target() == 1.5
    assert motor.get_watch_data(3) == ZEROS
    motor.broadcast()
    assert peer.recv(9)[-1] == (HOST, h("00 00 00 00 00 00 0F 00"))


@needs_shim
def test_mode_change_keeps_the_creation_scale(peer):
    motor = velmot.Motor("can0", HOST)
    device = motor.add_device(0, 0x201, "speed")
    device.enter_configure()
    device.set_foc_mode("position")
    device.exit_configure()
    motor.set_foc_mode_broadcast("current")
    device.set_target(10.0)
    motor.broadcast()
    assert peer.recv(10)[-1] == (HOST, h("64 00 00 00 00 00 00 00"))


# --- feedback ------------------------------------------------------------------------------------

@needs_shim
def test_feedback_reaches_the_device_with_that_node_id(peer):
    motor = velmot.Motor("can0", HOST)
    a = motor.add_device(0, 0x201, "speed")
    b = motor.add_device(1, 0x12345, "current")
    for read in (a.get_watch_data, b.get_watch_data, lambda: motor.get_watch_data(0)):
        assert read() == ZEROS
    assert motor.get_watch_data(2) is None
    # 0x2345 is b's destination address but not its node id: it matches no Device.
    peer.send([(0x201, FEEDBACK), (EFF | 0x2345, h("0000204100000000")),
               (EFF | 0x12345, h("000080BF9CFF6400"))])
    record = wait_for_record(a.get_watch_data, FEEDBACK_RECORD)
    assert list(record) == ["position", "speed", "current"]
    assert all(type(v) is float for v in record.values())
    wait_for_record(b.get_watch_data, {"position": -1.0, "speed": f32(-100 / 10.0),
                                       "current": 1.0})
    assert motor.get_watch_data(0) == FEEDBACK_RECORD
    assert motor.get_watch_data(slot_index=1) == b.get_watch_data()


@needs_shim
def test_simulated_drivers_are_configured_and_follow_their_targets(bus, sim_drivers):
    drivers = sim_drivers([(0x201, 0, "speed"), (0x202, 1, "current")], bus=bus, host=HOST,
                          feedback_hz=200)
    motor = velmot.Motor("can0", host_id=HOST)
    fast = motor.add_device(0, 0x201, "speed")
    slow = motor.add_device(1, 0x202, "SPEED")
    fast.set_target(10.0)
    motor.set_target(1, -5.0)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        motor.broadcast()
        speeds = fast.get_watch_data()["speed"], motor.get_watch_data(1)["speed"]
        if abs(speeds[0] - 10.0) < 0.25 and abs(speeds[1] + 5.0) < 0.25:
            break
        time.sleep(0.01)
    assert speeds == (pytest.approx(10.0, abs=0.25), pytest.approx(-5.0, abs=0.25))
    assert fast.get_watch_data()["position"] > 0 > slow.get_watch_data()["position"]
    for node in (0x201, 0x202):
        assert [r["open"] for r in drivers.records(node=node, event="session")] == [True, False]
        assert drivers.records(node=node, kind="rejected") == []
    assert [r["mode"] for r in drivers.records(node=0x202, event="mode")] == ["speed"]
    assert drivers.records(node=0x201, event="mode") == []
    assert drivers.records(node=0x201, event="target")[-1]["value"] == 10.0


# The receiver's lines go to the process's standard error; the script runs in its own process
# so that they can be read whole. It reports the first Device's record once the second Device
# has seen the last frame (frames are handled in bus order).
CONSOLE_SCRIPT = r'''
import json, sys, time
import velmot
motor = velmot.Motor("can0", 0x100)
a = motor.add_device(0, 0x201, "speed")
b = motor.add_device(1, 0x12345, "speed")
print("ready", flush=True)
deadline = time.monotonic() + 20
while b.get_watch_data()["position"] != 2.0 and time.monotonic() < deadline:
    time.sleep(0.005)
print(json.dumps([a.get_watch_data(), b.get_watch_data()]), flush=True)
'''


@needs_shim
def test_receiver_reports_unmatched_and_short_frames(peer):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(velmot.__file__)))
    proc = subprocess.Popen([sys.executable, "-c", CONSOLE_SCRIPT], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == "ready\n", proc.stderr.read()
        peer.recv(8)  # the two add sequences
        peer.send([(0x201, FEEDBACK),
                   (0x201, h("0000803F0000")),
                   (0x300, h("0102030405060708")),
                   (EFF | 0x2345, FEEDBACK),
                   (EFF | 0x1ABCDE, FEEDBACK),
                   (0x2AB, b""),
                   (EFF | 0x12345, h("0000004000000000"))])
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    first, second = json.loads(out)
    assert first == FEEDBACK_RECORD  # the 6-byte frame left it unchanged
    assert second == {"position": 2.0, "speed": 0.0, "current": 0.0}
    lines = [line for line in err.splitlines() if line.startswith(("[Motor]", "Warning:"))]
    assert lines == [
        "Warning: ignoring CAN frame 0x201 with unexpected length 6",
        "[Motor] unmatched feedback frame: id=0x300, data=[1, 2, 3, 4, 5, 6, 7, 8]",
        "[Motor] unmatched feedback frame: id=0x2345, data=[0, 0, 192, 63, 123, 0, 6, 255]",
        "[Motor] unmatched feedback frame: id=0x1ABCDE, data=[0, 0, 192, 63, 123, 0, 6, 255]",
        "Warning: ignoring CAN frame 0x2AB with unexpected length 0",
    ]


# --- construction --------------------------------------------------------------------------------

@needs_shim
@pytest.mark.parametrize("args,kwargs", [
    ((HOST,), {}), ((), {"host": HOST}), ((), {"host_id": HOST}), ((None, HOST), {}),
    ((HOST, None), {}), ((), {"host": None, "host_id": HOST}), ((), {"interface": "can0",
                                                                   "host": HOST})],
    ids=["positional", "host", "host_id", "none-then-id", "id-then-none", "host-none", "kw-iface"])
def test_host_id_forms_are_equivalent(bus, args, kwargs):
    if "interface" not in kwargs:
        args = ("can0",) + args
    motor = velmot.Motor(*args, **kwargs)
    assert (motor.host, motor.host_id) == (HOST, HOST)
    assert repr(motor) == "Motor(host=0x100, devices=0)"


@pytest.mark.parametrize("iface", ["can0", "nosuchcan0"])
@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, MISSING_HOST), ((None,), {}, MISSING_HOST), ((), {"host": None}, MISSING_HOST),
    ((None, None), {}, MISSING_HOST), ((), {"host": 1, "host_id": 2}, BOTH_HOSTS),
    ((1, 2), {}, BOTH_HOSTS), ((0,), {"host_id": 0}, BOTH_HOSTS)])
def test_host_id_rule_is_checked_before_the_interface(vcan_bus, iface, args, kwargs, message):
    vcan_bus("can0")
    with pytest.raises(ValueError) as err:
        velmot.Motor(iface, *args, **kwargs)
    assert str(err.value) == message


@needs_shim
def test_missing_interface_raises_oserror(bus):
    with pytest.raises(OSError):
        velmot.Motor("nosuchcan0", HOST)


@pytest.mark.parametrize("args,kwargs,exc,pattern", [
    ((b"can0", HOST), {}, TypeError, "^argument 'interface': "),
    (("can0", "256"), {}, TypeError, "^argument 'host': "),
    (("can0",), {"host_id": 1.0}, TypeError, "^argument 'host_id': "),
    (("can0", -1), {}, OverflowError, "^(?!argument)"),
    (("can0", 1 << 32), {}, OverflowError, "^(?!argument)"),
    (("can0",), {"hostid": 1}, TypeError, "unexpected keyword argument 'hostid'"),
    ((), {"host": 1}, TypeError, None),
])
def test_constructor_argument_errors(bus, args, kwargs, exc, pattern):
    with pytest.raises(exc, match=pattern):
        velmot.Motor(*args, **kwargs)


@needs_shim
def test_device_has_no_python_constructor(bus):
    with pytest.raises(TypeError):
        velmot.Device()
    motor = velmot.Motor("can0", HOST)
    first, again = motor.add_device(0, 0x201, "speed"), motor.add_device(0, 0x201, "speed")
    assert first is not again and type(first) is velmot.Device


# --- errors before anything is sent ------------------------------------------------------------

def call(target, name, *args, **kwargs):
    return lambda motor, device: getattr(motor if target == "motor" else device, name)(
        *args, **kwargs)


# (id, call, exception, message pattern)
BAD_CALLS = [
    ("add-torque", call("motor", "add_device", 0, 0x301, "Torque"), ValueError,
     "^%s$" % unknown_mode("torque")),
    ("add-empty-mode", call("motor", "add_device", 0, 0x301, ""), ValueError,
     "^%s$" % unknown_mode("")),
    ("add-mode-int", call("motor", "add_device", 0, 0x301, 1), TypeError, "^argument 'mode': "),
    ("add-slot-256", call("motor", "add_device", 256, 0x301, "speed"), OverflowError,
     "^(?!argument)"),
    ("add-slot-negative", call("motor", "add_device", -1, 0x301, "speed"), OverflowError,
     "^(?!argument)"),
    ("add-slot-float", call("motor", "add_device", 0.0, 0x301, "speed"), TypeError,
     "^argument 'slot_index': "),
    ("add-node-2^32", call("motor", "add_device", 0, 1 << 32, "speed"), OverflowError,
     "^(?!argument)"),
    ("add-node-str", call("motor", "add_device", 0, "0x301", "speed"), TypeError,
     "^argument 'node_id': "),
    ("add-extra-kw", call("motor", "add_device", 0, 0x301, "speed", slot=0), TypeError,
     "unexpected keyword argument 'slot'"),
    ("broadcast-mode", call("motor", "set_foc_mode_broadcast", "Torque"), ValueError,
     "^%s$" % unknown_mode("torque")),
    ("broadcast-mode-none", call("motor", "set_foc_mode_broadcast", None), TypeError,
     "^argument 'mode': "),
    ("device-mode", call("device", "set_foc_mode", "VOLTAGE"), ValueError,
     "^%s$" % unknown_mode("voltage")),
    ("device-mode-bytes", call("device", "set_foc_mode", b"speed"), TypeError,
     "^argument 'mode': "),
    ("motor-target-str", call("motor", "set_target", 0, "1.0"), TypeError, "^argument 'value': "),
    ("motor-target-slot", call("motor", "set_target", 300, 1.0), OverflowError, "^(?!argument)"),
    ("device-target-none", call("device", "set_target", None), TypeError, "^argument 'value': "),
    ("watch-slot", call("motor", "get_watch_data", -1), OverflowError, "^(?!argument)"),
]


@needs_shim
@pytest.mark.parametrize("case,fn,exc,pattern", BAD_CALLS, ids=[c[0] for c in BAD_CALLS])
def test_bad_arguments_raise_before_anything_is_sent(peer, case, fn, exc, pattern):
    motor = velmot.Motor("can0", HOST)
    device = motor.add_device(0, 0x201, "speed")
    device.set_target(1.0)
    with pytest.raises(exc, match=pattern):
        fn(motor, device)
    assert repr(motor) == "Motor(host=0x100, devices=1)"
    assert device.get_target() == 1.0
    frames = frames_through_marker(peer, motor, 4)
    assert frames == add_sequence(0x201, 1)


@needs_shim
def test_keyword_arguments(peer):
    motor = velmot.Motor(interface="can0", host=HOST)
    device = motor.add_device(mode="current", node_id=0x201, slot_index=2)
    motor.set_target(value=0.5, slot_index=2)
    assert device.get_target() == 0.5
    device.set_target(value=0.25)
    motor.set_foc_mode_broadcast(mode="speed")
    device.set_foc_mode(mode="current")
    assert motor.get_watch_data(slot_index=2) == ZEROS
    frames = frames_through_marker(peer, motor, 6)
    assert frames[4:] == [h("44 52 31 FF FF FF 11 C9"), config(0xFF, 0x201, 0x10)]


@needs_shim
@pytest.mark.parametrize("node_id,mode,message", [
    (0x20000000, "speed", "node_id 0x20000000 is not a CAN identifier (above 0x1FFFFFFF)"),
    # Above 29 bits and destination 0xFFFF: the identifier rule comes first.
    (0xFFFFFFFF, "speed", "node_id 0xFFFFFFFF is not a CAN identifier (above 0x1FFFFFFF)"),
    (0xFFFF, "position", "node_id 0xFFFF addresses every driver (destination 0xFFFF)"),
    (0x1FFFF, "speed", "node_id 0x1FFFF addresses every driver (destination 0xFFFF)"),
    (0x2FFFF, "current", "node_id 0x2FFFF addresses every driver (destination 0xFFFF)"),
    (0x1FFFFFFF, "speed", "node_id 0x1FFFFFFF addresses every driver (destination 0xFFFF)"),
    (0xFFFF, "Torque", unknown_mode("torque")),  # the mode is parsed first
])
def test_node_ids_that_cannot_name_one_driver_are_refused(peer, node_id, mode, message):
    motor = velmot.Motor("can0", HOST)
    with pytest.raises(ValueError) as raised:
        motor.add_device(1, node_id, mode)
    assert str(raised.value) == message
    assert repr(motor) == "Motor(host=0x100, devices=0)" and motor.get_watch_data(1) is None
    assert frames_through_marker(peer, motor, 0) == []


# --- representations and properties ------------------------------------------------------------

@needs_shim
@pytest.mark.parametrize("target,text", [
    (-5.0, "-5.0000"), (0.1, "0.1000"), (10.0, "10.0000"), (0.0, "0.0000"),
    (1e10, "10000000000.0000"), (123.45678, "123.4568"), (float("nan"), "NaN"),
    (float("inf"), "inf"), (float("-inf"), "-inf"), (1e40, "inf")])
def test_device_repr(bus, target, text):
    motor = velmot.Motor("can0", 0x1AB)
    device = motor.add_device(2, 0x20A, "speed")
    device.set_target(target)
    assert repr(device) == "Device(slot=2, node_id=0x20A, target=%s)" % text


@needs_shim
def test_motor_repr_counts_devices(bus):
    motor = velmot.Motor("can0", 0x1AB)
    assert repr(motor) == "Motor(host=0x1AB, devices=0)"
    motor.add_device(0, 0x201, "speed")
    motor.add_device(0, 0x201, "speed")
    assert repr(motor) == "Motor(host=0x1AB, devices=2)"
    assert repr(velmot.Motor("can0", 0x1ABCDEF)) == "Motor(host=0x1ABCDEF, devices=0)"
    assert repr(velmot.Motor("can0", 0)) == "Motor(host=0x0, devices=0)"


@needs_shim
@pytest.mark.parametrize("value,stored", [
    (0.1, 0.10000000149011612), (-5, -5.0), (1e-50, 0.0), (16777217, 16777216.0),
    (True, 1.0)])
def test_targets_are_single_precision(bus, value, stored):
    device = velmot.Motor("can0", HOST).add_device(0, 0x201, "speed")
    assert device.get_target() == 0.0
    assert device.set_target(value) is None
    assert device.get_target() == stored and type(device.get_target()) is float


@needs_shim
def test_nan_target_is_stored(bus):
    device = velmot.Motor("can0", HOST).add_device(0, 0x201, "speed")
    device.set_target(float("nan"))
    assert math.isnan(device.get_target())


@needs_shim
@pytest.mark.parametrize("slot,stored", [(0, 0), (3, 3), (4, 3), (7, 3), (255, 3)])
def test_properties(bus, slot, stored):
    motor = velmot.Motor("can0", 0x1FFFFFFF)
    device = motor.add_device(slot, 0x1FFFFFFE, "position")
    assert (device.slot_index, device.node_id) == (stored, 0x1FFFFFFE)
    assert (motor.host, motor.host_id) == (0x1FFFFFFF, 0x1FFFFFFF)
    for obj, name in ((motor, "host"), (motor, "host_id"), (device, "slot_index"),
                      (device, "node_id")):
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)


# --- host ids no CAN frame can carry -----------------------------------------------------------

EVERY_SEND = [
    ("add_device", (0, 0x201, "speed")), ("broadcast", ()), ("enter_configure_broadcast", ()),
    ("exit_configure_broadcast", ()), ("calibrate_broadcast", ()),
    ("set_foc_mode_broadcast", ("position",)),
]


@needs_shim
@pytest.mark.parametrize("host", [0x20000000, 0xFFFFFFFF])
def test_host_id_above_29_bits_raises_on_every_send(bus, capfd, host):
    motor = velmot.Motor("can0", host)
    assert motor.host == host
    for name, args in EVERY_SEND:
        with pytest.raises(OSError) as err:
            getattr(motor, name)(*args)
        assert str(err.value) == ID_TOO_LARGE and type(err.value) is OSError, name
    assert repr(motor) == "Motor(host=0x%X, devices=0)" % host
    assert motor.get_watch_data(0) is None
    motor.set_target(0, 1.0)  # no Device in slot 0: nothing to do, nothing to report
    # Once the Motor and its CAN device are gone, its I/O task has handled every queued frame.
    del motor
    gc.collect()
    mine = [c for c in bus.stats()["interfaces"]["can0"]["clients"] if c["pid"] == os.getpid()]
    deadline = time.monotonic() + 10
    while any(c["open"] for c in mine) and time.monotonic() < deadline:
        time.sleep(0.02)
        mine = [c for c in bus.stats()["interfaces"]["can0"]["clients"]
                if c["pid"] == os.getpid()]
    assert [(c["open"], c["sent"], c["refused"]) for c in mine] == [(False, 0, 0)]
    assert "Failed to send CAN frame" not in capfd.readouterr().err


@needs_shim
def test_mode_is_parsed_before_the_identifier_is_checked(bus):
    motor = velmot.Motor("can0", 0x20000000)
    with pytest.raises(ValueError, match="^%s$" % unknown_mode("torque")):
        motor.add_device(0, 0x201, "TORQUE")
    with pytest.raises(ValueError, match="^%s$" % unknown_mode("x")):
        motor.set_foc_mode_broadcast("X")


# --- lifetime ----------------------------------------------------------------------------------

@needs_shim
def test_device_outlives_its_motor(peer):
    motor = velmot.Motor("can0", HOST)
    device = motor.add_device(0, 0x201, "speed")
    peer.send([(0x201, FEEDBACK)])
    wait_for_record(device.get_watch_data, FEEDBACK_RECORD)
    del motor
    gc.collect()
    device.set_target(2.5)
    assert device.get_target() == 2.5
    device.enter_configure()
    device.set_foc_mode("current")
    device.exit_configure()
    device.start_calibration()
    assert device.get_watch_data() == FEEDBACK_RECORD
    assert repr(device) == "Device(slot=0, node_id=0x201, target=2.5000)"
    frames = peer.recv(9)
    assert [i for i, _ in frames] == [HOST] * 9
    assert [d for _, d in frames[4:]] == [
        h("44 52 31 73 01 02 03 54"), h("44 52 31 74 01 02 03 53"), config(0xFF, 0x201, 0x10),
        h("44 52 31 FF 01 02 00 DB"), h("44 52 31 FF 01 02 01 DA")]


# --- text signatures and docstrings ------------------------------------------------------------

MOTOR_METHODS = {
    "add_device": "($self, slot_index, node_id, mode)",
    "set_target": "($self, slot_index, value)",
    "broadcast": "($self)",
    "get_watch_data": "($self, slot_index)",
    "enter_configure_broadcast": "($self)",
    "exit_configure_broadcast": "($self)",
    "calibrate_broadcast": "($self)",
    "set_foc_mode_broadcast": "($self, mode)",
    "close": "($self)",
}
DEVICE_METHODS = {
    "set_target": "($self, value)",
    "get_target": "($self)",
    "get_watch_data": "($self)",
    "enter_configure": "($self)",
    "exit_configure": "($self)",
    "start_calibration": "($self)",
    "set_foc_mode": "($self, mode)",
}
PROPERTIES = {"Motor": ("host", "host_id"), "Device": ("slot_index", "node_id")}
METHODS = {"Motor": MOTOR_METHODS, "Device": DEVICE_METHODS}


def _is_chinese(text):
    return bool(text) and any("\u4e00" <= ch <= "\u9fff" for ch in text)


def test_class_signatures_and_docstrings():
    assert velmot.Motor.__text_signature__ == "(interface, host=None, host_id=None)"
    assert _is_chinese(velmot.Motor.__doc__) and not velmot.Motor.__doc__.startswith("Motor(")
    assert velmot.Device.__text_signature__ is None
    assert _is_chinese(velmot.Device.__doc__) and "--\n" not in velmot.Device.__doc__


@pytest.mark.parametrize("cls", sorted(METHODS))
def test_classes_have_only_the_listed_members(cls):
    klass = getattr(velmot, cls)
    public = {n for n in vars(klass) if not n.startswith("_")}
    assert public == set(METHODS[cls]) | set(PROPERTIES[cls])


@pytest.mark.skipif(IS_PYPY, reason="PyPy hides property docstrings of C types")
@pytest.mark.parametrize("cls,name", [(c, n) for c in sorted(PROPERTIES) for n in PROPERTIES[c]])
def test_property_docstrings(cls, name):
    doc = vars(getattr(velmot, cls))[name].__doc__
    assert _is_chinese(doc) and "--\n" not in doc
    if cls == "Motor":
        assert velmot.Motor.host.__doc__ == velmot.Motor.host_id.__doc__


@pytest.mark.skipif(IS_PYPY, reason="PyPy hides method docstrings of C types")
@pytest.mark.parametrize("cls,name", [(c, n) for c in sorted(METHODS) for n in METHODS[c]])
def test_method_signatures_and_docstrings(cls, name):
    fn = getattr(getattr(velmot, cls), name)
    assert fn.__text_signature__ == METHODS[cls][name]
    if (cls, name) == ("Motor", "set_foc_mode_broadcast"):
        assert not fn.__doc__  # a signature with no body
    else:
        assert _is_chinese(fn.__doc__) and not fn.__doc__.startswith(name + "(")

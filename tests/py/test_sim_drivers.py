"""Tests of the simulated DR v1 drivers (sim/vcansim): the frame codec against the documented
example frames, the driver's session / mode / zero handling, the motor model, the selector loop
over a socketpair stand-in (both interpreters), and the launcher end to end on the simulated bus
with a hand-written host script in a CPython subprocess."""
import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

_REPO = pathlib.Path(__file__).resolve().parents[2]

from vcansim import dr_v1_frames as fr
from vcansim import drivers as dv
from vcansim.driver_fixture import cpython_executable, sim_env
from vcansim.dr_v1_frames import FocMode

HOST = 0x100


def h(text):
    return bytes.fromhex(text)


# --- codec --------------------------------------------------------------------------------------

CONFIG_EXAMPLES = [
    (0x73, 0x0201, 0x03, "44 52 31 73 01 02 03 54"),
    (0x74, 0x0201, 0x03, "44 52 31 74 01 02 03 53"),
    (0xFF, 0x0201, 0x00, "44 52 31 FF 01 02 00 DB"),
    (0xFF, 0x0201, 0x01, "44 52 31 FF 01 02 01 DA"),
    (0xFF, 0x0201, 0x11, "44 52 31 FF 01 02 11 CA"),
    (0x73, 0xFFFF, 0x03, "44 52 31 73 FF FF 03 57"),
    (0x74, 0xFFFF, 0x03, "44 52 31 74 FF FF 03 50"),
    (0xFF, 0xFFFF, 0x00, "44 52 31 FF FF FF 00 D8"),
    (0xFF, 0xFFFF, 0x01, "44 52 31 FF FF FF 01 D9"),
    (0xFF, 0xFFFF, 0x10, "44 52 31 FF FF FF 10 C8"),
    (0xFF, 0xFFFF, 0x11, "44 52 31 FF FF FF 11 C9"),
    (0xFF, 0xFFFF, 0x12, "44 52 31 FF FF FF 12 CA"),
]


@pytest.mark.parametrize("command,dest,ctl,wire", CONFIG_EXAMPLES)
def test_config_frames_match_the_documented_bytes(command, dest, ctl, wire):
    data = h(wire)
    assert fr.build_config_frame(command, dest, ctl) == data
    parsed = fr.parse_config_frame(data)
    assert parsed.error is None
    assert (parsed.command, parsed.destination, parsed.ctl) == (command, dest, ctl)
    assert fr.checksum(data) == data[7]


@pytest.mark.parametrize("index", range(8))
def test_any_corrupted_config_byte_fails_the_checksum(index):
    data = bytearray(h("44 52 31 FF 01 02 11 CA"))
    data[index] ^= 0x04
    assert "checksum" in fr.parse_config_frame(bytes(data)).error


@pytest.mark.parametrize("wire", ["44 52 31 FF 01 02 11", "44 52 31 FF 01 02 11 CA 00"])
def test_config_frames_of_the_wrong_length_are_rejected(wire):
    assert fr.is_config_frame(h(wire))
    assert "length" in fr.parse_config_frame(h(wire)).error


def test_node_id_above_16_bits_is_addressed_by_its_low_bits():
    frame = fr.parse_config_frame(h("44 52 31 FF 45 23 11 AF"))   # node id 0x12345, mode speed
    assert frame.error is None
    assert frame.addresses(0x12345) and frame.addresses(0x2345) and not frame.addresses(0x201)
    assert fr.parse_config_frame(h("44 52 31 FF FF FF 00 D8")).addresses(0x201)


@pytest.mark.parametrize("slot,raw", [(0, 100), (1, -50), (2, 0), (3, 32767)])
def test_target_slots_are_little_endian_i16(slot, raw):
    data = h("64 00 CE FF 00 00 FF 7F")
    assert fr.target_slot_raw(data, slot) == raw
    assert fr.pack_targets([100, -50, 0, 32767]) == data


@pytest.mark.parametrize("mode,raw,value", [
    (FocMode.SPEED, 100, 10.0), (FocMode.SPEED, -50, -5.0), (FocMode.CURRENT, 123, 1.23),
    (FocMode.POSITION, 32767, 327.67), (FocMode.SPEED, -32768, -3276.8)])
def test_target_scales_per_mode(mode, raw, value):
    assert fr.target_value(raw, mode) == pytest.approx(value)


@pytest.mark.parametrize("values,wire", [
    ((1.5, 12.3, -2.5), "00 00 C0 3F 7B 00 06 FF"),
    ((0.0, 5000.0, -400.0), "00 00 00 00 FF 7F 00 80"),   # saturates to the i16 range
    ((0.0, float("nan"), 0.004), "00 00 00 00 00 00 00 00"),
])
def test_feedback_encoding(values, wire):
    assert fr.encode_feedback(*values) == h(wire)


def test_feedback_decodes_like_a_host():
    position, speed, current = fr.decode_feedback(h("00 00 C0 3F 7B 00 06 FF"))
    assert (position, current) == (1.5, -2.5) and speed == pytest.approx(12.3)


@pytest.mark.parametrize("can_id,raw_id", [(0x201, 0x201), (0x7FF, 0x7FF),
                                           (0x12345, 0x12345 | fr.CAN_EFF_FLAG)])
def test_can_frames_round_trip(can_id, raw_id):
    raw = fr.pack_can_frame(can_id, b"\x01\x02\x03")
    assert len(raw) == 16 and int.from_bytes(raw[:4], sys.byteorder) == raw_id
    assert fr.unpack_can_frame(raw) == (can_id, raw_id & fr.CAN_EFF_FLAG, b"\x01\x02\x03")


@pytest.mark.parametrize("raw", [b"\x00" * 15, b"\x00" * 17,
                                 (0x100).to_bytes(4, sys.byteorder) + b"\x09" + b"\x00" * 11])
def test_malformed_can_frames_are_refused(raw):
    assert fr.unpack_can_frame(raw) is None


@pytest.mark.parametrize("text,expected", [
    ("0x201:0", (0x201, 0, FocMode.SPEED)), ("0x202:3:Position", (0x202, 3, FocMode.POSITION)),
    ("513:1:current", (513, 1, FocMode.CURRENT))])
def test_driver_arguments(text, expected):
    assert dv.parse_driver(text) == expected


@pytest.mark.parametrize("text", ["0x201", "0x201:4", "0x201:0:torque", "x:0", "0x201:0:speed:1"])
def test_bad_driver_arguments(text):
    with pytest.raises(Exception):
        dv.parse_driver(text)


# --- driver state -------------------------------------------------------------------------------

ENTER = ["44 52 31 73 01 02 03 54", "44 52 31 74 01 02 03 53"]
END = "44 52 31 FF 01 02 00 DB"
B_ENTER = ["44 52 31 73 FF FF 03 57", "44 52 31 74 FF FF 03 50"]


@pytest.mark.parametrize("frames,session,mode,zeros", [
    (ENTER, True, FocMode.SPEED, 0),
    (ENTER + ["44 52 31 FF 01 02 12 C9", END], False, FocMode.POSITION, 0),
    (B_ENTER + ["44 52 31 FF FF FF 10 C8", "44 52 31 FF FF FF 01 D9"], True, FocMode.CURRENT, 1),
    (["44 52 31 FF 01 02 12 C9", "44 52 31 FF 01 02 01 DA"], False, FocMode.SPEED, 0),  # no session
    (ENTER[1:], False, FocMode.SPEED, 0),                                  # second frame alone
    (ENTER + ["44 52 31 FF 01 02 12 00"], True, FocMode.SPEED, 0),         # bad checksum
    (ENTER + ["44 52 31 FF 01 02 12"], True, FocMode.SPEED, 0),            # short frame
    (["44 52 31 73 02 02 03 57", "44 52 31 74 02 02 03 50"], False, FocMode.SPEED, 0),  # 0x202
    (["44 52 31 73 01 02 04 53", "44 52 31 74 01 02 04 54"], False, FocMode.SPEED, 0),  # CTL 4
], ids=["enter", "set-mode", "broadcast", "no-session", "half-enter", "checksum", "short",
        "other-node", "bad-ctl"])
def test_configuration_sequences(frames, session, mode, zeros):
    drv = dv.SimDriver(0x201, 0, FocMode.SPEED)
    for i, wire in enumerate(frames):
        drv.on_frame(HOST, h(wire), now=0.01 * i)
    assert (drv.session_open, drv.mode, drv.zero_requests) == (session, mode, zeros)


def test_rejections_and_state_changes_are_reported():
    drv = dv.SimDriver(0x201, 0)
    records = [r for wire in ENTER + ["44 52 31 FF 01 02 12 00", "44 52 31 FF 01 02 11 CA",
                                       "44 52 31 FF 01 02 01 DA", "64 00 00", END]
               for r in drv.on_frame(HOST, h(wire), 0.0)]
    changes = [(r["event"], r.get("open", r.get("mode"))) for r in records if r["event"] != "rx"]
    assert changes == [("session", True), ("zero", None), ("session", False)]
    rejected = [r["reason"] for r in records if r.get("kind") == "rejected"]
    assert len(rejected) == 2 and "checksum" in rejected[0] and "length 3" in rejected[1]


@pytest.mark.parametrize("mode,raw,check", [
    (FocMode.SPEED, 100, lambda m: m.speed == pytest.approx(10.0, abs=0.01)),
    (FocMode.SPEED, -50, lambda m: m.speed == pytest.approx(-5.0, abs=0.01) and m.position < -5),
    (FocMode.CURRENT, 150, lambda m: m.current == pytest.approx(1.5, abs=0.01)
     and m.speed == pytest.approx(15.0, rel=0.02)),
    (FocMode.POSITION, 314, lambda m: m.position == pytest.approx(3.14, abs=0.01)
     and abs(m.speed) < 0.05),
])
def test_motor_follows_its_slot(mode, raw, check):
    drv = dv.SimDriver(0x202, 2, mode)
    drv.on_frame(HOST, fr.pack_targets([7, 7, raw, 7]), 0.0)
    for step in range(1, 301):       # 3 s of feedback at 100 Hz
        drv.feedback(step * 0.01)
    assert check(drv.model)


def test_speed_reaches_most_of_a_step_within_a_few_time_constants():
    drv = dv.SimDriver(0x201, 0)
    drv.on_frame(HOST, fr.pack_targets([100, 0, 0, 0]), 0.0)
    _, speed, current = fr.decode_feedback(drv.feedback(0.05))
    assert 5.5 < speed < 7.0 and current > 0        # one time constant: ~63 %
    _, speed, _ = fr.decode_feedback(drv.feedback(0.25))
    assert speed == pytest.approx(10.0, abs=0.1)


def test_zero_request_resets_position():
    drv = dv.SimDriver(0x201, 0)
    drv.on_frame(HOST, fr.pack_targets([100, 0, 0, 0]), 0.0)
    drv.feedback(1.0)
    assert drv.model.position > 5
    for wire in ENTER + ["44 52 31 FF 01 02 01 DA"]:
        drv.on_frame(HOST, h(wire), 1.0)
    assert fr.decode_feedback(drv.feedback(1.0))[0] == 0.0


# --- selector loop over a socketpair stand-in -----------------------------------------------------

class StandInBus:
    """DriverHost on one end of a SOCK_SEQPACKET socketpair, its loop in a thread."""

    def __init__(self, drivers, **kw):
        self.peer, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.lines = []
        self.host = dv.DriverHost(theirs, drivers, log=self, **kw)
        self.status = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        self.peer.settimeout(5.0)

    def _run(self):
        self.status = self.host.run()

    def write(self, text):
        self.lines.append(json.loads(text))

    def flush(self):
        pass

    def send(self, can_id, data):
        self.peer.send(fr.pack_can_frame(can_id, data))

    def stop(self):
        self.host.stop()
        self.thread.join(10)
        self.peer.close()
        return self.status


def _wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)


@pytest.mark.parametrize("host_id,sender,accepted", [
    (None, 0x100, True), (None, 0x7FF, True), (None, 0x202, False), (None, 0x201, False),
    (0x100, 0x100, True), (0x100, 0x101, False), (0x12345, 0x12345, True), (0x12345, 0x2345, False),
])
def test_host_filter(host_id, sender, accepted):
    bus = StandInBus([dv.SimDriver(0x201, 0), dv.SimDriver(0x202, 1)], feedback_hz=0,
                     host_id=host_id)
    marker = 0x1FF if host_id is None else host_id
    try:
        for wire in B_ENTER:
            bus.send(sender, h(wire))
        bus.send(marker, b"")   # frames are handled in order: once the marker is, so are they
        _wait_for(lambda: any(r.get("data") == "" for r in bus.lines))
    finally:
        assert bus.stop() == 0
    sessions = [r["node"] for r in bus.lines if r["event"] == "session"]
    assert sessions == ([0x201, 0x202] if accepted else [])


def test_loop_sends_feedback_with_node_ids_and_follows_targets():
    bus = StandInBus([dv.SimDriver(0x201, 0), dv.SimDriver(0x12345, 3)], feedback_hz=100)
    try:
        bus.send(HOST, fr.pack_targets([100, 0, 0, -50]))
        time.sleep(0.8)
        bus.peer.setblocking(False)
        latest = {}
        while True:
            try:
                can_id, flags, data = fr.unpack_can_frame(bus.peer.recv(16))
            except BlockingIOError:
                break
            latest[can_id] = data
            assert flags == (fr.CAN_EFF_FLAG if can_id > 0x7FF else 0)
    finally:
        assert bus.stop() == 0
    assert set(latest) == {0x201, 0x12345}
    assert fr.decode_feedback(latest[0x201])[1] == pytest.approx(10.0, abs=0.3)
    assert fr.decode_feedback(latest[0x12345])[1] == pytest.approx(-5.0, abs=0.3)


def test_loop_ends_with_status_1_when_the_bus_goes_away():
    bus = StandInBus([dv.SimDriver(0x201, 0)], feedback_hz=0)
    bus.peer.close()
    bus.thread.join(10)
    assert bus.status == 1


def test_malformed_bus_messages_are_logged_not_fatal():
    bus = StandInBus([dv.SimDriver(0x201, 0)], feedback_hz=0)
    bus.peer.send(b"\x00" * 5)
    for wire in ENTER:
        bus.send(HOST, h(wire))
    _wait_for(lambda: any(r["event"] == "session" for r in bus.lines))
    assert bus.stop() == 0
    assert bus.lines[1]["reason"] == "malformed can_frame"
    assert any(r["event"] == "session" for r in bus.lines)


# --- end to end on the simulated bus -----------------------------------------------------------

def _bus_available():
    build = pathlib.Path(os.environ.get("VCAN_BUILD_DIR", _REPO / "build" / "cpython"))
    needed = [build / "bin" / "vcanbusd", build / "lib" / "libvcan_preload.so",
              _REPO / "sim" / "vcansim" / "bus.py"]
    return all(path.exists() for path in needed)


needs_bus = pytest.mark.skipif(not _bus_available(), reason="the simulated CAN bus is not built")

# The host side written by hand with Python's socket module: literal frames, not our codec.
HOST_SCRIPT = textwrap.dedent(r'''
    import json, socket, struct, sys, time
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind(("can0",))
    def send(hexdata, can_id=0x100):
        data = bytes.fromhex(hexdata)
        s.send(struct.pack("=IB3x8s", can_id, len(data), data))
    for wire in ["44 52 31 73 01 02 03 54", "44 52 31 74 01 02 03 53",  # enter session, 0x201
                 "44 52 31 FF 01 02 11 CA",                             # set mode speed
                 "44 52 31 FF 01 02 12 00",                             # position, bad checksum
                 "44 52 31 FF 01 02 00 DB"]:                            # end session
        send(wire)
    latest, counts = {}, {}
    s.settimeout(0.01)
    end = time.monotonic() + float(sys.argv[1])
    next_send = 0.0
    while time.monotonic() < end:
        if time.monotonic() >= next_send:
            send("64 00 CE FF 00 00 00 00")     # slot 0: 10 rad/s, slot 1: -5 rad/s
            next_send = time.monotonic() + 0.01
        try:
            can_id, dlc, data = struct.unpack("=IB3x8s", s.recv(16))
        except socket.timeout:
            continue
        pos, speed, current = struct.unpack("<fhh", data[:dlc])
        latest[can_id] = [pos, speed / 10.0, current / 100.0]
        counts[can_id] = counts.get(can_id, 0) + 1
    print(json.dumps({"latest": latest, "counts": counts}))
''')


@needs_bus
def test_drivers_on_the_bus_follow_a_hand_written_host(sim_drivers, tmp_path):
    drv = sim_drivers([(0x201, 0, "current"), (0x202, 1, "speed")], feedback_hz=100)
    done = subprocess.run([cpython_executable(), "-c", HOST_SCRIPT, "1.5"], env=drv.env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    latest = {int(k): v for k, v in result["latest"].items()}
    assert all(n > 20 for n in result["counts"].values()) and len(result["counts"]) == 2
    assert latest[0x201][1] == pytest.approx(10.0, abs=0.3) and latest[0x201][0] > 3
    assert latest[0x202][1] == pytest.approx(-5.0, abs=0.3) and latest[0x202][0] < -1.5

    n1 = 0x201
    assert [r["mode"] for r in drv.records(node=n1, event="mode")] == ["speed"]
    assert [r["open"] for r in drv.records(node=n1, event="session")] == [True, False]
    assert "checksum" in drv.records(node=n1, kind="rejected")[0]["reason"]
    # A corrupted frame's destination cannot be trusted: every driver rejects it.
    assert len(drv.records(node=0x202, kind="other-dest")) == 4
    assert len(drv.records(node=0x202, kind="rejected")) == 1
    assert drv.records(node=0x202, event="target")[0]["value"] == -5.0
    assert drv.stop() == 0


def test_launcher_refuses_an_interface_it_cannot_open():
    done = subprocess.run([cpython_executable(), "-m", "vcansim.drivers", "--iface", "nosuchcan0",
                           "--driver", "0x201:0"], env=sim_env(os.environ),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stdout == ""
    assert "cannot open CAN interface nosuchcan0" in done.stderr


@needs_bus
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_launcher_exits_cleanly_on_signals(sim_drivers, signum):
    drv = sim_drivers([(0x201, 0), (0x202, 1, "position")], host=HOST)
    starts = drv.wait_for(event="start", node=0x202)
    assert starts["mode"] == "position" and starts["slot"] == 1
    drv.proc.send_signal(signum)
    assert drv.proc.wait(30) == 0


@needs_bus
def test_launcher_reports_a_missing_interface(sim_drivers):
    with pytest.raises(RuntimeError, match="not ready"):
        sim_drivers([(0x201, 0)], iface="nosuchcan")


# A loop woken 10 periods late sends one round, or, within its catch-up window, every late round.
@pytest.mark.parametrize("catch_up, rounds", [(0.0, 1), (0.05, 11), (0.005, 6)])
def test_late_feedback_rounds_within_the_catch_up_window_are_sent(catch_up, rounds):
    now = [100.0]
    peer, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    host = dv.DriverHost(theirs, [dv.SimDriver(0x201, 0), dv.SimDriver(0x202, 1)], feedback_hz=1000,
                         clock=lambda: now[0], catch_up=catch_up)
    now[0] += 0.010
    next_deadline = host._maybe_send_feedback(100.0)
    peer.setblocking(False)
    frames = []
    while True:
        try:
            frames.append(peer.recv(16))
        except BlockingIOError:
            break
    peer.close()
    theirs.close()
    assert len(frames) == 2 * rounds and next_deadline > now[0]

"""The virtual CAN bus (vcanbusd + libvcan_preload.so) seen by independent peers: can-utils,
Python's socket module and python-can, each in its own process, must see the bus as they would see
a kernel CAN interface; without VCAN_SIM_DIR the shim must change nothing."""
import json
import os
import socket
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.skipif(sys.implementation.name != "cpython",
                                reason="peers need CPython: PyPy's socket module has no AF_CAN")

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from vcansim.bus import Bus

CAN_EFF_FLAG = 0x80000000
CAN_INV_FILTER = 0x20000000
CAN_SFF_MASK = 0x7FF
SOL_CAN_RAW = 101
# qemu-user (VELMOT_EMULATED=1) translates SO_TIMESTAMP but refuses SO_TIMESTAMPNS on every socket.
EMULATED = os.environ.get("VELMOT_EMULATED") == "1"
CAN_RAW_FILTER, CAN_RAW_LOOPBACK, CAN_RAW_RECV_OWN_MSGS = 1, 3, 4
SYNC_ID = 0x7AB

# Peer program: `python -c PEER MODE JSON-ARGS`. Frames are [can_id, hex data].
PEER = r'''
import json, os, select, socket, struct, sys, time
FMT = "<IB3x8s"
def frame(can_id, data):
    data = bytes.fromhex(data)
    return struct.pack(FMT, can_id, len(data), data)
def parse(raw):
    can_id, dlc, data = struct.unpack(FMT, raw)
    return [can_id, data[:dlc].hex()]
def open_can(iface, filters=None, own=False, rcvbuf=None):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    if filters is not None:
        s.setsockopt(101, 1, b"".join(struct.pack("<II", i, m) for i, m in filters))
    if own:
        s.setsockopt(101, 4, 1)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((iface,))
    return s
def recv_until(s, stop, deadline=30):
    s.settimeout(deadline)
    out = []
    while True:
        got = parse(s.recv(16))
        out.append(got)
        if stop(got, out): return out
def drain(s):
    s.setblocking(False)
    out = []
    while True:
        try: out.append(parse(s.recv(16)))
        except BlockingIOError: return out
def settle(sync_iface):
    # A frame of our own coming back proves the daemon finished every earlier forwarding pass.
    s = open_can(sync_iface, own=True)
    s.send(frame(0x7AB, "55"))
    recv_until(s, lambda got, out: got[0] == 0x7AB)
mode, args = sys.argv[1], json.loads(sys.argv[2])
if mode == "send":
    s = open_can(args["iface"])
    for can_id, data in args["frames"]:
        s.send(frame(can_id, data))
elif mode == "recv":
    s = open_can(args["iface"], args.get("filters"), rcvbuf=args.get("rcvbuf"))
    print("ready", flush=True)
    if args.get("wait"):
        sys.stdin.readline()
        print(json.dumps(drain(s)), flush=True)
    else:
        print(json.dumps(recv_until(s, lambda got, out: len(out) == args["count"])), flush=True)
elif mode == "filtered":
    f = open_can(args["iface"], args["filters"])
    marker = open_can(args["iface"])
    print("ready", flush=True)
    recv_until(marker, lambda got, out: got[0] == args["end"])
    settle(args["sync"])
    print(json.dumps(drain(f)), flush=True)
elif mode == "own":
    a = open_can(args["iface"], own=args["own"])
    b = open_can(args["iface"])
    a.send(frame(0x100, "01"))
    b.send(frame(0x200, "02"))
    print(json.dumps(recv_until(a, lambda got, out: got[0] == 0x200)), flush=True)
'''


@pytest.fixture
def bus():
    with Bus(("can0", "can1")) as b:
        yield b


def peer(bus, mode, **args):
    """Starts a peer process on `bus`; returns the Popen (text pipes)."""
    return subprocess.Popen([sys.executable, "-c", PEER, mode, json.dumps(args)], env=bus.env(),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def started(proc):
    """Waits for a receiving peer's "ready" line (printed once its socket is bound)."""
    line = proc.stdout.readline()
    assert line == "ready\n", proc.stderr.read()
    return proc


def result(proc, timeout=60):
    out, err = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, err
    return json.loads(out.splitlines()[-1])


def send(bus, iface, frames):
    done = subprocess.run([sys.executable, "-c", PEER, "send", json.dumps({"iface": iface, "frames": frames})],
                          env=bus.env(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def clients(bus, iface="can0"):
    return bus.stats()["interfaces"][iface]["clients"]


def client_of(bus, pid, iface="can0"):
    matches = [c for c in clients(bus, iface) if c["pid"] == pid]
    assert len(matches) == 1, clients(bus, iface)
    return matches[0]


def wait_for(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.02)


@pytest.mark.parametrize("extended", [False, True], ids=["standard", "extended"])
def test_python_sockets_exchange_frames_between_processes(bus, extended):
    ids = [0x000, 0x123, 0x7FF] if not extended else [0x800, 0x1ABCDEF, 0x1FFFFFFF]
    frames = [[(i | CAN_EFF_FLAG) if extended else i, bytes(range(n)).hex()]
              for i in ids for n in range(9)]
    receiver = started(peer(bus, "recv", iface="can1", count=len(frames)))
    send(bus, "can1", frames)
    assert result(receiver) == frames


def test_cansend_reaches_candump(bus):
    candump = subprocess.Popen(["candump", "-n", "3", "-L", "can0"], env=bus.env(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for(lambda: any(c["open"] for c in clients(bus)), "candump to join the bus")
    time.sleep(0.2)  # candump applies its options right after joining
    for text in ("123#DEADBEEF", "1ABCDEF0#", "7FF#0102030405060708"):
        done = subprocess.run(["cansend", "can0", text], env=bus.env(), capture_output=True,
                              text=True, timeout=30)
        assert done.returncode == 0, done.stderr
    out, err = candump.communicate(timeout=30)
    assert candump.returncode == 0, err
    # -L lines: "(timestamp) can0 ID#DATA"
    assert [line.split()[1:] for line in out.splitlines()] == [
        ["can0", "123#DEADBEEF"], ["can0", "1ABCDEF0#"], ["can0", "7FF#0102030405060708"]]


@pytest.mark.skipif(EMULATED, reason="python-can's SocketCAN bus sets SO_TIMESTAMPNS")
def test_python_can_sends_and_receives(bus):
    code = r'''
import can, sys
with can.Bus(interface="socketcan", channel="can0") as b:
    if sys.argv[1] == "send":
        b.send(can.Message(arbitration_id=0x1F2E3D, is_extended_id=True, data=[1, 2, 3]))
        b.send(can.Message(arbitration_id=0x321, is_extended_id=False, data=[]))
        assert b.recv(0.3) is None, "own frame received"
    else:
        print("ready", flush=True)
        for _ in range(2):
            m = b.recv(30)
            print(m.arbitration_id, m.is_extended_id, bytes(m.data).hex(), m.channel,
                  abs(m.timestamp - __import__("time").time()) < 600, flush=True)
'''
    try:
        import can  # noqa: F401
    except ImportError:
        pytest.skip("python-can is not installed in this interpreter")
    receiver = started(subprocess.Popen([sys.executable, "-c", code, "recv"], env=bus.env(),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    sender = subprocess.run([sys.executable, "-c", code, "send"], env=bus.env(),
                            capture_output=True, text=True, timeout=60)
    assert sender.returncode == 0, sender.stderr
    out, err = receiver.communicate(timeout=60)
    assert receiver.returncode == 0, err
    assert out.splitlines() == ["2043453 True 010203 can0 True", "801 False  can0 True"]


@pytest.mark.parametrize("own", [False, True], ids=["default", "recv_own_msgs"])
def test_own_frames_come_back_only_when_asked_for(bus, own):
    proc = peer(bus, "own", iface="can0", own=own)
    expected = ([[0x100, "01"]] if own else []) + [[0x200, "02"]]
    assert result(proc) == expected


FILTER_CASES = {
    "range": ([[0x100, 0x700]], [0x100, 0x1FF]),
    # Without CAN_EFF_FLAG in the mask the frame format is not compared.
    "exact_two": ([[0x10, CAN_SFF_MASK], [0x20, CAN_SFF_MASK]], [0x10, 0x20, CAN_EFF_FLAG | 0x10]),
    "inverted": ([[CAN_INV_FILTER | 0x10, CAN_SFF_MASK]], None),  # all but 0x10 in either format
    "extended_only": ([[CAN_EFF_FLAG, CAN_EFF_FLAG]], [CAN_EFF_FLAG | 0x10, CAN_EFF_FLAG | 0x1FFFFFFF]),
    "standard_only": ([[0x10, CAN_EFF_FLAG | CAN_SFF_MASK]], [0x10]),
    "empty_list": ([], []),
}


@pytest.mark.parametrize("case", sorted(FILTER_CASES))
def test_receive_filters_hold(bus, case):
    filters, expected_ids = FILTER_CASES[case]
    sent_ids = [0x10, 0x20, 0x100, 0x1FF, 0x200, CAN_EFF_FLAG | 0x10, CAN_EFF_FLAG | 0x1FFFFFFF]
    if expected_ids is None:
        expected_ids = [i for i in sent_ids if i & CAN_SFF_MASK != 0x10]
    end = 0x7F0
    receiver = started(peer(bus, "filtered", iface="can0", filters=filters, end=end, sync="can1"))
    send(bus, "can0", [[i, "aa"] for i in sent_ids] + [[end, ""]])
    got = [can_id for can_id, _ in result(receiver)]
    expected = expected_ids + ([end] if case == "inverted" else [])
    assert got == expected


def test_malformed_writes_are_refused_and_counted(bus):
    code = r'''
import socket, struct, sys
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind(("can0",))
for bad in (b"", b"x" * 15, b"x" * 17, b"x" * 72, struct.pack("<IB3x8s", 0x10, 9, b""),
            b"VCNC" + b"\0" * 20):
    s.send(bad)
s.send(struct.pack("<IB3x8s", 0x10, 1, b"\x01"))
'''
    receiver = started(peer(bus, "recv", iface="can0", count=1))
    done = subprocess.run([sys.executable, "-c", code], env=bus.env(), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert result(receiver) == [[0x10, "01"]]
    writers = [c for c in clients(bus) if c["sent"] == 1]
    assert len(writers) == 1
    assert writers[0]["refused"] == 6
    assert all(c["refused"] == 0 for c in clients(bus) if c["id"] != writers[0]["id"])


def test_slow_reader_loses_frames_while_others_get_all(bus):
    count = 3000
    slow = started(peer(bus, "recv", iface="can0", wait=True, rcvbuf=4096))
    fast = started(peer(bus, "recv", iface="can0", count=count))
    send(bus, "can0", [[i % 0x800, "%04x" % (i & 0xFFFF)] for i in range(count)])
    assert len(result(fast)) == count

    def settled():
        return all(c["delivered"] + c["dropped"] == count
                   for c in clients(bus) if c["pid"] in (slow.pid, fast.pid))
    wait_for(settled, "the daemon to finish forwarding")
    slow_stats, fast_stats = client_of(bus, slow.pid), client_of(bus, fast.pid)
    assert fast_stats["dropped"] == 0 and fast_stats["delivered"] == count
    assert slow_stats["dropped"] > 0
    slow.stdin.write("\n")
    slow.stdin.flush()
    kept = result(slow)
    assert len(kept) == slow_stats["delivered"]
    assert kept == sorted(kept, key=lambda f: int(f[1], 16))  # what it kept is in order


SHIM_CHECK = r'''
import errno, json, socket, sys
out = {"lo": socket.if_nametoindex("lo")}
inet = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
inet.bind(("127.0.0.1", 0))
out["inet"] = inet.getsockname()[0]
try:
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    out["can"] = "created"
    try:
        s.bind(("lo",))
        out["bind_lo"] = "bound"
    except OSError as e:
        out["bind_lo"] = errno.errorcode[e.errno]
    number = s.fileno()
    s.close()
    # The closed CAN socket's number, reused by a plain socket, must be plain again.
    again = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    again.bind(("127.0.0.1", 0))
    out["reused"] = [again.fileno() == number, again.getsockname()[0]]
except OSError as e:
    out["can"] = errno.errorcode[e.errno]
try:
    out["can0"] = socket.if_nametoindex("can0")
except OSError:
    out["can0"] = "missing"
print(json.dumps(out))
'''


@pytest.mark.parametrize("simulated", [False, True], ids=["VCAN_SIM_DIR_unset", "on_the_bus"])
def test_shim_leaves_everything_else_unchanged(bus, simulated):
    env = bus.env()
    if not simulated:
        del env["VCAN_SIM_DIR"]
    done = subprocess.run([sys.executable, "-c", SHIM_CHECK], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["lo"] == 1 and out["inet"] == "127.0.0.1"
    if simulated:
        assert out["can"] == "created" and out["bind_lo"] == "ENODEV"
        assert out["reused"] == [True, "127.0.0.1"] and out["can0"] == 100
    else:
        assert out["can"] == "EAFNOSUPPORT" and out["can0"] == "missing"


def test_simulated_socket_reports_can_identity_and_timestamps(bus):
    code = r'''
import json, os, socket, struct, sys, time
a = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
b = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
a.bind(("can1",)); b.bind(("can1",))
out = {"name": a.getsockname(), "index": socket.if_indextoname(101),
       "identity": [a.getsockopt(socket.SOL_SOCKET, o) for o in (socket.SO_TYPE, 39, 38)]}
dup = a.dup()
out["dup_name"] = dup.getsockname()
b.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("<II", 0x10, 0x7FF))
out["filter"] = b.getsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, 8).hex()
stamps = []
for option in json.loads(sys.argv[1]):
    b.setsockopt(socket.SOL_SOCKET, option, 1)
    a.send(struct.pack("<IB3x8s", 0x10, 0, b""))
    data, anc, flags, addr = b.recvmsg(16, 256)
    (level, kind, raw), = anc
    sec, frac = struct.unpack("ll", raw)  # the old timeval and timespec: two C longs
    stamps.append([kind == option, addr, abs(sec - time.time()) < 600])
    b.setsockopt(socket.SOL_SOCKET, option, 0)
out["stamps"] = stamps
print(json.dumps(out))
'''
    options = [29] if EMULATED else [29, 35]  # SO_TIMESTAMP, SO_TIMESTAMPNS
    done = subprocess.run([sys.executable, "-c", code, json.dumps(options)], env=bus.env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["name"] == ["can1"] and out["dup_name"] == ["can1"] and out["index"] == "can1"
    assert out["identity"] == [socket.SOCK_RAW, 29, 1]  # SOCK_RAW, AF_CAN, CAN_RAW
    assert out["filter"] == "10000000ff070000"
    assert out["stamps"] == [[True, ["can1"], True]] * len(options)

"""Socket-level behaviour of SocketCAN raw sockets, as a transcript: one line per observation,
"case: what happened". Run on the kernel's vcan links (tests/kernel/run-guest) and on the
simulated bus (sim/with-bus --vcan can0,vcan0); compare_fidelity.py compares the two transcripts.

Needs two links that are up, can0 and vcan0, and the right to run `ip link set/del/add` on them;
the last case deletes vcan0 and creates it again. Prints only what both platforms can agree on:
no interface indices, no times, no counts that depend on buffer sizes. CPython only (AF_CAN).
"""
import errno
import fcntl
import json
import select
import socket
import struct
import subprocess
import sys
import threading
import time

EFF, RTR, ERR = socket.CAN_EFF_FLAG, socket.CAN_RTR_FLAG, socket.CAN_ERR_FLAG
SFF_MASK, EFF_MASK = socket.CAN_SFF_MASK, socket.CAN_EFF_MASK
FRAME = struct.Struct("=IB3x8s")
SIOCGIFINDEX = 0x8933
CAN_INV_FILTER = 0x20000000
WAIT_FOR_FRAME = 5.0     # generous: system calls in the guest are slow
WAIT_FOR_NOTHING = 0.5


def line(case, text):
    print("%s: %s" % (case, text), flush=True)


def frame(can_id, data=b"", dlc=None):
    return FRAME.pack(can_id, len(data) if dlc is None else dlc, data.ljust(8, b"\0"))


def describe(raw):
    can_id, dlc, data = FRAME.unpack(raw[:16])
    flags = "".join(f for f, bit in (("E", EFF), ("R", RTR), ("X", ERR)) if can_id & bit)
    return "%X%s/%d/%s" % (can_id & EFF_MASK, "+" + flags if flags else "", dlc,
                           data[:min(dlc, 8)].hex() or "-")


def open_socket(iface="can0", blocking=False):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.bind((iface,))
    s.setblocking(blocking)
    return s


def errname(e):
    return errno.errorcode.get(e.errno, str(e.errno)) if isinstance(e, OSError) else type(e).__name__


def receive_all(s, wait=WAIT_FOR_NOTHING):
    """Every frame readable within `wait` after the last one, described."""
    got = []
    while select.select([s], [], [], wait)[0]:
        try:
            got.append(describe(s.recv(16)))
        except BlockingIOError:
            break
    return got


def receive_one(s, wait=WAIT_FOR_FRAME):
    if not select.select([s], [], [], wait)[0]:
        return "nothing"
    return describe(s.recv(16))


def case_own_frames():
    a, b = open_socket(), open_socket()
    a.send(frame(0x123, b"\x01"))
    line("default", "other socket gets %s; sender gets %s" % (receive_one(b),
                                                              receive_all(a) or "nothing"))
    a.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_RECV_OWN_MSGS, 1)
    a.send(frame(0x124, b"\x02"))
    select.select([a], [], [], WAIT_FOR_FRAME)
    data, _anc, flags, _addr = a.recvmsg(16)
    marks = [n for n, bit in (("MSG_DONTROUTE", socket.MSG_DONTROUTE), ("MSG_CONFIRM", 0x800))
             if flags & bit]
    line("recv_own_msgs", "sender gets %s with flags %s; other socket gets %s"
         % (describe(data), "|".join(marks) or "none", receive_one(b)))
    c, d = open_socket(), open_socket()
    c.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_LOOPBACK, 0)
    c.send(frame(0x125))
    line("loopback_off", "other socket gets %s" % (receive_all(d) or "nothing"))
    for s in (a, b, c, d):
        s.close()


FILTER_PROBES = [(0x100, b"\x01"), (0x101, b"\x02"), (0x200, b"\x03"), (0x100 | EFF, b"\x04"),
                 (0x100 | RTR, b""), (0x1234567 | EFF, b"\x05"), (0x100 | EFF | RTR, b"")]
FILTERS = {
    "one": [(0x100, SFF_MASK)],
    "inverted": [(0x100 | CAN_INV_FILTER, SFF_MASK)],
    "eff_in_mask": [(0x100, SFF_MASK | EFF)],
    "eff_in_id_and_mask": [(0x100 | EFF, EFF_MASK | EFF)],
    "rtr_in_mask": [(0x100, SFF_MASK | RTR)],
    "rtr_in_id_and_mask": [(0x100 | RTR, SFF_MASK | RTR)],
    "several": [(0x100, SFF_MASK), (0x200, SFF_MASK), (0x100, 0x7F0)],
    "accept_all": [(0, 0)],
    "none": [],
}


def case_filters():
    sender = open_socket()
    for name, filters in FILTERS.items():
        r = open_socket()
        packed = b"".join(struct.pack("=II", i, m) for i, m in filters)
        r.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, packed)
        for can_id, data in FILTER_PROBES:
            sender.send(frame(can_id, data))
        line("filter_" + name, " ".join(receive_all(r)) or "nothing")
        r.close()
    sender.close()


def case_frame_kinds():
    a, b = open_socket(), open_socket()
    for name, raw in [("zero_length", frame(0x321)),
                      ("remote", frame(0x321 | RTR, dlc=4)),
                      ("remote_with_data", frame(0x321 | RTR, b"\xAA\xBB", dlc=2)),
                      ("extended_low_id", frame(0x5 | EFF, b"\x11")),
                      ("extended_zero_id", frame(EFF, b"\x12")),
                      ("dlc_above_8", frame(0x322, b"\x01" * 8, dlc=9))]:
        try:
            a.send(raw)
            line("frame_" + name, receive_one(b))
        except OSError as e:
            line("frame_" + name, "send fails with %s" % errname(e))
    for name, size in [("short_write", 15), ("long_write", 17)]:
        try:
            a.send(frame(0x323)[:size] if size < 16 else frame(0x323) + b"\0")
            line("frame_" + name, "accepted; other socket gets %s" % receive_one(b))
        except OSError as e:
            line("frame_" + name, "send fails with %s" % errname(e))
    a.close()
    b.close()


def case_full_queue():
    r = open_socket()
    r.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    w = open_socket(blocking=True)
    sent = 0
    for i in range(2000):
        w.send(frame(0x400, struct.pack("<I", i)))
        sent += 1
    # The kernel queues (or drops) each frame within send(); the simulated bus delivers through its
    # daemon after send() returned, later still on a busy machine. Reading before that delivery has
    # ended would make room for frames the queue had no room for when they were sent.
    time.sleep(1.0)
    got = receive_all(r)
    line("full_receive_queue", "sender never blocked or failed (%d sent); reader got some: %s; "
         "some dropped: %s; kept the oldest (first frame kept, last frame dropped): %s"
         % (sent, bool(got), len(got) < sent,
            bool(got) and got[0].endswith("00000000") and not got[-1].endswith("cf070000")))
    r.close()
    w.close()


def case_send_burst():
    w = open_socket()   # non-blocking, nobody else on vcan0
    w2 = open_socket("vcan0")
    w.close()
    errors = {}
    for i in range(20000):
        try:
            w2.send(frame(0x500, struct.pack("<I", i)))
        except OSError as e:
            errors[errname(e)] = errors.get(errname(e), 0) + 1
    line("send_burst_nonblocking", "errors: %s" % (", ".join(sorted(errors)) or "none"))
    w2.close()


def case_addresses():
    s = open_socket()
    line("getsockname", repr(s.getsockname()))
    ifr = struct.pack("16si12x", b"can0", 0)
    index = struct.unpack("16si12x", fcntl.ioctl(s.fileno(), SIOCGIFINDEX, ifr))[1]
    line("siocgifindex", "equals if_nametoindex: %s" % (index == socket.if_nametoindex("can0")))
    try:
        fcntl.ioctl(s.fileno(), SIOCGIFINDEX, struct.pack("16si12x", b"nosuch0", 0))
        line("siocgifindex_unknown", "succeeds")
    except OSError as e:
        line("siocgifindex_unknown", "fails with %s" % errname(e))
    try:
        socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW).bind(("nosuch0",))
        line("bind_unknown", "succeeds")
    except OSError as e:
        line("bind_unknown", "fails with %s" % errname(e))
    peer = open_socket()
    peer.send(frame(0x600, b"\x01"))
    select.select([s], [], [], WAIT_FOR_FRAME)
    _data, _anc, _flags, addr = s.recvmsg(16)
    line("recvmsg_source", repr(addr))
    s.close()
    peer.close()


def case_bind_all():
    try:
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind(("",))
        s.setblocking(False)
    except OSError as e:
        line("bind_all", "fails with %s" % errname(e))
        return
    line("bind_all_getsockname", repr(s.getsockname()))
    a, b = open_socket("can0"), open_socket("vcan0")
    a.send(frame(0x701, b"\x01"))
    b.send(frame(0x702, b"\x02"))
    got = []
    for _ in range(2):
        if select.select([s], [], [], WAIT_FOR_FRAME)[0]:
            data, _anc, _flags, addr = s.recvmsg(16)
            got.append("%s from %s" % (describe(data), addr[0]))
    line("bind_all", "; ".join(sorted(got)) or "nothing")
    for sock in (s, a, b):
        sock.close()


def case_timestamps():
    # SO_TIMESTAMP(NS) and SCM_TIMESTAMP(NS) share their numbers (29, 35) on x86 and arm.
    for name, option, level_type in [("SO_TIMESTAMP", 29, 29), ("SO_TIMESTAMPNS", 35, 35)]:
        r, w = open_socket(), open_socket()
        r.setsockopt(socket.SOL_SOCKET, option, 1)
        before = time.time()
        w.send(frame(0x610))
        select.select([r], [], [], WAIT_FOR_FRAME)
        _data, anc, _flags, _addr = r.recvmsg(16, 64)
        kinds = [(level, kind) for level, kind, _ in anc]
        stamps = [struct.unpack("=qq", d[:16]) for level, kind, d in anc
                  if level == socket.SOL_SOCKET and kind == level_type]
        if stamps:
            sec, frac = stamps[0]
            value = sec + frac / (1e6 if level_type == 29 else 1e9)
            sane = before - 1 <= value <= time.time() + 1
        else:
            sane = False
        line("timestamp_" + name, "control messages %s; wall-clock time of the send: %s"
             % (kinds, sane))
        r.close()
        w.close()


def ip(*args):
    done = subprocess.run(("ip",) + args, capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.strip()


def case_ip_json():
    status, out, err = ip("-json", "link")
    if status != 0:
        line("ip_json_link", "fails: %s" % err)
        return
    links = json.loads(out)
    can = sorted((link["ifname"], link.get("link_type"), "UP" in link.get("flags", []))
                 for link in links if link.get("link_type") == "can")
    line("ip_json_link", "CAN links (name, link_type, up): %s" % can)
    status, out, err = ip("-details", "-json", "link", "show", "can0")
    if status != 0:
        line("ip_json_details", "fails: %s" % err)
        return
    info = json.loads(out)[0].get("linkinfo", {})
    line("ip_json_details", "info_kind %s" % info.get("info_kind"))


def case_link_down():
    s, r = open_socket(), open_socket()
    ip("link", "set", "can0", "down")
    try:
        s.send(frame(0x650))
        line("link_down_send", "succeeds")
    except OSError as e:
        line("link_down_send", "fails with %s" % errname(e))
    ip("link", "set", "can0", "up")
    for attempt in ("reader_after_down", "reader_again"):
        try:
            line("link_down_" + attempt, receive_all(r) or "nothing")
        except OSError as e:
            line("link_down_" + attempt, "fails with %s" % errname(e))
    try:
        s.send(frame(0x651))
        line("link_up_again_send", "succeeds; other socket gets %s" % receive_one(r))
    except OSError as e:
        line("link_up_again_send", "fails with %s" % errname(e))
    s.close()
    r.close()


def case_link_deleted():
    reader = open_socket("vcan0", blocking=True)
    writer = open_socket("vcan0")
    outcome = []

    def read():
        try:
            outcome.append("gets %s" % describe(reader.recv(16)))
        except OSError as e:
            outcome.append("fails with %s" % errname(e))
    thread = threading.Thread(target=read, daemon=True)
    thread.start()
    time.sleep(0.5)
    status, _out, err = ip("link", "del", "dev", "vcan0")
    if status != 0:
        line("link_deleted", "ip link del fails: %s" % err)
        return
    thread.join(WAIT_FOR_FRAME)
    line("link_deleted_blocked_reader", outcome[0] if outcome else "still waits")
    results = []
    for attempt in range(2):
        try:
            writer.send(frame(0x660))
            results.append("succeeds")
        except OSError as e:
            results.append("fails with %s" % errname(e))
    line("link_deleted_writer", ", then ".join(results))
    reader.setblocking(False)
    for attempt in ("again", "third time"):
        try:
            reader.recv(16)
            line("link_deleted_reader_" + attempt.replace(" ", "_"), "gets a frame")
        except BlockingIOError:
            line("link_deleted_reader_" + attempt.replace(" ", "_"), "nothing to read (EAGAIN)")
        except OSError as e:
            line("link_deleted_reader_" + attempt.replace(" ", "_"), "fails with %s" % errname(e))
    line("link_deleted_getsockname", repr(writer.getsockname()))
    ip("link", "add", "dev", "vcan0", "type", "vcan")
    ip("link", "set", "vcan0", "up")
    late = open_socket("vcan0")
    late.send(frame(0x661))
    line("link_recreated_old_reader", receive_all(reader) or "nothing")
    for s in (reader, writer, late):
        s.close()


CASES = [case_own_frames, case_filters, case_frame_kinds, case_full_queue, case_send_burst,
         case_addresses, case_bind_all, case_timestamps, case_ip_json, case_link_down,
         case_link_deleted]


def main():
    for case in CASES:
        try:
            case()
        except Exception as e:  # one failing case must not hide the others
            line(case.__name__[5:], "raises %s: %s" % (type(e).__name__, e))
    return 0


if __name__ == "__main__":
    sys.exit(main())

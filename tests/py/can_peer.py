"""An independent CAN peer for the tests: a CPython subprocess with Python's own raw AF_CAN socket
(PyPy's socket module has none), driven by JSON lines, so what velmot puts on the bus is checked
by code that shares nothing with it.

Imported by the test modules as `can_peer` (pytest puts tests/py on sys.path). A Peer is not
thread-safe: it belongs to the test that made it, which drives it from one thread.
"""
import json
import subprocess

# Commands, one JSON object a line on stdin:
#   {"send": [[can_id, hex]...], "gap": s, "delay": s}  waits `delay`, writes the frames `gap`
#       apart, then answers "sent";
#   {"recv": n, "timeout": s}  answers the frames (at most n) that arrived within the timeout, as
#       [can_id with flags, hex].
# The receive buffer is large so that bursts are kept until asked for.
PEER = r'''
import json, socket, struct, sys, time
FMT = "=IB3x8s"
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
try:  # past the system's limit where allowed (root): a kernel queue then holds ~40,000 frames
    s.setsockopt(socket.SOL_SOCKET, 33, 1 << 25)  # SO_RCVBUFFORCE
except OSError:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
s.bind((sys.argv[1],))
print("ready", flush=True)
def recv(count, timeout):
    frames, deadline = [], time.monotonic() + timeout
    while len(frames) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            can_id, dlc, data = struct.unpack(FMT, s.recv(16))
        except socket.timeout:
            break
        frames.append([can_id, data[:dlc].hex()])
    return frames
for line in sys.stdin:
    cmd = json.loads(line)
    if "send" in cmd:
        time.sleep(cmd.get("delay", 0))
        for i, (can_id, data) in enumerate(cmd["send"]):
            if i:
                time.sleep(cmd.get("gap", 0))
            data = bytes.fromhex(data)
            s.send(struct.pack(FMT, can_id, len(data), data))
        print(json.dumps("sent"), flush=True)
    else:
        print(json.dumps(recv(cmd["recv"], cmd["timeout"])), flush=True)
'''


class Peer:
    """One peer process run by the CPython at `cpython`, its socket bound to `iface` before the
    constructor returns. close() ends it."""

    def __init__(self, cpython, iface="can0"):
        self.proc = subprocess.Popen([cpython, "-c", PEER, iface], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line == "ready\n", self.proc.stderr.read()

    def post(self, **cmd):
        """Sends one command without waiting for its answer (see reply())."""
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()

    def reply(self):
        """The answer to the oldest command posted and not yet answered."""
        line = self.proc.stdout.readline()
        assert line, self.proc.stderr.read()
        return json.loads(line)

    def send(self, frames, **timing):
        """Writes (can_id with flags, bytes) frames in order, with the `gap` and `delay` timing
        options of the send command; returns once they are written."""
        self.post(send=[[i, bytes(d).hex()] for i, d in frames], **timing)
        assert self.reply() == "sent"

    def recv(self, count, timeout=15.0):
        """Up to `count` (can_id with flags, bytes) frames that arrive within `timeout` s."""
        self.post(recv=count, timeout=timeout)
        return [(i, bytes.fromhex(d)) for i, d in self.reply()]

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

"""Simulated DR v1 motor drivers: an independent peer of the host, written against Python's own
`socket` module (AF_CAN / CAN_RAW, which the LD_PRELOAD shim maps onto the simulated bus).

Each `SimDriver` checks the configuration frames addressed to it (or to every driver), tracks its
configuration session, FOC mode and encoder-zero requests, follows its slot of the host's
broadcast target frame through a small first-order motor model, and produces feedback frames
with its node id as CAN identifier. `DriverHost` runs any number of them on one CAN socket in one
selector loop. Launcher:

    python3 -m vcansim.drivers --iface can0 --driver 0x201:0[:speed] --driver 0x202:1 \
        --feedback-hz 100 [--host 0x100] [--log FILE]

It prints "ready" once its socket is bound, runs until SIGTERM or SIGINT and exits 0 (2 when
the interface cannot be opened, 1 when the bus closes the connection). With --log
it writes one JSON object per line for every frame a driver considered and every state change.

Thread-safety: a `SimDriver` and a `DriverHost` belong to the thread that runs the loop; only
`DriverHost.stop` may be called from another thread or a signal handler. The launcher needs
CPython (PyPy's socket has no AF_CAN); `DriverHost` itself works on any socket carrying 16-byte
`struct can_frame` messages, such as one end of an AF_UNIX SOCK_SEQPACKET socketpair.
"""
import argparse
import json
import math
import selectors
import signal
import socket
import sys
import time

from vcansim import dr_v1_frames as fr
from vcansim.dr_v1_frames import FocMode

MAX_SPEED = 300.0      # rad/s: the model's speed limit (targets beyond it saturate)
MAX_CURRENT = 30.0     # A
_MAX_SUBSTEP = 0.002   # s: the model integrates in steps no longer than this


class MotorModel:
    """First-order motor: speed mode lets the speed approach its target with SPEED_TAU; current
    mode lets the current follow its target with CURRENT_TAU and the speed follow the current
    (SPEED_PER_AMP at steady state, MECH_TAU); position mode commands a speed proportional to the
    position error (1 / POSITION_TAU) through the speed loop. Position always integrates speed;
    in speed and position modes the current is the torque the acceleration takes."""
    SPEED_TAU = 0.05
    CURRENT_TAU = 0.005
    MECH_TAU = 0.2
    SPEED_PER_AMP = 10.0
    POSITION_TAU = 0.1
    AMPS_PER_ACCEL = 0.002  # A per rad/s^2

    def __init__(self):
        self.position = 0.0
        self.speed = 0.0
        self.current = 0.0

    def advance(self, dt, mode, target):
        # Bounded, so that a long stall costs little; the exponential gains stay stable.
        steps = min(2000, max(1, math.ceil(dt / _MAX_SUBSTEP)))
        for _ in range(steps):
            self._step(dt / steps, mode, target)

    def _step(self, dt, mode, target):
        if dt <= 0.0:
            return
        old_speed = self.speed
        if mode == FocMode.CURRENT:
            goal = _clamp(target, MAX_CURRENT)
            self.current += (goal - self.current) * _gain(dt, self.CURRENT_TAU)
            goal = _clamp(self.SPEED_PER_AMP * self.current, MAX_SPEED)
            self.speed += (goal - self.speed) * _gain(dt, self.MECH_TAU)
        else:
            if mode == FocMode.POSITION:
                goal = (target - self.position) / self.POSITION_TAU
            else:
                goal = target
            self.speed += (_clamp(goal, MAX_SPEED) - self.speed) * _gain(dt, self.SPEED_TAU)
            accel = (self.speed - old_speed) / dt
            self.current = _clamp(self.AMPS_PER_ACCEL * accel, MAX_CURRENT)
        self.position += 0.5 * (old_speed + self.speed) * dt


def _gain(dt, tau):
    return 1.0 - math.exp(-dt / tau)


def _clamp(value, limit):
    if math.isnan(value):
        return 0.0
    return max(-limit, min(limit, value))


class SimDriver:
    """One driver's firmware state. `on_frame` returns the log records (dicts) of what the frame
    meant and of the state it changed; the caller decides which frames reach it (host filter)."""

    def __init__(self, node_id, slot, mode=FocMode.SPEED, now=None):
        if not 0 <= slot <= 3:
            raise ValueError("slot must be 0 to 3, got %d" % slot)
        self.node_id = node_id
        self.slot = slot
        self.mode = FocMode(mode)
        self.session_open = False
        self.zero_requests = 0
        self.target = 0.0
        self.model = MotorModel()
        self._enter_armed = False   # the last accepted configuration frame was enter, first frame
        self._last_time = now       # None: the model starts at the first frame or feedback

    # -- frames ---------------------------------------------------------------------------------

    def on_frame(self, can_id, data, now):
        self.advance(now)
        record = {"event": "rx", "id": can_id, "data": bytes(data).hex()}
        if fr.is_config_frame(data):
            return self._on_config(fr.parse_config_frame(data), record)
        if len(data) != 8:
            return [dict(record, kind="rejected", reason="length %d" % len(data))]
        return self._on_target(fr.target_slot_raw(data, self.slot), record)

    def _on_config(self, frame, record):
        if frame.error is not None:
            return [dict(record, kind="rejected", reason=frame.error)]
        record.update(kind="config", command=frame.command, dest=frame.destination, ctl=frame.ctl)
        if not frame.addresses(self.node_id):
            return [dict(record, kind="other-dest")]
        armed, self._enter_armed = self._enter_armed, False
        changes = self._apply_config(frame, armed)
        if isinstance(changes, str):
            return [dict(record, kind="ignored", reason=changes)]
        return [record] + changes

    def _apply_config(self, frame, armed):
        """State changes as records, or the reason the frame changes nothing (a str)."""
        cmd, ctl = frame.command, frame.ctl
        if cmd in (fr.CMD_ENTER_FIRST, fr.CMD_ENTER_SECOND) and ctl != fr.CTL_ENTER:
            return "enter with CTL %02X" % ctl
        if cmd == fr.CMD_ENTER_FIRST:
            self._enter_armed = True
            return []
        if cmd == fr.CMD_ENTER_SECOND:
            if not armed:
                return "second enter frame without the first"
            return self._set_session(True)
        if cmd != fr.CMD_CONTROL:
            return "unknown command %02X" % cmd
        if not self.session_open:
            return "no session"
        if ctl == fr.CTL_END_SESSION:
            return self._set_session(False)
        if ctl == fr.CTL_ZERO:
            return self._zero()
        if fr.CTL_SET_MODE <= ctl <= fr.CTL_SET_MODE + FocMode.POSITION:
            return self._set_mode(FocMode(ctl - fr.CTL_SET_MODE))
        return "unknown CTL %02X" % ctl

    def _set_session(self, is_open):
        if self.session_open == is_open:
            return []
        self.session_open = is_open
        return [{"event": "session", "open": is_open}]

    def _zero(self):
        self.zero_requests += 1
        self.model.position = 0.0
        if self.mode == FocMode.POSITION:
            self.target = 0.0
        return [{"event": "zero", "count": self.zero_requests}]

    def _set_mode(self, mode):
        if mode == self.mode:
            return []
        self.mode = mode
        # Hold still until the host sends a target in the new mode's units.
        self.target = self.model.position if mode == FocMode.POSITION else 0.0
        return [{"event": "mode", "mode": mode.label}]

    def _on_target(self, raw, record):
        record.update(kind="target", raw=raw)
        value = fr.target_value(raw, self.mode)
        if value == self.target:
            return [record]
        self.target = value
        return [record, {"event": "target", "value": value, "mode": self.mode.label}]

    # -- model and feedback ---------------------------------------------------------------------

    def advance(self, now):
        if self._last_time is None:
            self._last_time = now
        dt, self._last_time = now - self._last_time, max(now, self._last_time)
        if dt > 0.0:
            self.model.advance(dt, self.mode, self.target)

    def feedback(self, now):
        """The 8-byte feedback payload of the state at `now`."""
        self.advance(now)
        m = self.model
        return fr.encode_feedback(m.position, m.speed, m.current)


class DriverHost:
    """Runs drivers on one socket: dispatches received frames, sends feedback at a fixed rate.

    Frames reach a driver when their identifier is `host_id` (if given) or, without a host id,
    any identifier that is not one of the drivers' node ids. RTR and error frames are skipped.
    """

    def __init__(self, sock, drivers, *, feedback_hz=100.0, host_id=None, log=None,
                 clock=time.monotonic, catch_up=0.0):
        self._sock = sock
        self._drivers = list(drivers)
        self._period = 1.0 / feedback_hz if feedback_hz > 0 else None
        self._host_id = host_id
        self._catch_up = catch_up
        self._node_ids = {d.node_id for d in self._drivers}
        self._log = log
        self._clock = clock
        self._t0 = clock()
        self._wake_r, self._wake_w = socket.socketpair()
        self._stopping = False
        self.send_failures = 0

    def stop(self):
        """Asks the loop to end; safe from other threads and signal handlers."""
        self._stopping = True
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass  # the wake socket is full or closed: the loop is waking or gone anyway

    def run(self):
        """Loops until `stop`; returns 0, or 1 if the bus connection was closed under us."""
        self._sock.setblocking(False)
        self._wake_r.setblocking(False)
        sel = selectors.DefaultSelector()
        sel.register(self._sock, selectors.EVENT_READ)
        sel.register(self._wake_r, selectors.EVENT_READ)
        for d in self._drivers:
            self._write(d, {"event": "start", "slot": d.slot, "mode": d.mode.label})
        deadline = self._clock()
        try:
            while not self._stopping:
                for key, _ in sel.select(self._timeout(deadline)):
                    if key.fileobj is self._sock and not self._drain():
                        return 1
                deadline = self._maybe_send_feedback(deadline)
            return 0
        finally:
            sel.close()
            self._wake_r.close()
            self._wake_w.close()

    def _timeout(self, deadline):
        if self._period is None:
            return None
        return max(0.0, deadline - self._clock())

    def _drain(self):
        """Handles every pending frame; False once the bus connection is gone."""
        while True:
            try:
                raw = self._sock.recv(fr.CAN_FRAME_SIZE + 1)
            except (BlockingIOError, InterruptedError):
                return True
            if not raw:
                print("vcansim.drivers: the bus closed the connection", file=sys.stderr)
                return False
            self._dispatch(raw)

    def _dispatch(self, raw):
        frame = fr.unpack_can_frame(raw)
        if frame is None:
            self._write(None, {"event": "rx", "kind": "rejected", "reason": "malformed can_frame",
                               "data": raw.hex()})
            return
        can_id, flags, data = frame
        if flags & (fr.CAN_RTR_FLAG | fr.CAN_ERR_FLAG) or not self._from_host(can_id):
            return
        now = self._clock()
        for d in self._drivers:
            for record in d.on_frame(can_id, data, now):
                self._write(d, record)

    def _from_host(self, can_id):
        if self._host_id is not None:
            return can_id == self._host_id
        return can_id not in self._node_ids

    def _maybe_send_feedback(self, deadline):
        if self._period is None:
            return deadline
        now = self._clock()
        if now < deadline:
            return deadline
        # Besides the round due, up to `catch_up` seconds of late rounds are sent now, so that a
        # process the machine leaves waiting still keeps its rate; older late rounds are skipped.
        late = int((now - deadline) / self._period + 1e-9)
        for _ in range(1 + min(late, int(self._catch_up / self._period + 1e-9))):
            for d in self._drivers:
                self._send(fr.pack_can_frame(d.node_id, d.feedback(now)))
        deadline += (late + 1) * self._period
        # Then keep the rate instead of sending a burst of older late frames.
        return deadline if deadline > now else now + self._period

    def _send(self, raw):
        try:
            self._sock.send(raw)
        except OSError as exc:  # a full transmit queue (ENOBUFS / EAGAIN): the frame is lost
            self.send_failures += 1
            if self.send_failures == 1:
                print("vcansim.drivers: feedback frame lost: %s" % exc, file=sys.stderr)

    def _write(self, driver, record):
        if self._log is None:
            return
        line = {"t": round(self._clock() - self._t0, 6)}
        if driver is not None:
            line["node"] = driver.node_id
        line.update(record)
        self._log.write(json.dumps(line) + "\n")
        self._log.flush()


# --- launcher -----------------------------------------------------------------------------------

def parse_driver(text):
    """'0x201:0[:speed]' -> (node_id, slot, FocMode); the mode defaults to speed."""
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise argparse.ArgumentTypeError("expected NODE_ID:SLOT[:MODE], got %r" % text)
    try:
        node_id, slot = int(parts[0], 0), int(parts[1], 0)
        mode = FocMode.parse(parts[2]) if len(parts) == 3 else FocMode.SPEED
    except ValueError as exc:
        raise argparse.ArgumentTypeError("%s: %s" % (text, exc)) from None
    if not 0 <= slot <= 3 or not 0 <= node_id <= fr.CAN_EFF_MASK:
        raise argparse.ArgumentTypeError("%s: slot must be 0 to 3, node id a CAN id" % text)
    return node_id, slot, mode


def _parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m vcansim.drivers",
                                description="Simulated DR v1 motor drivers on a CAN interface.")
    p.add_argument("--iface", default="can0")
    p.add_argument("--driver", action="append", type=parse_driver, required=True,
                   metavar="NODE_ID:SLOT[:MODE]", help="repeat for every driver")
    p.add_argument("--feedback-hz", type=float, default=100.0,
                   help="feedback frames per second and driver (0: none)")
    p.add_argument("--host", type=lambda s: int(s, 0), default=None,
                   help="only frames with this CAN id reach the drivers")
    p.add_argument("--log", default=None, help="JSON-lines log of received frames and states")
    p.add_argument("--catch-up-ms", type=float, default=0.0,
                   help="feedback rounds late by up to this much are sent at once (default 0: "
                        "a late round is sent once and the rest skipped)")
    return p.parse_args(argv)


def _die_with_parent():
    """Ends this process when its parent dies, so a killed test run leaves no drivers behind.
    Linux ties this to the thread that started us: start the launcher from a long-lived thread."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass  # not Linux: the fixture's teardown still stops us


def open_can_socket(iface):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    try:
        sock.bind((iface,))
    except BaseException:
        sock.close()
        raise
    return sock


def main(argv=None):
    args = _parse_args(argv)
    _die_with_parent()
    try:
        sock = open_can_socket(args.iface)
    except OSError as exc:
        print("vcansim.drivers: cannot open CAN interface %s: %s" % (args.iface, exc),
              file=sys.stderr)
        return 2
    now = time.monotonic()
    drivers = [SimDriver(n, s, m, now) for n, s, m in args.driver]
    log = open(args.log, "a", encoding="utf-8") if args.log else None
    host = DriverHost(sock, drivers, feedback_hz=args.feedback_hz, host_id=args.host, log=log,
                      catch_up=args.catch_up_ms / 1000.0)
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: host.stop())
    print("ready", flush=True)
    try:
        return host.run()
    finally:
        sock.close()
        if log is not None:
            log.close()


if __name__ == "__main__":
    sys.exit(main())

"""One simulated CAN bus: a fresh directory, the `ip` stand-in's state files, and a running
`vcanbusd` serving the bus's interfaces.

Layout of the bus directory (shared with the daemon, the LD_PRELOAD shim and the `ip` stand-in):
`ifaces` (INDEX NAME lines, indices from 100), `state/NAME` (key=value lines), `unprivileged`
(marker), and the daemon's `sock/NAME`, `control` and `ready`.

Thread-safety: a Bus is meant to be driven by one thread (start/stop are not synchronised), and
that thread must outlive the bus: the daemon exits when the thread that started it ends;
`state`/`set_state` take the same file lock as the `ip` stand-in, so they are safe against
concurrent `ip` processes. Imports nothing that PyPy lacks.
"""
import fcntl
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

SIM_DIR = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
REPO_DIR = os.path.dirname(SIM_DIR)
SIM_BIN = os.path.join(SIM_DIR, "bin")
KINDS = ("can", "vcan", "vxcan")
FIRST_INDEX = 100
MAX_INTERFACES = 64  # the daemon's and the shim's interface table size
_SUN_PATH_MAX = 107  # sizeof(sockaddr_un.sun_path) - 1 for the terminating NUL


class BusError(RuntimeError):
    """The bus could not be started, queried or stopped."""


def build_dir():
    """The CPython build tree that holds vcanbusd and the shim (`VCAN_BUILD_DIR` overrides)."""
    return os.environ.get("VCAN_BUILD_DIR") or os.path.join(REPO_DIR, "build", "cpython")


def daemon_path():
    return os.path.join(build_dir(), "bin", "vcanbusd")


def preload_path():
    return os.path.join(build_dir(), "lib", "libvcan_preload.so")


def shim_loaded():
    """True when the SocketCAN shim is loaded into this process (it was started on a bus, e.g.
    under sim/with-bus): only then do this process's own CAN sockets reach a simulated bus."""
    try:
        with open("/proc/self/maps") as f:
            return os.path.basename(preload_path()) in f.read()
    except OSError:
        return False


def check_name(name):
    """Raises ValueError unless `name` is a name the kernel would accept for a network interface."""
    if not isinstance(name, str) or not 0 < len(name) < 16 or name in (".", ".."):
        raise ValueError("invalid interface name %r (1 to 15 characters)" % (name,))
    if any(c in "/:" or c.isspace() for c in name):
        raise ValueError("invalid interface name %r (no '/', ':' or white space)" % (name,))


def _encode_state(state):
    lines = []
    for key, value in state.items():
        if value is None:
            continue
        if isinstance(value, bool):
            value = int(value)
        lines.append("%s=%s\n" % (key, value))
    return "".join(lines)


def _decode_state(text):
    state = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if not sep:
            continue
        if key in ("up", "fd"):
            state[key] = value == "1"
        elif value.isdigit():
            state[key] = int(value)
        else:
            state[key] = value
    return state


def _prepend_path(path, entry):
    parts = [p for p in (path or "").split(os.pathsep) if p and p != entry]
    return os.pathsep.join([entry] + parts)


class Bus:
    """A simulated CAN bus with the given interfaces; a context manager (start on enter, stop on
    exit). `interfaces` is a sequence of names or one comma-separated string.

    kind: "can", "vcan" or "vxcan" (every interface of the bus has this kind). up: link state.
    bitrate: the configured bitrate of a "can" link; unconfigured=True leaves it unset (the kernel
    refuses to bring such a link up, so it is also down). unprivileged=True makes `ip link set`
    fail unless run through the `sudo` stand-in.
    """

    def __init__(self, interfaces=("can0",), *, kind="can", up=True, bitrate=1000000,
                 unconfigured=False, unprivileged=False, ready_timeout=15.0):
        if isinstance(interfaces, str):
            interfaces = interfaces.split(",")
        self.interfaces = tuple(interfaces)
        if not 0 < len(self.interfaces) <= MAX_INTERFACES:
            raise ValueError("a bus has 1 to %d interfaces" % MAX_INTERFACES)
        for name in self.interfaces:
            check_name(name)
        if len(set(self.interfaces)) != len(self.interfaces):
            raise ValueError("duplicate interface name in %r" % (self.interfaces,))
        if kind not in KINDS:
            raise ValueError("kind must be one of %s, not %r" % (", ".join(KINDS), kind))
        if kind == "can" and not unconfigured and (not isinstance(bitrate, int) or bitrate <= 0):
            raise ValueError("bitrate must be a positive integer, not %r" % (bitrate,))
        self.kind = kind
        self.up = bool(up) and not (kind == "can" and unconfigured)
        self.bitrate = bitrate if kind == "can" and not unconfigured else None
        self.unprivileged = unprivileged
        self.ready_timeout = ready_timeout
        self.dir = None
        self._daemon = None
        self._daemon_log = None

    # -- lifetime -------------------------------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        """Creates the directory, starts vcanbusd and waits until it serves every interface."""
        if self.dir is not None:
            raise BusError("bus already started")
        daemon = daemon_path()
        if not os.access(daemon, os.X_OK):
            raise BusError("the bus daemon %s is missing: run `make build` first" % daemon)
        if not os.path.isfile(preload_path()):
            raise BusError("the SocketCAN shim %s is missing: run `make build` first"
                           % preload_path())
        self.dir = tempfile.mkdtemp(prefix="vcanbus-")
        try:
            self._write_layout()
            self._start_daemon(daemon)
            self._wait_ready()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        """Stops the daemon and removes the directory; idempotent, safe after a failed start."""
        daemon, self._daemon = self._daemon, None
        try:
            if daemon is not None:
                _terminate(daemon)
        finally:
            if self._daemon_log is not None:
                self._daemon_log.close()
                self._daemon_log = None
            if self.dir is not None:
                shutil.rmtree(self.dir, ignore_errors=True)
                self.dir = None

    @property
    def daemon_pid(self):
        return self._daemon.pid if self._daemon is not None else None

    def _write_layout(self):
        longest = max(self.interfaces, key=len)
        if len(os.path.join(self.dir, "sock", longest)) > _SUN_PATH_MAX:
            raise BusError("bus directory %s is too long for a socket path" % self.dir)
        os.mkdir(os.path.join(self.dir, "state"))
        with open(os.path.join(self.dir, "ifaces"), "w") as f:
            for i, name in enumerate(self.interfaces):
                f.write("%d %s\n" % (FIRST_INDEX + i, name))
        for name in self.interfaces:
            state = {"kind": self.kind, "up": self.up, "bitrate": self.bitrate}
            with open(os.path.join(self.dir, "state", name), "w") as f:
                f.write(_encode_state(state))
        if self.unprivileged:
            open(os.path.join(self.dir, "unprivileged"), "w").close()

    def _start_daemon(self, daemon):
        # The daemon gets its own session so that a terminal's ^C reaches the programs on the bus
        # but not the bus itself: it is stopped by stop(), after they are done.
        self._daemon_log = tempfile.TemporaryFile()
        self._daemon = subprocess.Popen([daemon, self.dir], stdin=subprocess.DEVNULL,
                                        stdout=self._daemon_log, stderr=subprocess.STDOUT,
                                        start_new_session=True)

    def _wait_ready(self):
        ready = os.path.join(self.dir, "ready")
        deadline = time.monotonic() + self.ready_timeout
        while not os.path.exists(ready):
            status = self._daemon.poll()
            if status is not None:
                raise BusError("vcanbusd exited with status %d before it was ready: %s"
                               % (status, self._daemon_output()))
            if time.monotonic() > deadline:
                raise BusError("vcanbusd was not ready after %.0f s: %s"
                               % (self.ready_timeout, self._daemon_output()))
            time.sleep(0.005)

    def _daemon_output(self):
        self._daemon_log.seek(0)
        text = self._daemon_log.read(4096).decode("utf-8", "replace").strip()
        return text or "(no output)"

    # -- use ------------------------------------------------------------------------------------

    def _require_started(self):
        if self.dir is None:
            raise BusError("bus not started")

    def env(self, base=None):
        """The environment for a process on this bus: `base` (default os.environ) plus
        VCAN_SIM_DIR, the shim in LD_PRELOAD and sim/bin first on PATH."""
        self._require_started()
        env = dict(os.environ if base is None else base)
        env["VCAN_SIM_DIR"] = self.dir
        shim = preload_path()
        others = [p for p in env.get("LD_PRELOAD", "").replace(":", " ").split() if p != shim]
        # A sanitizer runtime must stay the first library of the process (sanitizer builds).
        runtimes = [p for p in others if os.path.basename(p).startswith(("libasan", "libtsan"))]
        others = [p for p in others if p not in runtimes]
        env["LD_PRELOAD"] = " ".join(runtimes + [shim] + others)
        env["PATH"] = _prepend_path(env.get("PATH", os.defpath), SIM_BIN)
        return env

    def stats(self):
        """The daemon's statistics (`vcanbusd --stats DIR`) as a dict."""
        self._require_started()
        try:
            done = subprocess.run([daemon_path(), "--stats", self.dir], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise BusError("vcanbusd --stats failed: %s" % e) from e
        if done.returncode != 0:
            raise BusError("vcanbusd --stats exited with status %d: %s"
                           % (done.returncode, done.stderr.decode("utf-8", "replace").strip()))
        return json.loads(done.stdout)

    def state(self, name):
        """The `ip` stand-in's state of interface `name`: kind (str), up (bool), bitrate (int,
        absent when never configured) and any other keys present."""
        with self._locked_state(name) as f:
            return _decode_state(f.read())

    def set_state(self, name, **kv):
        """Updates the state of interface `name`; a value of None removes the key (bitrate=None:
        never configured)."""
        with self._locked_state(name) as f:
            state = _decode_state(f.read())
            state.update(kv)
            f.seek(0)
            f.truncate()
            f.write(_encode_state(state))

    def _locked_state(self, name):
        self._require_started()
        if name not in self.interfaces:
            raise KeyError("no interface %r on this bus" % (name,))
        return _LockedFile(os.path.join(self.dir, "state", name))


class _LockedFile:
    """An open state file holding an exclusive flock for the `with` block (the `ip` stand-in takes
    the same lock, and rewrites the file in place so the lock stays on the one inode)."""

    def __init__(self, path):
        self._path = path
        self._file = None

    def __enter__(self):
        self._file = open(self._path, "r+")
        fcntl.flock(self._file, fcntl.LOCK_EX)
        return self._file

    def __exit__(self, *exc):
        self._file.close()
        return False


def _terminate(proc, grace=10.0):
    """SIGTERM, then SIGKILL after `grace` seconds; always reaps."""
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

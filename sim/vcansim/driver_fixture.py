"""Runs the simulated drivers (`python3 -m vcansim.drivers`) as a CPython subprocess on a
simulated bus, for tests, demos and benchmarks: `DriverProcess` (a context manager) and the pytest
fixture `sim_drivers`, a factory that starts any number of driver processes and stops them all at
teardown.

    def test_x(sim_drivers, vcan_bus):
        drv = sim_drivers([(0x201, 0, "speed"), (0x202, 1)], host=0x100)
        ...
        drv.wait_for(node=0x201, event="session", open=True)

Thread-safety: a `DriverProcess` belongs to the thread that created it. Importable on PyPy too:
the drivers themselves always run on CPython (PyPy's socket module has no AF_CAN).
"""
import json
import os
import pathlib
import selectors
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

_SIM_DIR = pathlib.Path(__file__).resolve().parents[1]
_REPO = _SIM_DIR.parent


def cpython_executable():
    """A CPython interpreter: this one, else the project's CPython venv, else python3 on PATH."""
    if sys.implementation.name == "cpython":
        return sys.executable
    venv = _REPO / ".venv" / "cpython" / "bin" / "python"
    if venv.exists():
        return str(venv)
    found = shutil.which("python3")
    if found is None:
        raise RuntimeError("no CPython interpreter found for the simulated drivers")
    return found


def driver_arg(entry):
    """'0x201:0[:mode]' from a string or a (node_id, slot[, mode]) tuple."""
    if isinstance(entry, str):
        return entry
    node_id, slot, *mode = entry
    return ":".join(["0x%X" % node_id, str(slot)] + [str(m) for m in mode])


def sim_env(base):
    """`base` (a bus's environment) with sim/ first on PYTHONPATH, so `-m vcansim...` works."""
    env = dict(base)
    paths = [str(_SIM_DIR)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


class DriverProcess:
    """One launcher process. `start` returns once it printed "ready" (its CAN socket is bound);
    `stop` sends SIGTERM and returns its exit status. The log is read from the file, so records
    are visible as soon as the drivers wrote them."""

    def __init__(self, env, drivers, *, iface="can0", feedback_hz=100.0, host=None,
                 log_path=None, python=None):
        self._workdir = None
        if log_path is None:
            self._workdir = tempfile.mkdtemp(prefix="vcansim-drivers-")
            log_path = os.path.join(self._workdir, "drivers.log")
        self.log_path = str(log_path)
        self.stderr_path = self.log_path + ".stderr"
        self.argv = [python or cpython_executable(), "-m", "vcansim.drivers", "--iface", iface,
                     "--feedback-hz", str(feedback_hz), "--log", self.log_path]
        for entry in drivers:
            self.argv += ["--driver", driver_arg(entry)]
        if host is not None:
            self.argv += ["--host", "0x%X" % host]
        self.env = sim_env(env)  # also for host scripts that join the same bus
        self.proc = None
        self.returncode = None

    def start(self, timeout=15.0):
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(self.argv, env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=err)
        try:
            self._wait_ready(timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def _wait_ready(self, timeout):
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as sel:
            sel.register(self.proc.stdout, selectors.EVENT_READ)
            while time.monotonic() < deadline:
                if sel.select(deadline - time.monotonic()):
                    line = self.proc.stdout.readline()
                    if line.strip() == b"ready":
                        return
                    if not line:
                        break  # the process ended before it was ready
        raise RuntimeError("simulated drivers not ready (exit status %s): %s"
                           % (self.proc.poll(), self.stderr()))

    def stop(self, timeout=15.0):
        """Idempotent; SIGKILL if SIGTERM did not end the process within `timeout`."""
        if self.proc is None or self.returncode is not None:
            return self.returncode
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.returncode = self.proc.wait()
        self.proc.stdout.close()
        return self.returncode

    def stderr(self):
        try:
            with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def records(self, **match):
        """Every log record (dict) whose keys equal `match` (e.g. node=0x201, event="mode")."""
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.readlines()
        except FileNotFoundError:
            return []
        # The last line may still be half written while the drivers run.
        parsed = (_parse(line) for line in lines if line.endswith("\n"))
        return [r for r in parsed if all(r.get(k) == v for k, v in match.items())]

    def wait_for(self, timeout=10.0, **match):
        """The first record matching `match`, polling the log; TimeoutError if none appears."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.records(**match)
            if found:
                return found[0]
            if time.monotonic() >= deadline:
                raise TimeoutError("no driver log record %r within %.1f s" % (match, timeout))
            time.sleep(0.02)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def _parse(line):
    return json.loads(line)


def _bus_factory(request):
    """The `vcan_bus` fixture's factory when a plugin provides one, else a maker of our own
    whose buses stop at the end of the test."""
    try:
        return request.getfixturevalue("vcan_bus")
    except pytest.FixtureLookupError:
        from vcansim.bus import Bus

        def make():
            bus = Bus()
            bus.start()
            request.addfinalizer(bus.stop)
            return bus
        return make


@pytest.fixture
def sim_drivers(request, tmp_path):
    """Factory: sim_drivers(drivers, *, bus=None, iface="can0", feedback_hz=100.0, host=None)
    starts a `DriverProcess` on `bus` and returns it once it is ready; every process it started
    is stopped at teardown. Without `bus`, the first call makes a bus with can0 (through the
    `vcan_bus` fixture) and later calls reuse it; pass `bus` to use one the test made itself."""
    # Taken at setup, so that buses outlive the drivers (teardown runs in reverse order).
    make_bus = _bus_factory(request)
    default_bus = []
    started = []

    def start(drivers, *, bus=None, iface="can0", feedback_hz=100.0, host=None):
        if bus is None:
            if not default_bus:
                default_bus.append(make_bus())
            bus = default_bus[0]
        log_path = tmp_path / ("drivers-%d.log" % len(started))
        proc = DriverProcess(bus.env(), drivers, iface=iface, feedback_hz=feedback_hz,
                             host=host, log_path=log_path)
        started.append(proc)
        return proc.start()

    yield start
    for proc in reversed(started):
        proc.stop()

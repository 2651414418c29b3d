"""Virtual-bus plumbing shared by the benchmarks that talk CAN: starting a bus and re-running the
benchmark on it, importing velmot from the build tree of the running interpreter, the bus daemon's
per-client counters, and a CPython interpreter for raw-socket peer processes (PyPy's socket has
no AF_CAN).

Importable as `bus_plumbing` when a benchmark runs as `python bench/x.py` (bench/ is then first on
sys.path). Stateless apart from putting sim/ and the build tree on sys.path; the functions may be
called from any thread, though the benchmarks themselves are single-threaded.
"""
import json
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "sim"))
from vcansim.bus import Bus, daemon_path, shim_loaded  # noqa: E402

IS_PYPY = sys.implementation.name == "pypy"
FLAVOUR = "pypy" if IS_PYPY else "cpython"
BUILD = os.path.join(ROOT, "build", FLAVOUR, "python")


def on_bus():
    """True when this process started on a simulated bus: the bus's directory is in the
    environment and the SocketCAN shim is loaded (it only loads at process start)."""
    return bool(os.environ.get("VCAN_SIM_DIR")) and shim_loaded()


def rerun_on_a_bus(script, *ifaces):
    """Starts a bus with `ifaces`, runs `script` again on it with this interpreter, the same
    arguments and the build tree on PYTHONPATH, and returns its exit status."""
    with Bus(ifaces) as bus:
        env = bus.env()
        env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH"), BUILD) if p)
        return subprocess.call([sys.executable, os.path.abspath(script)] + sys.argv[1:], env=env)


def import_velmot():
    """The velmot module of this interpreter's build tree (an earlier PYTHONPATH entry wins)."""
    if BUILD not in sys.path:
        sys.path.append(BUILD)
    import velmot
    return velmot


def bus_clients(iface):
    """The daemon's client records of `iface` (dicts with id, open, delivered, dropped...)."""
    done = subprocess.run([daemon_path(), "--stats", os.environ["VCAN_SIM_DIR"]],
                          stdout=subprocess.PIPE, check=True)
    return json.loads(done.stdout)["interfaces"][iface]["clients"]


def open_client_ids(iface):
    """Ids of the open clients of `iface`: taken before and after opening a socket, the
    difference is that socket's client."""
    return {c["id"] for c in bus_clients(iface) if c["open"]}


def dropped(iface, client_ids):
    """Frames the daemon dropped so far for the clients `client_ids`, summed."""
    return sum(c["dropped"] for c in bus_clients(iface) if c["id"] in client_ids)


def wait_delivered(iface, client_ids, count, timeout=30.0):
    """Waits until the daemon has handed `count` frames to each of `client_ids`."""
    deadline = time.monotonic() + timeout
    while True:
        delivered = {c["id"]: c["delivered"] for c in bus_clients(iface) if c["id"] in client_ids}
        if all(delivered.get(i, 0) >= count for i in client_ids):
            return
        if time.monotonic() > deadline:
            raise RuntimeError("frames not delivered: %r of %d" % (delivered, count))
        time.sleep(0.005)


def find_cpython():
    """A CPython interpreter for peer processes: the project's venv, this one, or python3."""
    for path in (os.path.join(ROOT, ".venv", "cpython", "bin", "python"),
                 sys.executable if not IS_PYPY else "", shutil.which("python3") or ""):
        if path and os.access(path, os.X_OK):
            return path
    raise RuntimeError("no CPython interpreter for the peer processes")

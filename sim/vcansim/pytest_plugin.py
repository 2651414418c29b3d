"""pytest fixtures of the virtual CAN platform: `vcan_bus` (fresh buses for one test) and
`cpython` (the interpreter for peer processes that need AF_CAN).

Load with `pytest_plugins = ["vcansim.pytest_plugin"]` once `sim/` is on sys.path. The shim only
affects processes started with LD_PRELOAD, so in-process CAN use needs the test run itself to be
started under `sim/with-bus`; subprocesses started during a test inherit the bus's environment.
Fixtures are per test and not shared between threads.
"""
import gc
import os
import shutil
import sys

import pytest

from vcansim.bus import REPO_DIR, Bus
from vcansim.kernel_links import KernelLinks, kernel_tier


@pytest.fixture
def vcan_bus(monkeypatch):
    """A factory: `vcan_bus("can0", "can1", kind=..., up=..., bitrate=..., unconfigured=...,
    unprivileged=...)` starts a fresh Bus (the interfaces may also be one sequence or a
    comma-separated string), points this process's environment at it (VCAN_SIM_DIR, LD_PRELOAD,
    PATH) for the rest of the test and returns it. Every bus is stopped after the test; the latest
    one made is the environment's. On the kernel tier (`kernel_tier()`) it makes fresh kernel
    links of those names instead (`KernelLinks`) and leaves the environment alone."""
    buses = []
    kernel = kernel_tier()

    def make(*interfaces, **options):
        if len(interfaces) == 1 and not isinstance(interfaces[0], str):
            interfaces = tuple(interfaces[0])
        bus = (KernelLinks if kernel else Bus)(interfaces or ("can0",), **options)
        bus.start()
        buses.append(bus)
        if kernel:
            return bus
        env = bus.env()
        for key in ("VCAN_SIM_DIR", "LD_PRELOAD", "PATH"):
            monkeypatch.setenv(key, env[key])
        return bus

    yield make
    # Objects of the finished test may still hold sockets on these buses (PyPy collects late);
    # let them go first, so that no client sees its bus vanish under it.
    gc.collect()
    for bus in reversed(buses):
        bus.stop()


def _find_cpython():
    candidates = [os.path.join(REPO_DIR, ".venv", "cpython", "bin", "python")]
    if sys.implementation.name == "cpython":
        candidates.append(sys.executable)
    candidates += ["/usr/bin/python3", shutil.which("python3") or ""]
    for path in candidates:
        if path and os.access(path, os.X_OK):
            return path
    return None


@pytest.fixture(scope="session")
def cpython():
    """Path of a CPython interpreter for peer subprocesses (PyPy's socket has no AF_CAN); the
    project's .venv/cpython (which has python-can) when present."""
    path = _find_cpython()
    if path is None:
        pytest.skip("no CPython interpreter found for CAN peer processes")
    return path

"""Lets the examples run on a machine without CAN hardware and unchanged on a board.

`ensure_bus(iface)` runs the calling script again under `sim/with-bus` when there is neither a
simulated bus (the `VCAN_SIM_DIR` environment of `sim/with-bus`) nor a real interface of that name.
`simulated_drivers(...)` starts simulated DR v1 drivers for the length of a `with` block when the
script is on a simulated bus, and does nothing on a real one, where the real drivers answer.

The simulated drivers run in a CPython process of their own (PyPy's `socket` has no AF_CAN) and
need this repository's `sim/` folder; they are stopped when the block ends, however it ends.
"""
from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from typing import Iterator, Sequence

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(REPO, "sim")


def on_simulated_bus() -> bool:
    return bool(os.environ.get("VCAN_SIM_DIR"))


def ensure_bus(iface: str) -> None:
    """Returns when `iface` can be opened; else runs this script again on a simulated bus and
    exits with its status."""
    if on_simulated_bus() or os.path.exists(os.path.join("/sys/class/net", iface)):
        return
    argv = [os.path.join(SIM, "with-bus"), iface, "--", sys.executable,
            os.path.abspath(sys.argv[0]), *sys.argv[1:]]
    sys.exit(subprocess.call(argv))


@contextlib.contextmanager
def simulated_drivers(iface: str, host: int, drivers: Sequence[str]) -> Iterator[None]:
    """Simulated drivers, each given as "NODE_ID:SLOT:MODE" (e.g. "0x201:0:speed"), that take
    configuration and target frames from `host` and send feedback at 100 Hz."""
    if not on_simulated_bus():
        yield
        return
    path = [SIM] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    python = sys.executable if sys.implementation.name == "cpython" else "python3"
    argv = [python, "-m", "vcansim.drivers", "--iface", iface, "--host", "0x%X" % host]
    for spec in drivers:
        argv += ["--driver", spec]
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout is not None
        if proc.stdout.readline().strip() != "ready":
            sys.exit("the simulated drivers did not start")
        yield
    finally:
        proc.terminate()
        proc.wait()

"""Puts the build tree of the running interpreter first on sys.path, so that the tests import the
freshly built extensions: build/pypy/python under PyPy, build/cpython/python otherwise, the python/
folder of $VELMOT_BUILD_DIR when that names a tree (sanitizer builds, one per Python version, the
armhf one under emulation). Also makes
the virtual CAN platform's Python package (sim/vcansim) importable and loads its fixtures."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

_ROOT = pathlib.Path(__file__).resolve().parents[2]
_FLAVOUR = "pypy" if sys.implementation.name == "pypy" else "cpython"
_BUILD = str(pathlib.Path(os.environ.get("VELMOT_BUILD_DIR") or _ROOT / "build" / _FLAVOUR) / "python")
if _BUILD not in sys.path:
    sys.path.insert(0, _BUILD)
sys.path.insert(0, str(_ROOT / "sim"))
pytest_plugins = ["vcansim.pytest_plugin", "vcansim.driver_fixture"]


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter of the same kind, with the build tree on its path.

    Returns the CompletedProcess (text mode); the script is dedented first."""
    def run(code, timeout=120):
        env = dict(os.environ, PYTHONPATH=_BUILD)
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    return run


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "timing: needs real time (deadlines, latencies, rates); left out under emulation")

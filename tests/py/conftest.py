"""Puts the build tree of the running interpreter first on sys.path, so that the tests import the
freshly built extensions: build/pypy/python under PyPy, build/cpython/python otherwise, the python/
folder of $VELMOT_BUILD_DIR when that names a tree (sanitizer builds, one per Python version, the
armhf one under emulation). Also makes
the virtual CAN platform's Python package (sim/vcansim) importable and loads its fixtures."""
import faulthandler
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


# VELMOT_TEST_TIMEOUT=N (seconds): a test that runs longer dumps every thread's stack to the
# terminal and ends the run, so that a hang costs N seconds, not the whole job (an emulated run has
# no other watch on it). Set up in pytest_configure, where stderr is not captured.
_TEST_TIMEOUT = float(os.environ.get("VELMOT_TEST_TIMEOUT") or 0)
_timeout_stderr = None


def pytest_runtest_logstart(nodeid, location):
    if _timeout_stderr is not None:
        faulthandler.dump_traceback_later(_TEST_TIMEOUT, exit=True, file=_timeout_stderr)


def pytest_runtest_logfinish(nodeid, location):
    if _timeout_stderr is not None:
        faulthandler.cancel_dump_traceback_later()


def pytest_configure(config):
    global _timeout_stderr
    if _TEST_TIMEOUT > 0:
        _timeout_stderr = os.fdopen(os.dup(2), "w")
    config.addinivalue_line(
        "markers", "timing: needs real time (deadlines, latencies, rates); left out under emulation")

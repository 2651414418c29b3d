"""Bad input: every callable of the module called with arbitrary Python objects raises only the
documented exceptions (or the argument's own), and the process survives. Each group runs in a fresh
interpreter (bad_input_worker.py); VELMOT_EXAMPLES sets the examples per callable (`make
bad-input` runs many more)."""
import os
import subprocess
import sys

import pytest

import velmot
from vcansim.bus import shim_loaded

WORKER = os.path.join(os.path.dirname(__file__), "bad_input_worker.py")
EXAMPLES = int(os.environ.get("VELMOT_EXAMPLES", "5"))


@pytest.mark.skipif(not shim_loaded(), reason="not started under sim/with-bus: no SocketCAN shim")
@pytest.mark.parametrize("group", ["can", "motor", "tasks", "shutdown"])
def test_arbitrary_arguments_raise_only_documented_exceptions(vcan_bus, tmp_path, group):
    vcan_bus("can0")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(velmot.__file__))
    result = subprocess.run([sys.executable, WORKER, group, str(EXAMPLES), str(tmp_path)], env=env,
                            capture_output=True, text=True, timeout=120 + EXAMPLES * 20)
    assert (result.returncode, result.stdout.splitlines()[-1:]) == (0, ["ok"]), (
        result.stdout[-6000:] + result.stderr[-3000:])

"""Every example under examples/ runs to its end on a fresh simulated bus (with the simulated
drivers it starts itself, or that the test starts for it) and shows the result it exists to
show."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

import velmot

_ROOT = pathlib.Path(__file__).resolve().parents[2]
_ON_PYPY = sys.implementation.name == "pypy"


QUICKSTART_DRIVERS = [(0x201, 0, "speed"), (0x202, 1, "speed")]


@pytest.mark.parametrize("script, args, expected", [
    ("quickstart.py", [], r"0x201:  10.00 rad/s   0x202:  -5.00 rad/s\n$"),
    # matplotlib (for --plot) is installed into the CPython venv only
    ("demo.py", ["--duration", "3"] + ([] if _ON_PYPY else ["--plot", "{tmp}/demo.png"]),
     r"follows the target: yes"),
    ("raw_can.py", [], r"blocking device got id 0x1ABCDE, 4 bytes: de ad be ef\n"
                       r"(.|\n)*refused: Payload is larger than CAN maximum of 8 bytes"),
    ("configure_drivers.py", [], r"after zeroing all: 0x201 at 0.00 rad, 0x202 at 0.00 rad"),
    ("position_loop.py", ["--duration", "1"], r"stopped by timeout after \d+ calls of the realtime"),
    ("background_tasks.py", [], r"results: \[1, 4, 9, 16\](.|\n)*the task failed: ValueError"),
    ("candump_replay.py", ["--speed", "4"], r"replayed 297 frames .* received 297"),
])
def test_example_runs_to_its_end(vcan_bus, sim_drivers, tmp_path, script, args, expected):
    vcan_bus("can0")
    if script == "quickstart.py":   # the one example that starts no simulated drivers itself
        sim_drivers(QUICKSTART_DRIVERS, host=0x100)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(velmot.__file__)))
    argv = [sys.executable, str(_ROOT / "examples" / script)]
    argv += [a.replace("{tmp}", str(tmp_path)) for a in args]
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(expected, done.stdout), done.stdout + done.stderr
    for arg in argv:
        if arg.endswith(".png"):
            assert pathlib.Path(arg).stat().st_size > 10000

"""Wheels as a user gets them: `pip wheel .` for CPython and for PyPy, each installed into a fresh
virtual environment of its interpreter, where the quick start drives two simulated drivers and
python-can finds the velmot interface through its entry point. On CPython the same environment,
with mypy, python-can and matplotlib added, type-checks examples/ and the velmot_can package
against the installed stubs (`mypy --strict`) and compares the stubs with the module (stubtest).
Nothing from the source tree is on any path there. Slow (builds and installs): `make test-wheels`.

Runs under `sim/with-bus can0` like the other Python tests; the interpreters are python3 and
pypy3 (override with VELMOT_WHEEL_PYTHONS="cpython=/path,pypy=/path")."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEELHOUSE = ROOT / "build" / "wheelhouse"
sys.path.insert(0, str(ROOT / "sim"))
pytest_plugins = ["vcansim.pytest_plugin", "vcansim.driver_fixture"]

INTERPRETERS = dict(item.split("=", 1) for item in os.environ.get(
    "VELMOT_WHEEL_PYTHONS", "cpython=python3,pypy=pypy3").split(","))
TYPING_PACKAGES = ["mypy", "python-can", "matplotlib"]

PYTHON_CAN_CHECK = """
import can
with can.Bus(interface="velmot", channel="can0") as bus:
    bus.send(can.Message(arbitration_id=0x123, data=b"\\x01", is_extended_id=False))
    print(type(bus).__module__, bus.recv(0))
"""


def run(*command, cwd, env=None, timeout=1800):
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, "%s\n%s\n%s" % (command, done.stdout, done.stderr)
    return done.stdout


def clean_env(venv):
    """The bus's environment without anything that points into the source tree."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "VIRTUAL_ENV")}
    env["PATH"] = "%s%s%s" % (venv / "bin", os.pathsep, env["PATH"])
    return env


def build_wheel(python, flavour):
    """The wheel `pip wheel .` builds with `python` (the build tree of its tag is reused)."""
    house = WHEELHOUSE / flavour
    shutil.rmtree(house, ignore_errors=True)
    run(python, "-m", "pip", "wheel", "--no-deps", "-w", house, ".", cwd=ROOT)
    (wheel,) = house.glob("velmot-*.whl")
    return wheel


@pytest.mark.parametrize("flavour", sorted(INTERPRETERS))
def test_wheel_runs_the_quick_start(flavour, vcan_bus, sim_drivers, tmp_path):
    interpreter = shutil.which(INTERPRETERS[flavour])
    assert interpreter, INTERPRETERS[flavour]
    venv = tmp_path / "venv"
    run(interpreter, "-m", "venv", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    # The wheel is built by pip of the fresh environment, as a user would.
    wheel = build_wheel(python, flavour)
    extra = TYPING_PACKAGES if flavour == "cpython" else ["python-can"]
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel, *extra, cwd=tmp_path)
    vcan_bus("can0")  # a fresh bus: its environment is this process's from here on
    sim_drivers([(0x201, 0, "speed"), (0x202, 1, "speed")], host=0x100)
    env = clean_env(venv)
    out = run(python, ROOT / "examples" / "quickstart.py", cwd=tmp_path, env=env, timeout=120)
    last = out.strip().splitlines()[-1].split()
    assert (float(last[2]), float(last[5])) == pytest.approx((10.0, -5.0), abs=1.0), out

    assert run(python, "-c", PYTHON_CAN_CHECK, cwd=tmp_path, env=env).startswith("velmot_can ")

    if flavour == "cpython":
        examples = sorted((ROOT / "examples").glob("*.py"))
        for target in (examples, ["-p", "velmot_can"]):
            run(python, "-m", "mypy", "--strict", "--no-incremental", *target, cwd=tmp_path, env=env,
                timeout=900)
        run(python, "-m", "mypy.stubtest", "velmot", cwd=tmp_path, env=env, timeout=900)

"""Interface provisioning as seen through the constructors of velmot.CanDevice and
velmot.CanDeviceNonBlocking: which `ip` / `sudo ip` commands run for each interface state, what is
printed to standard error (fd 2, so capfd), the error texts, and that interface names are never
shell code.

The `ip` and `sudo` stand-ins of the simulated bus log their argument vectors (VCAN_IP_LOG,
VCAN_SUDO_LOG). In-process sockets need the SocketCAN shim, loaded only when the run starts under
sim/with-bus; these tests skip otherwise. Main thread only; Ctrl+C is tried in a child process.
"""
import json
import os
import signal
import stat
import subprocess
import sys
import time

import pytest

import velmot
from vcansim.bus import SIM_BIN
from vcansim.kernel_links import on_can_bus


pytestmark = [
    pytest.mark.skipif(not on_can_bus(),
                       reason="not on a CAN bus (sim/with-bus or the kernel tier)"),
]

CLASSES = ("CanDevice", "CanDeviceNonBlocking")
SHOW = ["-details", "link", "show", "can0"]
DOWN = ["link", "set", "can0", "down"]
BITRATE = ["link", "set", "can0", "type", "can", "bitrate", "1000000"]
UP = ["link", "set", "can0", "up"]
SUDO_LINE = "[CAN] Need elevated privileges, requesting sudo...\n"


def needs_configuration(name, up, bitrate):
    return ("[CAN] Interface '%s' needs configuration (up=%s, bitrate=%s), configuring...\n"
            % (name, "true" if up else "false", bitrate))


class Logs:
    """The argument vectors the stand-ins ran, in order."""

    def __init__(self, tmp_path, monkeypatch):
        self.ip_path = tmp_path / "ip.log"
        self.sudo_path = tmp_path / "sudo.log"
        monkeypatch.setenv("VCAN_IP_LOG", str(self.ip_path))
        monkeypatch.setenv("VCAN_SUDO_LOG", str(self.sudo_path))

    @staticmethod
    def _read(path):
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines()]

    @property
    def ip(self):
        return self._read(self.ip_path)

    @property
    def sudo(self):
        return self._read(self.sudo_path)


@pytest.fixture
def logs(tmp_path, monkeypatch):
    return Logs(tmp_path, monkeypatch)


def own_sent(bus):
    return sum(c["sent"] for c in bus.stats()["interfaces"]["can0"]["clients"]
               if c["pid"] == os.getpid())


def assert_works(dev, bus):
    """The device is open on the bus: a frame it sends is counted by the daemon."""
    assert dev.interface() == "can0"
    dev.send(0x42, b"\x01")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if own_sent(bus) == 1:
            return
        time.sleep(0.01)
    pytest.fail("the device's frame never reached the bus")


# (case id, bus options, stderr lines, ip commands after the show command)
CONFIGURE_CASES = [
    ("up_1M", dict(), "", []),
    ("up_500k", dict(bitrate=500000),
     needs_configuration("can0", True, 500000), [DOWN, BITRATE, UP]),
    ("down_1M", dict(up=False),
     needs_configuration("can0", False, 1000000), [DOWN, BITRATE, UP]),
    ("down_unconfigured", dict(unconfigured=True),
     needs_configuration("can0", False, "none"), [DOWN, BITRATE, UP]),
    ("vcan_up", dict(kind="vcan"), "", []),
    ("vxcan_up", dict(kind="vxcan"), "", []),
    ("vcan_down", dict(kind="vcan", up=False), None, [UP]),
    ("vxcan_down", dict(kind="vxcan", up=False), None, [UP]),
]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("case,options,err,commands", CONFIGURE_CASES,
                         ids=[c[0] for c in CONFIGURE_CASES])
@pytest.mark.sim_only
def test_constructor_configures_only_what_is_needed(vcan_bus, logs, capfd, cls, case, options,
                                                    err, commands):
    bus = vcan_bus("can0", **options)
    dev = getattr(velmot, cls)("can0")
    printed = capfd.readouterr().err
    if err is not None:  # a virtual link brought up may or may not say so
        assert printed == err
    assert SUDO_LINE not in printed
    assert logs.ip == [SHOW] + commands and logs.sudo == []
    state = bus.state("can0")
    assert state["up"] is True
    if options.get("kind", "can") == "can":
        assert state["bitrate"] == 1000000
    assert_works(dev, bus)


# Runs on the kernel's vcan/vxcan links too, with the real `ip`.
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("kind", ["vcan", "vxcan"])
@pytest.mark.parametrize("up", [True, False], ids=["up", "down"])
def test_virtual_links_are_used_as_they_are_or_brought_up(vcan_bus, cls, kind, up):
    vcan_bus("can0", kind=kind, up=up)
    dev = getattr(velmot, cls)("can0")
    shown = subprocess.run(["ip", "-details", "link", "show", "can0"], capture_output=True,
                           text=True, timeout=60).stdout
    assert "UP" in shown.split("<", 1)[1].split(">", 1)[0].split(",")
    assert "\n    %s " % kind in shown  # never reconfigured as a CAN controller
    assert dev.send(0x42, b"\x01") is None


@pytest.mark.sim_only
@pytest.mark.parametrize("cls", CLASSES)
def test_unprivileged_configuration_goes_through_sudo(vcan_bus, logs, capfd, cls):
    bus = vcan_bus("can0", bitrate=500000, unprivileged=True)
    dev = getattr(velmot, cls)("can0")
    assert capfd.readouterr().err == needs_configuration("can0", True, 500000) + SUDO_LINE
    assert logs.sudo == [["ip"] + DOWN, ["ip"] + BITRATE, ["ip"] + UP]
    # The unprivileged pass stops at its first failure; sudo then runs all three again.
    assert logs.ip == [SHOW, DOWN, DOWN, BITRATE, UP]
    assert bus.state("can0")["bitrate"] == 1000000
    assert_works(dev, bus)


def write_script(directory, name, body):
    path = directory / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


@pytest.mark.sim_only
@pytest.mark.parametrize("cls", CLASSES)
def test_failing_sudo_stops_at_the_first_command(vcan_bus, logs, capfd, tmp_path, monkeypatch,
                                                 cls):
    bus = vcan_bus("can0", bitrate=500000, unprivileged=True)
    fake = tmp_path / "fake"
    fake.mkdir()
    calls = tmp_path / "fake_sudo.log"
    write_script(fake, "sudo", 'echo "$*" >> %s\nexit 1\n' % calls)
    monkeypatch.setenv("PATH", str(fake) + os.pathsep + os.environ["PATH"])
    with pytest.raises(OSError, match=r"^'sudo ip link set can0 down' failed$"):
        getattr(velmot, cls)("can0")
    assert calls.read_text() == "ip link set can0 down\n"
    assert capfd.readouterr().err == needs_configuration("can0", True, 500000) + SUDO_LINE
    assert logs.ip == [SHOW, DOWN]
    assert bus.state("can0")["bitrate"] == 500000


@pytest.mark.sim_only
@pytest.mark.skipif(os.environ.get("VELMOT_EMULATED") == "1",
                    reason="qemu-user spawns as a fork: a program that cannot start looks started")
@pytest.mark.parametrize("cls", CLASSES)
def test_missing_programs_are_reported(vcan_bus, logs, tmp_path, monkeypatch, cls):
    vcan_bus("can0", bitrate=500000, unprivileged=True)
    only_ip = tmp_path / "only_ip"
    only_ip.mkdir()
    (only_ip / "ip").symlink_to(os.path.join(SIM_BIN, "ip"))
    (only_ip / "python3").symlink_to(os.path.realpath("/usr/bin/python3"))
    monkeypatch.setenv("PATH", str(only_ip))
    with pytest.raises(OSError, match=r"^Failed to run 'sudo ip link set can0 down': \S"):
        getattr(velmot, cls)("can0")
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(OSError, match=r"^Failed to run ip: \S"):
        getattr(velmot, cls)("can0")


@pytest.mark.sim_only
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("name", ["nope0", "can0;touch X", "can0 $(touch X)", "`touch X`"])
def test_unknown_names_fail_and_are_never_shell_code(vcan_bus, logs, capfd, tmp_path,
                                                     monkeypatch, cls, name):
    vcan_bus("can0")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as raised:
        getattr(velmot, cls)(name)
    assert str(raised.value) == "CAN interface '%s' does not exist" % name
    assert logs.ip == [["-details", "link", "show", name]] and logs.sudo == []
    assert not (tmp_path / "X").exists()
    assert capfd.readouterr().err == ""


# (name, error text): the host's loopback and ethernet links, and the word `up`, which `ip`
# answers with every link that is up.
NOT_CAN_CASES = [
    ("lo", "CAN interface 'lo' is not a CAN link"),
    ("eth0", "CAN interface 'eth0' is not a CAN link"),
    ("up", "CAN interface 'up' does not exist"),
]


@pytest.mark.sim_only
@pytest.mark.parametrize("cls", CLASSES + ("Motor",))
@pytest.mark.parametrize("unprivileged", [False, True], ids=["privileged", "unprivileged"])
@pytest.mark.parametrize("name,message", NOT_CAN_CASES, ids=[c[0] for c in NOT_CAN_CASES])
def test_only_can_links_are_provisioned(vcan_bus, logs, capfd, cls, unprivileged, name, message):
    vcan_bus("can0", unprivileged=unprivileged)
    args = (name, 0x100) if cls == "Motor" else (name,)
    with pytest.raises(OSError) as raised:
        getattr(velmot, cls)(*args)
    assert str(raised.value) == message and type(raised.value) is OSError
    assert logs.ip == [["-details", "link", "show", name]] and logs.sudo == []
    assert capfd.readouterr().err == ""


# Constructs the class named by argv[1] while `ip` hangs, and reports how the construction ended,
# the children it left (zombies included) and the descriptors it left open.
INTERRUPTED = r'''
import json, os, signal, sys
import velmot
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
construct = {"CanDevice": lambda: velmot.CanDevice("can0"),
             "CanDeviceNonBlocking": lambda: velmot.CanDeviceNonBlocking("can0"),
             "Motor": lambda: velmot.Motor("can0", host=0x100)}[sys.argv[1]]
def children():
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[1] == str(os.getpid()):
                    found.append(pid)
        except OSError:
            pass
    return found
fds = len(os.listdir("/proc/self/fd"))
try:
    construct()
    result = "constructed"
except KeyboardInterrupt:
    result = "KeyboardInterrupt"
print(json.dumps({"result": result, "children": children(),
                  "fds_left": len(os.listdir("/proc/self/fd")) - fds}), flush=True)
'''


@pytest.mark.parametrize("cls", CLASSES + ("Motor",))
def test_ctrl_c_during_provisioning_kills_and_reaps_the_child(vcan_bus, tmp_path, cls):
    vcan_bus("can0")
    started = tmp_path / "ip_started"
    hanging = tmp_path / "hanging"
    hanging.mkdir()
    write_script(hanging, "ip", "touch %s\nexec sleep 30\n" % started)
    env = dict(os.environ, PATH=str(hanging) + os.pathsep + os.environ["PATH"],
               PYTHONPATH=os.path.dirname(os.path.abspath(velmot.__file__)))
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED, cls], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=10)  # `ip` alone would take 30 s
    except subprocess.TimeoutExpired:
        proc.kill()
        pytest.fail("construction not interrupted: %r" % (proc.communicate(),), pytrace=False)
    assert proc.returncode == 0, err
    assert json.loads(out) == {"result": "KeyboardInterrupt", "children": [], "fds_left": 0}

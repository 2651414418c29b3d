"""The virtual CAN platform's tools: the `ip` and `sudo` stand-ins, the Bus class, sim/with-bus
and the fixtures. The stand-ins are exercised on hand-made bus directories (no daemon needed); Bus
and with-bus need the built vcanbusd and shim and are skipped without them."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

from vcansim.bus import Bus, BusError, daemon_path, preload_path

IP = str(ROOT / "sim" / "bin" / "ip")
SUDO = str(ROOT / "sim" / "bin" / "sudo")
WITH_BUS = str(ROOT / "sim" / "with-bus")
FIXTURES = ROOT / "tests" / "fixtures" / "ip-details"
BUILT = os.access(daemon_path(), os.X_OK) and os.path.isfile(preload_path())
needs_build = pytest.mark.skipif(not BUILT, reason="vcanbusd and the shim are not built")

UP_1M = "kind=can\nup=1\nbitrate=1000000\n"
DOWN_UNCONFIGURED = "kind=can\nup=0\n"


class FakeBus:
    """A bus directory without a daemon: what the stand-ins read and write."""

    def __init__(self, root, interfaces):
        self.root = root
        (root / "state").mkdir()
        (root / "ifaces").write_text("".join("%d %s\n" % (i, n) for n, (i, _) in interfaces.items()))
        for name, (_, state) in interfaces.items():
            (root / "state" / name).write_text(state)

    def state(self, name):
        return (self.root / "state" / name).read_text()

    def run(self, program, *args, **env):
        full = dict(os.environ, VCAN_SIM_DIR=str(self.root),
                    PATH=str(ROOT / "sim" / "bin") + os.pathsep + os.environ["PATH"])
        full.pop("VCAN_SIM_PRIVILEGED", None)
        full.update(env)
        return subprocess.run([program] + list(args), env=full, capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=60)

    def ip(self, *args, **env):
        return self.run(IP, *args, **env)


def fake_bus(tmp_path, **interfaces):
    return FakeBus(tmp_path, {n: v for n, v in interfaces.items()})


# -- ip: show -------------------------------------------------------------------------------------

SHOW_CASES = [
    ("can-up-1000000.txt", "can0", 3, UP_1M),
    ("can-up-500000.txt", "can0", 3, "kind=can\nup=1\nbitrate=500000\n"),
    ("can-down-1000000.txt", "can0", 3, "kind=can\nup=0\nbitrate=1000000\n"),
    ("can-down-unconfigured.txt", "can0", 3, DOWN_UNCONFIGURED),
    ("canfd-up-1000000.txt", "can1", 4, "kind=can\nup=1\nbitrate=1000000\nfd=1\ndbitrate=4000000\n"),
    ("vcan-up.txt", "vcan0", 5, "kind=vcan\nup=1\n"),
    ("vcan-down.txt", "vcan0", 5, "kind=vcan\nup=0\n"),
    ("vxcan-up.txt", "vxcan0", 7, "kind=vxcan\nup=1\n"),
]


@pytest.mark.parametrize("sample,name,index,state", SHOW_CASES, ids=[c[0] for c in SHOW_CASES])
def test_show_prints_the_real_tools_output(tmp_path, sample, name, index, state):
    bus = fake_bus(tmp_path, **{name: (index, state)})
    done = bus.ip("-details", "link", "show", name)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (FIXTURES / sample).read_text()


@pytest.mark.parametrize("args", [
    ["-d", "link", "show", "can0"], ["-details", "link", "show", "dev", "can0"],
    ["--details", "l", "list", "can0"], ["-det", "link", "sh", "can0"]])
def test_show_accepts_the_tools_spellings(tmp_path, args):
    bus = fake_bus(tmp_path, can0=(100, UP_1M))
    reference = bus.ip("-details", "link", "show", "can0").stdout
    done = bus.ip(*args)
    assert (done.returncode, done.stdout) == (0, reference)
    assert "bitrate 1000000 " in reference


def test_show_without_details_and_without_a_name(tmp_path):
    bus = fake_bus(tmp_path, can0=(100, UP_1M), vcan0=(101, "kind=vcan\nup=0\n"))
    lines = bus.ip("link", "show").stdout.splitlines(True)
    # The host's lo and eth0 come first, by index, as on the real tool.
    assert [l.split(":")[0] for l in lines[::2]] == ["1", "4", "100", "101"]
    assert lines[5] == lines[7] == "    link/can \n"
    assert "bitrate" not in "".join(lines)


@pytest.mark.parametrize("state,kind,up", [(UP_1M, "can", True), (DOWN_UNCONFIGURED, "can", False),
                                           ("kind=vcan\nup=1\n", "vcan", True),
                                           ("kind=vxcan\nup=0\n", "vxcan", False)])
def test_json_output_has_the_real_tools_fields(tmp_path, state, kind, up):
    bus = fake_bus(tmp_path, can0=(100, state))
    links = json.loads(bus.ip("-json", "link").stdout)
    assert [(l["ifindex"], l["ifname"], l["link_type"]) for l in links] == [
        (1, "lo", "loopback"), (4, "eth0", "ether"), (100, "can0", "can")]
    assert ("UP" in links[-1]["flags"]) == up and "linkinfo" not in links[-1]
    detailed = json.loads(bus.ip("-d", "-j", "link", "show", "can0").stdout)
    assert [l["linkinfo"] for l in detailed] == [{"info_kind": kind}]
    # python-can lists the CAN interfaces that are up with this command.
    listed = json.loads(bus.ip("-json", "link", "list", "up").stdout)
    assert ("can0" in [l["ifname"] for l in listed]) == up


HOST_LINK_CASES = [
    # (arguments after `ip -details link show`, state of the bus's vcan0 (index 5), the samples
    # printed one after the other)
    (["lo"], "kind=vcan\nup=0\n", ["loopback-up.txt"]),
    (["eth0"], "kind=vcan\nup=1\n", ["ether-up.txt"]),
    (["up"], "kind=vcan\nup=0\n", ["show-up-filter.txt"]),
    (["up"], "kind=vcan\nup=1\n", ["show-up-filter.txt", "vcan-up.txt"]),
    (["vcan0", "up"], "kind=vcan\nup=0\n", []),
]


@pytest.mark.parametrize("args,state,samples", HOST_LINK_CASES)
def test_show_prints_the_hosts_other_links_and_reads_up_as_a_filter(tmp_path, args, state,
                                                                     samples):
    bus = fake_bus(tmp_path, vcan0=(5, state))
    done = bus.ip("-details", "link", "show", *args)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "".join((FIXTURES / s).read_text() for s in samples)


# -- ip: set --------------------------------------------------------------------------------------

SET_CASES = [
    # (state before, argument lists in order, exit status of the last, stderr, state after)
    (UP_1M, [["down"]], 0, "", "kind=can\nup=0\nbitrate=1000000\n"),
    (UP_1M, [["down"], ["type", "can", "bitrate", "500000"], ["up"]], 0, "",
     "kind=can\nup=1\nbitrate=500000\n"),
    ("kind=can\nup=0\n", [["up", "type", "can", "bitrate", "250000"]], 0, "",
     "kind=can\nup=1\nbitrate=250000\n"),
    (UP_1M, [["type", "can", "bitrate", "500000"]], 2,
     "RTNETLINK answers: Device or resource busy\n", UP_1M),
    (DOWN_UNCONFIGURED, [["up"]], 2, "RTNETLINK answers: Invalid argument\n", DOWN_UNCONFIGURED),
    ("kind=can\nup=0\n", [["type", "can", "bitrate", "1"]], 2,
     "RTNETLINK answers: Invalid argument\n", "kind=can\nup=0\n"),
    ("kind=vcan\nup=1\n", [["down"], ["type", "can", "bitrate", "1000000"]], 2,
     "RTNETLINK answers: Operation not supported\n", "kind=vcan\nup=0\n"),
    ("kind=vxcan\nup=0\n", [["type", "can", "bitrate", "1000000"]], 2,
     "RTNETLINK answers: Operation not supported\n", "kind=vxcan\nup=0\n"),
    ("kind=vcan\nup=0\n", [["up"]], 0, "", "kind=vcan\nup=1\n"),
    ("kind=can\nup=0\nbitrate=1000000\n", [["type", "vcan"]], 2,
     "RTNETLINK answers: Operation not supported\n", "kind=can\nup=0\nbitrate=1000000\n"),
]


@pytest.mark.parametrize("before,commands,status,stderr,after", SET_CASES)
def test_link_set_changes_state_like_the_kernel(tmp_path, before, commands, status, stderr, after):
    bus = fake_bus(tmp_path, can0=(100, before))
    for i, command in enumerate(commands):
        done = bus.ip("link", "set", "can0", *command)
        if i < len(commands) - 1:
            assert done.returncode == 0, done.stderr
    assert (done.returncode, done.stderr, done.stdout) == (status, stderr, "")
    assert bus.state("can0") == after


def test_show_reports_what_set_configured(tmp_path):
    bus = fake_bus(tmp_path, can0=(100, UP_1M))
    for command in (["down"], ["type", "can", "bitrate", "125000"]):
        assert bus.ip("link", "set", "can0", *command).returncode == 0
    text = bus.ip("-details", "link", "show", "can0").stdout
    assert text.startswith("100: can0: <NOARP,ECHO> ") and " state DOWN " in text
    assert "\t  bitrate 125000 sample-point 0.875\n" in text
    assert "tq 500 prop-seg 6 phase-seg1 7 phase-seg2 2 sjw 1 brp 4\n" in text


@pytest.mark.parametrize("args,status,message", [
    ([], 255, "Usage: ip"),
    (["-s", "link", "show", "can0"], 255, 'Option "-s" is unknown'),
    (["route", "show"], 1, 'Object "route" is unknown'),
    (["link", "frob", "can0"], 255, 'Command "frob" is unknown'),
    (["-d", "link", "show", "can0", "extra"], 255, '"extra" is a garbage'),
    (["link", "set"], 255, '"dev" argument is required'),
    (["link", "set", "can0", "sideways"], 255, '"sideways" is a garbage'),
    (["link", "set", "can0", "type", "can", "bitrate"], 255, "not complete"),
    (["link", "set", "can0", "type", "can", "bitrate", "fast"], 255, 'invalid "bitrate" value'),
    (["link", "set", "can0", "type", "can", "restart-ms", "5"], 255, 'unknown option "restart-ms"'),
    (["link", "set", "can0", "type", "ethernet"], 255, 'Unknown device type "ethernet"'),
    (["-d", "link", "show", "nosuch"], 1, 'Device "nosuch" does not exist.\n'),
    (["-d", "link", "show", "../ifaces"], 1, 'Device "../ifaces" does not exist.\n'),
    (["link", "set", "nosuch", "down"], 1, 'Cannot find device "nosuch"\n'),
    (["-d", "link", "show", "dev", "up"], 1, 'Device "up" does not exist.\n'),
    (["link", "set", "lo", "down"], 2, '"lo" is a link of the host'),
    (["link", "set", "eth0", "type", "can", "bitrate", "1000000"], 2, '"eth0" is a link of the host'),
])
def test_bad_command_lines_fail_visibly_and_change_nothing(tmp_path, args, status, message):
    bus = fake_bus(tmp_path, can0=(100, UP_1M))
    done = bus.ip(*args)
    assert done.returncode == status and message in done.stderr and done.stdout == ""
    assert bus.state("can0") == UP_1M


@pytest.mark.parametrize("args", [["-d", "link", "show", "can0"], ["link", "set", "can0", "down"]])
def test_ip_refuses_to_run_outside_the_simulation(args):
    env = {k: v for k, v in os.environ.items() if k != "VCAN_SIM_DIR"}
    done = subprocess.run([IP] + args, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode != 0 and "VCAN_SIM_DIR" in done.stderr and done.stdout == ""


# -- unprivileged mode and sudo -------------------------------------------------------------------

UP_500K, DOWN_500K = "kind=can\nup=1\nbitrate=500000\n", "kind=can\nup=0\nbitrate=500000\n"


@pytest.mark.parametrize("before,command,after", [
    (UP_500K, ["down"], DOWN_500K),
    (DOWN_500K, ["up"], UP_500K),
    (DOWN_500K, ["type", "can", "bitrate", "1000000"], "kind=can\nup=0\nbitrate=1000000\n")])
def test_unprivileged_set_fails_and_sudo_passes(tmp_path, before, command, after):
    bus = fake_bus(tmp_path, can0=(100, before))
    (tmp_path / "unprivileged").touch()
    logs = {"VCAN_IP_LOG": str(tmp_path / "ip.log"), "VCAN_SUDO_LOG": str(tmp_path / "sudo.log")}
    denied = bus.ip("link", "set", "can0", *command, **logs)
    assert (denied.returncode, denied.stderr) == (2, "RTNETLINK answers: Operation not permitted\n")
    assert bus.state("can0") == before
    assert bus.ip("-d", "link", "show", "can0").returncode == 0
    granted = bus.run(SUDO, "ip", "link", "set", "can0", *command, **logs)
    assert (granted.returncode, granted.stderr) == (0, "")
    assert bus.state("can0") == after
    args = ["link", "set", "can0"] + command
    read = lambda name: [json.loads(l) for l in (tmp_path / name).read_text().splitlines()]
    assert read("ip.log") == [args, args]
    assert read("sudo.log") == [["ip"] + args]


@pytest.mark.parametrize("args,status,stderr", [
    (["sh", "-c", "exit 7"], 7, ""),
    (["sh", "-c", 'test "$VCAN_SIM_PRIVILEGED" = 1'], 0, ""),
    (["no-such-program-here"], 1, "command not found"),
    ([], 1, "usage"),
])
def test_sudo_runs_the_command_and_returns_its_status(tmp_path, args, status, stderr):
    bus = fake_bus(tmp_path, can0=(100, UP_1M))
    done = bus.run(SUDO, *args)
    assert done.returncode == status and stderr in done.stderr


def test_concurrent_ip_calls_never_see_a_torn_state_file(tmp_path):
    bus = fake_bus(tmp_path, can0=(100, "kind=can\nup=0\nbitrate=1000000\n"))
    env = dict(os.environ, VCAN_SIM_DIR=str(tmp_path))
    procs = []
    for i in range(12):
        rate = ["500000", "1000000"][i % 2]
        procs.append(subprocess.Popen([IP, "link", "set", "can0", "type", "can", "bitrate", rate],
                                      env=env, stderr=subprocess.PIPE))
        procs.append(subprocess.Popen([IP, "-d", "link", "show", "can0"], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    outputs = [p.communicate(timeout=60) for p in procs]
    assert all(p.returncode == 0 for p in procs), outputs
    shows = [out for p, (out, _) in zip(procs, outputs) if p.args[1] == "-d"]
    assert all(b"\t  bitrate " in out for out in shows)
    assert bus.state("can0").startswith("kind=can\nup=0\nbitrate=")


# -- Bus ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("options,expected", [
    ({}, {"kind": "can", "up": True, "bitrate": 1000000}),
    ({"up": False, "bitrate": 500000}, {"kind": "can", "up": False, "bitrate": 500000}),
    ({"unconfigured": True}, {"kind": "can", "up": False}),
    ({"kind": "vcan"}, {"kind": "vcan", "up": True}),
    ({"kind": "vxcan", "up": False}, {"kind": "vxcan", "up": False}),
])
@needs_build
def test_bus_lays_out_its_directory(options, expected):
    with Bus(("can0", "can1"), **options) as bus:
        root = pathlib.Path(bus.dir)
        assert (root / "ifaces").read_text() == "100 can0\n101 can1\n"
        assert bus.state("can0") == bus.state("can1") == expected
        assert (root / "ready").exists() and not (root / "unprivileged").exists()
        assert _alive(bus.daemon_pid)
    assert not root.exists() and not _alive(bus.daemon_pid)


@needs_build
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the environment it builds preloads the instrumented shim without its runtime")
def test_bus_env_state_and_stats(tmp_path):
    base = {"PATH": "/usr/bin:" + str(ROOT / "sim" / "bin"), "LD_PRELOAD": "libother.so"}
    with Bus("can0,can1", unprivileged=True) as bus:
        env = bus.env(base)
        assert env["VCAN_SIM_DIR"] == bus.dir
        assert env["PATH"] == str(ROOT / "sim" / "bin") + ":/usr/bin"
        assert env["LD_PRELOAD"] == preload_path() + " libother.so"
        assert bus.env(env) == env
        assert os.path.exists(os.path.join(bus.dir, "unprivileged"))
        bus.set_state("can1", up=False, bitrate=None)
        assert bus.state("can1") == {"kind": "can", "up": False}
        shown = subprocess.run([IP, "-d", "link", "show", "can1"], env=env, capture_output=True,
                               text=True, timeout=60)
        assert shown.stdout.startswith("101: can1: <NOARP,ECHO> mtu 16 qdisc noop state DOWN")
        assert set(bus.stats()["interfaces"]) == {"can0", "can1"}
        with pytest.raises(KeyError):
            bus.state("can7")


@needs_build
def test_bus_stops_when_the_block_raises():
    with pytest.raises(ZeroDivisionError):
        with Bus() as bus:
            root, pid = bus.dir, bus.daemon_pid
            1 / 0
    assert not os.path.exists(root) and not _alive(pid)
    bus.stop()  # idempotent


@pytest.mark.parametrize("interfaces,options", [
    ((), {}), (("can0", "can0"), {}), (("a/b",), {}), (("x" * 16,), {}), (("can 0",), {}),
    (("can0",), {"kind": "ethernet"}), (("can0",), {"bitrate": 0}),
])
def test_bus_rejects_bad_arguments(interfaces, options):
    with pytest.raises(ValueError):
        Bus(interfaces, **options)


def _fake_build(tmp_path, daemon_script):
    (tmp_path / "bin").mkdir()
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "libvcan_preload.so").touch()
    if daemon_script is not None:
        daemon = tmp_path / "bin" / "vcanbusd"
        daemon.write_text("#!/bin/sh\n" + daemon_script)
        daemon.chmod(0o755)
    return str(tmp_path)


@pytest.mark.parametrize("daemon_script,message", [
    (None, "run `make build`"),
    ("echo cannot listen >&2; exit 3\n", "status 3 before it was ready: cannot listen"),
])
def test_bus_start_failures_are_clear_and_leave_nothing(tmp_path, monkeypatch, daemon_script,
                                                        message):
    monkeypatch.setenv("VCAN_BUILD_DIR", _fake_build(tmp_path, daemon_script))
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    monkeypatch.setenv("TMPDIR", str(scratch))
    bus = Bus()
    with pytest.raises(BusError, match=message.replace("`", ".")):
        bus.start()
    assert bus.dir is None
    done = with_bus("can0", "--", "touch", str(tmp_path / "ran"))
    assert done.returncode == 1 and "vcanbusd" in done.stderr
    assert not (tmp_path / "ran").exists()
    assert os.listdir(str(scratch)) == []


# -- with-bus -------------------------------------------------------------------------------------

def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, TypeError):
        return False


def _processes_mentioning(text):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if text.encode() in f.read():
                    found.append(int(entry))
        except (OSError, ValueError):
            pass
    return found


def with_bus(*args, cwd=None, timeout=120):
    return subprocess.run([WITH_BUS] + list(args), capture_output=True, text=True, cwd=cwd,
                          stdin=subprocess.DEVNULL, timeout=timeout)


REPORT_DIR = 'echo "$VCAN_SIM_DIR"; '


@needs_build
@pytest.mark.parametrize("script,status", [
    ("true", 0), ("exit 3", 3), ("kill -TERM $$", 128 + 15), ("kill -KILL $$", 128 + 9)])
def test_with_bus_exit_status_and_teardown(script, status):
    done = with_bus("can0", "--", "sh", "-c", REPORT_DIR + script)
    assert done.returncode == status, done.stderr
    bus_dir = done.stdout.split("\n")[0]
    assert bus_dir.startswith("/") and not os.path.exists(bus_dir)
    assert _processes_mentioning(bus_dir) == []


@needs_build
@pytest.mark.parametrize("options,present,absent", [
    ([], ["<NOARP,UP,LOWER_UP,ECHO>", "bitrate 1000000 "], []),
    (["--bitrate", "500000"], ["bitrate 500000 ", " state UP "], []),
    (["--down"], ["<NOARP,ECHO>", "bitrate 1000000 "], [",UP,"]),
    (["--unconfigured"], ["<NOARP,ECHO>", " qdisc noop "], ["bitrate"]),
    (["--vcan"], ["vcan numtxqueues", "<NOARP,UP,LOWER_UP>"], ["bitrate"]),
    (["--vxcan", "--down"], ["vxcan numtxqueues", "<NOARP,M-DOWN>"], ["bitrate", ",UP,"]),
])
def test_with_bus_options_show_in_ip_details(options, present, absent):
    done = with_bus(*options, "can1,can0", "--", "ip", "-details", "link", "show", "can0")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("101: can0")  # a vxcan shows its peer: can0@can1
    assert all(p in done.stdout for p in present) and not any(a in done.stdout for a in absent)


@pytest.mark.parametrize("args", [
    ["can0", "true"], ["can0", "--"], ["--", "true"], ["--bitrate", "can0", "--", "true"],
    ["--bitrate", "-5", "can0", "--", "true"], ["--vcan", "--vxcan", "can0", "--", "true"],
    ["--loud", "can0", "--", "true"], ["can0", "can1", "--", "true"], ["can0,", "--", "true"]])
def test_with_bus_usage_errors(args):
    done = with_bus(*args)
    assert done.returncode == 2 and "usage: with-bus" in done.stderr and done.stdout == ""


@needs_build
def test_with_bus_from_another_directory_through_a_symlink(tmp_path):
    link = tmp_path / "wb"
    link.symlink_to(WITH_BUS)
    done = subprocess.run([str(link), "--unprivileged", "can0", "--", "sh", "-c",
                           "ip link set can0 down || sudo ip link set can0 down"],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "RTNETLINK answers: Operation not permitted" in done.stderr


@needs_build
@pytest.mark.parametrize("name", ["c;touch${IFS}X", "c`touch>X`", "c$(touch>X)"])
def test_interface_names_are_never_shell_code(tmp_path, name):
    done = with_bus(name, "--", "ip", "-details", "link", "show", name, cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("100: %s: <" % name)
    assert os.listdir(str(tmp_path)) == []


# The handler writes with os.write: the signal may arrive while print("ready") is still inside
# stdout's buffered writer (the line is out once flushed), which a print in the handler re-enters.
CATCHER = """
import os, signal, sys
signal.signal({sig}, lambda s, f: (os.write(1, b"caught %d\\n" % s), sys.exit(0)))
print("ready", flush=True)
signal.pause()
"""


@needs_build
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_with_bus_forwards_signals(sig, cpython):
    proc = subprocess.Popen([WITH_BUS, "can0", "--", cpython, "-c", CATCHER.format(sig=int(sig))],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert (proc.returncode, out) == (0, "caught %d\n" % sig), err


# -- the fixtures, and real CAN tools on the bus ---------------------------------------------------

@needs_build
def test_vcan_bus_fixture_points_the_environment_at_the_bus(vcan_bus):
    first = vcan_bus("can0")
    second = vcan_bus(["can1", "can2"], kind="vcan")
    assert os.environ["VCAN_SIM_DIR"] == second.dir != first.dir
    assert os.environ["PATH"].split(os.pathsep)[0] == str(ROOT / "sim" / "bin")
    shown = subprocess.run(["ip", "-d", "link", "show", "can2"], capture_output=True, text=True)
    assert shown.stdout.startswith("101: can2: <NOARP,UP,LOWER_UP> mtu 72")


def test_cpython_fixture_has_af_can(cpython):
    code = "import socket, sys; sys.exit(not hasattr(socket, 'AF_CAN'))"
    assert subprocess.run([cpython, "-c", code], timeout=60).returncode == 0


CANDUMP_THEN_CANSEND = """
candump -n 1 can0 > "$OUT" & dump=$!
i=0
while kill -0 $dump 2>/dev/null && [ $i -lt 600 ]; do
    cansend can0 123#DEADBEEF; sleep 0.05; i=$((i+1))
done
wait $dump
"""


@needs_build
def test_candump_sees_a_frame_from_cansend(tmp_path):
    out = tmp_path / "dump"
    env = dict(os.environ, OUT=str(out))
    done = subprocess.run([WITH_BUS, "can0", "--", "sh", "-c", CANDUMP_THEN_CANSEND], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert out.read_text().split() == ["can0", "123", "[4]", "DE", "AD", "BE", "EF"]

"""The opt-in real-time mode (VELMOT_RT_PRIORITY, VELMOT_RT_CPUS) of High and Realtime timer
threads and of the runtime's workers, read back from /proc: the policy, priority and CPUs of each
thread of a script. Timing is measured in bench/timer_lateness.py --load, not here."""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import velmot

BUILD = os.path.dirname(velmot.__file__)
SCHED_OTHER, SCHED_FIFO = 0, 1

# Starts a High and a Realtime timer (the variables are read at the first), changes the
# variables, starts two more, and starts a Python thread and a Normal timer (so the runtime's
# workers, and a blocking-pool thread for its calls) from inside a call. Prints, per thread:
# [policy, rt priority, allowed CPUs] (the timer threads, the main thread, the Python thread and
# the Normal timer's call thread by name, the others by id); then the tick counts.
SCRIPT = textwrap.dedent("""
    import json, os, threading, time, velmot

    def threads():
        found = {}
        for tid in os.listdir("/proc/self/task"):
            base = f"/proc/self/task/{tid}/"
            with open(base + "stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(base + "status") as f:
                cpus = [l.split()[1] for l in f if l.startswith("Cpus_allowed_list")][0]
            found[names.get(int(tid), tid)] = [int(fields[38]), int(fields[37]), cpus]
        return found

    def python_thread():
        names[threading.get_native_id()] = "from-a-call"
        time.sleep(1)

    names, handles = {threading.get_native_id(): "main"}, []
    def tick(name):
        if threading.get_native_id() not in names:
            names[threading.get_native_id()] = name
            if name == "timer-1":
                threading.Thread(target=python_thread).start()
                handles.append(velmot.timer(100.0)(tick)("normal-tick"))

    handles += [velmot.precision_timer(200.0)(tick)("timer-1"),
                velmot.precision_timer(200.0, realtime=True)(tick)("timer-2")]
    os.environ["VELMOT_RT_PRIORITY"] = "7"
    os.environ["VELMOT_RT_CPUS"] = "0"
    handles += [velmot.precision_timer(200.0)(tick)("timer-3"),
                velmot.precision_timer(200.0, realtime=True)(tick)("timer-4")]
    expected = {"timer-1", "timer-2", "timer-3", "timer-4", "from-a-call", "normal-tick"}
    deadline = time.monotonic() + 20   # every thread has run once (slow on a loaded machine)
    while not expected <= set(names.values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    print(json.dumps({"threads": threads(), "ticks": [h.tick_count() for h in handles]}))
    for h in handles:
        h.stop()
""")

TIMER_THREADS = ["timer-1", "timer-2", "timer-3", "timer-4"]


def can_set_fifo():
    chrt = shutil.which("chrt")
    if chrt is None:
        return os.geteuid() == 0
    return subprocess.run([chrt, "-f", "1", "true"], capture_output=True).returncode == 0


def run(env_changes, refuse_policy=False):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELMOT_RT_")}
    env.update(env_changes, PYTHONPATH=BUILD)
    command = [sys.executable, "-c", SCRIPT]
    if refuse_policy:
        # No real-time priority allowed by the limit, and for root no CAP_SYS_NICE either.
        command = ["prlimit", "--rtprio=0:0"] + command
        if os.geteuid() == 0:
            command = ["capsh", "--drop=cap_sys_nice", "--", "-c", 'exec "$@"', "sh"] + command
    result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    return report, result.stderr


def allowed_cpus():
    cpus = []
    for item in process_cpus().split(","):
        first, _, last = item.partition("-")
        cpus += range(int(first), int(last or first) + 1)
    return cpus


def as_list(cpus):
    return ",".join(str(c) for c in cpus)


def process_cpus():
    with open("/proc/self/status") as f:
        return [l.split()[1] for l in f if l.startswith("Cpus_allowed_list")][0]


def assert_threads(report, timer_state, worker_state):
    """The timer threads are in `timer_state`; the threads that run Python code besides them (the
    main thread, the thread started in a call, the Normal timer's call thread) have the normal
    policy; the other threads (the runtime's) are in `worker_state`."""
    threads = report["threads"]
    for name in TIMER_THREADS:
        assert threads[name] == timer_state, name
    python_threads = ["main", "from-a-call", "normal-tick"]
    for name in python_threads:
        assert threads[name][:2] == [SCHED_OTHER, 0], name
    runtime = [state for name, state in threads.items() if name not in TIMER_THREADS + python_threads]
    assert runtime and all(state[:2] == worker_state for state in runtime), runtime
    assert all(ticks > 0 for ticks in report["ticks"])


@pytest.mark.skipif(os.environ.get("VELMOT_EMULATED") == "1",
                    reason="qemu-user's own thread (normal policy) is one of the process's threads")
@pytest.mark.parametrize("priority, cpus, worker_priority", [
    ("80", "first", 79), ("1", "all", 1), (" 99 ", "first-as-range", 98)])
def test_timer_threads_and_workers_run_under_the_chosen_policy(priority, cpus, worker_priority):
    if not can_set_fifo():
        pytest.skip("this process may not set SCHED_FIFO (needs CAP_SYS_NICE or RLIMIT_RTPRIO)")
    available = allowed_cpus()
    text = {"first": str(available[0]), "all": as_list(available),
            "first-as-range": f"{available[0]}-{available[0]}"}[cpus]
    report, stderr = run({"VELMOT_RT_PRIORITY": priority, "VELMOT_RT_CPUS": text})
    assert stderr == ""
    shown = str(available[0]) if cpus != "all" else process_cpus()
    assert_threads(report, [SCHED_FIFO, int(priority), shown], [SCHED_FIFO, worker_priority])
    # Threads started from a timer call keep its CPUs (the kernel copies them), not its policy.
    assert report["threads"]["from-a-call"][2] == shown
    assert report["threads"]["main"][2] == process_cpus()


@pytest.mark.parametrize("env", [{}, {"VELMOT_RT_PRIORITY": "", "VELMOT_RT_CPUS": ""}],
                         ids=["unset", "empty"])
def test_without_the_variables_nothing_changes(env):
    report, stderr = run(env)
    assert stderr == ""
    assert_threads(report, [SCHED_OTHER, 0, process_cpus()], [SCHED_OTHER, 0])


@pytest.mark.parametrize("env, line", [
    ({"VELMOT_RT_PRIORITY": "0"}, "[velmot] VELMOT_RT_PRIORITY='0' ignored: not a priority from 1 to 99"),
    ({"VELMOT_RT_PRIORITY": "100"}, "[velmot] VELMOT_RT_PRIORITY='100' ignored: not a priority from 1 to 99"),
    ({"VELMOT_RT_PRIORITY": "-5"}, "[velmot] VELMOT_RT_PRIORITY='-5' ignored: not a priority from 1 to 99"),
    ({"VELMOT_RT_PRIORITY": "high"}, "[velmot] VELMOT_RT_PRIORITY='high' ignored: not a priority from 1 to 99"),
    ({"VELMOT_RT_CPUS": "1-0"}, "[velmot] VELMOT_RT_CPUS='1-0' ignored: not a CPU list such as 0,2-3"),
    ({"VELMOT_RT_CPUS": "0,,1"}, "[velmot] VELMOT_RT_CPUS='0,,1' ignored: not a CPU list such as 0,2-3"),
    ({"VELMOT_RT_CPUS": "4096"}, "[velmot] VELMOT_RT_CPUS='4096' ignored: not a CPU list such as 0,2-3"),
    ({"VELMOT_RT_CPUS": "1023"},
     "[velmot] VELMOT_RT_CPUS=1023 refused (Invalid argument): timer threads keep their CPU affinity"),
])
def test_unusable_values_print_one_line_and_change_nothing(env, line):
    report, stderr = run(env)
    assert stderr.splitlines() == [line]
    assert_threads(report, [SCHED_OTHER, 0, process_cpus()], [SCHED_OTHER, 0])


def test_refused_policy_prints_one_line_and_timers_run_as_without_it():
    if shutil.which("prlimit") is None or (os.geteuid() == 0 and shutil.which("capsh") is None):
        pytest.skip("needs prlimit (and capsh for root) to run without real-time privileges")
    report, stderr = run({"VELMOT_RT_PRIORITY": "80"}, refuse_policy=True)
    assert stderr.splitlines() == [
        "[velmot] VELMOT_RT_PRIORITY=80 refused (Operation not permitted): "
        "timer and runtime threads run with the normal policy"]
    assert_threads(report, [SCHED_OTHER, 0, process_cpus()], [SCHED_OTHER, 0])

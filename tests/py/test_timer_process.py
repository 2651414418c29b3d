"""Timers across a whole process: a timer started after the registry's shutdown flag was raised
never calls its function, and a script that ends with timers of every precision still running
exits cleanly, every time."""
import os
import subprocess
import sys
import textwrap

import pytest

import velmot

BUILD = os.path.dirname(velmot.__file__)


def test_timers_started_after_the_shutdown_flag_never_tick(run_python):
    result = run_python("""
        import time, velmot
        velmot.get_task_manager().stop_all()   # raises the flag for the rest of the process
        calls = []
        handles = [velmot.timer(200.0)(calls.append)("normal"),
                   velmot.precision_timer(200.0)(calls.append)("high"),
                   velmot.precision_timer(200.0, realtime=True)(calls.append)("realtime")]
        time.sleep(0.3)
        print(calls, [h.tick_count() for h in handles], [h.is_running() for h in handles])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "[] [0, 0, 0] [False, False, False]"


EXIT_SCRIPT = textwrap.dedent("""
    import sys, time, velmot

    def work():
        time.sleep(0.02)

    normal = velmot.timer(100.0)(work)()
    high = velmot.precision_timer(100.0)(work)()
    realtime = velmot.precision_timer(100.0, realtime=True)(work)()
    time.sleep(float(sys.argv[1]))
""")

RUNS, BATCH = 50, 10


def test_script_ending_with_running_timers_exits_cleanly_every_time():
    env = dict(os.environ, PYTHONPATH=BUILD)
    failures = []
    for first in range(0, RUNS, BATCH):
        # Different end delays meet the timers in different phases of their calls.
        batch = [subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT, str((run % 7) * 0.007)],
                                  env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for run in range(first, first + BATCH)]
        for process in batch:
            try:
                _, err = process.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                _, err = process.communicate()
                failures.append(("hang", err))
                continue
            if process.returncode != 0 or "panicked" in err or "Fatal Python error" in err:
                failures.append((process.returncode, err))
    assert failures == []

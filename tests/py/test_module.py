"""The module as a whole: what importing it does, what it exports, how it installs."""
import os
import shutil
import subprocess
import sys
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
IS_PYPY = sys.implementation.name == "pypy"


def test_import_starts_no_thread(run_python):
    result = run_python("""
        import os
        before = sorted(os.listdir('/proc/self/task'))
        import velmot
        after = sorted(os.listdir('/proc/self/task'))
        print(before == after, len(before), len(after))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[0] == "True", result.stdout


def test_module_docstring_is_one_line_and_panic_exception_is_hidden():
    import velmot
    assert velmot.__doc__ and "\n" not in velmot.__doc__.strip()
    assert not hasattr(velmot, "PanicException")
    assert all(hasattr(velmot, name) for name in velmot.__all__)


def test_all_lists_every_name_in_registration_order():
    import velmot
    assert velmot.__all__ == [
        "AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "Device", "Motor", "PrecisionTimer",
        "TaskManager", "RunAsync", "Timer", "TimerHandle", "TimerWrapper", "timer",
        "precision_timer", "run_async", "get_task_manager", "shutdown_all", "block_all",
        "block_until"]


def exported_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True,
                         text=True, check=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def test_init_function_is_the_only_exported_symbol():
    import velmot
    assert exported_symbols(velmot.__file__) == ["PyInit_velmot"]


@pytest.mark.skipif(IS_PYPY, reason="installation is checked once, with the CPython build")
@pytest.mark.skipif(shutil.which("cmake") is None and shutil.which("ninja") is None,
                    reason="no build tools")
def test_pip_install_in_fresh_venv(tmp_path):
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    python = env_dir / "bin" / "python"
    # Compiled exactly as the Makefile's trees compile (their compiler, their shared include
    # root, warnings as errors, a build folder as deep as theirs), so that ccache, which the
    # Makefile exports, serves this build from their objects instead of compiling all of it again.
    # (The long option: the pip that Python 3.9's venv brings has no -C.)
    same_as_trees = [f"--config-settings={setting}" for setting in (
        "cmake.define.VELMOT_WERROR=ON",
        f"cmake.define.VELMOT_LAYER_INCLUDE_ROOT={ROOT / 'build' / 'layer_include'}",
        "build-dir=build/wheel-{wheel_tag}")]
    install = subprocess.run(
        [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(ROOT),
         *same_as_trees],
        capture_output=True, text=True, timeout=900, cwd=tmp_path,
        env={**os.environ, "CXX": os.environ.get("CXX", "c++")})
    assert install.returncode == 0, install.stdout + install.stderr
    check = subprocess.run([str(python), "-c", "import velmot; print(velmot.__file__)"],
                           capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert check.returncode == 0, check.stderr
    installed = Path(check.stdout.strip())
    assert env_dir in installed.parents
    assert exported_symbols(installed) == ["PyInit_velmot"]


def _velmot_classes():
    import velmot
    return [getattr(velmot, name) for name in velmot.__all__
            if isinstance(getattr(velmot, name), type)]


@pytest.mark.parametrize("cls", _velmot_classes(), ids=lambda cls: cls.__name__)
@pytest.mark.parametrize("make", ["subclass", "object_new"])
def test_classes_cannot_be_subclassed_or_made_without_their_constructor(cls, make):
    with pytest.raises(TypeError):
        if make == "subclass":
            type("Sub", (cls,), {})
        else:
            object.__new__(cls)

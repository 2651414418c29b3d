"""Puts the build tree of the running interpreter first on sys.path, so that the tests import the
freshly built extensions: build/pypy/python under PyPy, build/cpython/python otherwise."""
import pathlib
import sys

_ROOT = pathlib.Path(__file__).resolve().parents[2]
_FLAVOUR = "pypy" if sys.implementation.name == "pypy" else "cpython"
_BUILD = str(_ROOT / "build" / _FLAVOUR / "python")
if _BUILD not in sys.path:
    sys.path.insert(0, _BUILD)

"""The type stubs (python/velmot-stubs/__init__.pyi) against the module at run time: every name of
__all__, every public method and property and the context-manager and call slots are declared,
with the runtime's parameter names and defaults wherever the interpreter exposes text signatures."""
import ast
import inspect
import pathlib

import pytest

import velmot

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "velmot-stubs" / "__init__.pyi"
TREE = ast.parse(STUB.read_text())
STUB_DEFS = {node.name: node for node in TREE.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
SLOTS = ("__enter__", "__exit__", "__call__")


def stub_params(function):
    """[(name, default source or None)] of a stub function, without self or cls."""
    args = function.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults) if a.arg not in ("self", "cls")]


def runtime_params(obj):
    """The same from a runtime text signature, or None where the interpreter shows none."""
    if getattr(obj, "__text_signature__", None) is None:
        return None
    signature = inspect.signature(obj)
    return [(p.name, None if p.default is p.empty else repr(p.default))
            for p in signature.parameters.values() if p.name != "self"]


def test_all_matches_the_stubs():
    declared = ast.literal_eval(next(n.value for n in TREE.body if isinstance(n, ast.Assign)
                                     and n.targets[0].id == "__all__"))
    assert declared == velmot.__all__
    assert set(velmot.__all__) <= set(STUB_DEFS)


@pytest.mark.parametrize("name", [n for n in velmot.__all__ if isinstance(getattr(velmot, n), type)])
def test_class_members_are_declared(name):
    cls = getattr(velmot, name)
    stub = {node.name: node for node in STUB_DEFS[name].body if isinstance(node, ast.FunctionDef)}
    public = [m for m in vars(cls) if not m.startswith("_") or (m in SLOTS and m in vars(cls))]
    assert sorted(set(public) - set(stub)) == []
    for member in public:
        runtime = vars(cls)[member]
        is_property = inspect.isdatadescriptor(runtime) and not callable(runtime)
        assert is_property == any(getattr(d, "id", None) == "property" for d in stub[member].decorator_list)
        params = None if is_property or member in SLOTS else runtime_params(getattr(cls, member))
        if params is not None:
            assert stub_params(stub[member]) == params, member
    constructor = runtime_params(cls)
    if constructor is not None:
        assert stub_params(stub["__new__"]) == constructor


@pytest.mark.parametrize("name", [n for n in velmot.__all__ if not isinstance(getattr(velmot, n), type)])
def test_function_parameters_match(name):
    params = runtime_params(getattr(velmot, name))
    if params is not None:
        assert stub_params(STUB_DEFS[name]) == params

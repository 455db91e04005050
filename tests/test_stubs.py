"""The type stubs name what the modules define, with the same parameters."""

import ast
import inspect
from pathlib import Path

import pytest

import quorvel_core
from quorvel_core import _quorvel_core as native

PACKAGE = Path(quorvel_core.__file__).parent


def stub(name):
    """{name: parameters or None for a value} of a stub's public definitions,
    with the methods of classes as "Class.method"."""
    tree = ast.parse((PACKAGE / name).read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = stub_parameters(node.args)
        elif isinstance(node, ast.AnnAssign):
            found[node.target.id] = None
        elif isinstance(node, ast.ClassDef):
            found[node.name] = None
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = stub_parameters(item.args)
    return {key: value for key, value in found.items() if not key.startswith("_")
            or key == "__version__"}


def stub_parameters(args):
    positional = args.posonlyargs + args.args
    defaults = [False] * (len(positional) - len(args.defaults)) + [True] * len(args.defaults)
    params = [(a.arg, "positional", d) for a, d in zip(positional, defaults)]
    params += [(a.arg, "keyword", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [p for p in params if p[0] not in ("self", "cls")]


def runtime_parameters(obj):
    kinds = {inspect.Parameter.KEYWORD_ONLY: "keyword"}
    return [(p.name, kinds.get(p.kind, "positional"), p.default is not p.empty)
            for p in inspect.signature(obj).parameters.values() if p.name not in ("self", "cls")]


def runtime(module, name):
    owner, _, attr = name.rpartition(".")
    if not owner:
        return getattr(module, name)
    cls = getattr(module, owner)
    return cls if attr == "__new__" else getattr(cls, attr)


@pytest.mark.parametrize("module, stub_name, public", [
    (native, "_quorvel_core.pyi", {n for n in dir(native) if not n.startswith("_")}
     | {"__version__"}),
    (quorvel_core, "__init__.pyi", set(quorvel_core.__all__) | {"__version__", "configure_native"}),
])
def test_stub_matches_the_module(module, stub_name, public):
    declared = stub(stub_name)
    assert {name for name in declared if "." not in name} == public
    for name, parameters in declared.items():
        if parameters is not None:
            assert parameters == runtime_parameters(runtime(module, name)), name

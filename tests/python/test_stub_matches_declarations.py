"""The stub declares every callable of the module with the parameters the module reports for it
(names, kinds and defaults, from the docstring signatures that the module's declarations make)."""

from __future__ import annotations

import ast
import inspect
import pathlib

import pytest

import zembric_core

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "python" / "zembric_core.pyi"
Kind = inspect.Parameter


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, object, object]]:
    arguments = function.args
    assert arguments.vararg is None and arguments.kwarg is None, function.name
    positional = [(a, Kind.POSITIONAL_ONLY) for a in arguments.posonlyargs]
    positional += [(a, Kind.POSITIONAL_OR_KEYWORD) for a in arguments.args]
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    pairs = [(a, kind, d) for (a, kind), d in zip(positional, defaults)]
    pairs += [(a, Kind.KEYWORD_ONLY, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return [(a.arg, kind, Kind.empty if d is None else ast.literal_eval(d)) for a, kind, d in pairs]


def runtime_parameters(callable_) -> list[tuple[str, object, object]]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(callable_).parameters.values()]


def decorators(function: ast.FunctionDef) -> set[str]:
    return {d.id for d in function.decorator_list if isinstance(d, ast.Name)}


# (qualified name, runtime callable, stub function, whether both lead with self or cls)
STUB_CALLABLES = []
for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
    if isinstance(node, ast.FunctionDef):
        STUB_CALLABLES.append((node.name, getattr(zembric_core, node.name), node, False))
    elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
        cls = getattr(zembric_core, node.name)
        for item in node.body:
            if not isinstance(item, ast.FunctionDef) or "property" in decorators(item):
                continue
            # A constructor's signature is the class's own; its stub leads with cls.
            runtime = cls if item.name == "__new__" else getattr(cls, item.name)
            bound_first = "staticmethod" not in decorators(item)
            STUB_CALLABLES.append((f"{node.name}.{item.name}", runtime, item, bound_first))


@pytest.mark.parametrize("runtime, function, bound_first",
                         [c[1:] for c in STUB_CALLABLES], ids=[c[0] for c in STUB_CALLABLES])
def test_stub_parameters_match_the_module(runtime, function, bound_first):
    stub = stub_parameters(function)
    actual = runtime_parameters(runtime)
    if bound_first:
        assert stub[0][0] in ("self", "cls")
        stub = stub[1:]
        if function.name != "__new__":
            assert actual[0][:2] == ("self", Kind.POSITIONAL_ONLY)
            actual = actual[1:]
    assert stub == actual


def test_stub_covers_every_public_callable():
    stubbed = {name for name, *_ in STUB_CALLABLES}
    public = set()
    for name in zembric_core.__all__:
        value = getattr(zembric_core, name)
        if not isinstance(value, type):
            public.add(name)
            continue
        public.add(f"{name}.__new__")
        public.update(f"{name}.{attr}" for attr, member in vars(value).items()
                      if not attr.startswith("_") and (callable(member)
                                                      or isinstance(member, staticmethod)))
    assert stubbed == public

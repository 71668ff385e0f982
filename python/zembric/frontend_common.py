"""What the PyTorch and JAX frontends share: the converted graph, the encoding of a traced call
as an External node, and evaluation of a (reduced) converted store.

Nothing here imports a framework. Values travel between operators as NumPy arrays, as in
:func:`zembric.evaluate`; each frontend's operator table turns them into its own arrays to
compute, which for CPU tensors and arrays costs no copy.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Generic, TypeAlias, TypeVar

from zembric.evaluation import evaluate
from zembric.standard_ops import Array, OpImpl
from zembric_core import GraphStore

# Executes one traced call given its input values (NumPy arrays) and returns its result, or the
# tuple of its results for a call with several.
CallImpl: TypeAlias = Callable[[list[Array]], Any]


@dataclass(frozen=True)
class Converted:
    """A framework graph converted into a store, with what it takes to evaluate it.

    ``roots`` are the graph's outputs as store ids, in the order of the flattened outputs;
    ``arguments`` names the sources that the graph's (flattened) arguments feed, in order;
    ``constants`` holds the values of the other sources (parameters, buffers, constants);
    ``calls`` executes each External node, keyed by its ``"call"`` param. ``unflatten`` puts
    the root values back into the structure the graph returns.
    """

    store: GraphStore
    roots: tuple[int, ...]
    arguments: tuple[str, ...]
    constants: Mapping[str, Any]
    calls: Mapping[str, CallImpl]
    unflatten: Callable[[list[Any]], Any] = field(repr=False)
    flatten: Callable[[tuple[Any, ...]], list[Any]] = field(repr=False)


def evaluate_converted(
    converted: Converted,
    store: GraphStore,
    where: Mapping[str, Any] | None,
    flat_args: Sequence[Array],
    ops: Mapping[str, OpImpl],
    constant: Callable[[Any], Array],
) -> list[Array]:
    """The root values of ``store``: ``converted.store`` itself when ``where`` is None, else a
    reduction of it with ``where`` the map that reduction returned."""
    if len(flat_args) != len(converted.arguments):
        raise TypeError(f"the graph takes {len(converted.arguments)} tensor arguments, "
                        f"got {len(flat_args)}")
    if where is None:
        if store is not converted.store:
            raise ValueError("a reduced store needs its map: pass the map that "
                             "reduce_with_map or finalize_with_map returned")
        roots: Sequence[int] = converted.roots
    else:
        roots = where["roots"]
        if len(roots) != len(converted.roots):
            raise ValueError(f"the map has {len(roots)} roots, the graph "
                             f"{len(converted.roots)} outputs: it belongs to another reduction")
    inputs: dict[str, Any] = {name: constant(value) for name, value in converted.constants.items()}
    inputs.update(zip(converted.arguments, flat_args))
    return evaluate(store, inputs, ops=ops, externals=_call_runner(converted.calls),
                    outputs=roots)


def _call_runner(calls: Mapping[str, CallImpl]) -> Callable[[Mapping[str, Any], list[Array]],
                                                             Any]:
    # The outputs of a call with several are separate nodes: the call runs once per evaluation
    # and each takes its part, which keeps a random call's parts from one draw.
    done: dict[tuple[Any, ...], tuple[Any, list[Array]]] = {}

    def run(node: Mapping[str, Any], args: list[Array]) -> Any:
        params = node["params"]
        call = calls.get(params.get("call", ""))
        if call is None:
            raise KeyError(f"no traced call {params.get('call')!r} in this conversion")
        if "out" not in params:
            return call(args)
        key = (params["call"], params.get("draw"), *(id(a) for a in args))
        hit = done.get(key)
        if hit is None:
            hit = done[key] = (call(args), args)  # args kept alive, so their ids stay theirs
        return hit[0][params["out"]]

    return run


def writable(value: Array) -> Array:
    """``value``, copied if it is read-only (frameworks refuse to wrap those)."""
    return value if value.flags.writeable else value.copy()


_Value = TypeVar("_Value")


class IdentityMemo(Generic[_Value]):
    """``compute(obj)`` once per object, for objects asked about many times a graph whose own
    hash or text is slow Python code (an op, a NumPy dtype). Keyed by ``id()``, each entry holding
    its object: no id is reused while the entry lives, and objects that merely compare equal do
    not share an entry. With ``bound``, a full memo starts afresh, so that a caller making fresh
    objects cannot grow it without end. A failing ``compute`` leaves no entry."""

    def __init__(self, compute: Callable[[Any], _Value], bound: int | None = None) -> None:
        self._compute = compute
        self._bound = bound
        self._known: dict[int, tuple[Any, _Value]] = {}

    def __call__(self, obj: Any) -> _Value:
        entry = self._known.get(id(obj))
        if entry is None:
            if self._bound is not None and len(self._known) >= self._bound:
                self._known.clear()
            entry = self._known[id(obj)] = (obj, self._compute(obj))
        return entry[1]


def shape_text(shape: Sequence[int]) -> str:
    return "[" + ",".join(str(int(d)) for d in shape) + "]"


class CallText:
    """Writes a traced call's non-array arguments as canonical text, the identity of its
    External node. Arrays become ``$k``, the node's k-th input. Values the writer cannot
    spell exactly get a text of their own, so that two such calls are never taken as equal."""

    def __init__(self, atoms: Callable[[Any], str | None]) -> None:
        self._atoms = atoms
        self._opaque = 0

    def write(self, value: Any, is_array: Callable[[Any], bool], inputs: list[Any]) -> str:
        if is_array(value):
            inputs.append(value)
            return f"${len(inputs) - 1}"
        if value is None or type(value) in (bool, int, str):
            return repr(value)
        if type(value) is float:
            return float.hex(value)  # exact, and -0.0 is not 0.0
        if isinstance(value, (list, tuple)):
            inner = ", ".join(self.write(v, is_array, inputs) for v in value)
            return f"[{inner}]" if isinstance(value, list) else f"({inner})"
        if isinstance(value, dict):
            return "{" + ", ".join(f"{k!r}: {self.write(value[k], is_array, inputs)}"
                                   for k in sorted(value)) + "}"
        atom = self._atoms(value)
        if atom is not None:
            return atom
        self._opaque += 1
        return f"<{type(value).__name__} #{self._opaque}>"


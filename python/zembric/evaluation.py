"""A reference interpreter of stores: the value of every node, computed with NumPy.

It gives a graph its meaning, so that a host can check what a reduction did to it, and compare a
reduced store's values with those of the store it came from, node by node through the map of
``reduce_with_map``.
"""

from __future__ import annotations

import functools
import operator
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from zembric.standard_ops import STANDARD_OPS, Array, OperandError, OpImpl, Params
from zembric_core import GraphStore

# fn(node, args) -> value: the node's view dict (descriptor, params, ...) and its input values.
ExternalImpl: TypeAlias = Callable[[Mapping[str, Any], list[Array]], npt.ArrayLike]
Externals: TypeAlias = Mapping[str, ExternalImpl] | ExternalImpl
# By source name or source id.
Inputs: TypeAlias = (Mapping[str, npt.ArrayLike] | Mapping[int, npt.ArrayLike]
                     | Mapping[str | int, npt.ArrayLike])
# Where a value lies: (node id, None) for the node's own value, (Stage id, member position).
Location: TypeAlias = tuple[int, int | None]

_Compute: TypeAlias = Callable[[list[Array]], Array]


class EvaluationError(ValueError):
    """A store that cannot be evaluated; ``node_id`` names the node at fault, when one is."""

    def __init__(self, message: str, node_id: int | None = None) -> None:
        super().__init__(message)
        self.node_id = node_id


@dataclass(frozen=True)
class Evaluation:
    """The values of one evaluation: ``values[id]`` per node (None where it was not computed)
    and ``members[id]`` per Stage node, its members' values in member order."""

    values: list[Array | None]
    members: dict[int, list[Array]]

    def at(self, location: Location) -> Array:
        """The value at a location of a reduction map's ``"nodes"``: (node, None) or
        (Stage, member)."""
        node, member = location
        value = self.values[node] if member is None else self.members[node][member]
        if value is None:
            raise KeyError(f"node {node} was not evaluated")
        return value


def evaluate(
    store: GraphStore,
    inputs: Inputs,
    *,
    ops: Mapping[str, OpImpl] | None = None,
    externals: Externals | None = None,
    outputs: Iterable[SupportsIndex] | None = None,
) -> list[Array]:
    """The values of the store's marked outputs, in mark order, or of the nodes ``outputs``
    names, in that order, repeats kept. Only the nodes these need are computed.

    ``inputs`` maps a source's name, or its id (which wins), to its value.

    Op and Reduction nodes, and Stage members, take their meaning from ``ops`` over the
    standard table :data:`zembric.STANDARD_OPS` (see :mod:`zembric.standard_ops` for the
    vocabulary): ``ops`` maps a name to ``fn(operands, params)``, adding or replacing entries.
    Conventions that hold for every operator, those of ``ops`` included:

    * An op's operands are its inputs in order. The param pair ``{"scalar": s, "side": "r"}``
      appends the scalar ``s`` as the last operand (``x op s``), ``"side": "l"`` puts it first
      (``s op x``); a missing ``"side"`` means ``"r"``.
    * A scalar does not promote: without a ``"dtype"`` param it takes the dtype of the op's
      inputs, so ``int_tensor * 1.0`` is ``int_tensor * 1`` and ``x + 0.0`` is ``x``, which is
      what the module's rewrites assume. A host that promotes says so with a ``"dtype"`` param;
      the scalar then combines with the inputs as NumPy would combine a Python number.
    * A ``"dtype"`` param (a NumPy dtype name) on any op or reduction casts its result.
    * Values follow IEEE arithmetic quietly: no warning for a division by zero or a NaN.

    Externals are resolved through ``externals``: a mapping from a descriptor's
    ``content_hash`` to ``fn(node, args)``, or one such callable for every external, given the
    node's view dict and its input values. Exchanges pass their single input through; a Stage
    runs its members in order and its value is its last member's.

    A store and its reductions agree up to the sign of zero: where the store computes
    ``-0.0 + 0.0`` (which is ``0.0``) its reduction keeps the ``-0.0``, and a commuted
    ``maximum`` or ``minimum`` of two zeros may return the other one, so a later ``1 / x`` may
    give an infinity of the other sign.

    Raises :class:`EvaluationError`, naming the node, for an unknown operator, a source missing
    from ``inputs``, an external without an implementation, and any failure of an operator.
    """
    views = store.nodes()
    if outputs is None:
        roots = store.outputs()
        if not roots:
            raise EvaluationError(
                "the store marks no outputs: name the nodes to evaluate with outputs=")
    else:
        roots = _node_ids(outputs, len(views))
    values, _ = _run(views, roots, inputs, ops, externals, keep_all=False)
    return [_computed(values, root) for root in roots]


def evaluate_all(
    store: GraphStore,
    inputs: Inputs,
    *,
    ops: Mapping[str, OpImpl] | None = None,
    externals: Externals | None = None,
    outputs: Iterable[SupportsIndex] | None = None,
) -> Evaluation:
    """Every node's value, and every Stage member's, as :func:`evaluate` computes them: of all
    nodes, or of those that the nodes ``outputs`` names need."""
    views = store.nodes()
    roots = list(range(len(views))) if outputs is None else _node_ids(outputs, len(views))
    values, members = _run(views, roots, inputs, ops, externals, keep_all=True)
    return Evaluation(values, members)


def _node_ids(ids: Iterable[SupportsIndex], count: int) -> list[int]:
    roots = [operator.index(i) for i in ids]
    for root in roots:
        if not 0 <= root < count:
            raise EvaluationError(f"no node with id {root}")
    return roots


def _computed(values: list[Array | None], node: int) -> Array:
    value = values[node]
    assert value is not None, node  # every root is pinned
    return value


def _label(node: Mapping[str, Any]) -> str:
    text = f"node {node['id']} ({node['kind']}"
    if node["name"]:
        text += f" {node['name']!r}"
    if node["kind"] == "external":
        text += f", content_hash {node['descriptor']['content_hash']!r}"
    return text + ")"


def _describe(exc: Exception) -> str:
    return str(exc) if isinstance(exc, OperandError) else f"{type(exc).__name__}: {exc}"


@functools.lru_cache(maxsize=64)
def _dtype(name: object) -> np.dtype[Any]:
    if not isinstance(name, str):
        raise OperandError(f"param 'dtype' must be a str naming a NumPy dtype, got {name!r}")
    try:
        return np.dtype(name)
    except TypeError:
        raise OperandError(f"param 'dtype' names no NumPy dtype: {name!r}") from None


def _finish(result: npt.ArrayLike, params: Params) -> Array:
    value = np.asarray(result)
    if "dtype" in params:
        value = value.astype(_dtype(params["dtype"]), copy=False)
    return value


def _apply_op(fn: OpImpl, params: Params, args: list[Array]) -> Array:
    if "scalar" not in params:
        return _finish(fn(args, params), params)
    scalar = params["scalar"]
    side = params.get("side", "r")
    if type(scalar) not in (int, float):
        raise OperandError(f"param 'scalar' must be a number, got {scalar!r}")
    if side not in ("r", "l"):
        raise OperandError(f"param 'side' must be 'r' or 'l', got {side!r}")
    operand: Any = scalar
    if "dtype" not in params and args:
        operand = np.asarray(scalar).astype(np.result_type(*args))
    operands = [operand, *args] if side == "l" else [*args, operand]
    return _finish(fn(operands, params), params)


def _apply_reduction(fn: OpImpl, params: Params, args: list[Array]) -> Array:
    return _finish(fn(args, params), params)


def _operator(table: Mapping[str, OpImpl], kind: str, name: str, params: Params,
              label: str) -> _Compute:
    fn = table.get(name)
    if fn is None:
        what = "reduction" if kind in ("reduction", "red") else "operator"
        raise EvaluationError(f"{label}: unknown {what}; give its implementation in ops=")
    apply = _apply_op if kind == "op" else _apply_reduction
    return lambda args: apply(fn, params, args)


def _stage(node: Mapping[str, Any], table: Mapping[str, OpImpl],
           members_out: dict[int, list[Array]] | None) -> _Compute:
    steps: list[tuple[_Compute, list[tuple[bool, int]], str]] = []
    for position, member in enumerate(node["members"]):
        label = f"node {node['id']} (stage, member {position}: {member['kind']} {member['name']!r})"
        compute = _operator(table, member["kind"], member["name"], member["params"], label)
        tokens = [(token == "input", k) for token, k in member["inputs"]]
        steps.append((compute, tokens, label))

    def run(args: list[Array]) -> Array:
        values: list[Array] = []
        for compute, tokens, label in steps:
            try:
                values.append(compute([args[k] if from_input else values[k]
                                       for from_input, k in tokens]))
            except Exception as exc:
                raise EvaluationError(f"{label}: {_describe(exc)}", node["id"]) from exc
        if members_out is not None:
            members_out[node["id"]] = values
        return values[-1]

    return run


def _source(node: Mapping[str, Any], inputs: Inputs, label: str) -> _Compute:
    node_id, name = node["id"], node["name"]
    if node_id in inputs:
        given = inputs[node_id]
    elif name in inputs:
        given = inputs[name]
    else:
        raise EvaluationError(
            f"{label}: no input given; pass inputs[{name!r}] or inputs[{node_id}]", node_id)
    try:
        value = np.asarray(given)
    except Exception as exc:
        raise EvaluationError(f"{label}: {_describe(exc)}", node_id) from exc
    return lambda args: value


def _external(node: Mapping[str, Any], externals: Externals | None, label: str) -> _Compute:
    content_hash = node["descriptor"]["content_hash"]
    fn: ExternalImpl | None
    if isinstance(externals, Mapping):
        fn = externals.get(content_hash)
    else:
        fn = externals
    if fn is None:
        raise EvaluationError(
            f"{label}: no implementation; give one in externals={{{content_hash!r}: fn}}",
            node["id"])
    return lambda args: np.asarray(fn(node, args))


def _plan(node: Mapping[str, Any], table: Mapping[str, OpImpl], inputs: Inputs,
          externals: Externals | None, members_out: dict[int, list[Array]] | None) -> _Compute:
    kind, label = node["kind"], _label(node)
    try:
        if kind == "source":
            return _source(node, inputs, label)
        if kind in ("op", "reduction"):
            return _operator(table, kind, node["name"], node["params"], label)
        if kind == "stage":
            return _stage(node, table, members_out)
        if kind == "external":
            return _external(node, externals, label)
        if kind == "exchange":
            if len(node["inputs"]) != 1:
                raise EvaluationError(
                    f"{label}: takes exactly one input, got {len(node['inputs'])}")
            return lambda args: args[0]
        raise EvaluationError(f"{label}: unknown node kind")
    except EvaluationError as exc:
        exc.node_id = node["id"]
        raise


def _run(
    views: Sequence[Mapping[str, Any]],
    roots: Sequence[int],
    inputs: Inputs,
    ops: Mapping[str, OpImpl] | None,
    externals: Externals | None,
    *,
    keep_all: bool,
) -> tuple[list[Array | None], dict[int, list[Array]]]:
    count = len(views)
    table = STANDARD_OPS if ops is None else {**STANDARD_OPS, **ops}
    # Inputs precede their node, so one sweep down the ids finds what the roots need, and how
    # often each value is read, which lets a value go as soon as its last reader has run.
    needed = bytearray(count)
    readers = [0] * count
    for root in roots:
        needed[root] = 1
    for i in range(count - 1, -1, -1):
        if needed[i]:
            for j in views[i]["inputs"]:
                needed[j] = 1
                readers[j] += 1
    pinned = set(roots)

    # Resolve every needed node before computing any, so that a store that cannot be evaluated
    # fails at once, at its first faulty node.
    members: dict[int, list[Array]] = {}
    members_out = members if keep_all else None
    plan = [(i, views[i]["inputs"], _plan(views[i], table, inputs, externals, members_out))
            for i in range(count) if needed[i]]

    values: list[Array | None] = [None] * count
    # A reference of IEEE arithmetic: infinities and NaNs are values, not warnings.
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for i, node_inputs, compute in plan:
            args = cast(list[Array], [values[j] for j in node_inputs])
            try:
                values[i] = compute(args)
            except EvaluationError:
                raise
            except Exception as exc:
                raise EvaluationError(f"{_label(views[i])}: {_describe(exc)}", i) from exc
            if not keep_all:
                for j in node_inputs:
                    readers[j] -= 1
                    if readers[j] == 0 and j not in pinned:
                        values[j] = None
    return values, members

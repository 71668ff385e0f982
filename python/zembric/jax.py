"""The JAX frontend: trace a function into a jaxpr, convert it into a store, and evaluate a
(reduced) store with ``jax.numpy``.

* :func:`trace` runs ``jax.make_jaxpr`` and keeps the structure of the arguments and results.
* :func:`from_jaxpr` converts it: arguments and constants become sources; nested calls (``jit``,
  ``closed_call``, ``custom_jvp_call``, ``custom_vjp_call``, ``remat``) are inlined;
  element-wise primitives become ops with the short names of :data:`zembric.STANDARD_OPS`
  where it has one, a literal operand becoming the ``{"scalar", "side"}`` pair; reductions
  become reductions; everything else (``dot_general``, ``broadcast_in_dim``, ``reshape``,
  ``transpose``, gathers, random bits, ...) becomes an External that names the primitive.
* :func:`run` evaluates the converted store, or a reduction of it.

A jaxpr never promotes inside a primitive (``lax`` takes operands of one dtype and casts with
``convert_element_type``, which becomes a ``cast`` op), so a literal always has its operand's
dtype and no op needs a ``"dtype"`` param for the rewrite rules' sake. Random numbers in JAX
are functions of their key, so equal calls may merge; only the stateful ``rng_uniform`` gets
a ``"draw"`` param. Key arrays travel through the evaluation as their key data.
"""

from __future__ import annotations

import enum
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, cast

import jax as _jax
import jax.numpy as _jnp
import numpy as np
from jax import lax as _lax
from jax.extend import core as _jcore

from zembric.frontend_common import (CallImpl, CallText, Converted, IdentityMemo,
                                     evaluate_converted, shape_text)
from zembric.standard_ops import Array, OpImpl, OperandError, Params, axes_of
from zembric_core import GraphStore, PayloadDescriptor

__all__ = ["JAX_OPS", "Traced", "from_jaxpr", "run", "trace"]

_UNARY = {name: name for name in (
    "neg exp log tanh sqrt rsqrt abs sin cos tan asin acos atan sinh cosh asinh acosh atanh "
    "erf erfc log1p expm1 exp2 sign floor ceil square").split()}
_UNARY.update(logistic="sigmoid", erf_inv="erfinv", is_finite="isfinite",
              stop_gradient="stop_gradient")
_BINARY = {name: name for name in "add sub mul div pow eq ne lt le gt ge atan2 nextafter".split()}
_BINARY.update(add_any="add", max="maximum", min="minimum", rem="fmod")
_LOGICAL = {"and": ("and", "bitwise_and"), "or": ("or", "bitwise_or"),
            "xor": ("xor", "bitwise_xor"), "not": ("not", "bitwise_not")}
_REDUCTIONS = {"reduce_sum": "sum", "reduce_max": "max", "reduce_min": "min",
               "reduce_prod": "prod", "reduce_and": "all", "reduce_or": "any",
               "argmax": "argmax", "argmin": "argmin"}
# Calls whose body is their meaning, inlined; other higher-order primitives (scan, while,
# cond) run their bodies in their own way and stay Externals.
_CALLS = frozenset(("pjit", "jit", "closed_call", "core_call", "custom_jvp_call",
                    "custom_vjp_call", "custom_vjp_call_jaxpr", "remat", "remat2",
                    "checkpoint"))
_BODIES = ("jaxpr", "call_jaxpr", "fun_jaxpr")
_STATEFUL = frozenset(("rng_uniform",))


@dataclass(frozen=True)
class Traced:
    """A traced function: its closed jaxpr and the structure of its arguments and results."""

    jaxpr: Any
    in_tree: Any
    out_tree: Any


def trace(fn: Callable[..., Any], *example_args: Any) -> Traced:
    """The jaxpr of ``fn(*example_args)``, with the argument and result structures."""
    closed, shapes = _jax.make_jaxpr(fn, return_shape=True)(*example_args)
    return Traced(closed, _jax.tree_util.tree_structure(tuple(example_args)),
                  _jax.tree_util.tree_structure(shapes))


# A dtype's text and NumPy's issubdtype run Python code of about a microsecond each, asked of a
# handful of dtypes thousands of times a graph.
def _dtype_is_key(dtype: Any) -> bool:
    return bool(_jnp.issubdtype(dtype, _jax.dtypes.prng_key))


_is_key = IdentityMemo(_dtype_is_key, bound=256)
_dtype_name = IdentityMemo(str, bound=256)


def _type_text(aval: Any) -> str:
    shape = getattr(aval, "shape", None)
    if shape is None:
        return type(aval).__name__
    return _dtype_name(aval.dtype) + shape_text(shape)


def _atom(value: Any) -> str | None:
    if isinstance(value, np.integer):
        return repr(int(value))
    if isinstance(value, np.floating):
        return float.hex(float(value))
    if isinstance(value, np.bool_):
        return repr(bool(value))
    if isinstance(value, np.dtype):
        return str(value)
    if isinstance(value, enum.Enum):
        return f"{type(value).__name__}.{value.name}"
    if isinstance(value, type) and issubclass(value, np.generic):
        return str(np.dtype(value))
    return None


def _key_data(value: Any) -> Any:
    if hasattr(value, "dtype") and _is_key(value.dtype):
        return _jax.random.key_data(value)
    return value


class _Converter:
    def __init__(self) -> None:
        self.store = GraphStore()
        self.calls: dict[str, CallImpl] = {}
        self.constants: dict[str, Any] = {}
        self.descriptors: dict[tuple[str, str], PayloadDescriptor] = {}
        self.text = CallText(_atom)
        self.draws = 0
        self.const_count = 0
        self.version = _jax.__version__

    def literal_source(self, value: Any, aval: Any) -> int:
        array = np.asarray(value, dtype=aval.dtype)
        name = f"literal {_dtype_name(aval.dtype)}{shape_text(array.shape)} {array.tobytes().hex()}"
        self.constants[name] = array
        return self.store.add_source(name, {"shape": shape_text(array.shape),
                                            "dtype": _dtype_name(aval.dtype)})

    def constant_source(self, value: Any, aval: Any) -> int:
        name = f"const{self.const_count}"
        self.const_count += 1
        self.constants[name] = _key_data(value)
        return self.store.add_source(name, {"shape": shape_text(aval.shape),
                                            "dtype": _dtype_name(aval.dtype)})

    def atom(self, env: dict[Any, int], atom: Any) -> int:
        if isinstance(atom, _jcore.Literal):
            return self.literal_source(atom.val, atom.aval)
        return env[atom]

    def jaxpr(self, jaxpr: Any, consts: Sequence[Any], args: Sequence[int]) -> list[int]:
        env: dict[Any, int] = {}
        for var, value in zip(jaxpr.constvars, consts):
            env[var] = self.constant_source(value, var.aval)
        for var, node in zip(jaxpr.invars, args):
            env[var] = node
        for eqn in jaxpr.eqns:
            outs = self.eqn(env, eqn)
            for var, node in zip(eqn.outvars, outs):
                if not isinstance(var, _jcore.DropVar):
                    env[var] = node
        return [self.atom(env, v) for v in jaxpr.outvars]

    def eqn(self, env: dict[Any, int], eqn: Any) -> list[int]:
        name = eqn.primitive.name
        inner = (next((eqn.params[k] for k in _BODIES if k in eqn.params), None)
                 if name in _CALLS else None)
        if isinstance(inner, _jcore.ClosedJaxpr):
            return self.jaxpr(inner.jaxpr, inner.consts, [self.atom(env, v) for v in eqn.invars])
        if isinstance(inner, _jcore.Jaxpr) and not inner.constvars:
            return self.jaxpr(inner, [], [self.atom(env, v) for v in eqn.invars])
        dtypes = [v.aval.dtype for v in eqn.invars]
        if name in _UNARY or name in _BINARY or name in _LOGICAL or name in (
                "integer_pow", "select_n", "convert_element_type"):
            node = self.elementwise(env, eqn, name, dtypes)
            if node is not None:
                return [node]
        if name in _REDUCTIONS:
            return [self.reduction(env, eqn, _REDUCTIONS[name])]
        return self.external(env, eqn)

    def elementwise(self, env: dict[Any, int], eqn: Any, name: str,
                    dtypes: list[Any]) -> int | None:
        invars = list(eqn.invars)
        params: dict[str, Any] = {}
        if any(_is_key(d) for d in dtypes):
            return None
        if name == "convert_element_type":
            if _is_key(eqn.params["new_dtype"]):
                return None
            return self.store.add_op("cast", [self.atom(env, invars[0])],
                                     {"dtype": _dtype_name(eqn.params["new_dtype"])})
        if name == "integer_pow":
            y = int(eqn.params["y"])
            params = {"scalar": float(y) if _floating(dtypes[0]) else y, "side": "r"}
            return self.store.add_op("pow", [self.atom(env, invars[0])], params)
        if name == "select_n":
            if len(invars) != 3 or dtypes[0] != np.bool_:
                return None
            invars = [invars[0], invars[2], invars[1]]  # select_n(p, f, t) is where(p, t, f)
            short = "where"
        elif name in _LOGICAL:
            short = _LOGICAL[name][0 if dtypes[0] == np.bool_ else 1]
        elif any(v is not None for v in eqn.params.values()):
            return None  # a variant this table does not spell (rounding methods, accuracy)
        elif name in ("div", "rem") and not _floating(dtypes[0]):
            return None  # integer division truncates, unlike the vocabulary's div
        else:
            short = _UNARY.get(name) or _BINARY[name]
        literals = [k for k, v in enumerate(invars) if isinstance(v, _jcore.Literal)]
        if len(literals) == 1 and len(invars) > 1 and literals[0] in (0, len(invars) - 1) \
                and not (short == "where" and literals[0] == 0):
            position = literals[0]
            value = np.asarray(invars[position].val)
            if value.shape == () and value.dtype.kind in "iuf":
                scalar: int | float = float(value) if value.dtype.kind == "f" else int(value)
                params = {"scalar": scalar, "side": "l" if position == 0 else "r"}
                del invars[position]
        return self.store.add_op(short, [self.atom(env, v) for v in invars], params)

    def reduction(self, env: dict[Any, int], eqn: Any, short: str) -> int:
        (x,) = eqn.invars
        rank = len(x.aval.shape)
        axes = sorted(int(a) % rank for a in eqn.params.get("axes", ())) if rank else []
        params: dict[str, Any] = {}
        if short in ("argmax", "argmin") or len(axes) < rank:
            params["axes"] = ",".join(map(str, axes))
        if "index_dtype" in eqn.params:
            params["dtype"] = _dtype_name(eqn.params["index_dtype"])
        return self.store.add_reduction(short, [self.atom(env, x)], params)

    def external(self, env: dict[Any, int], eqn: Any) -> list[int]:
        primitive = eqn.primitive
        inputs: list[Any] = []
        is_atom: Callable[[Any], bool] = lambda v: False
        args_text = self.text.write(dict(eqn.params), is_atom, inputs)
        text = f"{primitive.name}{args_text}"
        if text not in self.calls:
            self.calls[text] = _call_impl(primitive, dict(eqn.params),
                                          [v.aval.dtype for v in eqn.invars],
                                          [v.aval.dtype for v in eqn.outvars])
        schema = (",".join(_type_text(v.aval) for v in eqn.invars) + "->"
                  + ",".join(_type_text(v.aval) for v in eqn.outvars))
        key = (primitive.name, schema)
        descriptor = self.descriptors.get(key)
        if descriptor is None:
            descriptor = self.descriptors[key] = PayloadDescriptor(
                kind="jax-primitive", content_hash=primitive.name, framework="jax",
                version=self.version, io_schema=schema)
        params: dict[str, Any] = {"call": text}
        if primitive.name in _STATEFUL:
            params["draw"] = self.draws
            self.draws += 1
        ids = [self.atom(env, v) for v in eqn.invars]
        if not primitive.multiple_results:
            return [self.store.add_external(descriptor, ids, params)]
        return [self.store.add_external(descriptor, ids, {**params, "out": k})
                for k in range(len(eqn.outvars))]


def _dtype_is_floating(dtype: Any) -> bool:
    return bool(np.issubdtype(dtype, np.inexact))


_floating = IdentityMemo(_dtype_is_floating, bound=256)


def _call_impl(primitive: Any, params: Mapping[str, Any], in_dtypes: list[Any],
               out_dtypes: list[Any]) -> CallImpl:
    wrap = [getattr(d, "_impl", None) if _is_key(d) else None for d in in_dtypes]

    def call(values: list[Array]) -> Any:
        args = [v if impl is None else _jax.random.wrap_key_data(cast(Any, v), impl=impl)
                for v, impl in zip(values, wrap)]
        result = primitive.bind(*args, **params)
        if primitive.multiple_results:
            return [_key_data(r) for r in result]
        return _key_data(result)

    return call


def from_jaxpr(traced: Traced | Any) -> Converted:
    """Convert a traced function (:func:`trace`) or a bare closed jaxpr into a store.

    The flattened arguments become the sources ``arg0``, ``arg1``, ... (``shape`` and
    ``dtype`` params), the jaxpr's constants ``const0``, ... and literals that are not scalar
    operands sources named after their value; the results are the roots."""
    if isinstance(traced, Traced):
        closed, in_tree, out_tree = traced.jaxpr, traced.in_tree, traced.out_tree
    else:
        closed, in_tree, out_tree = traced, None, None
    converter = _Converter()
    store = converter.store
    arguments = [f"arg{k}" for k in range(len(closed.jaxpr.invars))]
    args = [store.add_source(name, {"shape": shape_text(v.aval.shape),
                                    "dtype": _dtype_name(v.aval.dtype)})
            for name, v in zip(arguments, closed.jaxpr.invars)]
    roots = converter.jaxpr(closed.jaxpr, closed.consts, args)

    def unflatten(values: list[Any]) -> Any:
        if out_tree is None:
            return values
        return _jax.tree_util.tree_unflatten(out_tree, values)

    def flatten(given: tuple[Any, ...]) -> list[Any]:
        leaves, tree = _jax.tree_util.tree_flatten(given)
        if in_tree is not None and tree != in_tree:
            raise TypeError(f"arguments of structure {tree}, the trace took {in_tree}")
        return leaves

    return Converted(store, tuple(roots), tuple(arguments), converter.constants,
                     converter.calls, unflatten, flatten)


def _unary(fn: Callable[[Any], Any]) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        if len(operands) != 1:
            raise OperandError(f"takes 1 operand, got {len(operands)}")
        return fn(operands[0])

    return impl


def _binary(fn: Callable[[Any, Any], Any]) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        if len(operands) != 2:
            raise OperandError(f"takes 2 operands, got {len(operands)}")
        return fn(_jnp.asarray(operands[0]), _jnp.asarray(operands[1]))

    return impl


def _reduction(fn: Callable[..., Any], *, single: bool = False) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        if len(operands) != 1:
            raise OperandError(f"takes 1 operand, got {len(operands)}")
        axes = axes_of(params)
        keepdims = bool(params.get("keepdims", False))
        if single:
            dims = (axes,) if isinstance(axes, int) else axes
            if dims is None or len(dims) != 1:
                raise OperandError("takes one axis")
            return fn(operands[0], axis=dims[0], keepdims=keepdims)
        return fn(operands[0], axis=axes, keepdims=keepdims)

    return impl


def _where(operands: Sequence[Any], params: Params) -> Any:
    if len(operands) != 3:
        raise OperandError(f"takes 3 operands, got {len(operands)}")
    return _jnp.where(*operands)


def _cast(operands: Sequence[Any], params: Params) -> Any:
    if len(operands) != 1 or "dtype" not in params:
        raise OperandError("cast takes 1 operand and a 'dtype' param")
    return _lax.convert_element_type(operands[0], np.dtype(str(params["dtype"])))


def _ops() -> dict[str, OpImpl]:
    j, lax = _jnp, _lax
    unary: dict[str, Callable[..., Any]] = {"neg": j.negative, "exp": j.exp, "log": j.log, "tanh": j.tanh, "sqrt": j.sqrt,
             "rsqrt": lax.rsqrt, "abs": j.abs, "sin": j.sin, "cos": j.cos, "tan": j.tan,
             "asin": j.arcsin, "acos": j.arccos, "atan": j.arctan, "sinh": j.sinh,
             "cosh": j.cosh, "asinh": j.arcsinh, "acosh": j.arccosh, "atanh": j.arctanh,
             "erf": lax.erf, "erfc": lax.erfc, "log1p": j.log1p, "expm1": j.expm1,
             "exp2": j.exp2, "sign": lax.sign, "floor": j.floor, "ceil": j.ceil,
             "square": j.square, "sigmoid": lax.logistic, "erfinv": lax.erf_inv,
             "isfinite": j.isfinite, "stop_gradient": lax.stop_gradient}
    binary: dict[str, Callable[..., Any]] = {"add": j.add, "sub": j.subtract, "mul": j.multiply, "div": j.true_divide,
              "pow": j.power, "maximum": j.maximum, "minimum": j.minimum, "eq": j.equal,
              "ne": j.not_equal, "lt": j.less, "le": j.less_equal, "gt": j.greater,
              "ge": j.greater_equal, "atan2": j.arctan2, "nextafter": j.nextafter,
              "fmod": j.fmod}
    assert set(unary) == set(_UNARY.values()) and set(binary) == set(_BINARY.values())
    table: dict[str, OpImpl] = {name: _unary(fn) for name, fn in unary.items()}
    table.update({name: _binary(fn) for name, fn in binary.items()})
    table.update({"and": _binary(_jnp.logical_and), "or": _binary(_jnp.logical_or),
                  "xor": _binary(_jnp.logical_xor), "not": _unary(_jnp.logical_not),
                  "bitwise_and": _binary(_jnp.bitwise_and),
                  "bitwise_or": _binary(_jnp.bitwise_or),
                  "bitwise_xor": _binary(_jnp.bitwise_xor),
                  "bitwise_not": _unary(_jnp.bitwise_not),
                  "where": _where, "cast": _cast,
                  "sum": _reduction(_jnp.sum), "max": _reduction(_jnp.max),
                  "min": _reduction(_jnp.min), "prod": _reduction(_jnp.prod),
                  "all": _reduction(_jnp.all), "any": _reduction(_jnp.any),
                  "mean": _reduction(_jnp.mean),
                  "argmax": _reduction(_jnp.argmax, single=True),
                  "argmin": _reduction(_jnp.argmin, single=True)})
    return table


JAX_OPS: Mapping[str, OpImpl] = _ops()
"""The ``jax.numpy`` meaning of every operator name that :func:`from_jaxpr` writes."""


def _numpy(value: Any) -> Array:
    return np.asarray(_key_data(value))


def run(converted: Converted, store: GraphStore, map: Mapping[str, Any] | None,
        *args: Any) -> Any:
    """Evaluate ``store`` with ``jax.numpy`` on ``args`` and return the function's results in
    their original structure (a list when the conversion had no structure).

    ``store`` is ``converted.store`` (with ``map`` None) or a reduction of it, with ``map``
    the map that ``reduce_with_map`` or ``IncrementalReducer.finalize_with_map`` returned."""
    flat = [_numpy(a) for a in converted.flatten(args)]
    values = evaluate_converted(converted, store, map, flat, JAX_OPS, _numpy)
    return converted.unflatten([_jnp.asarray(v) for v in values])

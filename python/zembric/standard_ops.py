"""The NumPy meaning of the standard operator vocabulary.

Every entry is called as ``fn(operands, params)``: ``operands`` are the node's input values in
order, with the scalar of a ``{"scalar": s, "side": "r" | "l"}`` param pair already placed on its
side, and ``params`` are the node's params as they stand. The caller applies the conventions
shared by every operator (the scalar's dtype, a ``"dtype"`` param's cast); see
:func:`zembric.evaluate`.

Element-wise: ``add sub mul div pow maximum minimum eq ne lt le gt ge`` take two operands,
``neg exp log tanh sqrt rsqrt sigmoid cast`` one (``cast`` needs a ``"dtype"`` param), ``where``
three (condition, then the values where it holds and where it does not). ``pow`` of two integer
or boolean operands is computed in float64, since NumPy refuses negative integer powers.

Reductions ``sum mean max min var`` take one operand and the params ``"axis"`` (an int) or
``"axes"`` (comma-separated ints in a str, ``""`` for none; neither means every axis),
``"keepdims"`` (bool, default False) and, for ``var``, ``"correction"`` (the delta degrees of
freedom, default 0).

Params outside this vocabulary, such as a host's own tags, are ignored.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from types import MappingProxyType
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

ParamValue: TypeAlias = bool | int | float | str
Params: TypeAlias = Mapping[str, ParamValue]
Array: TypeAlias = npt.NDArray[Any]
# fn(operands, params) -> value; an operand is an array, or a scalar param.
OpImpl: TypeAlias = Callable[[Sequence[Any], Params], npt.ArrayLike]


class OperandError(ValueError):
    """An operator given operands or params it cannot take."""


def _take(operands: Sequence[Any], count: int) -> Sequence[Any]:
    if len(operands) != count:
        noun = "operand" if count == 1 else "operands"
        raise OperandError(f"takes {count} {noun}, got {len(operands)}")
    return operands


def _unary(fn: Callable[[Any], Any]) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        (x,) = _take(operands, 1)
        return fn(x)

    return impl


def _binary(fn: Callable[[Any, Any], Any]) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        a, b = _take(operands, 2)
        return fn(a, b)

    return impl


def _sigmoid(x: Any) -> Any:
    # The tanh form neither overflows nor takes a negation, which NumPy refuses on booleans.
    return 0.5 * np.tanh(0.5 * np.asarray(x)) + 0.5


def _rsqrt(x: Any) -> Any:
    return np.reciprocal(np.sqrt(x))


def _pow(a: Any, b: Any) -> Any:
    if np.result_type(a, b).kind in "biu":
        return np.float_power(a, b)
    return np.power(a, b)


def _cast(operands: Sequence[Any], params: Params) -> npt.ArrayLike:
    (x,) = _take(operands, 1)
    if "dtype" not in params:
        raise OperandError("cast needs a 'dtype' param")
    return np.asarray(x)  # the caller applies the dtype param


def _where(operands: Sequence[Any], params: Params) -> Any:
    condition, yes, no = _take(operands, 3)
    return np.where(condition, yes, no)


def _int_param(params: Params, key: str, default: int) -> int:
    value = params.get(key, default)
    if type(value) is not int:
        raise OperandError(f"param {key!r} must be an int, got {value!r}")
    return value


def axes_of(params: Params) -> int | tuple[int, ...] | None:
    """The axes a reduction's params name: None for every axis."""
    if "axis" in params and "axes" in params:
        raise OperandError("give 'axis' or 'axes', not both")
    if "axis" in params:
        return _int_param(params, "axis", 0)
    if "axes" not in params:
        return None
    text = params["axes"]
    if not isinstance(text, str):
        raise OperandError(f"param 'axes' must be a str of comma-separated ints, got {text!r}")
    try:
        return tuple(int(part) for part in text.split(",")) if text.strip() else ()
    except ValueError:
        raise OperandError(
            f"param 'axes' must be a str of comma-separated ints, got {text!r}") from None


def _reduction(fn: Callable[..., Any], *, correction: bool = False) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        (x,) = _take(operands, 1)
        keepdims = params.get("keepdims", False)
        if type(keepdims) is not bool:
            raise OperandError(f"param 'keepdims' must be a bool, got {keepdims!r}")
        extra: dict[str, Any] = {}
        if correction:
            ddof = params.get("correction", 0)
            if type(ddof) not in (int, float):
                raise OperandError(f"param 'correction' must be a number, got {ddof!r}")
            extra["ddof"] = ddof
        return fn(np.asarray(x), axis=axes_of(params), keepdims=keepdims, **extra)

    return impl


STANDARD_OPS: Mapping[str, OpImpl] = MappingProxyType({
    "add": _binary(np.add),
    "sub": _binary(np.subtract),
    "mul": _binary(np.multiply),
    "div": _binary(np.true_divide),
    "pow": _binary(_pow),
    "maximum": _binary(np.maximum),
    "minimum": _binary(np.minimum),
    "eq": _binary(np.equal),
    "ne": _binary(np.not_equal),
    "lt": _binary(np.less),
    "le": _binary(np.less_equal),
    "gt": _binary(np.greater),
    "ge": _binary(np.greater_equal),
    "neg": _unary(np.negative),
    "exp": _unary(np.exp),
    "log": _unary(np.log),
    "tanh": _unary(np.tanh),
    "sqrt": _unary(np.sqrt),
    "rsqrt": _unary(_rsqrt),
    "sigmoid": _unary(_sigmoid),
    "cast": _cast,
    "where": _where,
    "sum": _reduction(np.sum),
    "mean": _reduction(np.mean),
    "max": _reduction(np.max),
    "min": _reduction(np.min),
    "var": _reduction(np.var, correction=True),
})

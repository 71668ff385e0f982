"""The PyTorch frontend: trace a function or module into ATen primitives, convert the FX graph
into a store, and evaluate a (reduced) store with torch.

* :func:`trace` runs ``make_fx`` with the core ATen decompositions and a few more (softmax,
  layer and batch norm, gelu, silu, addmm, dropout and their backward passes), functionalized,
  so that a model is element-wise ops, reductions and a few layout and matrix calls.
  A module's parameters and buffers become attributes of the graph module (``get_attr``), so
  the graph takes only the module's inputs; they keep referring to the module's tensors.
* :func:`from_fx` converts a functional FX graph of ATen ops (placeholders, ``get_attr``
  constants, element-wise ops, reductions, anything else as an External) into a store.
* :func:`run` evaluates the converted store, or a reduction of it, and returns the graph's
  outputs in their original structure.

The conversion keeps to what the module's rewrite rules assume. An op whose Python-number
operand promotes the result (``int_tensor * 1.0``) carries the result dtype as its
``"dtype"`` param; an integer number on a floating tensor is written as a float, so that the
``mul(mm, 1)`` of the addmm decomposition is the identity ``x * 1.0``; a random or
uninitialised call carries a ``"draw"`` param of its own, so no two of them are merged.

Values the evaluation carries must be NumPy-representable: bfloat16 graphs convert, but
:func:`run` cannot evaluate them.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
import torch as _torch
import torch.fx as _fx
from torch._decomp import core_aten_decompositions as _core_decompositions
from torch._decomp import get_decompositions as _get_decompositions
from torch.fx.experimental.proxy_tensor import make_fx as _make_fx

from zembric.frontend_common import (CallImpl, CallText, Converted, IdentityMemo,
                                     evaluate_converted, shape_text, writable)
from zembric.standard_ops import Array, OpImpl, OperandError, Params, axes_of
from zembric_core import GraphStore, PayloadDescriptor

__all__ = ["TORCH_OPS", "from_fx", "run", "trace"]

_aten = _torch.ops.aten

_UNARY = {name: name for name in (
    "neg exp log tanh sqrt rsqrt sigmoid relu abs sin cos tan asin acos atan sinh cosh asinh "
    "acosh atanh erf erfc erfinv log1p expm1 exp2 log2 log10 reciprocal sign sgn floor ceil "
    "trunc frac lgamma digamma bitwise_not isnan isinf round").split()}
_UNARY["logical_not"] = "not"
_BINARY = {name: name for name in (
    "add sub mul div pow maximum minimum eq ne lt le gt ge bitwise_and bitwise_or bitwise_xor "
    "atan2 fmod remainder hypot copysign fmax fmin nextafter xlogy").split()}
_BINARY.update(logical_and="and", logical_or="or", logical_xor="xor")
_COMPARISONS = frozenset("eq ne lt le gt ge and or xor not isnan isinf".split())
_REDUCTIONS = {"sum": "sum", "mean": "mean", "amax": "max", "amin": "min", "max": "max",
               "min": "min", "var": "var", "std": "std", "prod": "prod", "any": "any",
               "all": "all", "argmax": "argmax", "argmin": "argmin"}
# Calls whose result is not a function of their arguments: random draws and uninitialised
# memory.
_UNINITIALISED = frozenset(("empty", "empty_like", "empty_strided", "empty_permuted",
                            "new_empty", "new_empty_strided"))


def _extra_decompositions() -> dict[Any, Callable[..., Any]]:
    ops = [_aten._softmax, _aten._log_softmax, _aten.native_layer_norm, _aten.gelu, _aten.silu,
           _aten._native_batch_norm_legit_no_training, _aten.addmm, _aten.native_dropout,
           _aten._softmax_backward_data, _aten._log_softmax_backward_data,
           _aten.native_layer_norm_backward, _aten.gelu_backward, _aten.silu_backward,
           _aten.threshold_backward, _aten.sigmoid_backward, _aten.tanh_backward,
           _aten.native_batch_norm_backward, _aten.mse_loss, _aten.mse_loss_backward,
           _aten.nll_loss_forward, _aten.nll_loss_backward, _aten.hardtanh, _aten.logsumexp]
    table: dict[Any, Callable[..., Any]] = dict(_get_decompositions(ops))

    # The library's var_mean decomposition goes through prims that functionalization refuses.
    def var_mean(x: Any, dim: Any = None, *, correction: Any = None,
                 keepdim: bool = False) -> tuple[Any, Any]:
        var = _aten.var.correction(x, dim, correction=correction, keepdim=keepdim)
        mean = (_aten.mean.default(x) if dim is None
                else _aten.mean.dim(x, dim, keepdim))
        return var, mean

    table[_aten.var_mean.correction] = var_mean
    return table


_DECOMPOSITIONS: dict[Any, Callable[..., Any]] | None = None


def decompositions() -> dict[Any, Callable[..., Any]]:
    """The decomposition table :func:`trace` uses."""
    global _DECOMPOSITIONS
    if _DECOMPOSITIONS is None:
        _DECOMPOSITIONS = {**_core_decompositions(), **_extra_decompositions()}
    return _DECOMPOSITIONS


def trace(fn_or_module: Callable[..., Any], *example_args: Any) -> _fx.GraphModule:
    """An FX graph of functional ATen primitives computing ``fn_or_module(*example_args)``.

    The graph is traced with the example arguments' shapes, dtypes and values (control flow
    follows them). A module is traced in its current mode (``eval()`` or training)."""
    table = decompositions()
    lifted: list[tuple[str, _torch.Tensor]] = []
    fn: Callable[..., Any] = fn_or_module
    if isinstance(fn_or_module, _torch.nn.Module):
        module = fn_or_module
        state: dict[str, _torch.Tensor] = dict(module.named_parameters())
        state.update(module.named_buffers())
        lifted = list(state.items())
        names = [name for name, _ in lifted]

        def call_module(*flat: Any) -> Any:
            return _torch.func.functional_call(
                module, dict(zip(names, flat[:len(names)])), flat[len(names):])

        fn = call_module
    values = [value for _, value in lifted]
    # Decompositions can emit in-place ops, so a second trace functionalizes their result.
    first = _make_fx(fn, decomposition_table=table)(*values, *example_args)
    gm = _make_fx(_torch.func.functionalize(first, remove="mutations_and_views"),
                  decomposition_table=table)(*values, *example_args)
    if lifted:
        _attach_state(gm, lifted, example_args)
    return gm


def _attach_state(gm: _fx.GraphModule, lifted: list[tuple[str, _torch.Tensor]],
                  example_args: tuple[Any, ...]) -> None:
    placeholders = [n for n in gm.graph.nodes if n.op == "placeholder"]
    taken = {n.name for n in gm.graph.nodes}
    for node, (name, value) in zip(placeholders, lifted):
        attr = name.replace(".", "_")
        while attr in taken or hasattr(gm, attr):
            attr += "_"
        taken.add(attr)
        if isinstance(value, _torch.nn.Parameter):
            gm.register_parameter(attr, value)
        else:
            gm.register_buffer(attr, value)
        with gm.graph.inserting_before(node):
            fetched = gm.graph.get_attr(attr)
        fetched.meta = dict(node.meta)
        node.replace_all_uses_with(fetched)
        gm.graph.erase_node(node)
    # The signature loses the lifted arguments and keeps the structure of the others.
    codegen = gm.graph._codegen
    if isinstance(codegen, _fx.graph._PyTreeCodeGen) and codegen.pytree_info is not None:
        info = codegen.pytree_info
        spec = _torch.utils._pytree.tree_flatten(tuple(example_args))[1]
        gm.graph.set_codegen(_fx.graph._PyTreeCodeGen(_fx.graph._PyTreeInfo(
            info.orig_args[len(lifted):], spec, info.out_spec)))
    gm.recompile()


def _dtype_name(dtype: _torch.dtype) -> str:
    return str(dtype).removeprefix("torch.")


def _is_floating(dtype: _torch.dtype) -> bool:
    return dtype.is_floating_point or dtype.is_complex


class _Converter:
    def __init__(self, gm: _fx.GraphModule) -> None:
        self.gm = gm
        self.store = GraphStore()
        self.ids: dict[_fx.Node, int] = {}
        self.types: dict[_fx.Node, str] = {}
        # Reading a fake tensor's dtype, or printing an op, costs about a microsecond each, and an
        # op's own hash is a Python method: every node's dtype, every target's text and draw flag
        # and every target's handler are found once.
        self.dtypes: dict[_fx.Node, _torch.dtype] = {}
        self.targets = IdentityMemo(_target_facts)
        self.calls: dict[str, CallImpl] = {}
        self.multi: dict[_fx.Node, tuple[PayloadDescriptor, list[int], dict[str, Any]]] = {}
        self.descriptors: dict[tuple[str, str], PayloadDescriptor] = {}
        self.text = CallText(_atom)
        self.draws = 0
        self.arguments: list[str] = []
        self.constants: dict[str, Any] = {}
        self.handlers = IdentityMemo(self.handler_for)
        self.version = _torch.__version__

    # -- the value each node computes
    def dtype(self, node: _fx.Node) -> _torch.dtype:
        dtype = self.dtypes.get(node)
        if dtype is None:
            val = node.meta.get("val")
            if not isinstance(val, _torch.Tensor):
                raise ValueError(f"node {node.name!r} has no tensor in meta['val']: convert "
                                 "graphs that make_fx traced (zembric.torch.trace)")
            dtype = self.dtypes[node] = val.dtype
        return dtype

    def type_text(self, node: _fx.Node) -> str:
        text = self.types.get(node)
        if text is None:
            text = self.types[node] = _type_text(node.meta.get("val"))
        return text

    # -- nodes
    def convert(self) -> Converted:
        output: _fx.Node | None = None
        for node in self.gm.graph.nodes:
            if node.op == "placeholder":
                self.ids[node] = self.source(node, str(node.target))
                self.arguments.append(str(node.target))
            elif node.op == "get_attr":
                self.ids[node] = self.source(node, str(node.target))
                self.constants[str(node.target)] = _fetch(self.gm, str(node.target))
            elif node.op == "call_function":
                node_id = self.call(node)
                if node_id is not None:
                    self.ids[node] = node_id
            elif node.op == "output":
                output = node
            else:
                raise ValueError(f"node {node.name!r}: {node.op} is not an ATen graph node; "
                                 "trace the graph with zembric.torch.trace")
        assert output is not None
        leaves, spec = _torch.utils._pytree.tree_flatten(output.args[0])
        roots: list[int] = []
        slots: list[int | None] = []
        for leaf in leaves:
            if isinstance(leaf, _fx.Node):
                if leaf not in self.ids:
                    raise ValueError(f"output {leaf.name!r} is a tuple: return its parts")
                slots.append(len(roots))
                roots.append(self.ids[leaf])
            else:
                slots.append(None)
        codegen = self.gm.graph._codegen

        def unflatten(values: list[Any]) -> Any:
            flat = [leaf if slot is None else values[slot] for leaf, slot in zip(leaves, slots)]
            return codegen.process_outputs(_torch.utils._pytree.tree_unflatten(flat, spec))

        def flatten(args: tuple[Any, ...]) -> list[Any]:
            return list(codegen.process_inputs(*args))

        return Converted(self.store, tuple(roots), tuple(self.arguments), self.constants,
                         self.calls, unflatten, flatten)

    def source(self, node: _fx.Node, name: str) -> int:
        val = node.meta.get("val")
        if isinstance(val, _torch.Tensor):
            params: dict[str, Any] = {"shape": shape_text(val.shape),
                                      "dtype": _dtype_name(val.dtype)}
        else:
            params = {"dtype": type(val).__name__}
        return self.store.add_source(name, params)

    def call(self, node: _fx.Node) -> int | None:
        target = node.target
        if target is operator.getitem:
            return self.getitem(node)
        return self.handlers(target)(node)

    def handler_for(self, target: Any) -> Callable[[_fx.Node], int | None]:
        if not isinstance(target, _torch._ops.OpOverload):
            name = getattr(target, "__name__", repr(target))
            raise ValueError(f"call of {name}: not an ATen op; trace the graph with "
                             "zembric.torch.trace")
        schema = target._schema
        if schema.is_mutable:
            raise ValueError(f"{target} mutates its arguments: convert a functionalized graph "
                             "(zembric.torch.trace functionalizes)")
        packet = target._schema.name.split("::")[-1]
        names = [a.name for a in schema.arguments]
        if target.namespace == "aten":
            if packet in _UNARY:
                return lambda node: self.elementwise(node, _UNARY[packet], 1)
            if packet in _BINARY:
                return lambda node: self.elementwise(node, _BINARY[packet], 2)
            if packet == "rsub":
                return lambda node: self.elementwise(node, "sub", 2, swap=True)
            if packet == "where" and target._overloadname == "self":
                return lambda node: self.elementwise(node, "where", 3)
            if packet in ("clamp", "clamp_min", "clamp_max"):
                return lambda node: self.clamp(node, packet)
            if packet == "_to_copy":
                return self.to_copy
            if packet in _REDUCTIONS and target._overloadname != "out":
                reduction = self.reduction_handler(target, _REDUCTIONS[packet], names)
                if reduction is not None:
                    return reduction
        return self.external

    # -- element-wise ops
    def elementwise(self, node: _fx.Node, name: str, arity: int, *,
                    swap: bool = False) -> int | None:
        args = node.args
        if node.kwargs or len(args) != arity:
            return self.external(node)
        if swap:
            args = (args[1], args[0])
        # One plain loop: a comprehension's own frame costs more than the loop over one to three
        # arguments.
        tensors: list[_fx.Node] = []
        numbers: list[tuple[int, Any]] = []
        for k, a in enumerate(args):
            if isinstance(a, _fx.Node):
                tensors.append(a)
            else:
                numbers.append((k, a))
        if not tensors or len(numbers) > 1:
            return self.external(node)
        result = self.dtype(node)
        values = tensors[1:] if name == "where" else tensors
        base = self.dtype(values[0]) if values else result
        for other in values[1:]:
            dtype = self.dtype(other)
            if dtype != base:
                base = _torch.promote_types(base, dtype)
        params: dict[str, Any] = {}
        if numbers:
            position, number = numbers[0]
            if type(number) not in (int, float) or (position not in (0, arity - 1)):
                return self.external(node)
            if position == 0 and arity == 3:
                return self.external(node)
            promotes = ((type(number) is float and not _is_floating(base))
                        or (type(number) is int and base == _torch.bool))
            if type(number) is int and _is_floating(base):
                number = float(number)
            params = {"scalar": number, "side": "l" if position == 0 and arity > 1 else "r"}
            if promotes:
                params["dtype"] = _dtype_name(result)
        elif result != base and not (result == _torch.bool and name in _COMPARISONS):
            params["dtype"] = _dtype_name(result)
        return self.store.add_op(name, [self.ids[t] for t in tensors], params)

    def clamp(self, node: _fx.Node, packet: str) -> int | None:
        args: list[Any] = list(node.args)
        if node.kwargs:
            return self.external(node)
        x = args[0]
        names = ("min", "max") if packet == "clamp" else (packet[-3:],)
        bounds: dict[str, Any] = {k: v for k, v in zip(names, args[1:]) if v is not None}
        if (not isinstance(x, _fx.Node) or not bounds
                or any(type(v) not in (int, float) for v in bounds.values())):
            return self.external(node)
        base = self.dtype(x)
        if self.dtype(node) != base:
            return self.external(node)
        if _is_floating(base):
            bounds = {k: float(v) for k, v in bounds.items()}
        return self.store.add_op("clamp", [self.ids[x]], bounds)

    def to_copy(self, node: _fx.Node) -> int | None:
        (x, *rest) = node.args
        if rest or set(node.kwargs) != {"dtype"} or not isinstance(x, _fx.Node):
            return self.external(node)
        return self.store.add_op("cast", [self.ids[x]], {"dtype": _dtype_name(self.dtype(node))})

    # -- reductions
    def reduction_handler(self, target: Any, name: str,
                          names: list[str]) -> Callable[[_fx.Node], int | None] | None:
        known = {"self", "dim", "keepdim", "dtype", "correction"}
        if not set(names) <= known or names[0] != "self":
            return None
        if name in ("max", "min") and target._overloadname != "default":
            return None  # max.dim and min.dim return values and indices
        defaults = {a.name: a.default_value for a in target._schema.arguments
                    if a.has_default_value()}

        def handle(node: _fx.Node) -> int | None:
            bound = dict(defaults)
            bound.update(zip(names, node.args))
            bound.update(node.kwargs)
            x = bound["self"]
            if not isinstance(x, _fx.Node):
                return self.external(node)
            val = x.meta.get("val")
            rank = val.dim() if isinstance(val, _torch.Tensor) else 0
            params: dict[str, Any] = {}
            dim = bound.get("dim")
            if isinstance(dim, int):
                dim = [dim]
            if dim is not None and len(dim) > 0:
                axes = sorted({d % rank if rank else 0 for d in dim})
                if len(axes) < rank or name in ("argmax", "argmin"):
                    params["axes"] = ",".join(map(str, axes))
            if bound.get("keepdim"):
                params["keepdims"] = True
            if bound.get("dtype") is not None:
                params["dtype"] = _dtype_name(bound["dtype"])
            if name in ("var", "std"):
                correction = bound.get("correction")
                params["correction"] = 1 if correction is None else correction
            return self.store.add_reduction(name, [self.ids[x]], params)

        return handle

    # -- everything else
    def external(self, node: _fx.Node) -> int | None:
        target = node.target
        target_text, draws = self.targets(target)
        inputs: list[Any] = []
        is_node: Callable[[Any], bool] = lambda v: isinstance(v, _fx.Node)
        text = (f"{target_text}({self.text.write(list(node.args), is_node, inputs)[1:-1]}"
                f"{self.kwargs_text(node, inputs)})")
        if text not in self.calls:
            self.calls[text] = _call_impl(target, node.args, dict(node.kwargs))
        for value in inputs:
            if value not in self.ids:
                raise ValueError(f"node {node.name!r} reads {value.name!r}, a tuple: "
                                 "take its parts with getitem")
        schema = ",".join(self.type_text(v) for v in inputs) + "->" + self.type_text(node)
        key = (target_text, schema)
        descriptor = self.descriptors.get(key)
        if descriptor is None:
            descriptor = self.descriptors[key] = PayloadDescriptor(
                kind="aten", content_hash=target_text, framework="torch",
                version=self.version, io_schema=schema)
        params: dict[str, Any] = {"call": text}
        if draws:
            params["draw"] = self.draws
            self.draws += 1
        input_ids = [self.ids[v] for v in inputs]
        if isinstance(node.meta.get("val"), (tuple, list)):
            self.multi[node] = (descriptor, input_ids, params)
            return None
        return self.store.add_external(descriptor, input_ids, params)

    def kwargs_text(self, node: _fx.Node, inputs: list[Any]) -> str:
        if not node.kwargs:
            return ""
        is_node: Callable[[Any], bool] = lambda v: isinstance(v, _fx.Node)
        return "".join(f", {k}={self.text.write(node.kwargs[k], is_node, inputs)}"
                       for k in sorted(node.kwargs))

    def getitem(self, node: _fx.Node) -> int:
        parent, index = node.args
        if not isinstance(parent, _fx.Node) or parent not in self.multi or type(index) is not int:
            raise ValueError(f"node {node.name!r}: getitem of a value that is not a call's "
                             "results")
        descriptor, input_ids, params = self.multi[parent]
        return self.store.add_external(descriptor, input_ids, {**params, "out": index})


def _target_facts(target: Any) -> tuple[str, bool]:
    """The text of a call's target, and whether each call of it is a draw of its own."""
    text = str(target)
    packet = text.split(".")[1] if text.startswith("aten.") else ""
    draws = (_torch.Tag.nondeterministic_seeded in getattr(target, "tags", ())
             or packet in _UNINITIALISED)
    return text, draws


def _type_text(val: Any) -> str:
    if isinstance(val, _torch.Tensor):
        return _dtype_name(val.dtype) + shape_text(val.shape)
    if isinstance(val, (tuple, list)):
        return "(" + ",".join(_type_text(v) for v in val) + ")"
    return type(val).__name__


def _atom(value: Any) -> str | None:
    if isinstance(value, (_torch.dtype, _torch.device, _torch.layout, _torch.memory_format)):
        return str(value)
    return None


def _fetch(gm: _fx.GraphModule, target: str) -> Any:
    value: Any = gm
    for part in target.split("."):
        value = getattr(value, part)
    return value


def _call_impl(target: Any, args: Sequence[Any], kwargs: Mapping[str, Any]) -> CallImpl:
    def fill(value: Any, it: Any) -> Any:
        if isinstance(value, _fx.Node):
            return _torch.from_numpy(writable(next(it)))
        if isinstance(value, list):
            return [fill(v, it) for v in value]
        if isinstance(value, tuple):
            return tuple(fill(v, it) for v in value)
        return value

    def call(values: list[Array]) -> Any:
        it = iter(values)
        filled_args = fill(tuple(args), it)
        filled_kwargs = {k: fill(v, it) for k, v in sorted(kwargs.items())}
        return target(*filled_args, **filled_kwargs)

    return call


def from_fx(graph_module: _fx.GraphModule) -> Converted:
    """Convert a functional FX graph of ATen ops, as :func:`trace` makes it, into a store.

    Placeholders and ``get_attr`` constants become sources named after their targets, with
    ``"shape"`` and ``"dtype"`` params; element-wise ATen ops become ops with the short names
    of :data:`zembric.STANDARD_OPS` where it has one (a Python number operand as the
    ``{"scalar", "side"}`` pair); reductions become reductions with ``"axes"``,
    ``"keepdims"``, ``"dtype"`` and ``"correction"`` params; every other call becomes an
    External whose descriptor names the ATen op and whose ``"call"`` param spells its other
    arguments. The outputs are the roots. Node metadata ``meta["val"]`` (which make_fx
    records) supplies shapes and dtypes.

    Raises ValueError for a graph that mutates or is not of ATen ops."""
    return _Converter(graph_module).convert()


def _tensor(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return _torch.from_numpy(writable(value))
    return value


def _unary(fn: Callable[[Any], Any]) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        if len(operands) != 1:
            raise OperandError(f"takes 1 operand, got {len(operands)}")
        return fn(_tensor(operands[0]))

    return impl


def _binary(fn: Callable[[Any, Any], Any]) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        if len(operands) != 2:
            raise OperandError(f"takes 2 operands, got {len(operands)}")
        a, b = (_tensor(v) for v in operands)
        if not isinstance(a, _torch.Tensor):
            a = _torch.tensor(a)  # a scalar on the left, which some torch functions refuse
        return fn(a, b)

    return impl


def _where(operands: Sequence[Any], params: Params) -> Any:
    if len(operands) != 3:
        raise OperandError(f"takes 3 operands, got {len(operands)}")
    return _torch.where(*(_tensor(v) for v in operands))


def _clamp(operands: Sequence[Any], params: Params) -> Any:
    if len(operands) != 1:
        raise OperandError(f"takes 1 operand, got {len(operands)}")
    bounds: dict[str, Any] = {k: params[k] for k in ("min", "max") if k in params}
    return _torch.clamp(_tensor(operands[0]), **bounds)


def _dims(x: _torch.Tensor, params: Params) -> tuple[int, ...]:
    axes = axes_of(params)
    if axes is None:
        return tuple(range(x.dim()))
    return (axes,) if isinstance(axes, int) else axes


def _reduction(fn: Callable[..., Any], *, correction: bool = False,
               single: bool = False) -> OpImpl:
    def impl(operands: Sequence[Any], params: Params) -> Any:
        if len(operands) != 1:
            raise OperandError(f"takes 1 operand, got {len(operands)}")
        x = _tensor(operands[0])
        keepdim = bool(params.get("keepdims", False))
        extra: dict[str, Any] = {}
        if correction:
            extra["correction"] = params.get("correction", 0)
        if single:  # argmax, argmin: one axis, or the flattened tensor
            axes = axes_of(params)
            if axes is None:
                return fn(x, keepdim=keepdim)
            dims = (axes,) if isinstance(axes, int) else axes
            if len(dims) != 1:
                raise OperandError("takes one axis")
            return fn(x, dim=dims[0], keepdim=keepdim)
        dims = _dims(x, params)
        if fn is _torch.prod:
            for d in sorted(dims, reverse=True):
                x = fn(x, dim=d, keepdim=keepdim)
            return x
        return fn(x, dim=dims, keepdim=keepdim, **extra)

    return impl


def _cast(operands: Sequence[Any], params: Params) -> Any:
    if len(operands) != 1 or "dtype" not in params:
        raise OperandError("cast takes 1 operand and a 'dtype' param")
    return operands[0]  # the evaluator applies the dtype


def _ops() -> dict[str, OpImpl]:
    table: dict[str, OpImpl] = {}
    for aten_name, name in _UNARY.items():
        table[name] = _unary(getattr(_torch, aten_name))
    for aten_name, name in _BINARY.items():
        table[name] = _binary(getattr(_torch, aten_name))
    table.update(where=_where, clamp=_clamp, cast=_cast,
                 sum=_reduction(_torch.sum), mean=_reduction(_torch.mean),
                 max=_reduction(_torch.amax), min=_reduction(_torch.amin),
                 var=_reduction(_torch.var, correction=True),
                 std=_reduction(_torch.std, correction=True),
                 prod=_reduction(_torch.prod), any=_reduction(_torch.any),
                 all=_reduction(_torch.all),
                 argmax=_reduction(_torch.argmax, single=True),
                 argmin=_reduction(_torch.argmin, single=True))
    return table


TORCH_OPS: Mapping[str, OpImpl] = _ops()
"""The torch meaning of every operator name that :func:`from_fx` writes."""


def _numpy(value: Any) -> Array:
    if isinstance(value, _torch.Tensor):
        return np.asarray(value.detach())
    return np.asarray(value)


def run(converted: Converted, store: GraphStore, map: Mapping[str, Any] | None,
        *args: Any) -> Any:
    """Evaluate ``store`` with torch operators on ``args`` and return the graph's outputs in
    their original structure.

    ``store`` is ``converted.store`` (with ``map`` None) or a reduction of it, with ``map``
    the map that ``reduce_with_map`` or ``IncrementalReducer.finalize_with_map`` returned.
    Random calls draw from torch's generator, in the store's order."""
    flat = [_numpy(a) for a in converted.flatten(args)]
    with _torch.no_grad():
        values = evaluate_converted(converted, store, map, flat, TORCH_OPS, _numpy)
        return converted.unflatten([_torch.from_numpy(writable(np.asarray(v)))
                                    for v in values])

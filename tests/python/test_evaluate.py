"""The reference interpreter: its vocabulary against NumPy written out, and reductions held to
its values. A reduced store, read through the reduction map, gives every needed node the value
it has in the store it came from, and nodes that the symbolic evaluator of test_reduction_map
finds equal have equal values."""

from __future__ import annotations

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ir_blob
import zembric
from graph_strategies import Recipe
from test_reduction_map import Symbolic
from zembric_core import GraphStore, IncrementalReducer

X = np.array([[-2.0, -0.5, 0.5, 3.0], [1.0, 2.0, -1.0, 0.25], [4.0, -3.0, 0.5, 1.0]])
Y = np.array([0.5, -2.0, 1.5, 3.0])
C = X > 0
I = np.array([[3, -2, 0, 7], [1, 5, -4, 2], [0, 9, 6, -1]])
OPERANDS = {"X": X, "Y": Y, "C": C, "I": I}

# (kind, name, params, operands, the same in NumPy)
VOCABULARY = [
    ("op", "add", {}, "XY", lambda x, y: x + y),
    ("op", "sub", {}, "XY", lambda x, y: x - y),
    ("op", "mul", {"k": 1}, "XY", lambda x, y: x * y),  # a host's tag is ignored
    ("op", "div", {}, "XY", lambda x, y: x / y),
    ("op", "pow", {}, "XY", np.power),
    ("op", "maximum", {}, "XY", np.maximum),
    ("op", "minimum", {}, "XY", np.minimum),
    ("op", "eq", {}, "XX", lambda x, y: x == y),
    ("op", "ne", {}, "XY", lambda x, y: x != y),
    ("op", "lt", {}, "XY", lambda x, y: x < y),
    ("op", "le", {}, "XY", lambda x, y: x <= y),
    ("op", "gt", {}, "XY", lambda x, y: x > y),
    ("op", "ge", {}, "XY", lambda x, y: x >= y),
    ("op", "where", {}, "CXY", np.where),
    ("op", "where", {"scalar": 0.5, "side": "r"}, "CX", lambda c, x: np.where(c, x, 0.5)),
    ("op", "sub", {"scalar": 2.0, "side": "l"}, "X", lambda x: 2.0 - x),
    ("op", "sub", {"scalar": 2.0}, "X", lambda x: x - 2.0),  # the side defaults to "r"
    ("op", "div", {"scalar": 4.0, "side": "l"}, "Y", lambda y: 4.0 / y),
    ("op", "neg", {}, "X", np.negative),
    ("op", "exp", {}, "X", np.exp),
    ("op", "log", {}, "X", np.log),
    ("op", "tanh", {}, "X", np.tanh),
    ("op", "sqrt", {}, "X", np.sqrt),
    ("op", "rsqrt", {}, "X", lambda x: 1 / np.sqrt(x)),
    ("op", "sigmoid", {}, "X", lambda x: 1 / (1 + np.exp(-x))),
    ("op", "cast", {"dtype": "int32"}, "X", lambda x: x.astype(np.int32)),
    ("op", "exp", {"dtype": "float32"}, "X", lambda x: np.exp(x).astype(np.float32)),
    # A scalar takes the inputs' dtype; a host that promotes says so with a dtype.
    ("op", "mul", {"scalar": 1.0, "side": "r"}, "I", lambda i: i),
    ("op", "add", {"scalar": 0.5, "side": "l"}, "I", lambda i: i),
    ("op", "mul", {"scalar": 1.5, "side": "r", "dtype": "float64"}, "I", lambda i: i * 1.5),
    ("op", "pow", {"scalar": 2.0, "side": "r"}, "I", lambda i: i.astype(float) ** 2),
    ("op", "add", {"scalar": 0.0, "side": "r"}, "C", lambda c: c),
    ("reduction", "sum", {"axis": -1}, "X", lambda x: x.sum(axis=-1)),
    ("reduction", "mean", {"axes": "0,1"}, "X", np.mean),
    ("reduction", "max", {"axis": 0, "keepdims": True}, "X", lambda x: x.max(0, keepdims=True)),
    ("reduction", "min", {}, "I", np.min),
    ("reduction", "var", {"axis": 1, "correction": 1}, "X", lambda x: x.var(axis=1, ddof=1)),
    ("reduction", "sum", {"axes": "", "dtype": "float32"}, "I", lambda i: i.astype(np.float32)),
]


def agree(a, b) -> bool:
    a, b = np.asarray(a), np.asarray(b)
    return (a.dtype == b.dtype and a.shape == b.shape
            and bool(np.allclose(a, b, rtol=1e-12, atol=0.0, equal_nan=True)))


@pytest.mark.parametrize("kind, name, params, operands, expected", VOCABULARY,
                         ids=[f"{row[1]}{row[2]}" for row in VOCABULARY])
def test_vocabulary_means_what_numpy_means(kind, name, params, operands, expected):
    g = GraphStore()
    sources = [g.add_source(letter) for letter in operands]
    add = g.add_op if kind == "op" else g.add_reduction
    node = add(name, sources, params)
    (value,) = zembric.evaluate(g, OPERANDS, outputs=[node])
    with np.errstate(all="ignore"):
        assert agree(value, expected(*(OPERANDS[letter] for letter in operands)))


def test_the_table_above_covers_the_standard_vocabulary():
    assert {row[1] for row in VOCABULARY} == set(zembric.STANDARD_OPS)


def test_stage_members_run_through_their_tokens():
    # Reductions among the members, as a blob may hold them: exp(x - max(x, axis=-1)) / y.
    data = ir_blob.blob([
        ir_blob.source("x"), ir_blob.source("y"),
        ir_blob.stage([0, 1], [
            ("red|max|axis=i-1;keepdims=btrue", [(ir_blob.INPUT, 0)]),
            ("op|sub", [(ir_blob.INPUT, 0), (ir_blob.MEMBER, 0)]),
            ("op|exp", [(ir_blob.MEMBER, 1)]),
            ("op|div", [(ir_blob.MEMBER, 2), (ir_blob.INPUT, 1)]),
        ]),
    ], outputs=[2])
    store = GraphStore.deserialize(data)
    (value,) = zembric.evaluate(store, {"x": X, "y": Y})
    assert agree(value, np.exp(X - X.max(axis=-1, keepdims=True)) / Y)
    members = zembric.evaluate_all(store, {"x": X, "y": Y}).members[2]
    assert len(members) == 4 and agree(members[1], X - X.max(axis=-1, keepdims=True))


def test_inputs_by_id_or_name_and_externals_by_callable():
    g = GraphStore()
    x, tagged = g.add_source("x"), g.add_source("x", {"k": 1})
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    scaled = g.add_external(fields, [g.add_op("sub", [x, tagged])], {"gain": 3})
    seen = []

    def gain(node, args):
        seen.append(node["id"])
        return node["params"]["gain"] * args[0]

    # An id wins over the name; one callable serves every external.
    values = zembric.evaluate(g, {"x": 1.0, tagged: 5.0}, externals=gain,
                              outputs=[scaled, x, scaled])
    assert [float(v) for v in values] == [-12.0, 1.0, -12.0] and seen == [scaled]


def _store_with(case):
    g = GraphStore()
    x = g.add_source("x")
    fields = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    steps = {
        "unknown": lambda: g.add_op("frob", [x]),
        "member": lambda: g.reduce(outputs=[g.add_op("frob", [g.add_op("neg", [x])])])[0],
        "source": lambda: g.add_op("add", [x, g.add_source("y")]),
        "external": lambda: g.add_external(fields, [x]),
        "failing": lambda: g.add_op("sub", [g.add_op("gt", [x, x]), g.add_op("lt", [x, x])]),
        "arity": lambda: g.add_op("add", [x, x, x]),
        "exchange": lambda: g.add_exchange([x, x]),
    }
    result = steps[case]()
    return (result, None) if isinstance(result, GraphStore) else (g, [result])


@pytest.mark.parametrize("case, externals, node, message", [
    ("unknown", None, 1, "node 1 (op 'frob'): unknown operator; give its implementation in ops="),
    ("member", None, 1, "node 1 (stage, member 1: op 'frob'): unknown operator; give its "
                        "implementation in ops="),
    ("source", None, 1, "node 1 (source 'y'): no input given; pass inputs['y'] or inputs[1]"),
    ("external", None, 1, "node 1 (external, content_hash 'h'): no implementation; give one in "
                          "externals={'h': fn}"),
    ("external", {"other": print}, 1, "node 1 (external, content_hash 'h'): no implementation; "
                                      "give one in externals={'h': fn}"),
    ("failing", None, 3, "node 3 (op 'sub'): TypeError: numpy boolean subtract"),
    ("arity", None, 1, "node 1 (op 'add'): takes 2 operands, got 3"),
    ("exchange", None, 1, "node 1 (exchange): takes exactly one input, got 2"),
])
def test_errors_name_the_node(case, externals, node, message):
    store, outputs = _store_with(case)
    with pytest.raises(zembric.EvaluationError, match="^" + re.escape(message)) as caught:
        zembric.evaluate(store, {"x": X}, externals=externals, outputs=outputs)
    assert caught.value.node_id == node and "\n" not in str(caught.value)


@pytest.mark.parametrize("outputs, message", [
    (None, "the store marks no outputs: name the nodes to evaluate with outputs="),
    ([0, 9], "no node with id 9"),
])
def test_errors_without_a_node(outputs, message):
    g = GraphStore()
    g.add_source("x")
    with pytest.raises(zembric.EvaluationError, match=f"^{re.escape(message)}$"):
        zembric.evaluate(g, {"x": X}, outputs=outputs)


def test_only_what_the_outputs_need_is_resolved_and_computed():
    g = GraphStore()
    x = g.add_source("x")
    probed = g.add_op("probe", [x])
    faulty = g.add_op("frob", [probed])
    g.add_op("probe", [g.add_source("absent")])
    calls = []

    def probe(operands, params):
        calls.append(len(operands))
        return operands[0] + 1

    ops = {"probe": probe}
    # The unknown operator is found before anything runs.
    with pytest.raises(zembric.EvaluationError, match=r"^node 2 \(op 'frob'\)"):
        zembric.evaluate(g, {"x": X}, ops=ops, outputs=[faulty])
    assert calls == []
    (value,) = zembric.evaluate(g, {"x": X}, ops=ops, outputs=[probed])
    assert agree(value, X + 1) and calls == [1]
    everything = zembric.evaluate_all(g, {"x": X}, ops=ops, outputs=[probed])
    assert everything.values[2:] == [None, None, None]


# Random graphs over the vocabulary. Kinds: "b" boolean, "i" integer, "f" floating.
SHAPES = {"x": (3, 4), "y": (4,), "z": (3, 1)}
FULL = (3, 4)
RANK = {"b": 0, "i": 1, "f": 2}
COMMUTATIVE = ["add", "mul", "maximum", "minimum", "eq", "ne"]
COMPARISONS = {"eq", "ne", "lt", "le", "gt", "ge"}
BINARY = COMMUTATIVE + ["sub", "div", "pow", "lt", "le", "gt", "ge"]
UNARY = ["neg", "exp", "log", "tanh", "sqrt", "rsqrt", "sigmoid"]
# What NumPy takes on booleans without refusing (sub and neg) or leaving float64 (exp: float16).
BOOL_OK = set(COMMUTATIVE) | COMPARISONS | {"where", "cast", "sum", "mean", "max", "min"}
DTYPES = {"float32": "f", "float64": "f", "int32": "i", "int64": "i", "bool": "b"}
TAGS = [None, None, {"k": 1}, {"dtype": "float32"}]
IDENTITIES = [("add", {"scalar": 0.0, "side": "r"}), ("add", {"side": "l", "scalar": 0.0}),
              ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]
HASHES = {"h1": 0.25, "h2": 1.5}


def kind_of(name, params, kinds):
    if "dtype" in params:
        return DTYPES[params["dtype"]]
    if name in COMPARISONS:
        return "b"
    if name in ("div", "pow", "mean", "var") or (name in UNARY and name != "neg"):
        return "f"
    if name == "sum":
        return max(kinds[0], "i", key=RANK.get)
    if name == "where":
        kinds = kinds[1:]
    return max(kinds, key=RANK.get)


def reduced_shape(shape, params):
    axis = params.get("axis")
    if "axes" in params:
        axis = tuple(int(a) for a in params["axes"].split(",")) if params["axes"] else ()
    return np.empty(shape).sum(axis=axis, keepdims=params.get("keepdims", False)).shape


def fits(shape):
    try:
        return np.broadcast_shapes(shape, FULL) == FULL
    except ValueError:
        return False


def reductions_for(shape):
    n = len(shape)
    options = ([{}, {"axes": ""}, {"axes": ",".join(map(str, range(n)))}]
               + [{"axis": a} for a in range(-n, n)]
               + [{"axis": a, "keepdims": True} for a in range(n)])
    return [p for p in options if fits(reduced_shape(shape, p))]


@st.composite
def numeric_recipes(draw, max_steps=40):
    """Graphs whose every node evaluates: operand kinds and shapes are tracked as they grow."""
    count = draw(st.integers(1, max_steps))
    steps, kinds, shapes = [], [], []

    def pick(n, bool_ok=True):
        pool = [i for i in range(len(steps)) if bool_ok or kinds[i] != "b"]
        return tuple(draw(st.lists(st.sampled_from(pool), min_size=n, max_size=n)))

    def op(name, inputs, params):
        kinds.append(kind_of(name, params or {}, [kinds[i] for i in inputs]))
        shapes.append(np.broadcast_shapes(*(shapes[i] for i in inputs)))
        steps.append(("add_op", name, inputs, params))

    for i in range(count):
        shape = "source" if i == 0 else draw(st.sampled_from(
            ["source", "binary", "binary", "scalar", "identity", "mirror", "unary", "cast",
             "where", "reduction", "reduction", "external", "exchange"]))
        mirrors = [(name, inputs[::-1], None) for method, name, inputs, params in steps[-8:]
                   if method == "add_op" and name in COMMUTATIVE and len(inputs) == 2
                   and params is None]
        if shape == "mirror" and not mirrors:
            shape = "binary"
        if shape == "source":
            name = draw(st.sampled_from(sorted(SHAPES)))
            steps.append(("add_source", name, (), draw(st.sampled_from([None, {"k": 1}]))))
            kinds.append("f")
            shapes.append(SHAPES[name])
        elif shape == "binary":
            name = draw(st.sampled_from(BINARY))
            op(name, pick(2, name in BOOL_OK), draw(st.sampled_from(TAGS)))
        elif shape == "scalar":
            name = draw(st.sampled_from(["add", "sub", "mul", "div", "pow", "maximum", "lt",
                                         "eq"]))
            params = {"scalar": draw(st.sampled_from([0.5, 2.0, -1.5, 3, 0.0, 1.0])),
                      "side": draw(st.sampled_from("rl"))}
            params.update(draw(st.sampled_from([{}, {}, {"k": 1}, {"dtype": "float64"}])))
            op(name, pick(1, name in BOOL_OK), params)
        elif shape == "identity":
            name, params = draw(st.sampled_from(IDENTITIES))
            op(name, pick(1), dict(params))
        elif shape == "mirror":
            op(*draw(st.sampled_from(mirrors)))
        elif shape == "unary":
            op(draw(st.sampled_from(UNARY)), pick(1, False), draw(st.sampled_from(TAGS)))
        elif shape == "cast":
            op("cast", pick(1), {"dtype": draw(st.sampled_from(sorted(DTYPES)))})
        elif shape == "where":
            op("where", pick(3), None)
        elif shape == "reduction":
            name = draw(st.sampled_from(["sum", "mean", "max", "min", "var"]))
            (source,) = pick(1, name in BOOL_OK)
            params = dict(draw(st.sampled_from(reductions_for(shapes[source]))))
            if name == "var" and draw(st.booleans()):
                params["correction"] = 1
            if draw(st.booleans()):
                params["dtype"] = "float64"
            steps.append(("add_reduction", name, (source,), params))
            kinds.append(kind_of(name, params, [kinds[source]]))
            shapes.append(reduced_shape(shapes[source], params))
        elif shape == "external":
            content_hash = draw(st.sampled_from(sorted(HASHES)))
            inputs = pick(draw(st.integers(0, 2)))
            steps.append(("add_external", dict(kind="kernel", content_hash=content_hash,
                                               framework="f", version="1", io_schema="s"),
                          inputs, None))
            kinds.append("f")
            shapes.append(np.broadcast_shapes(*(shapes[i] for i in inputs)))
        else:
            (source,) = pick(1)
            steps.append(("add_exchange", None, (source,),
                          draw(st.sampled_from([None, {"scheme": "ring"}]))))
            kinds.append(kinds[source])
            shapes.append(shapes[source])
    outputs = draw(st.lists(st.integers(0, count - 1), min_size=1, max_size=4))
    return Recipe(tuple(steps), tuple(outputs))


def _positive_zero(fn):
    def impl(operands, params):
        value = np.asarray(fn(operands, params))
        return value + value.dtype.type(0) if value.dtype.kind == "f" else value

    return impl


# The rewrites hold up to the sign of zero (x + 0.0 is not x for x = -0.0, and a later 1 / x
# turns that into the sign of an infinity), so every zero is made positive: a store and its
# reductions must then agree exactly. This also runs the standard table through ops=.
EXACT = {name: _positive_zero(fn) for name, fn in zembric.STANDARD_OPS.items()}


def kernel(node, args):
    """Order-sensitive, so that a swap of an external's inputs would show."""
    total = sum(((k + 1) * np.asarray(a, dtype=float) for k, a in enumerate(args)), 0.0)
    return np.sin(np.asarray(total) + HASHES[node["descriptor"]["content_hash"]]) + 0.0


KERNELS = {content_hash: kernel for content_hash in HASHES}


def run_all(store, inputs, **kw):
    return zembric.evaluate_all(store, inputs, ops=EXACT, externals=KERNELS, **kw)


def check_reduction(before, roots, reduced, mapping, inputs):
    after = run_all(reduced, inputs)
    for root, node in zip(roots, mapping["roots"], strict=True):
        assert agree(after.values[node], before.values[root]), root
    for i, location in enumerate(mapping["nodes"]):
        if location is not None:
            assert agree(after.at(location), before.values[i]), (i, location)
    # evaluate(), which lets values go once read, gives what evaluate_all kept.
    marked = zembric.evaluate(reduced, inputs, ops=EXACT, externals=KERNELS)
    assert all(agree(v, after.values[m]) for v, m in zip(marked, reduced.outputs(), strict=True))
    listed = zembric.evaluate(reduced, inputs, ops=EXACT, externals=KERNELS,
                              outputs=mapping["roots"])
    assert all(agree(v, before.values[r]) for v, r in zip(listed, roots, strict=True))
    return after


@settings(max_examples=150, deadline=None)
@given(st.data(), numeric_recipes(), st.integers(0, 2**32 - 1))
def test_reductions_keep_every_needed_value(data, recipe, seed):
    rng = np.random.default_rng(seed)
    # Coarse values, so that comparisons see ties; no -0.0 among them.
    inputs = {name: rng.integers(-6, 7, shape) / 2 for name, shape in SHAPES.items()}
    store, ids = recipe.build()
    roots = recipe.output_ids(ids) + data.draw(st.lists(st.sampled_from(ids), max_size=2))
    before = run_all(store, inputs)
    evaluations = [(store, before)]
    for maximal in (False, True):
        reduced, _, mapping = store.reduce_with_map(maximal_fusion=maximal, outputs=roots)
        evaluations.append((reduced, check_reduction(before, roots, reduced, mapping, inputs)))

    reducer, built, built_ids = IncrementalReducer(), GraphStore(), []
    cuts = sorted(data.draw(st.lists(st.integers(0, len(recipe.steps)), max_size=3)))
    for start, end in zip([0] + cuts, cuts + [len(recipe.steps)]):
        recipe.build(built, upto=end, start=start, ids=built_ids)
        reducer.step(built)
    assert built_ids == ids
    reduced, _, mapping = reducer.finalize_with_map(built, outputs=roots,
                                                    maximal_fusion=data.draw(st.booleans()))
    evaluations.append((reduced, check_reduction(before, roots, reduced, mapping, inputs)))

    # Equal symbolic values are equal numbers, within a store and across its reductions.
    symbolic, by_symbol = Symbolic(), {}
    for graph, evaluation in evaluations:
        symbols, member_symbols = symbolic.evaluate(graph)
        pairs = list(zip(symbols, evaluation.values))
        for node, members in member_symbols.items():
            pairs += zip(members, evaluation.members[node])
        for symbol, value in pairs:
            assert agree(by_symbol.setdefault(symbol, value), value), symbol

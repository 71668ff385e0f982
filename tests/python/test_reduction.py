"""GraphStore.reduce and its siblings: dead-code elimination, rewrites, CSE, stage fusion, argument
handling and determinism."""

from __future__ import annotations

import functools
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ir_blob
from graph_strategies import FIELDS, recipes
from ir_blob import INPUT, MEMBER
from zembric_core import GraphStore, IncrementalReducer, PayloadDescriptor

IN = lambda k: ("input", k)  # noqa: E731
MEM = lambda p: ("member", p)  # noqa: E731


def shape(store):
    """Each node as (kind, name, inputs); a stage as ("stage", inputs, [(member name, tokens)])."""
    out = []
    for node in store.nodes():
        if node["kind"] == "stage":
            out.append(("stage", node["inputs"],
                        [(m["name"], m["inputs"]) for m in node["members"]]))
        else:
            out.append((node["kind"], node["name"], node["inputs"]))
    return out


def overview_store():
    store = GraphStore()
    x = store.add_source("x")
    store.add_reduction("sum", [store.add_op("exp", [store.add_op("neg", [x])])])
    store.add_source("y")
    return store


def test_overview_example():
    reduced, report = overview_store().reduce(outputs=[3])
    assert reduced.nodes() == [
        {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x", "params": {}},
        {"id": 1, "output": False, "inputs": [0], "kind": "stage", "name": "", "params": {},
         "n_members": 2,
         "members": [{"kind": "op", "name": "neg", "params": {}, "inputs": [IN(0)]},
                     {"kind": "op", "name": "exp", "params": {}, "inputs": [MEM(0)]}]},
        {"id": 2, "output": True, "inputs": [1], "kind": "reduction", "name": "sum", "params": {}},
    ]
    assert reduced.outputs() == [2]
    assert report == {"input_nodes": 5, "reachable_nodes": 4, "canonical_nodes": 4, "stages": 1,
                      "reduced_nodes": 3, "boundary_nodes": 2}
    again, again_report = reduced.reduce()
    assert again_report["stages"] == 0 and again_report["boundary_nodes"] == 3
    assert again.serialize() == reduced.serialize()


def fan_out(s):
    x = s.add_source("x")
    a = s.add_op("neg", [x])
    d = s.add_op("add", [s.add_op("exp", [a]), s.add_op("log", [a])])
    return [s.add_reduction("sum", [d])]


def square(s):
    a = s.add_op("neg", [s.add_source("x")])
    return [s.add_reduction("sum", [s.add_op("mul", [a, a])])]


def output_producer(s):
    a = s.add_op("neg", [s.add_source("x")])
    return [a, s.add_op("exp", [a])]


def first_use_order(s):
    x, y = s.add_source("x"), s.add_source("y")
    a = s.add_op("sub", [y, x])
    return [s.add_reduction("sum", [s.add_op("sub", [x, a])])]


def late_boundary(s):
    a = s.add_op("neg", [s.add_source("x")])
    return [s.add_reduction("sum", [s.add_op("add", [a, s.add_source("y")])])]


def split_uses(s):
    a = s.add_op("neg", [s.add_source("x")])
    return [s.add_reduction("sum", [s.add_op("exp", [a])]), s.add_reduction("max", [a])]


SRC_X = ("source", "x", [])


@pytest.mark.parametrize("build, maximal, expected, outputs", [
    (fan_out, False, [SRC_X, ("stage", [0], [("neg", [IN(0)])]),
                      ("stage", [1], [("exp", [IN(0)]), ("log", [IN(0)]),
                                      ("add", [MEM(0), MEM(1)])]),
                      ("reduction", "sum", [2])], [3]),
    (fan_out, True, [SRC_X, ("stage", [0], [("neg", [IN(0)]), ("exp", [MEM(0)]),
                                             ("log", [MEM(0)]), ("add", [MEM(1), MEM(2)])]),
                     ("reduction", "sum", [1])], [2]),
    (square, False, [SRC_X, ("stage", [0], [("neg", [IN(0)])]),
                     ("stage", [1], [("mul", [IN(0), IN(0)])]), ("reduction", "sum", [2])], [3]),
    (square, True, [SRC_X, ("stage", [0], [("neg", [IN(0)]), ("mul", [MEM(0), MEM(0)])]),
                    ("reduction", "sum", [1])], [2]),
    *[(output_producer, maximal, [SRC_X, ("stage", [0], [("neg", [IN(0)])]),
                                  ("stage", [1], [("exp", [IN(0)])])], [1, 2])
      for maximal in (False, True)],
    *[(first_use_order, maximal,
       [SRC_X, ("source", "y", []),
        ("stage", [1, 0], [("sub", [IN(0), IN(1)]), ("sub", [IN(1), MEM(0)])]),
        ("reduction", "sum", [2])], [3]) for maximal in (False, True)],
    *[(late_boundary, maximal,
       [SRC_X, ("source", "y", []), ("stage", [0, 1], [("neg", [IN(0)]), ("add", [MEM(0), IN(1)])]),
        ("reduction", "sum", [2])], [3]) for maximal in (False, True)],
    *[(split_uses, maximal,
       [SRC_X, ("stage", [0], [("neg", [IN(0)])]), ("stage", [1], [("exp", [IN(0)])]),
        ("reduction", "sum", [2]), ("reduction", "max", [1])], [3, 4])
      for maximal in (False, True)],
])
def test_fusion(build, maximal, expected, outputs):
    store = GraphStore()
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=build(store))
    assert shape(reduced) == expected
    assert reduced.outputs() == outputs
    assert report["stages"] == sum(node[0] == "stage" for node in expected)


def pair_store(name):
    s = GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    first, second = s.add_op(name, [y, x]), s.add_op(name, [x, y])
    return s, first, second


@pytest.mark.parametrize("name", ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"])
def test_commuted_pair_keeps_the_earlier_node(name):
    s, first, second = pair_store(name)
    # Users of the two forms are congruent once the forms merge.
    users = [s.add_op("neg", [first]), s.add_op("neg", [second])]
    reduced, report = s.reduce(outputs=[second, *users, first])
    assert shape(reduced) == [SRC_X, ("source", "y", []), ("stage", [1, 0], [(name, [IN(0), IN(1)])]),
                              ("stage", [2], [("neg", [IN(0)])])]
    assert reduced.outputs() == [2, 3]
    assert (report["reachable_nodes"], report["canonical_nodes"]) == (6, 4)


def test_non_commutative_pair_stays_apart():
    s, first, second = pair_store("sub")
    s.add_op("add", [first, second], {"k": 1})
    s.add_op("add", [second, first], {"k": 1})
    reduced, report = s.reduce(outputs=[4, 5])
    assert report["canonical_nodes"] == 6 and reduced.outputs() == [4, 5]


IDENTITY = [("add", {"scalar": 0.0, "side": "r"}), ("add", {"scalar": 0.0, "side": "l"}),
            ("mul", {"scalar": 1.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]


@pytest.mark.parametrize("layers, removed", [
    *[([(name, params, 1)], True) for name, params in IDENTITY],
    ([IDENTITY[0][:2] + (1,), IDENTITY[3][:2] + (1,)], True),
    ([("add", {"scalar": 0, "side": "r"}, 1)], False),
    ([("add", {"scalar": -0.0, "side": "r"}, 1)], False),
    ([("add", {"scalar": 0.0, "side": "left"}, 1)], False),
    ([("mul", {"scalar": 1.0, "side": "r", "k": 1}, 1)], False),
    ([("add", {"scalar": 0.0, "side": "r"}, 2)], False),
    ([("mul", {"scalar": 0.0, "side": "r"}, 1)], False),
])
def test_identity_ops(layers, removed):
    s = GraphStore()
    x = s.add_source("x")
    node = s.add_op("neg", [x])
    for name, params, arity in layers:
        node = s.add_op(name, [node, x][:arity], params)
    reduced, report = s.reduce(outputs=[s.add_reduction("sum", [node])])
    members = [m for n in reduced.nodes() if n["kind"] == "stage" for m in n["members"]]
    if removed:
        assert [m["name"] for m in members] == ["neg"]
        assert report["canonical_nodes"] == 3
    else:
        assert [(m["name"], m["params"]) for m in members] == [("neg", {}), layers[0][:2]]
        assert report["canonical_nodes"] == 4


def test_identity_as_output_is_replaced_by_its_input():
    s = GraphStore()
    x = s.add_source("x")
    reduced, _ = s.reduce(outputs=[s.add_op("mul", [x], {"scalar": 1.0, "side": "l"})])
    assert shape(reduced) == [SRC_X] and reduced.outputs() == [0]


def test_duplicate_roots_give_one_mark():
    s = overview_store()
    reduced, report = s.reduce(outputs=[3, 2, 3])
    assert reduced.outputs() == [2, 1]
    assert report["reachable_nodes"] == 4


def test_source_store_is_unchanged():
    marked = GraphStore.deserialize(overview_store().serialize(outputs=[3, 4]))
    before = marked.serialize()
    for call in (marked.reduce, marked.reduce_incremental, marked.reduction_report):
        call()
    marked.reduce(maximal_fusion=True, outputs=[2])
    assert marked.serialize() == before and marked.outputs() == [3, 4]


@pytest.mark.parametrize("outputs", [None, [3], [4, 2, 4], []])
def test_incremental_and_report_match_reduce(outputs):
    store = GraphStore.deserialize(overview_store().serialize(outputs=[3, 4]))
    reduced, report = store.reduce(outputs=outputs)
    incremental, incremental_report = store.reduce_incremental(outputs=outputs)
    assert incremental.serialize() == reduced.serialize()
    assert incremental_report == report == store.reduction_report(outputs=outputs)
    assert sorted(report) == sorted(["input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                                     "reduced_nodes", "boundary_nodes"])


def test_store_without_marks_reduces_to_nothing():
    reduced, report = overview_store().reduce()
    assert reduced.node_count() == 0 and reduced.outputs() == []
    assert report == dict.fromkeys(report, 0) | {"input_nodes": 5}


def test_maximal_fusion_argument():
    store = GraphStore()
    outputs = fan_out(store)
    with_numpy = store.reduce(maximal_fusion=np.bool_(True), outputs=outputs)
    assert with_numpy[0].serialize() == store.reduce(maximal_fusion=True, outputs=outputs)[0].serialize()
    assert with_numpy[1]["stages"] == 1
    assert store.reduce(maximal_fusion=np.bool_(False), outputs=outputs)[1]["stages"] == 2
    with pytest.raises(TypeError, match="positional"):
        store.reduce(True)


@pytest.mark.parametrize("bad, type_name", [
    (1, "int"), (0, "int"), ("yes", "str"), (1.0, "float"),
    # Look-alikes of NumPy's bool, under the type names NumPy 2 and NumPy 1 give it.
    (type("numpy.bool", (), {})(), "numpy.bool"), (type("numpy.bool_", (), {})(), "numpy.bool_"),
])
def test_maximal_fusion_rejects_non_bools(bad, type_name):
    store = overview_store()
    message = f"^argument 'maximal_fusion': expected bool, got {re.escape(type_name)}$"
    for call in (store.reduce, functools.partial(IncrementalReducer().finalize, store)):
        with pytest.raises(TypeError, match=message):
            call(maximal_fusion=bad)


@pytest.mark.parametrize("method", ["reduce", "reduce_incremental", "reduction_report"])
def test_outputs_argument(method):
    store = overview_store()
    call = getattr(store, method)
    with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`$"):
        call(outputs="0")
    with pytest.raises(TypeError):
        call([3])
    for outputs, bad in [([5], 5), ([0, 9, 12], 9), ([3, 4, 5, 6], 5)]:
        with pytest.raises(ValueError) as caught:
            call(outputs=outputs)
        assert str(caught.value) == f"no node with id {bad}"
    assert store.serialize() == overview_store().serialize()


def test_equal_stores_from_different_call_orders_reduce_alike():
    first = GraphStore()
    x, y = first.add_source("x"), first.add_source("y", {"a": 1, "b": 2.0})
    s = first.add_op("add", [x, y], {"k": True, "j": "v"})
    outputs = [first.add_reduction("sum", [first.add_op("exp", [s])])]
    second = GraphStore()
    second.add_source("x")
    assert second.add_source("y", {"b": 2.0, "a": 1}) == y
    second.add_source("x")
    assert second.add_op("add", [x, y], {"j": "v", "k": True}) == s
    second.add_op("add", [x, y], {"j": "v", "k": True})
    second.add_reduction("sum", [second.add_op("exp", [s])])
    assert first.serialize() == second.serialize()
    results = {store.reduce(outputs=outputs)[0].serialize() for store in (first, second, first)}
    assert len(results) == 1


@pytest.mark.parametrize("tokens", [
    ([("op|neg", [(INPUT, 0)]), ("op|exp", [(MEMBER, 0)])],
     [("op|exp", [(INPUT, 0)]), ("op|neg", [(MEMBER, 0)])]),
    ([("op|sub", [(INPUT, 0), (INPUT, 1)]), ("op|neg", [(MEMBER, 0)])],
     [("op|sub", [(INPUT, 1), (INPUT, 0)]), ("op|neg", [(MEMBER, 0)])]),
])
def test_distinct_stages_with_equal_member_counts_stay_distinct(tokens):
    first, second = tokens
    records = [ir_blob.source("x"), ir_blob.source("y"), ir_blob.stage([0, 1], first),
               ir_blob.stage([0, 1], second), ir_blob.op("add", [2, 3])]
    store = GraphStore.deserialize(ir_blob.blob(records))
    reduced, report = store.reduce(outputs=[2, 3, 4])
    assert report["canonical_nodes"] == 5 and reduced.outputs() == [2, 3, 4]
    stages = [n["members"] for n in reduced.nodes() if n["kind"] == "stage" and n["n_members"] == 2]
    assert stages == [n["members"] for n in store.nodes()[2:4]]


@pytest.mark.parametrize("first, second", [
    (dict(FIELDS), dict(FIELDS, preprocessing_ref="-")),
    (dict(FIELDS, kind="a|b", content_hash="c"), dict(FIELDS, kind="a", content_hash="b|c")),
])
def test_externals_with_equal_canonical_keys_stay_distinct(first, second):
    s = GraphStore()
    x = s.add_source("x")
    a = s.add_external(PayloadDescriptor(**first), [x])
    b = s.add_external(PayloadDescriptor(**second), [x])
    reduced, _ = s.reduce(outputs=[a, b])
    assert reduced.outputs() == [1, 2]
    assert [n["descriptor"] for n in reduced.nodes()[1:]] == [
        dict(first, preprocessing_ref=first.get("preprocessing_ref")),
        dict(second, preprocessing_ref=second.get("preprocessing_ref"))]


@settings(max_examples=80, deadline=None)
@given(recipes(), st.booleans())
def test_random_graph_invariants(recipe, maximal):
    store, ids = recipe.build()
    outputs = recipe.output_ids(ids)
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    view = reduced.nodes()
    assert all(i < node["id"] for node in view for i in node["inputs"])
    assert all(node["kind"] != "op" for node in view)
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] == len(view)
    assert report["input_nodes"] == store.node_count()
    assert report["reachable_nodes"] >= report["canonical_nodes"] >= report["boundary_nodes"]
    assert len(reduced.outputs()) <= len(set(outputs))

    again, again_report = reduced.reduce()
    assert again_report["stages"] == 0 and again.node_count() == reduced.node_count()
    assert again.serialize() == reduced.serialize()

    rebuilt, _ = recipe.build()
    assert rebuilt.reduce(maximal_fusion=maximal, outputs=outputs)[0].serialize() == reduced.serialize()
    marked = GraphStore.deserialize(store.serialize(outputs=outputs))
    from_marks, marks_report = marked.reduce(maximal_fusion=maximal)
    assert from_marks.serialize() == reduced.serialize() and marks_report == report

    # No two reduced nodes are equal (a blob read back merges equal ones), and the reduced store
    # finds its own nodes once it is grown.
    assert GraphStore.deserialize(reduced.serialize()).serialize() == reduced.serialize()
    for node in view:
        if node["kind"] == "source":
            assert reduced.add_source(node["name"], node["params"]) == node["id"]
    assert reduced.node_count() == len(view)

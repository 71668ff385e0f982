"""IncrementalReducer: counters, canonicalization while building, finalize, and agreement with
GraphStore.reduce."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from graph_strategies import recipes
from zembric_core import GraphStore, IncrementalReducer

ZERO_R = {"scalar": 0.0, "side": "r"}


def counters(reducer):
    return reducer.watermark(), reducer.total_work(), reducer.canonical_count()


def example_additions(s):
    return [lambda: s.add_source("x"), lambda: s.add_source("y"), lambda: s.add_op("add", [0, 1]),
            lambda: s.add_op("add", [1, 0]), lambda: s.add_op("add", [3], ZERO_R),
            lambda: s.add_op("mul", [2, 4])]


def example_store(upto=6):
    s = GraphStore()
    for add in example_additions(s)[:upto]:
        add()
    return s


@pytest.mark.parametrize("cuts", [[6], [3, 6], [1, 2, 4, 5, 6], [2]])
def test_worked_example(cuts):
    reducer, store = IncrementalReducer(), GraphStore()
    additions, done = example_additions(store), 0
    for cut in cuts:
        for add in additions[done:cut]:
            add()
        assert reducer.step(store) == cut - done
        done = cut
    for add in additions[done:]:
        add()  # left for finalize to consume
    reduced, report = reducer.finalize(store, outputs=[3])
    assert counters(reducer) == (6, 6, 4)
    assert (report["input_nodes"], report["reachable_nodes"]) == (4, 3)
    # The root is the add in the orientation consumed first, (x, y).
    assert reduced.nodes()[2]["inputs"] == [0, 1] and reduced.outputs() == [2]
    top, top_report = reducer.finalize(store, outputs=[5])
    assert (top_report["input_nodes"], top_report["reachable_nodes"]) == (4, 4)
    assert top.serialize() == store.reduce(outputs=[5])[0].serialize()
    assert counters(reducer) == (6, 6, 4)


def test_counters_follow_the_store():
    store, reducer = example_store(5), IncrementalReducer()
    assert counters(reducer) == (0, 0, 0)
    assert reducer.step(store) == 5
    assert reducer.step(store) == 0
    store.add_op("mul", [2, 4])
    store.add_op("add", [0, 1])  # interned: no new node
    store.add_op("neg", [5])
    assert reducer.step(store) == 2
    assert counters(reducer) == (7, 7, 5)
    assert reducer.step(example_store(3)) == 0 and counters(reducer) == (7, 7, 5)


@pytest.mark.parametrize("call, error, message", [
    (lambda r, s: r.step(5), TypeError, "^argument 'store': "),
    (lambda r, s: r.step(store=None), TypeError, "^argument 'store': "),
    (lambda r, s: r.step(), TypeError, "missing 1 required"),
    (lambda r, s: r.step(s, s), TypeError, "positional"),
    (lambda r, s: r.finalize(s, True), TypeError, "positional"),
    (lambda r, s: r.finalize(s, maximal_fusion=1), TypeError, "^argument 'maximal_fusion': "),
    (lambda r, s: r.finalize(None), TypeError, "^argument 'store': "),
    (lambda r, s: r.finalize(s, outputs="0"), TypeError,
     "^argument 'outputs': Can't extract `str` to `Vec`$"),
    (lambda r, s: r.finalize(s, outputs=[s.node_count()]), ValueError, "^no node with id 6$"),
    (lambda r, s: r.finalize(s, outputs=[0, 8, 7]), ValueError, "^no node with id 8$"),
])
def test_errors_leave_the_reducer_unchanged(call, error, message):
    store, reducer = example_store(3), IncrementalReducer()
    reducer.step(store)
    store.add_op("add", [1, 0])
    store.add_op("add", [3], ZERO_R)
    store.add_op("mul", [2, 4])
    with pytest.raises(error, match=message):
        call(reducer, store)
    assert counters(reducer) == (3, 3, 3)
    assert reducer.step(store) == 3


def test_finalize_is_repeatable_and_keeps_feeding():
    store, reducer = example_store(), IncrementalReducer()
    reducer.step(store)
    first = reducer.finalize(store, outputs=[5, 2])
    second = reducer.finalize(store, outputs=[5, 2])
    assert first[0].serialize() == second[0].serialize() and first[1] == second[1]
    assert first[0].outputs() == [3, 2]
    store.add_op("neg", [5])
    store.add_op("exp", [6])
    assert reducer.step(store) == 2 and counters(reducer) == (8, 8, 6)


def test_finalize_without_marks_gives_an_empty_store():
    reducer = IncrementalReducer()
    reduced, report = reducer.finalize(example_store())
    assert reduced.node_count() == 0 and reduced.outputs() == []
    assert report == dict.fromkeys(report, 0) | {"input_nodes": reducer.canonical_count()}
    assert report["input_nodes"] == 4
    marked = GraphStore.deserialize(example_store().serialize(outputs=[4, 5]))
    reduced, report = IncrementalReducer().finalize(marked)
    assert reduced.outputs() == [2, 3] and report["reachable_nodes"] == 4


@pytest.mark.parametrize("params, arity, eliminated", [
    (ZERO_R, 1, True),
    ({"scalar": 0.0, "side": "l"}, 1, True),
    ({"scalar": 1.0, "side": "r"}, 1, False),  # add by one
    ({"scalar": 0, "side": "r"}, 1, False),
    ({"scalar": -0.0, "side": "r"}, 1, False),
    ({"scalar": 0.0, "side": "r", "k": 1}, 1, False),
    (ZERO_R, 0, False),
    (ZERO_R, 2, False),
])
def test_identity_elimination(params, arity, eliminated):
    store = GraphStore()
    x, y = store.add_source("x"), store.add_source("y")
    node = store.add_op("add", [x, y][:arity], params)
    top = store.add_op("neg", [node])
    reducer = IncrementalReducer()
    reducer.step(store)
    assert reducer.canonical_count() == (3 if eliminated else 4)
    finalized = reducer.finalize(store, outputs=[top])
    reduced = store.reduce(outputs=[top])
    assert finalized[0].nodes() == reduced[0].nodes()
    # The reducer drops an eliminated identity before the pipeline sees it.
    assert finalized[1] == reduced[1] | {"input_nodes": reducer.canonical_count(),
                                         "reachable_nodes": reduced[1]["reachable_nodes"] - eliminated}


@pytest.mark.parametrize("name, first, second, params, merged", [
    ("add", [0, 1], [1, 0], None, True),
    ("minimum", [0, 1], [1, 0], None, True),
    ("sub", [0, 1], [1, 0], None, False),
    ("add", [0, 1], [1, 0], {"k": 1}, False),
    ("add", [0, 1, 2], [1, 0, 2], None, False),
])
def test_commutativity(name, first, second, params, merged):
    store = GraphStore()
    for source in "xyz":
        store.add_source(source)
    store.add_op(name, first, params)
    store.add_op(name, second, params)
    store.add_op("neg", [3])
    store.add_op("neg", [4])
    reducer = IncrementalReducer()
    reducer.step(store)
    assert reducer.canonical_count() == (5 if merged else 7)


def fed_in_steps(recipe, cuts):
    store, ids, reducer = GraphStore(), [], IncrementalReducer()
    start = 0
    for cut in [*cuts, len(recipe.steps)]:
        recipe.build(store, start=start, upto=cut, ids=ids)
        reducer.step(store)
        assert reducer.total_work() == reducer.watermark() == store.node_count()
        start = cut
    return store, ids, reducer


@settings(max_examples=60, deadline=None)
@given(st.data(), recipes(), st.booleans())
def test_steps_do_not_change_the_result(data, recipe, maximal):
    points = range(1, len(recipe.steps)) if len(recipe.steps) > 1 else []
    cuts = sorted(data.draw(st.sets(st.sampled_from(points), max_size=5))) if points else []
    store, ids, stepped = fed_in_steps(recipe, cuts)
    once = IncrementalReducer()
    assert once.step(store) == store.node_count()
    assert counters(stepped) == counters(once)
    outputs = recipe.output_ids(ids)
    a = stepped.finalize(store, maximal_fusion=maximal, outputs=outputs)
    b = once.finalize(store, maximal_fusion=maximal, outputs=outputs)
    assert a[0].serialize() == b[0].serialize() and a[1] == b[1]
    assert a[1]["input_nodes"] == once.canonical_count() <= store.node_count()


@settings(max_examples=60, deadline=None)
@given(recipes(rewrites=False), st.booleans())
def test_finalize_matches_reduce_without_rewrites(recipe, maximal):
    store, ids = recipe.build()
    reducer = IncrementalReducer()
    outputs = recipe.output_ids(ids)
    finalized, report = reducer.finalize(store, maximal_fusion=maximal, outputs=outputs)
    reduced, expected = store.reduce(maximal_fusion=maximal, outputs=outputs)
    assert finalized.serialize() == reduced.serialize()
    assert report == expected | {"input_nodes": reducer.canonical_count()}


@settings(max_examples=100, deadline=None)
@given(recipes(max_steps=40))
def test_reduce_merges_exactly_what_the_canonicalizer_merges(recipe):
    # On graphs this small the e-graph saturates, and its rules prove equal exactly the nodes
    # the one-pass canonicalizer merges, so both keep the same number of canonical nodes.
    store, ids = recipe.build()
    outputs = recipe.output_ids(ids)
    _, incremental = IncrementalReducer().finalize(store, outputs=outputs)
    _, report = store.reduce(outputs=outputs)
    assert report["canonical_nodes"] == incremental["canonical_nodes"]

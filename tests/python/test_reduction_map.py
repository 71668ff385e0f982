"""The reduction map, held to its meaning: the location it gives for a node must carry that node's
value. Values are symbolic: each is an interned canonical expression over the sources, with the
rules' equalities applied (commutative operands ordered, an add of 0.0 or a mul of 1.0 dropped),
so equal ids mean provably equal values, and Stage members are read through their tokens."""

from __future__ import annotations

import gc
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from graph_strategies import recipes
from zembric_core import GraphStore, IncrementalReducer

COMMUTATIVE = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}
NEUTRAL = {"add": 0.0, "mul": 1.0}


def freeze(mapping):
    return tuple(sorted(mapping.items(), key=lambda kv: kv[0])) if mapping else ()


def is_identity(name, params):
    scalar = params.get("scalar") if params else None
    return (name in NEUTRAL and set(params) == {"scalar", "side"} and type(scalar) is float
            and scalar == NEUTRAL[name] and math.copysign(1.0, scalar) > 0
            and params["side"] in ("r", "l"))


class Symbolic:
    """Evaluates stores into shared expression ids."""

    def __init__(self):
        self.ids: dict[tuple, int] = {}

    def apply(self, kind, name, params, args, descriptor=None):
        if kind == "op" and len(args) == 1 and is_identity(name, params):
            return args[0]
        if kind == "op" and len(args) == 2 and not params and name in COMMUTATIVE:
            args = sorted(args)
        expr = (kind, name, freeze(params), freeze(descriptor), tuple(args))
        return self.ids.setdefault(expr, len(self.ids))

    def evaluate(self, store):
        """The value of every node, and of every Stage member (member_values[id][position])."""
        values, member_values = [], {}
        for node in store.nodes():
            args = [values[i] for i in node["inputs"]]
            if node["kind"] != "stage":
                values.append(self.apply(node["kind"], node["name"], node["params"], args,
                                         node.get("descriptor")))
                continue
            members = []
            for member in node["members"]:
                operands = [args[k] if token == "input" else members[k]
                            for token, k in member["inputs"]]
                kind = "reduction" if member["kind"] == "red" else member["kind"]
                members.append(self.apply(kind, member["name"], member["params"], operands))
            member_values[node["id"]] = members
            values.append(members[-1])
        return values, member_values


def reachable(store, roots):
    nodes, seen, stack = store.nodes(), set(), list(roots)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            stack.extend(nodes[i]["inputs"])
    return seen


def check_map(store, roots, reduced, mapping):
    """Every root and every needed node lies where the map says; unneeded nodes lie nowhere."""
    assert list(mapping) == ["roots", "nodes"]
    symbolic = Symbolic()
    before, _ = symbolic.evaluate(store)
    after, members = symbolic.evaluate(reduced)
    assert [after[r] for r in mapping["roots"]] == [before[r] for r in roots]
    assert len(mapping["nodes"]) == store.node_count()
    needed = reachable(store, roots)
    for i, location in enumerate(mapping["nodes"]):
        assert (location is not None) == (i in needed), i
        if location is not None:
            # Entries hold ints and None alone: no cycle, so nothing for the collector to walk.
            assert not gc.is_tracked(location), i
            node, member = location
            # A member position names a member other than the last, whose value is the Stage's.
            assert member is None or member < len(members[node]) - 1, i
            assert (after[node] if member is None else members[node][member]) == before[i], i


def roots_of(store, outputs):
    return store.outputs() if outputs is None else outputs


@settings(max_examples=80, deadline=None)
@given(st.data(), recipes(max_steps=60), st.booleans(), st.booleans())
def test_map_locations_carry_the_nodes_values(data, recipe, maximal, marked):
    store, ids = recipe.build()
    outputs = recipe.output_ids(ids) + data.draw(st.lists(st.sampled_from(ids), max_size=3))
    if marked:  # the marks as roots: the blob of the store with these outputs
        store, outputs = GraphStore.deserialize(store.serialize(outputs=outputs)), None
    reduced, report, mapping = store.reduce_with_map(maximal_fusion=maximal, outputs=outputs)
    expected, expected_report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    assert reduced.serialize() == expected.serialize() and report == expected_report
    check_map(store, roots_of(store, outputs), reduced, mapping)

    # The same map through the incremental reducer, fed in several steps.
    reducer, built, ids = IncrementalReducer(), GraphStore(), []
    cuts = sorted(data.draw(st.lists(st.integers(0, len(recipe.steps)), max_size=3)))
    for start, end in zip([0] + cuts, cuts + [len(recipe.steps)]):
        recipe.build(built, upto=end, start=start, ids=ids)
        reducer.step(built)
    if marked:
        built = store  # the same nodes under the same ids, carrying the marks
    reduced, report, mapping = reducer.finalize_with_map(built, maximal_fusion=maximal,
                                                         outputs=outputs)
    expected, expected_report = IncrementalReducer().finalize(built, maximal_fusion=maximal,
                                                              outputs=outputs)
    assert reduced.serialize() == expected.serialize() and report == expected_report
    check_map(built, roots_of(built, outputs), reduced, mapping)


def test_merged_outputs_keep_their_roots():
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    logits = g.add_op("add", [x, y])
    scaled = g.add_op("mul", [g.add_op("add", [y, x])], {"scalar": 1.0, "side": "r"})
    hidden = g.add_op("exp", [logits])
    for outputs in ([logits, scaled, hidden], [hidden, scaled, logits, logits]):
        reduced, _, mapping = g.reduce_with_map(outputs=outputs)
        check_map(g, outputs, reduced, mapping)
        assert len(set(mapping["roots"])) == 2 and len(reduced.outputs()) == 2


@pytest.mark.parametrize("method", ["reduce_with_map", "finalize_with_map"])
def test_map_methods_refuse_what_their_plain_forms_refuse(method):
    g = GraphStore()
    g.add_source("x")
    call = (getattr(g, method) if method == "reduce_with_map"
            else lambda **kw: IncrementalReducer().finalize_with_map(g, **kw))
    with pytest.raises(ValueError, match="^no node with id 1$"):
        call(outputs=[0, 1])
    with pytest.raises(TypeError, match="^argument 'maximal_fusion': expected bool, got int$"):
        call(maximal_fusion=1)
    assert g.node_count() == 1

"""Hypothesis strategies for random graphs, kept as replayable recipes so that one graph can be
built into several independent stores (each with its own hashing seed)."""

from __future__ import annotations

from dataclasses import dataclass

from hypothesis import strategies as st

from zembric_core import GraphStore

COMMUTATIVE = ["add", "mul", "maximum", "minimum", "eq", "ne", "and", "or"]
PLAIN = ["neg", "exp", "sub", "where"]
IDENTITY_PARAMS = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"side": "l", "scalar": 0.0}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
    ("add", {"scalar": 0, "side": "r"}),  # Int zero: not an identity
]
FIELDS = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


@dataclass(frozen=True)
class Recipe:
    """steps[i] = (method, first argument, inputs as earlier step positions, params);
    outputs are step positions too."""

    steps: tuple
    outputs: tuple

    def build(self, store: GraphStore | None = None, upto: int | None = None,
              start: int = 0, ids: list[int] | None = None) -> tuple[GraphStore, list[int]]:
        store = GraphStore() if store is None else store
        ids = [] if ids is None else ids
        for method, first, inputs, params in self.steps[start:upto]:
            mapped = [ids[j] for j in inputs]
            if method == "add_source":
                ids.append(store.add_source(first, params))
            elif method == "add_exchange":
                ids.append(store.add_exchange(mapped, params))
            else:
                ids.append(getattr(store, method)(first, mapped, params))
        return store, ids

    def output_ids(self, ids: list[int]) -> list[int]:
        return [ids[j] for j in self.outputs]


@st.composite
def recipes(draw, rewrites: bool = True, max_steps: int = 20, min_steps: int = 1,
            window: int | None = None) -> Recipe:
    """window: fresh inputs come from the last `window` steps only, which makes long graphs deep
    rather than wide."""
    count = draw(st.integers(min_steps, max_steps))
    steps = []
    for i in range(count):
        def inputs(low, high):
            first = 0 if window is None else max(0, i - window)
            return tuple(draw(st.lists(st.integers(first, i - 1), min_size=low, max_size=high)))

        kinds = ["source"] if i == 0 else ["source", "op", "op", "op", "reduction", "external",
                                           "exchange"]
        kind = draw(st.sampled_from(kinds))
        if kind == "source":
            steps.append(("add_source", draw(st.sampled_from("xyz")), (),
                          draw(st.sampled_from([None, {"k": 1}]))))
        elif kind == "op":
            shapes = ["plain", "commutative", "identity"] if rewrites else ["plain"]
            shape = draw(st.sampled_from(shapes))
            if shape == "plain":
                steps.append(("add_op", draw(st.sampled_from(PLAIN)), inputs(1, 3),
                              draw(st.sampled_from([None, {"k": 1}]))))
            elif shape == "commutative":
                # Now and then the mirror of a recent commutative op, for the rewrites to merge.
                mirrors = [(name, pair[::-1], params) for method, name, pair, params in steps[-8:]
                           if method == "add_op" and name in COMMUTATIVE and len(pair) == 2]
                if mirrors and draw(st.booleans()):
                    steps.append(("add_op", *draw(st.sampled_from(mirrors))))
                else:
                    steps.append(("add_op", draw(st.sampled_from(COMMUTATIVE)), inputs(2, 2),
                                  draw(st.sampled_from([None, None, {"k": 1}]))))
            else:
                name, params = draw(st.sampled_from(IDENTITY_PARAMS))
                steps.append(("add_op", name, inputs(1, draw(st.sampled_from([1, 1, 2]))),
                              params))
        elif kind == "reduction":
            steps.append(("add_reduction", draw(st.sampled_from(["sum", "add"])), inputs(1, 2),
                          draw(st.sampled_from([None, {"axis": 0}]))))
        elif kind == "external":
            ref = draw(st.sampled_from([None, "-", "p"]))
            steps.append(("add_external", dict(FIELDS, preprocessing_ref=ref), inputs(0, 2),
                          None))
        else:
            steps.append(("add_exchange", None, inputs(0, 2),
                          draw(st.sampled_from([None, {"scheme": "ring"}]))))
    outputs = draw(st.lists(st.integers(0, count - 1), max_size=4))
    return Recipe(tuple(steps), tuple(outputs))

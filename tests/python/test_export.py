"""The Python side of to_dot, serialize and deserialize."""

from __future__ import annotations

import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from graph_strategies import recipes
from zembric_core import GraphStore


def small_store():
    store = GraphStore()
    x = store.add_source("x")
    y = store.add_op("neg", [x], {"k": 2})
    store.add_op("add", [x, y])
    return store


def test_round_trip_keeps_ids_marks_and_text():
    store = small_store()
    blob = store.serialize(outputs=[2, 0])
    back = GraphStore.deserialize(blob)
    assert back.outputs() == [2, 0]
    assert [dict(n, output=False) for n in back.nodes()] == store.nodes()
    assert back.serialize() == blob
    plain = GraphStore.deserialize(store.serialize())
    assert plain.outputs() == [] and plain.to_dot() == store.to_dot()
    assert plain.serialize() == store.serialize() == store.serialize(outputs=None)


def test_outputs_argument():
    store = small_store()
    marked = GraphStore.deserialize(store.serialize(outputs=(1,)))
    # outputs= replaces the marks; [] writes none.
    assert GraphStore.deserialize(marked.serialize(outputs=[])).outputs() == []
    assert GraphStore.deserialize(marked.serialize(outputs=range(3))).outputs() == [0, 1, 2]
    assert GraphStore.deserialize(marked.serialize()).outputs() == [1]
    with pytest.raises(ValueError, match="^no node with id 3$"):
        store.serialize(outputs=[0, 3, 4])
    with pytest.raises(ValueError, match="^no node with id 1$"):
        GraphStore().serialize(outputs=[1])
    with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`$"):
        store.serialize(outputs="0")
    with pytest.raises(TypeError, match="^argument 'outputs': "):
        store.serialize({0})
    with pytest.raises(OverflowError):
        store.serialize([-1])


@pytest.mark.parametrize("data", [bytearray(b"ZIR1"), memoryview(b"ZIR1"), "ZIR1", None])
def test_deserialize_wants_bytes(data):
    with pytest.raises(TypeError, match="^argument 'data': expected bytes, got "):
        GraphStore.deserialize(data)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "truncated zembric IR blob"),
        (b"ZIR", "truncated zembric IR blob"),
        (b"ABCD", "not a zembric IR blob (bad magic/version)"),
        (b"ZIR1", "truncated zembric IR blob"),
    ],
)
def test_deserialize_reports_reader_errors(data, message):
    with pytest.raises(ValueError) as caught:
        GraphStore.deserialize(data)
    assert str(caught.value) == message


def test_deserialize_accepts_bytes_subclasses():
    class Blob(bytes):
        pass

    assert GraphStore.deserialize(Blob(small_store().serialize())).node_count() == 3


def test_empty_store_dot_is_two_lines():
    assert GraphStore().to_dot().splitlines() == ["digraph zembric {", "}"]


# Values whose bytes a careless writer or reader would change: signed zeros, NaN payloads, integer
# extremes, and texts holding the characters that keys, labels and DOT escape.
ODD_PARAMS = st.dictionaries(
    st.text(max_size=4),
    st.one_of(
        st.booleans(),
        st.integers(-(2**63), 2**63 - 1),
        st.sampled_from([0.0, -0.0, 1.5, 1e21, 1e-7, float("inf"), float("-inf"),
                         struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000123))[0]]),
        st.text(alphabet='ab|;=%"\\\n\t\x00\u00e9\u2028', max_size=5),
    ),
    max_size=3,
)


@settings(max_examples=80, deadline=None)
@given(recipe=recipes(), params=ODD_PARAMS, reduce_first=st.booleans())
def test_blob_round_trip_of_random_stores(recipe, params, reduce_first):
    store, ids = recipe.build()
    store.add_source("odd", params)
    marks = recipe.output_ids(ids)
    if reduce_first:  # a reduced store carries Stage nodes and its own marks
        store, _ = store.reduce(outputs=marks)
    else:
        store = GraphStore.deserialize(store.serialize(outputs=marks))
    blob = store.serialize()
    back = GraphStore.deserialize(blob)
    assert back.serialize() == blob
    assert back.node_count() == store.node_count()
    assert back.outputs() == store.outputs()
    assert back.to_dot() == store.to_dot()

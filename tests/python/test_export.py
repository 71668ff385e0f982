"""The Python side of to_dot, serialize and deserialize."""

from __future__ import annotations

import pytest

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

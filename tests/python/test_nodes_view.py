"""GraphStore.nodes(): keys, order and types of the node view, including Stage members read back
from their keys."""

from __future__ import annotations

import pytest

import ir_blob
from ir_blob import INPUT, MEMBER
from zembric_core import GraphStore, PayloadDescriptor

BASE_KEYS = ["id", "output", "inputs", "kind", "name", "params"]


def test_empty_store_gives_an_empty_list():
    assert GraphStore().nodes() == []


def test_every_kind_built_from_python():
    store = GraphStore()
    a = store.add_source("a", {"z": 1.0, "a": True})
    b = store.add_op("neg", [a])
    c = store.add_reduction("sum", [b, b], {"axis": -1})
    d = store.add_external(PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v",
                                             io_schema="s"), [c], {"n": "x"})
    e = store.add_exchange([d], {"scheme": "ring"})
    view = store.nodes()
    assert [list(node) for node in view] == [BASE_KEYS] * 3 + [BASE_KEYS + ["descriptor"], BASE_KEYS]
    assert view[a] == {"id": 0, "output": False, "inputs": [], "kind": "source", "name": "a",
                       "params": {"a": True, "z": 1.0}}
    assert list(view[a]["params"]) == ["a", "z"]
    assert type(view[a]["params"]["a"]) is bool and type(view[a]["params"]["z"]) is float
    assert view[b] == {"id": 1, "output": False, "inputs": [0], "kind": "op", "name": "neg",
                       "params": {}}
    assert view[c]["inputs"] == [1, 1] and view[c]["kind"] == "reduction"
    assert view[d]["name"] == "" and view[d]["kind"] == "external"
    assert view[d]["params"] == {"n": "x"}
    assert list(view[d]["descriptor"].items()) == [
        ("kind", "k"), ("content_hash", "h"), ("framework", "f"), ("version", "v"),
        ("io_schema", "s"), ("preprocessing_ref", None)]
    assert view[e] == {"id": 4, "output": False, "inputs": [3], "kind": "exchange", "name": "",
                       "params": {"scheme": "ring"}}


def test_view_is_a_fresh_copy():
    store = GraphStore()
    store.add_source("a", {"k": 1})
    view = store.nodes()
    view[0]["params"]["k"] = 2
    view[0]["inputs"].append(7)
    view.clear()
    assert store.nodes() == [{"id": 0, "output": False, "inputs": [], "kind": "source",
                              "name": "a", "params": {"k": 1}}]
    assert store.nodes() is not store.nodes()


def test_output_flags_follow_the_marks():
    records = [ir_blob.source(f"s{i}") for i in range(2000)]
    marks = list(range(1999, -1, -3))
    store = GraphStore.deserialize(ir_blob.blob(records, marks + marks[:5]))
    assert store.outputs() == marks
    flags = [node["output"] for node in store.nodes()]
    assert flags == [i in set(marks) for i in range(2000)]


def stage_store(*member_keys, tokens=None):
    members = [(key, tokens[i] if tokens else [(INPUT, 0)]) for i, key in enumerate(member_keys)]
    return GraphStore.deserialize(
        ir_blob.blob([ir_blob.source("x"), ir_blob.stage([0], members), ir_blob.op("sum", [1])],
                     [2]))


def test_stage_members():
    store = stage_store("op|neg", "op|exp", tokens=[[(INPUT, 0)], [(MEMBER, 0)]])
    view = store.nodes()
    assert list(view[1]) == BASE_KEYS + ["n_members", "members"]
    assert view[1]["kind"] == "stage" and view[1]["name"] == "" and view[1]["params"] == {}
    assert view[1]["n_members"] == 2
    assert view[1]["members"] == [
        {"kind": "op", "name": "neg", "params": {}, "inputs": [("input", 0)]},
        {"kind": "op", "name": "exp", "params": {}, "inputs": [("member", 0)]},
    ]
    assert list(view[1]["members"][0]) == ["kind", "name", "params", "inputs"]
    assert [node["output"] for node in view] == [False, False, True]


def test_member_keys_are_read_back():
    store = stage_store(
        "red|s%7Cum%25|axis=i-1;keep=btrue",
        "op|mul|z=f8000000000000000;a=f0000000000000000;m=sl%3Dr",
        "op|x|k=f3ff0000000000000",
        tokens=[[(INPUT, 0)], [(MEMBER, 0), (INPUT, 3)], [(MEMBER, 1)]],
    )
    first, second, third = store.nodes()[1]["members"]
    assert (first["kind"], first["name"], first["params"]) == ("red", "s|um%", {"axis": -1, "keep": True})
    assert first["inputs"] == [("input", 0)]
    assert list(second["params"]) == ["a", "m", "z"]
    assert str(second["params"]["z"]) == "-0.0" and str(second["params"]["a"]) == "0.0"
    assert second["params"]["m"] == "l=r"
    assert second["inputs"] == [("member", 0), ("input", 3)]
    assert third["params"] == {"k": 1.0}


@pytest.mark.parametrize("key", ["xx|a|", "op", "op|a|k", "op|a|k=q1", "op|a|k=i", "op|a|k=i1;",
                                 "src|x", "op|a|k=i99999999999999999999", "op|a|k=bTrue"])
def test_unreadable_member_keys(key):
    store = stage_store("op|ok", key)
    with pytest.raises(ValueError) as caught:
        store.nodes()
    assert str(caught.value) == "unparseable stage member token " + key
    assert store.node_count() == 3  # the store itself is intact

"""Building a store: interning, argument conversion, error messages, unchanged store on failure,
and the export methods' argument handling."""

from __future__ import annotations

import math
import struct
from collections import UserList
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zembric_core import GraphStore, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def stored_params(params):
    store = GraphStore()
    store.add_source("s", params)
    return store.nodes()[0]["params"]


def test_new_store_is_empty():
    store = GraphStore()
    assert (store.node_count(), store.outputs(), store.nodes()) == (0, [], [])


def test_interning_returns_existing_ids():
    store = GraphStore()
    x = store.add_source("x")
    assert store.add_source("x") == x == 0
    y = store.add_source("y", {"shape": "2x2"})
    assert store.add_op("add", [x, y]) == store.add_op("add", (x, y)) == 2
    assert store.add_op("add", [y, x]) == 3  # operand order is identity
    assert store.add_op("add", [x, x]) == 4  # repeats allowed
    assert store.add_reduction("add", [x, y]) == 5  # kinds never share ids
    assert store.add_exchange([x]) == store.add_exchange([x], {}) == store.add_exchange([x], None)
    assert store.add_exchange([]) != store.add_exchange([x, y])
    assert store.node_count() == 9


@pytest.mark.parametrize(
    "first, second, same",
    [
        ({"z": 1, "a": 2}, {"a": 2, "z": 1}, True),
        ({"k": 1}, {"k": 1.0}, False),
        ({"k": 1}, {"k": True}, False),
        ({"k": 0.0}, {"k": -0.0}, False),
        ({"k": math.nan}, {"k": struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000001))[0]}, True),
        ({"k": "1"}, {"k": 1}, False),
        ({}, None, True),
    ],
)
def test_param_identity(first, second, same):
    store = GraphStore()
    assert (store.add_source("s", first) == store.add_source("s", second)) is same


def test_external_identity_and_descriptor_forms():
    store = GraphStore()
    from_object = store.add_external(PayloadDescriptor(**FIELDS), [])
    assert store.add_external(dict(FIELDS), []) == from_object
    assert store.add_external({**FIELDS, "preprocessing_ref": None, "extra": 1}, []) == from_object
    with_empty_ref = store.add_external({**FIELDS, "preprocessing_ref": ""}, [])
    assert with_empty_ref != from_object
    assert store.add_external(PayloadDescriptor(**FIELDS, preprocessing_ref=""), []) == with_empty_ref

    class Lookups(dict):
        def __missing__(self, key):
            return "m"

        def __getitem__(self, key):
            return "g"

        def get(self, key, default=None):
            return "g"

    with pytest.raises(ValueError, match="^descriptor missing required field 'io_schema'$"):
        store.add_external(Lookups({k: v for k, v in FIELDS.items() if k != "io_schema"}), [])
    assert store.add_external(Lookups(FIELDS), []) == from_object


@pytest.mark.parametrize(
    "value, kind, expected",
    [
        (True, bool, True),
        (False, bool, False),
        (3, int, 3),
        (-(2**63), int, -(2**63)),
        (2**63 - 1, int, 2**63 - 1),
        (2**63, float, 2.0**63),
        (2**70, float, 1.1805916207174113e21),
        (-(2**64), float, -(2.0**64)),
        (3.0, float, 3.0),
        (math.inf, float, math.inf),
        ("3", str, "3"),
        ("", str, ""),
        ("ünï|=;%\U0001f600", str, "ünï|=;%\U0001f600"),
        (np.int64(-5), int, -5),
        (np.uint64(2**64 - 1), float, 2.0**64),
        (np.float32(0.5), float, 0.5),
        (Fraction(1, 4), float, 0.25),
        (Decimal("2.5"), float, 2.5),
    ],
)
def test_param_values_are_classified(value, kind, expected):
    params = stored_params({"k": value})
    assert type(params["k"]) is kind
    assert params["k"] == expected


def test_param_classification_order_for_custom_objects():
    class IndexAndFloat:
        def __index__(self):
            return 7

        def __float__(self):
            return 0.5

    class OnlyFloat:
        def __float__(self):
            return 0.5

    class BigIndex:
        def __index__(self):
            return 2**80

    class StrWithFloat(str):
        def __float__(self):
            return 1.5

    class Text(str):
        pass

    params = stored_params(
        {"a": IndexAndFloat(), "b": OnlyFloat(), "c": BigIndex(), "d": StrWithFloat("x"), "e": Text("t")}
    )
    assert params == {"a": 7, "b": 0.5, "c": 2.0**80, "d": 1.5, "e": "t"}
    assert [type(v) for v in params.values()] == [int, float, float, float, str]


def test_float_params_keep_their_bits():
    for value in (-0.0, 5e-324, struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]):
        assert bits(stored_params({"k": value})["k"]) == bits(value)


@pytest.mark.parametrize(
    "params, error, message",
    [
        ([], TypeError, "params must be a dict or None"),
        ((("k", 1),), TypeError, "params must be a dict or None"),
        ({"k": None}, TypeError, "param values must be int, float, bool, or str"),
        ({"k": b"x"}, TypeError, "param values must be int, float, bool, or str"),
        ({"k": [1]}, TypeError, "param values must be int, float, bool, or str"),
        ({"k": 2**1100}, TypeError, "param values must be int, float, bool, or str"),
        ({"k": 1j}, TypeError, "param values must be int, float, bool, or str"),
        ({1: 2}, TypeError, "param keys must be str, not int"),
        ({"ok": 1, b"k": 2}, TypeError, "param keys must be str, not bytes"),
        ({"k": "\udc80"}, UnicodeEncodeError, None),
        ({"\ud800": 1}, UnicodeEncodeError, None),
    ],
)
def test_bad_params(params, error, message):
    store = GraphStore()
    with pytest.raises(error) as caught:
        store.add_source("s", params)
    if message is not None:
        assert str(caught.value) == message  # no argument prefix
    assert store.node_count() == 0


def test_params_dict_is_read_from_its_storage():
    class Overridden(dict):
        def items(self):
            return [("fake", 1)]

        def __iter__(self):
            return iter(["fake"])

        def __getitem__(self, key):
            return 99

    assert stored_params(Overridden(real=2)) == {"real": 2}


def test_params_changed_by_a_conversion_hook_raise_the_internal_error():
    class Grow:
        def __index__(self):
            params["new"] = 1
            return 1

    class Swap:
        def __index__(self):
            # Same size, different keys: more entries are walked than the dict held.
            del params["a"]
            params["z"] = 2
            return 1

    store = GraphStore()
    for hook, message in ((Grow, "dictionary changed size during iteration"),
                          (Swap, "dictionary keys changed during iteration")):
        params = {"a": hook(), "b": 1}
        with pytest.raises(BaseException) as caught:
            store.add_source("s", params)
        assert not isinstance(caught.value, Exception)
        assert str(caught.value) == message
    assert store.node_count() == 0
    store.add_source("after")  # the store was never locked, so it is not poisoned
    assert store.node_count() == 1


# ---------------------------------------------------------------- id lists


class Seq:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "inputs",
    [[0, 1], (0, 1), range(2), bytes([0, 1]), UserList([0, 1]), Seq(0, 1), [Idx(0), Idx(1)],
     np.array([0, 1], dtype=np.int64), [np.uint8(0), np.int32(1)], [False, True]],
)
def test_accepted_inputs(inputs):
    store = GraphStore()
    store.add_source("a")
    store.add_source("b")
    assert store.add_op("add", inputs) == 2
    assert store.nodes()[2]["inputs"] == [0, 1]


@pytest.mark.parametrize(
    "inputs, error, message",
    [
        ("0", TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        ("", TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        ({0}, TypeError, "argument 'inputs': 'set' object is not a sequence"),
        ({0: 0}, TypeError, "argument 'inputs': 'dict' object is not a sequence"),
        ((i for i in [0]), TypeError, "argument 'inputs': 'generator' object is not a sequence"),
        (None, TypeError, "argument 'inputs': 'NoneType' object is not a sequence"),
        (5, TypeError, "argument 'inputs': 'int' object is not a sequence"),
        ([0.0], TypeError, "argument 'inputs': 'float' object cannot be interpreted as an integer"),
        ([0, "1"], TypeError, "argument 'inputs': 'str' object cannot be interpreted as an integer"),
        ([-1], OverflowError, None),
        ([2**64], OverflowError, None),
        ([Idx(-5)], OverflowError, None),
    ],
)
def test_refused_inputs(inputs, error, message):
    store = GraphStore()
    store.add_source("a")
    with pytest.raises(error) as caught:
        store.add_op("neg", inputs)
    if message is not None:
        assert str(caught.value) == message
    else:
        assert not str(caught.value).startswith("argument")
    assert store.node_count() == 1


def test_ids_must_name_existing_nodes():
    store = GraphStore()
    for _ in range(5):
        store.add_source(f"s{_}")
    for method, args in (("add_op", ("neg", [5])), ("add_reduction", ("sum", [0, 7, 6])),
                         ("add_exchange", ([2**64 - 1],)), ("add_external", (FIELDS, [1, 9]))):
        with pytest.raises(ValueError) as caught:
            getattr(store, method)(*args)
        first_bad = next(i for i in args[-1] if i >= 5)
        assert str(caught.value) == f"no node with id {first_bad}"
    assert store.node_count() == 5


def test_inputs_survive_a_list_shrunk_by_index():
    store = GraphStore()
    store.add_source("a")

    class Shrink:
        def __index__(self):
            inputs.clear()
            return 0

    inputs = [Shrink(), 0, 0]
    node_id = store.add_op("neg", inputs)
    assert store.nodes()[node_id]["inputs"] == [0]


def test_name_conversion():
    store = GraphStore()

    class Text(str):
        pass

    assert store.add_source(Text("x")) == store.add_source("x")
    node_id = store.add_source("ä|b")
    assert store.nodes()[node_id]["name"] == "ä|b"
    with pytest.raises(TypeError, match="^argument 'name': expected str, got bytes$"):
        store.add_source(b"x")
    with pytest.raises(UnicodeEncodeError):
        store.add_op("\ud800", [0])


class ShoutingText(str):
    """A str subclass whose Python-level view differs from its stored text."""

    def __str__(self):
        return self.upper()

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("method", ["add_source", "add_op", "add_reduction"])
@pytest.mark.parametrize("name", ["x", "", "ä|b", "名前" * 12, "n" * 40, ShoutingText("mixed")])
def test_names_are_read_from_the_str_storage(method, name):
    """Names are read from the str's own text: subclasses, non-ASCII and long names alike, and a
    name seen before followed by an equal or a different one."""
    store = GraphStore()
    add = getattr(store, method)
    args = (name,) if method == "add_source" else (name, [])
    first = add(*args)
    assert store.nodes()[first]["name"] == str.__str__(name)
    assert add(*((str.__str__(name),) + args[1:])) == first
    other = add(*((str.__str__(name) + "2",) + args[1:]))
    assert other != first
    assert store.nodes()[other]["name"] == str.__str__(name) + "2"


@pytest.mark.parametrize("size", [2, 16, 17, 40])
def test_params_of_any_size_are_sorted_by_key_bytes(size):
    """Short maps sort by insertion, long ones by a stable sort: both give one order."""
    keys = [f"{chr(0x61 + i % 26)}{'é' * (i % 3)}{i // 26}" for i in range(size)] + ["\u00ff", "z", "ÿz"]
    store = GraphStore()
    ids = set()
    for order in (keys, keys[::-1], keys[1::2] + keys[::2]):
        ids.add(store.add_op("f", [], {k: len(k) for k in order}))
    assert len(ids) == 1
    assert list(store.nodes()[ids.pop()]["params"]) == sorted(keys, key=str.encode)


# ---------------------------------------------------------------- descriptors


@pytest.mark.parametrize(
    "descriptor, error, message",
    [
        (5, TypeError, "descriptor must be a PayloadDescriptor or dict"),
        ([("kind", "k")], TypeError, "descriptor must be a PayloadDescriptor or dict"),
        ({}, ValueError, "descriptor missing required field 'kind'"),
        ({**FIELDS, "kind": None}, TypeError, "descriptor field 'kind' must be str, not NoneType"),
        ({k: v for k, v in FIELDS.items() if k != "io_schema"}, ValueError,
         "descriptor missing required field 'io_schema'"),
        ({k: v for k, v in FIELDS.items() if k not in ("framework", "version")}, ValueError,
         "descriptor missing required field 'framework'"),
        ({**FIELDS, "version": 1}, TypeError, "descriptor field 'version' must be str, not int"),
        # preprocessing_ref is checked first.
        ({"preprocessing_ref": 1}, TypeError,
         "descriptor field 'preprocessing_ref' must be str, not int"),
    ],
)
def test_bad_descriptors(descriptor, error, message):
    store = GraphStore()
    with pytest.raises(error) as caught:
        store.add_external(descriptor, [])
    assert str(caught.value) == message
    assert store.node_count() == 0


def test_add_external_converts_inputs_then_descriptor_then_params():
    store = GraphStore()
    with pytest.raises(TypeError, match="^argument 'inputs': Can't extract"):
        store.add_external(5, "x", [])
    with pytest.raises(TypeError, match="^descriptor must be"):
        store.add_external(5, [], [])
    with pytest.raises(TypeError, match="^params must be"):
        store.add_external(FIELDS, [], [])


# ---------------------------------------------------------------- failed calls change nothing


def populated_store():
    store = GraphStore()
    x = store.add_source("x", {"k": 1})
    y = store.add_op("neg", [x])
    store.add_external(FIELDS, [x, y], {"f": 0.5})
    store.add_exchange([y], {"scheme": "ring"})
    return store


FAILING_CALLS = [
    lambda s: s.add_source(1),
    lambda s: s.add_source("x", {"k": None}),
    lambda s: s.add_op("neg", [99]),
    lambda s: s.add_op("neg", [0, -1]),
    lambda s: s.add_op("neg", "0"),
    lambda s: s.add_op("neg", [0], []),
    lambda s: s.add_reduction("sum", [0, 4]),
    lambda s: s.add_external({}, [0]),
    lambda s: s.add_external(FIELDS, [4]),
    lambda s: s.add_exchange([0], {"k": object()}),
    lambda s: s.add_op("neg", [0], bogus=1),
    lambda s: s.serialize(outputs=[0, 4]),
    lambda s: s.serialize(outputs="0"),
]


@pytest.mark.parametrize("call", FAILING_CALLS)
def test_failed_call_leaves_store_unchanged(call):
    store = populated_store()
    before = (store.node_count(), store.nodes(), store.outputs(), store.serialize())
    with pytest.raises((TypeError, ValueError, OverflowError)):
        call(store)
    assert (store.node_count(), store.nodes(), store.outputs(), store.serialize()) == before


# ---------------------------------------------------------------- a model of interning

node_specs = st.lists(
    st.tuples(
        st.sampled_from(["source", "op", "reduction", "exchange"]),
        st.sampled_from(["a", "b"]),
        st.lists(st.integers(0, 6), max_size=3),
        st.dictionaries(st.sampled_from(["p", "q"]),
                        st.one_of(st.booleans(), st.integers(-2, 2), st.sampled_from([0.0, -0.0, 1.0]),
                                  st.sampled_from(["", "1"])),
                        max_size=2),
    ),
    max_size=30,
)


def model_key(kind, name, inputs, params):
    typed = tuple(sorted((k, type(v).__name__, bits(v) if isinstance(v, float) else v)
                         for k, v in params.items()))
    if kind == "source":
        inputs = []
    if kind == "exchange":
        name = ""
    return (kind, name, tuple(inputs), typed)


@settings(max_examples=150, deadline=None)
@given(node_specs)
def test_store_matches_an_interning_model(specs):
    store = GraphStore()
    model: dict[tuple, int] = {}
    for kind, name, inputs, params in specs:
        key = model_key(kind, name, inputs, params)
        bad = next((i for i in key[2] if i >= len(model)), None)
        if kind == "source":
            got = store.add_source(name, params)
        elif kind == "exchange":
            call = lambda: store.add_exchange(inputs, params)  # noqa: E731
        else:
            call = lambda: getattr(store, "add_" + kind)(name, inputs, params)  # noqa: E731
        if kind != "source":
            if bad is not None:
                with pytest.raises(ValueError, match=f"^no node with id {bad}$"):
                    call()
                continue
            got = call()
        assert got == model.setdefault(key, len(model))
    assert store.node_count() == len(model)
    view = store.nodes()
    for key, node_id in model.items():
        assert model_key(view[node_id]["kind"], view[node_id]["name"], view[node_id]["inputs"],
                         view[node_id]["params"]) == key


param_values = st.one_of(
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(),
)


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(st.text(), param_values, max_size=6))
def test_params_round_trip_through_nodes(params):
    store = GraphStore()
    try:
        node_id = store.add_source("s", params)
    except UnicodeEncodeError:
        assert any("\ud800" <= c <= "\udfff" for t in [*params, *(v for v in params.values() if isinstance(v, str))] for c in t)
        return
    back = store.nodes()[node_id]["params"]
    assert list(back) == sorted(params, key=lambda k: k.encode())
    for key, value in params.items():
        assert type(back[key]) is type(value)
        if isinstance(value, float):
            assert bits(back[key]) == bits(value)
        else:
            assert back[key] == value
    # Re-adding the read-back dict gives the same node.
    assert store.add_source("s", back) == node_id
    assert store.node_count() == 1

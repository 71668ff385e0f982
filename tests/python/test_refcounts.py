"""No leaks: every method, on success and on each kind of failure, leaves the reference counts of
its arguments and the number of live Python allocations as they were."""

from __future__ import annotations

import ctypes
import gc
import os
import sys

import pytest

import ir_blob
from zembric_core import GraphStore, IncrementalReducer, PayloadDescriptor

FIELDS = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")

STORE = GraphStore()
STORE.add_source("x")
STORE.add_op("neg", [0])
BLOB = STORE.serialize(outputs=[1])
BAD_MEMBER_STORE = GraphStore.deserialize(
    ir_blob.blob([ir_blob.source("x"), ir_blob.stage([0], [("op|k=", [(0, 0)])])]))
GOOD_STAGE_STORE = GraphStore.deserialize(
    ir_blob.blob([ir_blob.source("x"), ir_blob.stage([0], [("op|m|k=f3ff0000000000000;s=sx", [(0, 0)]),
                                                           ("red|r", [(1, 0)])])], [1]))


class TypeErrorWithCause:
    def __index__(self):
        raise TypeError("bad") from KeyError("cause")


class Growing:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target["extra"] = 1
        return 1


def mutated_params():
    params = {"a": None, "b": 2}
    params["a"] = Growing(params)
    return params


# (name, arguments factory, call); the arguments are checked for reference leaks.
CASES = [
    ("add_source", lambda: ("x", {"k": 1, "f": 0.5, "b": True, "s": "t", "big": 2**70}),
     lambda a: STORE.add_source(*a)),
    ("add_op", lambda: ("neg", [0], {"k": "v"}), lambda a: STORE.add_op(*a)),
    ("add_op keywords", lambda: ("neg", (0,)), lambda a: STORE.add_op(name=a[0], inputs=a[1])),
    ("add_reduction", lambda: ("sum", range(2), None), lambda a: STORE.add_reduction(*a)),
    ("add_external dict", lambda: ({**FIELDS, "preprocessing_ref": "p"}, [0]),
     lambda a: STORE.add_external(*a)),
    ("add_external object", lambda: (PayloadDescriptor(**FIELDS), [1]),
     lambda a: STORE.add_external(*a)),
    ("add_exchange", lambda: ([1], {"scheme": "ring"}), lambda a: STORE.add_exchange(*a)),
    ("missing argument", lambda: ("neg",), lambda a: STORE.add_op(*a)),
    ("surplus argument", lambda: ("neg", [0], None, 1), lambda a: STORE.add_op(*a)),
    ("unexpected keyword", lambda: ("neg", [0]), lambda a: STORE.add_op(*a, colour=a[1])),
    ("duplicate argument", lambda: ("neg", [0]), lambda a: STORE.add_op(*a, name=a[0])),
    ("str inputs", lambda: ("neg", "0"), lambda a: STORE.add_op(*a)),
    ("set inputs", lambda: ("neg", {0}), lambda a: STORE.add_op(*a)),
    ("prefixed TypeError with cause", lambda: ("neg", [TypeErrorWithCause()]),
     lambda a: STORE.add_op(*a)),
    ("negative id", lambda: ("neg", [0, -1]), lambda a: STORE.add_op(*a)),
    ("unknown id", lambda: ("neg", [0, 99]), lambda a: STORE.add_op(*a)),
    ("bad param value", lambda: ("x", {"a": 1, "k": None}), lambda a: STORE.add_source(*a)),
    ("many params", lambda: ("neg", [0], {f"k{i}": f"v{i}" for i in reversed(range(20))}),
     lambda a: STORE.add_op(*a)),
    ("bad param value after many", lambda: ("x", {**{f"k{i}": i for i in range(20)}, "z": None}),
     lambda a: STORE.add_source(*a)),
    ("bad param key", lambda: ("x", {1: 2}), lambda a: STORE.add_source(*a)),
    ("params not a dict", lambda: ("x", [1]), lambda a: STORE.add_source(*a)),
    ("surrogate name", lambda: ("\ud800",), lambda a: STORE.add_source(*a)),
    ("params changed during conversion", lambda: ("x", mutated_params()),
     lambda a: STORE.add_source(*a)),
    ("descriptor missing field", lambda: ({"kind": "k"}, []), lambda a: STORE.add_external(*a)),
    ("descriptor bad field", lambda: ({**FIELDS, "version": 1}, []),
     lambda a: STORE.add_external(*a)),
    ("descriptor wrong type", lambda: (5, []), lambda a: STORE.add_external(*a)),
    ("nodes", lambda: (), lambda a: STORE.nodes()),
    ("nodes with stages", lambda: (), lambda a: GOOD_STAGE_STORE.nodes()),
    ("nodes with unreadable member", lambda: (), lambda a: BAD_MEMBER_STORE.nodes()),
    ("outputs", lambda: (), lambda a: GOOD_STAGE_STORE.outputs()),
    ("node_count", lambda: (), lambda a: STORE.node_count()),
    ("to_dot", lambda: (), lambda a: STORE.to_dot()),
    ("serialize", lambda: ([1, 0],), lambda a: STORE.serialize(*a)),
    ("serialize bad id", lambda: ([0, 99],), lambda a: STORE.serialize(*a)),
    ("deserialize", lambda: (BLOB,), lambda a: GraphStore.deserialize(*a)),
    ("deserialize bad blob", lambda: (BLOB[:-3],), lambda a: GraphStore.deserialize(*a)),
    ("deserialize bytearray", lambda: (bytearray(BLOB),), lambda a: GraphStore.deserialize(*a)),
    ("new store", lambda: (), lambda a: GraphStore()),
    ("new store with argument", lambda: (1,), lambda a: GraphStore(*a)),
    ("new descriptor", lambda: ("r",), lambda a: PayloadDescriptor(**FIELDS, preprocessing_ref=a[0])),
    ("descriptor attributes", lambda: (PayloadDescriptor(**FIELDS),),
     lambda a: (a[0].kind, a[0].preprocessing_ref)),
    ("bad descriptor", lambda: (1,), lambda a: PayloadDescriptor(**{**FIELDS, "kind": a[0]})),
]


def attempt(call, args):
    try:
        call(args)
    except BaseException:  # noqa: B036 - the internal error derives from BaseException
        pass


def contents(args):
    """The argument objects and, one level down, the items of containers among them; scalars are
    left out, since ints and strings are shared with the rest of the process."""
    objects = list(args)
    for arg in args:
        if isinstance(arg, dict):
            objects += [*arg.keys(), *arg.values()]
        elif isinstance(arg, (list, tuple)):
            objects += list(arg)
    return [o for o in objects if not isinstance(o, (int, float, str, type(None)))]


@pytest.mark.parametrize("name, make_args, call", CASES, ids=[c[0] for c in CASES])
def test_no_leaks(name, make_args, call):
    args = make_args()
    for _ in range(20):  # warm caches: interned strings, UTF-8 caches, type caches
        attempt(call, args)
    watched = contents(args)
    counts = [sys.getrefcount(o) for o in watched]
    gc.collect()
    blocks = sys.getallocatedblocks()
    rounds = 2000
    for _ in range(rounds):
        attempt(call, args)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert [sys.getrefcount(o) for o in watched] == counts
    assert grown < rounds // 10, f"{grown} Python allocations left after {rounds} calls"


def held_bytes() -> int:
    """Resident memory; under AddressSanitizer, whose quarantine keeps freed memory resident, the
    bytes its allocator has handed out and not had back."""
    if os.environ.get("ZEMBRIC_SANITIZED") == "1":
        allocated = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
        allocated.restype = ctypes.c_size_t
        return allocated()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_native_memory_is_released():
    """Stores own C++ memory that Python's allocator counters do not see."""

    def churn():
        for _ in range(300):
            store = GraphStore.deserialize(BLOB)
            for i in range(50):
                store.add_op("op" + "x" * 40, [0, 1], {"k": i})
            # A params conversion that fails after entries with heap-held texts were built.
            with pytest.raises(TypeError):
                store.add_op("op", [0], {**{f"key {i:02} " * 4: "v" * 40 for i in range(20)}, "z": None})
            store.nodes()
            store.to_dot()
            store.serialize()
            del store

    churn()
    before = held_bytes()
    for _ in range(5):
        churn()
    # 1500 stores of ~50 nodes each: a store leaked per round would add several megabytes.
    assert held_bytes() - before < 4 * 2**20


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_reductions_of_distinct_graphs_leave_nothing_behind():
    """Every reduction meets keys no other one has (fresh constants, a fresh stage key on the
    second pass); once their objects are freed, nothing of them may stay in the process."""
    fresh = iter(range(10**9))

    def reduce_some(count):
        for _ in range(count):
            store = GraphStore()
            x = store.add_source("x" * 30)
            for _ in range(25):
                x = store.add_op("mul", [x], {"scalar": float(next(fresh)) + 0.5, "side": "r"})
            reduced, _ = store.reduce(outputs=[x])
            IncrementalReducer().finalize(reduced, outputs=[reduced.node_count() - 1])
            reduced.reduce_incremental()

    reduce_some(200)
    gc.collect()
    before = held_bytes()
    reduce_some(2000)
    gc.collect()
    # Kept keys would hold some 2000 x 26 texts of 60 bytes and more: several megabytes.
    assert held_bytes() - before < 2 * 2**20

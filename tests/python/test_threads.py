"""Threads sharing one GraphStore and one IncrementalReducer: builders, readers, reducers and
steppers run at once with a tiny switch interval, then the results are checked against the final
store and against a single-threaded rebuild of it."""

from __future__ import annotations

import faulthandler
import random
import re
import sys
import threading
import time
import traceback

import pytest

from graph_strategies import FIELDS, Recipe
from zembric_core import GraphStore, IncrementalReducer

# Builders 0 and 1 build the same graph, so every node of theirs is interned by both at once.
BUILDER_SEEDS = (1, 1, 2)
BUILDER_STEPS = 250
MAX_ROUNDS = 100  # per reader, reducer and stepper; they stop earlier once the builders are done
JOIN_TIMEOUT = 60.0

UNARY = [("neg", None), ("exp", {"k": 1}), ("add", {"scalar": 0.0, "side": "r"})]
BINARY = [("add", None), ("mul", None), ("sub", {"k": 2})]


def make_recipe(seed: int) -> Recipe:
    """A deterministic random graph over shared sources; inputs lean on recent nodes, which makes
    chains for stage fusion."""
    rng = random.Random(seed)
    steps = [("add_source", name, (), None) for name in "xyz"]
    for i in range(len(steps), BUILDER_STEPS):
        def inputs(count):
            return tuple(rng.randrange(max(0, i - 8), i) for _ in range(count))

        roll = rng.random()
        if roll < 0.45:
            name, params = rng.choice(UNARY)
            steps.append(("add_op", name, inputs(1), params))
        elif roll < 0.8:
            name, params = rng.choice(BINARY)
            steps.append(("add_op", name, inputs(2), params))
        elif roll < 0.9:
            steps.append(("add_reduction", "sum", inputs(1), rng.choice([None, {"axis": 0}])))
        elif roll < 0.95:
            steps.append(("add_external", dict(FIELDS, preprocessing_ref=rng.choice([None, "p"])),
                          inputs(rng.randrange(2)), None))
        else:
            steps.append(("add_exchange", None, inputs(1), {"scheme": "ring"}))
    return Recipe(tuple(steps), ())


KINDS = {"add_source": "source", "add_op": "op", "add_reduction": "reduction",
         "add_external": "external", "add_exchange": "exchange"}


def expected_view(step, inputs: list[int]) -> dict:
    """nodes()'s entry, less its id, for a node added by `step` with these input ids."""
    method, first, _, params = step
    view = {"output": False, "inputs": inputs, "kind": KINDS[method],
            "name": first if isinstance(first, str) else "", "params": dict(params or {})}
    if method == "add_external":
        view["descriptor"] = first
    return view


def rebuild(nodes: list[dict]) -> GraphStore:
    """A store built single-threaded from a node list; it must give every node the same id."""
    store = GraphStore()
    for node in nodes:
        kind, inputs, params = node["kind"], node["inputs"], node["params"]
        if kind == "source":
            new_id = store.add_source(node["name"], params)
        elif kind == "op":
            new_id = store.add_op(node["name"], inputs, params)
        elif kind == "reduction":
            new_id = store.add_reduction(node["name"], inputs, params)
        elif kind == "external":
            new_id = store.add_external(node["descriptor"], inputs, params)
        else:
            new_id = store.add_exchange(inputs, params)
        assert new_id == node["id"]
    return store


def without_input_count(report: dict) -> dict:
    # input_nodes counts the whole store (or canonical form), which grows while the roots' part
    # of it stays fixed.
    return {key: value for key, value in report.items() if key != "input_nodes"}


def run_all(workers) -> None:
    """Starts every worker at once; fails on any exception in a worker, or when one has not
    finished within the timeout."""
    errors: list[str] = []
    start = threading.Barrier(len(workers))

    def guarded(worker):
        try:
            start.wait(JOIN_TIMEOUT)
            worker()
        except BaseException:  # noqa: B036 - the internal error derives from BaseException
            errors.append(traceback.format_exc())

    threads = [threading.Thread(target=guarded, args=(w,), name=w.__name__, daemon=True)
               for w in workers]
    # A deadlock inside the module would hold the interpreter lock, and no join could time out.
    faulthandler.dump_traceback_later(2 * JOIN_TIMEOUT, exit=True)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(JOIN_TIMEOUT)
    finally:
        faulthandler.cancel_dump_traceback_later()
    stuck = [thread.name for thread in threads if thread.is_alive()]
    assert not stuck, f"still running after {JOIN_TIMEOUT}s: {stuck}"
    assert not errors, "\n".join(errors)


@pytest.fixture
def tiny_switch_interval():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_shared_store_and_reducer(tiny_switch_interval):
    store, reducer = GraphStore(), IncrementalReducer()
    recipes = [make_recipe(seed) for seed in BUILDER_SEEDS]
    built: list[list[int]] = [[] for _ in recipes]
    snapshots, dots, blobs, reductions, finalized = [], [], [], [], []
    building = len(recipes)
    building_lock, built_all = threading.Lock(), threading.Event()

    def rounds():
        for done in range(MAX_ROUNDS):
            if done > 0 and built_all.is_set():
                return
            yield done

    def builder(index):
        def build():
            nonlocal building
            # In short runs, handing the interpreter on after each, so that the other threads
            # see the store at many sizes.
            for start in range(0, BUILDER_STEPS, 10):
                recipes[index].build(store, start=start, upto=start + 10, ids=built[index])
                time.sleep(0)
            with building_lock:
                building -= 1
                if building == 0:
                    built_all.set()
        build.__name__ = f"builder {index}"
        return build

    def reader():
        seen = 0
        for _ in rounds():
            count = store.node_count()
            assert count >= seen
            seen = count
            snapshots.append(store.nodes())
            dots.append(store.to_dot())
            blobs.append(store.serialize())
            assert store.outputs() == []

    def reducer_thread():
        for done in rounds():
            count = store.node_count()
            if count == 0:
                continue
            roots = sorted({count - 1, count // 2})
            maximal = done % 2 == 1
            reduced, report = store.reduce(maximal_fusion=maximal, outputs=roots)
            reachable = store.reduction_report(outputs=roots)["reachable_nodes"]
            assert reachable == report["reachable_nodes"]
            reductions.append((roots, maximal, reduced.serialize(), without_input_count(report)))

    def stepper():
        watermark = 0
        for done in rounds():
            assert reducer.step(store) >= 0
            assert reducer.watermark() >= watermark
            watermark = reducer.watermark()
            if done % 8 == 7 and watermark > 0:
                roots = [watermark - 1]
                reduced, report = reducer.finalize(store, outputs=roots)
                finalized.append((roots, reduced.serialize(), without_input_count(report)))

    run_all([builder(i) for i in range(len(recipes))] + [reader, reader, reducer_thread,
                                                          reducer_thread, stepper, stepper])

    # Every node a builder added is there as it was added; interning gave equal nodes one id and
    # different nodes different ids; the ids handed out are exactly 0..n-1.
    final, count = store.nodes(), store.node_count()
    assert [node["id"] for node in final] == list(range(count))
    assert built[0] == built[1]
    ids_by_node: dict[str, int] = {}
    for recipe, ids in zip(recipes, built):
        assert len(ids) == len(recipe.steps)
        for step, node_id in zip(recipe.steps, ids):
            view = expected_view(step, [ids[j] for j in step[2]])
            assert {k: v for k, v in final[node_id].items() if k != "id"} == view
            key = repr((view["kind"], view["name"], view["inputs"], sorted(view["params"].items()),
                        sorted(view.get("descriptor", {}).items())))
            assert ids_by_node.setdefault(key, node_id) == node_id
    assert sorted(ids_by_node.values()) == list(range(count))

    # What the readers saw were whole prefixes of the final store.
    for snapshot in snapshots:
        assert snapshot == final[:len(snapshot)]
    for blob in blobs:
        seen = GraphStore.deserialize(blob).nodes()
        assert seen == final[:len(seen)]
    for dot in dots:
        assert dot == rebuild(final[:len(re.findall(r"^  n\d+ \[", dot, re.M))]).to_dot()

    # A reduction depends only on the part of the store its roots reach, which never changes.
    for roots, maximal, reduced, report in reductions:
        again, again_report = store.reduce(maximal_fusion=maximal, outputs=roots)
        assert (again.serialize(), without_input_count(again_report)) == (reduced, report)
    fresh = IncrementalReducer()
    assert fresh.step(store) == count
    for roots, reduced, report in finalized:
        again, again_report = fresh.finalize(store, outputs=roots)
        assert (again.serialize(), without_input_count(again_report)) == (reduced, report)

    # The shared reducer consumed every node exactly once, whatever the interleaving.
    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == count
    assert reducer.canonical_count() == fresh.canonical_count()

    # The concurrently built store reduces as a single-threaded rebuild of it does.
    rebuilt = rebuild(final)
    assert rebuilt.serialize() == store.serialize()
    sinks = sorted(set(range(count)) - {i for node in final for i in node["inputs"]})
    for maximal in (False, True):
        ours, ours_report = store.reduce(maximal_fusion=maximal, outputs=sinks)
        theirs, theirs_report = rebuilt.reduce(maximal_fusion=maximal, outputs=sinks)
        assert (ours.serialize(), ours_report) == (theirs.serialize(), theirs_report)
    ours, ours_report = reducer.finalize(store, outputs=sinks)
    theirs, theirs_report = IncrementalReducer().finalize(rebuilt, outputs=sinks)
    assert (ours.serialize(), ours_report) == (theirs.serialize(), theirs_report)


@pytest.mark.parametrize("call", ["reduce", "finalize", "step", "deserialize", "serialize", "to_dot",
                                  "free"])
def test_long_calls_let_other_threads_run(call):
    """With a switch interval far longer than the call, the main thread can only run while the
    worker is inside the module if the module released the interpreter lock there."""
    store = GraphStore()
    x = store.add_source("x")
    for i in range(60_000):
        x = store.add_op("exp" if i % 2 else "neg", [x])
    blob = store.serialize(outputs=[x])
    copies = []
    if call == "free":  # stores whose nodes own heap memory (params), which takes time to free
        heavy = GraphStore()
        y = heavy.add_source("y")
        for i in range(60_000):
            y = heavy.add_op("exp", [y], {"at": i, "why": f"step {i} of a long chain"})
        heavy_blob = heavy.serialize(outputs=[y])
        copies = [GraphStore.deserialize(heavy_blob) for _ in range(10)]
    work = {
        "reduce": lambda: store.reduce(outputs=[x]),
        "finalize": lambda: IncrementalReducer().finalize(store, outputs=[x]),
        "step": lambda: IncrementalReducer().step(store),
        "deserialize": lambda: GraphStore.deserialize(blob),
        "serialize": lambda: store.serialize(),
        "to_dot": lambda: store.to_dot(),
        "free": lambda: copies.pop(),  # the last reference, dropped in the worker
    }[call]
    started = threading.Event()

    def worker():
        started.set()
        # Calls for a quarter of a second at least, so that the main thread surely gets its turns
        # however fast one call is (a stored free list is not refilled: it stops at its end).
        calls, start = 0, time.perf_counter()
        while calls < 10 or (time.perf_counter() - start < 0.25 and (call != "free" or copies)):
            work()
            calls += 1

    previous = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        started.wait()
        spins = 0
        while thread.is_alive():
            spins += 1
            time.sleep(0)  # hands the lock over, so that the worker can take it back at the end
        thread.join()
    finally:
        sys.setswitchinterval(previous)
    # Holding the lock throughout, the worker would leave the main thread a spin or two at most.
    assert spins > 100


@pytest.mark.parametrize("call", ["reduce", "reduce_with_map", "serialize", "to_dot", "deserialize",
                                  "step", "finalize"])
def test_short_calls_keep_the_lock(call):
    """A call on a small graph keeps the interpreter lock: another thread that is ready to run
    Python code must not get it in between, or it would keep it for a whole switch interval."""
    store = GraphStore()
    x = store.add_source("x")
    y = store.add_op("add", [store.add_op("neg", [x]), x])
    blob = store.serialize(outputs=[y])
    reducer = IncrementalReducer()
    work = {
        "step": lambda: (store.add_op("exp", [y]), reducer.step(store)),
        "finalize": lambda: reducer.finalize(store, outputs=[y]),
        "reduce": lambda: store.reduce(outputs=[y]),
        "reduce_with_map": lambda: store.reduce_with_map(outputs=[y]),
        "serialize": lambda: store.serialize(),
        "to_dot": lambda: store.to_dot(),
        "deserialize": lambda: GraphStore.deserialize(blob),
    }[call]
    go = threading.Event()
    ran = []
    thread = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
    previous = sys.getswitchinterval()
    thread.start()
    sys.setswitchinterval(30.0)
    try:
        go.set()  # the thread is ready now, waiting only for the interpreter lock
        # A released lock goes to the waiting thread only if it wakes before this one takes the
        # lock back, so a release shows in some of the calls, not in each.
        for _ in range(300):
            work()
        ran_during_calls = bool(ran)
    finally:
        sys.setswitchinterval(previous)
        thread.join()
    assert not ran_during_calls

"""zembric_core benchmark suite: one command, ratios against pure-Python baselines run in the same process.

    python bench/run_benchmarks.py [--sizes 10000,100000,1000000] [--smoke] [--output FILE]
                                   [--collide-sizes 20000,40000] [--wide-width 100000]

Workloads are generated first (seeded, as plain lists of call tuples, see workloads.py), then timed:
building from Python, reduce (both fusion modes), IncrementalReducer fed in 1 and in 1,000 steps,
serialize/deserialize, nodes(), to_dot(), and memory (resident bytes per stored node, peak extra
bytes of reduce per input node) measured in child processes so that one run's heap does not hide
the next one's growth.

Two hostile workloads follow, each beside an ordinary graph of the same shape: sources whose keys
all collide under the symbol table's former fixed string hash (against ordinary names of the same
length), and one node with very many inputs (one source repeated, or all distinct, against a binary
tree with as many nodes and inputs). Their memory is always measured, in a child process held to
--child-memory-limit-gib of address space, before their in-process timing, so that a workload that
cannot fit is reported as such instead of exhausting the machine's memory.

Every time is the best of N repeats with the garbage collector off (the scaling ratio alone
compares typical runs: see bench_scaling), as wall time
(perf_counter_ns) and as the process's CPU time. Verdicts use CPU time by default (--verdict-clock),
since other load on the machine inflates wall time; the load average is printed so that readers
can judge the noise. The report is printed and written to --output as a
"## <label>" section: an existing section of that label is replaced, other sections are kept.
--smoke runs the smallest size only, asserts no timing and exits 0 unless something raises.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import json
import os
import platform
import resource
import shlex
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import zembric_core  # noqa: E402

import workloads as wl  # noqa: E402

INCREMENTAL_STEPS = 1000
PAGE = os.sysconf("SC_PAGE_SIZE")


# --------------------------------------------------------------------------- timing


@dataclass
class Timing:
    wall_ns: int
    cpu_ns: int


def timed(fn, repeats: int, setup=None):
    """Best wall and best CPU time of ``fn(setup())`` over ``repeats`` runs, and the last result."""
    best_wall = best_cpu = None
    result = None
    for _ in range(repeats):
        arg = setup() if setup is not None else None
        result = None
        gc.collect()
        gc.disable()
        try:
            c0, w0 = time.process_time_ns(), time.perf_counter_ns()
            result = fn(arg)
            w1, c1 = time.perf_counter_ns(), time.process_time_ns()
        finally:
            gc.enable()
        best_wall = w1 - w0 if best_wall is None else min(best_wall, w1 - w0)
        best_cpu = c1 - c0 if best_cpu is None else min(best_cpu, c1 - c0)
    return Timing(best_wall, best_cpu), result


def timed_alternately(fns, repeats: int):
    """Like ``timed`` for several functions run in turn, so that load on the machine hits all alike.

    Returns a list of (Timing, last result), one per function."""
    best: list[list[int | None]] = [[None, None] for _ in fns]
    results: list = [None] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            results[k] = None
            gc.collect()
            gc.disable()
            try:
                c0, w0 = time.process_time_ns(), time.perf_counter_ns()
                results[k] = fn(None)
                w1, c1 = time.perf_counter_ns(), time.process_time_ns()
            finally:
                gc.enable()
            for i, v in enumerate((w1 - w0, c1 - c0)):
                best[k][i] = v if best[k][i] is None else min(best[k][i], v)
    return [(Timing(*b), r) for b, r in zip(best, results)]


def timed_pair(fn_a, fn_b, repeats: int):
    """``timed_alternately`` for two functions, flattened."""
    (t_a, r_a), (t_b, r_b) = timed_alternately((fn_a, fn_b), repeats)
    return t_a, r_a, t_b, r_b


# --------------------------------------------------------------------------- memory (child process)


def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _status_kb(field_name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field_name} missing from /proc/self/status")


def _release_heap() -> None:
    """Collect garbage and hand freed heap pages back to the kernel, so RSS deltas are growth."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def make_workload(kind: str, size: int) -> wl.Workload:
    if kind == "model":
        return wl.elementwise_model(size)
    if kind == "stress":
        return wl.commutative_stress(size)
    if kind == "chain":
        return wl.op_chain(size)
    if kind == "colliding names":
        return wl.colliding_names(size)
    if kind == "ordinary names":
        return wl.ordinary_names(size)
    if kind == "wide, repeated":
        return wl.wide_node(size, distinct=False)
    if kind == "wide, distinct":
        return wl.wide_node(size, distinct=True)
    if kind == "concat tree":
        return wl.concat_tree(size)
    raise ValueError(kind)


def child_memory(kind: str, size: int) -> dict:
    """Runs in a fresh interpreter: RSS growth of one store, then the peak extra RSS of reduce()."""
    work = make_workload(kind, size)
    nodes = wl.python_interning(work.calls)
    texts = wl.text_bytes(nodes)
    del nodes
    # Warm-up: import-time and first-use allocations (symbol table, type objects) happen here, on a
    # model-like graph, since a prefix of a hostile workload may be as costly as all of it.
    warm = zembric_core.GraphStore()
    wl.build_all(warm, (work if kind in ("model", "stress", "chain") else wl.elementwise_model(2000)).calls[:2000])
    warm.reduce(outputs=[warm.node_count() - 1])
    del warm
    _release_heap()
    before = _rss_bytes()
    store = zembric_core.GraphStore()
    wl.build_all(store, work.calls)
    _release_heap()
    grown = _rss_bytes() - before
    assert store.node_count() == work.stored_nodes

    _release_heap()
    base = _rss_bytes()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current RSS
        method = "VmHWM after clear_refs"
        reset_ok = True
    except OSError:
        method = "ru_maxrss (whole child)"
        reset_ok = False
    reduced = store.reduce(outputs=work.outputs)
    peak = (_status_kb("VmHWM") if reset_ok else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss) * 1024
    del reduced
    return {
        "stored_nodes": work.stored_nodes,
        "inputs": wl.input_count(work.calls),
        "reduce_peak_bytes": max(0, peak - base),
        "rss_per_node": grown / work.stored_nodes,
        "text_per_node": texts / work.stored_nodes,
        "reduce_peak_per_node": max(0, peak - base) / work.stored_nodes,
        "peak_method": method,
    }


def run_child_memory(kind: str, size: int) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--child-memory", kind, str(size)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_guarded_child_memory(kind: str, size: int, limit_bytes: int, timeout_s: float) -> dict | str:
    """``run_child_memory`` with the child's address space and time limited; a failure is returned
    as a sentence saying why instead of raised."""

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit_bytes, limit_bytes))

    try:
        out = subprocess.run(
            [sys.executable, __file__, "--child-memory", kind, str(size)],
            capture_output=True,
            text=True,
            preexec_fn=limit,
            timeout=timeout_s,
        )
    except subprocess.TimeoutExpired:
        return f"did not finish within {timeout_s:,.0f} s"
    if out.returncode == 0:
        return json.loads(out.stdout.strip().splitlines()[-1])
    if "MemoryError" in out.stderr or "bad_alloc" in out.stderr:
        return f"ran out of its {limit_bytes / 2**30:g} GiB address space"
    if out.returncode < 0:
        return f"was killed by signal {-out.returncode}"
    last = out.stderr.strip().splitlines()[-1:] or ["no message"]
    return f"failed with exit code {out.returncode}: {last[0]}"


# --------------------------------------------------------------------------- one workload


@dataclass
class Result:
    label: str
    kind: str
    size: int
    calls: int
    stored: int
    outputs: int
    mix: dict
    repeats: int
    rows: list = field(default_factory=list)  # (measure, wall, cpu, note)
    values: dict = field(default_factory=dict)  # figures the target table reads
    report: dict = field(default_factory=dict)
    notes: list = field(default_factory=list)


def per(t: Timing, n: int) -> tuple[float, float]:
    return t.wall_ns / n, t.cpu_ns / n


def bench_workload(kind: str, size: int, repeats: int, memory: bool) -> Result:
    work = make_workload(kind, size)
    calls, outputs, stored = work.calls, work.outputs, work.stored_nodes
    res = Result(work.name, kind, size, len(calls), stored, len(outputs), work.mix, repeats)
    ncalls = len(calls)

    def row(measure: str, wall: float, cpu: float | None, unit: str, note: str = "") -> None:
        res.rows.append((measure, wall, cpu, unit, note))

    # Building.
    def build_module(_):
        store = zembric_core.GraphStore()
        wl.build_all(store, calls)
        return store

    t_build, store, t_py, nodes = timed_pair(build_module, lambda _: wl.python_interning(calls), repeats)
    assert store.node_count() == stored, (store.node_count(), stored)
    assert len(nodes) == stored
    b_wall, b_cpu = per(t_build, ncalls)
    p_wall, p_cpu = per(t_py, ncalls)
    row("build: add_* from Python", b_wall, b_cpu, "ns/call")
    row("build: Python interning loop (baseline)", p_wall, p_cpu, "ns/call")
    res.values["build_ratio"] = (t_build.wall_ns / t_py.wall_ns, t_build.cpu_ns / t_py.cpu_ns)

    # Reduction.
    t_red, (reduced, report), t_dce, (py_reduced, _) = timed_pair(
        lambda _: store.reduce(outputs=outputs), lambda _: wl.python_dce_cse(nodes, outputs), repeats
    )
    res.report = report
    del reduced
    t_redmax, (reduced_max, report_max) = timed(lambda _: store.reduce(maximal_fusion=True, outputs=outputs), repeats)
    del reduced_max
    # The map beside the plain reduction, run alternately so that both see the same machine.
    t_plain, _, t_map, (mapped, map_report, mapping) = timed_pair(
        lambda _: store.reduce(outputs=outputs), lambda _: store.reduce_with_map(outputs=outputs), repeats
    )
    assert map_report == report and len(mapping["nodes"]) == stored, map_report
    del mapped, mapping
    res.values["map_ratio"] = (t_map.wall_ns / t_plain.wall_ns, t_map.cpu_ns / t_plain.cpu_ns)
    assert len(py_reduced) == report["reachable_nodes"], (len(py_reduced), report)
    del py_reduced
    row("reduce()", *per(t_red, stored), "ns/input node")
    row("reduce(maximal_fusion=True)", *per(t_redmax, stored), "ns/input node", f"{report_max['stages']:,} stages")
    row("reduce_with_map()", *per(t_map, stored), "ns/input node",
        f"{res.values['map_ratio'][1]:.2f}x reduce() run beside it")
    row("Python DCE+CSE (baseline)", *per(t_dce, stored), "ns/input node")
    res.values["reduce_ns"] = per(t_red, stored)
    res.values["reduce_seconds"] = t_red.wall_ns / 1e9

    # IncrementalReducer, one step after building.
    def fresh_reducer():
        return zembric_core.IncrementalReducer()

    t_step1, reducer = timed(lambda r: (r.step(store), r)[1], repeats, fresh_reducer)
    t_fin1, (_, inc_report) = timed(lambda _: reducer.finalize(store, outputs=outputs), repeats)
    row("IncrementalReducer: 1 step", *per(t_step1, stored), "ns/node")
    row("IncrementalReducer: finalize after 1 step", *per(t_fin1, stored), "ns/node")

    # IncrementalReducer fed while building: a step at 1,000 evenly spaced points.
    steps = min(INCREMENTAL_STEPS, ncalls)
    bounds = [ncalls * k // steps for k in range(steps + 1)]
    chunks = [calls[bounds[k] : bounds[k + 1]] for k in range(steps)]
    best_steps = [None, None]
    best_total = [None, None]
    best_clock = [None, None]
    perf_ns, cpu_ns = time.perf_counter_ns, time.process_time_ns
    for _ in range(repeats):
        # What the four clock reads around a step cost by themselves, timed the same way around a
        # C call that does nothing (id): a CPU-clock read is a system call of about a microsecond,
        # as much as a whole step over ten nodes.
        clock_wall = clock_cpu = 0
        for _chunk in chunks:
            sc, sw = cpu_ns(), perf_ns()
            id(chunks)
            clock_wall += perf_ns() - sw
            clock_cpu += cpu_ns() - sc
        for i, v in enumerate((clock_wall, clock_cpu)):
            best_clock[i] = v if best_clock[i] is None else min(best_clock[i], v)
        s = zembric_core.GraphStore()
        r = zembric_core.IncrementalReducer()
        step_wall = step_cpu = 0
        gc.collect()
        gc.disable()
        try:
            c0, w0 = cpu_ns(), perf_ns()
            for chunk in chunks:
                wl.build_all(s, chunk)
                sc, sw = cpu_ns(), perf_ns()
                r.step(s)
                step_wall += perf_ns() - sw
                step_cpu += cpu_ns() - sc
            w1, c1 = perf_ns(), cpu_ns()
        finally:
            gc.enable()
        for i, v in enumerate((step_wall, step_cpu)):
            best_steps[i] = v if best_steps[i] is None else min(best_steps[i], v)
        for i, v in enumerate((w1 - w0 - step_wall, c1 - c0 - step_cpu)):
            best_total[i] = v if best_total[i] is None else min(best_total[i], v)
    assert r.total_work() == stored and r.watermark() == stored
    t_steps = Timing(*(max(1, best_steps[i] - best_clock[i]) for i in range(2)))
    t_fin_n, (_, inc_report_n) = timed(lambda _: r.finalize(s, outputs=outputs), repeats)
    assert inc_report_n == inc_report
    row(
        f"IncrementalReducer: {steps:,} steps (sum)",
        *per(t_steps, stored),
        "ns/node",
        f"clock reads subtracted: {best_clock[0] / steps:,.0f} ns wall, {best_clock[1] / steps:,.0f} ns CPU per step",
    )
    row(f"IncrementalReducer: finalize after {steps:,} steps", *per(t_fin_n, stored), "ns/node")
    row(f"build while stepping ({steps:,} steps excluded)", best_total[0] / ncalls, best_total[1] / ncalls, "ns/call")
    res.values["steps_ratio"] = (t_steps.wall_ns / t_step1.wall_ns, t_steps.cpu_ns / t_step1.cpu_ns)

    # What the steps add to a host's building loop, for comparison: building timed in the same
    # chunked loop alone, with one step after the last chunk and with a step after every chunk. No
    # clock is read inside these loops, but the difference of two best times is noisier, and it
    # also counts what the reducer's memory does to the add_* calls around it.
    build_all = wl.build_all

    def chunked_build(step_after: str):
        def run(_):
            s = zembric_core.GraphStore()
            r = zembric_core.IncrementalReducer()
            if step_after == "each chunk":
                for chunk in chunks:
                    build_all(s, chunk)
                    r.step(s)
            else:
                for chunk in chunks:
                    build_all(s, chunk)
                if step_after == "last chunk":
                    r.step(s)
            return s, r

        return run

    # Small sizes cost little, and a difference needs more rounds to settle than one time.
    loop_repeats = 25 if ncalls <= 20_000 else repeats + 6 if ncalls <= 200_000 else repeats
    (t_plain, _), (t_one, (s1, r1)), (t_many, (s2, r2)) = timed_alternately(
        [chunked_build(mode) for mode in ("never", "last chunk", "each chunk")], loop_repeats
    )
    assert r1.total_work() == stored and r2.total_work() == stored
    row(f"build in {steps:,} chunks, no step", *per(t_plain, ncalls), "ns/call", f"best of {loop_repeats}")
    for label, t in (("1 step after the last chunk", t_one), (f"a step after each of {steps:,} chunks", t_many)):
        added = Timing(t.wall_ns - t_plain.wall_ns, t.cpu_ns - t_plain.cpu_ns)
        row(f"IncrementalReducer: {label}", *per(added, stored), "ns/node", "added to the build loop")
    del s, r, s1, r1, s2, r2

    # Saturation cross-check: the one-pass canonicalizer applies the same rules without limits.
    extra = report["canonical_nodes"] - inc_report["canonical_nodes"]
    if extra > 0:
        res.notes.append(
            f"reduce() kept {extra:,} more canonical nodes than IncrementalReducer ({report['canonical_nodes']:,} vs "
            f"{inc_report['canonical_nodes']:,}): the saturation run most likely stopped at one of its limits."
        )
    else:
        res.notes.append(
            f"reduce() and IncrementalReducer agree on {report['canonical_nodes']:,} canonical nodes "
            "(no sign that saturation stopped early)."
        )
    if res.values["reduce_seconds"] >= 5.0:
        res.notes.append(
            f"reduce() took {res.values['reduce_seconds']:.1f} s in all; its saturation phase alone is limited "
            "to 5 s, so that limit may have been reached (the count above tells whether merges were lost)."
        )

    # Blob round trip.
    t_ser, blob = timed(lambda _: store.serialize(outputs=outputs), repeats)
    t_de, back = timed(lambda _: zembric_core.GraphStore.deserialize(blob), repeats)
    assert back.serialize() == blob
    del back
    mb = len(blob) / 1e6
    row("serialize", mb / (t_ser.wall_ns / 1e9), mb / (t_ser.cpu_ns / 1e9), "MB/s", f"{len(blob) / stored:.1f} bytes/node")
    row("serialize", stored / (t_ser.wall_ns / 1e9), stored / (t_ser.cpu_ns / 1e9), "nodes/s")
    row("deserialize", mb / (t_de.wall_ns / 1e9), mb / (t_de.cpu_ns / 1e9), "MB/s")
    row("deserialize", stored / (t_de.wall_ns / 1e9), stored / (t_de.cpu_ns / 1e9), "nodes/s")
    res.values["serialize_mbps"] = (mb / (t_ser.wall_ns / 1e9), mb / (t_ser.cpu_ns / 1e9))
    res.values["deserialize_nps"] = (stored / (t_de.wall_ns / 1e9), stored / (t_de.cpu_ns / 1e9))
    del blob

    # Views.
    t_nodes, view = timed(lambda _: store.nodes(), repeats)
    assert len(view) == stored
    del view
    t_dot, dot = timed(lambda _: store.to_dot(), repeats)
    del dot
    row("nodes()", *per(t_nodes, stored), "ns/node")
    row("to_dot()", *per(t_dot, stored), "ns/node")
    del store, nodes
    gc.collect()

    if memory:
        mem = run_child_memory(kind, size)
        beyond = mem["rss_per_node"] - mem["text_per_node"]
        row("resident memory of the store", mem["rss_per_node"], None, "bytes/node", "RSS growth, fresh interpreter")
        row("  of which node texts", mem["text_per_node"], None, "bytes/node")
        row("  beyond the texts", beyond, None, "bytes/node")
        row("reduce() peak extra memory", mem["reduce_peak_per_node"], None, "bytes/input node", mem["peak_method"])
        res.values["bytes_beyond_texts"] = (beyond, None)
        res.values["reduce_peak"] = (mem["reduce_peak_per_node"], None)
    return res


# --------------------------------------------------------------------------- hostile workloads


def _built(work: wl.Workload) -> zembric_core.GraphStore:
    store = zembric_core.GraphStore()
    wl.build_all(store, work.calls)
    assert store.node_count() == work.stored_nodes, (store.node_count(), work.stored_nodes)
    return store


def bench_colliding_names(count: int, repeats: int) -> Result:
    """reduce() over sources whose keys collide under the former symbol hash, and over ordinary names."""
    hostile, plain = wl.colliding_names(count), wl.ordinary_names(count)
    res = Result(
        hostile.name,
        "colliding names",
        count,
        len(hostile.calls),
        hostile.stored_nodes,
        len(hostile.outputs),
        hostile.mix,
        repeats,
    )
    s_hostile, s_plain = _built(hostile), _built(plain)
    t_hostile, (_, report), t_plain, (_, plain_report) = timed_pair(
        lambda _: s_hostile.reduce(outputs=hostile.outputs), lambda _: s_plain.reduce(outputs=plain.outputs), repeats
    )
    assert report == plain_report, (report, plain_report)
    res.report = report
    n = hostile.stored_nodes
    res.rows.append(("reduce(), colliding names", *per(t_hostile, n), "ns/input node", ""))
    res.rows.append(("reduce(), ordinary names of the same length (baseline)", *per(t_plain, n), "ns/input node", ""))
    res.rows.append(
        ("colliding / ordinary", t_hostile.wall_ns / t_plain.wall_ns, t_hostile.cpu_ns / t_plain.cpu_ns, "x", "")
    )
    first = hostile.calls[0][1]
    res.notes.append(
        f"Names are {len(first)} characters, such as {first!r}; every source key (\"src|\" + name) has the "
        f"former fixed string hash {wl.fixed_symbol_hash(b'src|' + first.encode()):016x}. Both graphs have the "
        "same shape and give the same report."
    )
    return res


def bench_wide_node(width: int, repeats: int, limit_bytes: int, timeout_s: float) -> Result:
    """reduce() time and peak memory per input of one very wide node, beside a binary tree."""
    kinds = ("wide, repeated", "wide, distinct", "concat tree")
    names = ("one source repeated", "distinct sources", "binary concat tree (baseline)")
    works = [make_workload(kind, width) for kind in kinds]
    inputs = [wl.input_count(w.calls) for w in works]
    distinct = works[1]
    res = Result(
        f"one node over {width:,} inputs",
        "wide",
        width,
        len(distinct.calls),
        distinct.stored_nodes,
        len(distinct.outputs),
        distinct.mix,
        repeats,
    )
    # Memory first, in guarded children: what cannot fit there is not run in this process.
    memory = [run_guarded_child_memory(kind, width, limit_bytes, timeout_s) for kind in kinds]
    runnable = [k for k, m in enumerate(memory) if isinstance(m, dict)]
    stores = {k: _built(works[k]) for k in runnable}
    runs = timed_alternately(
        [lambda _, s=stores[k], w=works[k]: s.reduce(outputs=w.outputs) for k in runnable], repeats
    )
    per_input = {k: per(timing, inputs[k]) for k, (timing, _) in zip(runnable, runs)}
    res.report = next((report for k, (_, (_, report)) in zip(runnable, runs) if k == 1), {})
    for k, name in enumerate(names):
        note = "" if k in per_input else f"not run: its memory child {memory[k]}"
        res.rows.append((f"reduce(), {name}", *per_input.get(k, (None, None)), "ns/input", note))
    for k in (0, 1):
        if k in per_input and 2 in per_input:
            ratio = (a / b for a, b in zip(per_input[k], per_input[2]))
            res.rows.append((f"{names[k]} / binary tree, per input", *ratio, "x", ""))
    for k, (name, m) in enumerate(zip(names, memory)):
        measure = f"reduce() peak extra memory, {name}"
        if isinstance(m, dict):
            res.rows.append((measure, m["reduce_peak_bytes"] / inputs[k], None, "bytes/input", m["peak_method"]))
        else:
            res.rows.append((measure, None, None, "bytes/input", f"its memory child {m}"))
    res.notes.append(
        "The counts and the report above are the distinct sources' graph. An input is one operand of a node: "
        + "; ".join(f"{name}: {n:,} inputs over {w.stored_nodes:,} nodes" for name, w, n in zip(names, works, inputs))
        + "."
    )
    return res


# --------------------------------------------------------------------------- report


def bench_threads(size: int, threads: int, rounds: int, trials: int) -> Result:
    """k threads each reducing its own model graph `rounds` times against one thread doing the same,
    alternated over `trials`; the ratio of throughputs, median and spread, by wall time."""
    import threading

    works = [wl.elementwise_model(size, seed=1 + k) for k in range(threads)]
    stores = [_built(work) for work in works]
    res = Result(
        f"{threads} threads, each its own model {size:,}", "threads", size, len(works[0].calls),
        stores[0].node_count(), len(works[0].outputs), works[0].mix, trials,
    )
    expected = [store.reduce(outputs=work.outputs)[0].serialize() for store, work in zip(stores, works)]

    def reduce_repeatedly(k: int, barrier: threading.Barrier, results: list) -> None:
        barrier.wait()
        for _ in range(rounds):
            reduced, _report = stores[k].reduce(outputs=works[k].outputs)
        results[k] = reduced.serialize()

    def run(count: int) -> float:
        barrier = threading.Barrier(count + 1)
        results: list = [None] * count
        pool = [threading.Thread(target=reduce_repeatedly, args=(k, barrier, results)) for k in range(count)]
        for thread in pool:
            thread.start()
        barrier.wait()
        start = time.perf_counter()
        for thread in pool:
            thread.join()
        elapsed = time.perf_counter() - start
        # Reduced in parallel or alone, every graph reduces to the same bytes.
        assert results == expected[:count]
        return elapsed

    ratios, singles, multis = [], [], []
    gc.disable()
    try:
        for _ in range(trials):
            single, multi = run(1), run(threads)
            singles.append(single)
            multis.append(multi)
            ratios.append(threads * single / multi)
    finally:
        gc.enable()
    ratios.sort()
    median = statistics.median(ratios)
    res.values["thread_throughput"] = (median, None)
    res.values["thread_throughput_spread"] = (ratios[0], ratios[-1])
    per_reduction = 1e9 / size / rounds
    res.rows.append(("1 thread: reduce()", min(singles) * per_reduction, None, "ns/input node", "best trial"))
    res.rows.append((f"{threads} threads: reduce(), wall / reductions", min(multis) * per_reduction / threads,
                     None, "ns/input node", "best trial"))
    res.rows.append(("throughput ratio", median, None, "x",
                     f"median of {trials} trials; spread {ratios[0]:.2f}-{ratios[-1]:.2f}"))
    res.notes.append(f"{rounds} reductions per thread per trial; the results' bytes are checked against a "
                     "single-threaded reduction.")
    return res


def bench_scaling(small: int, large: int, trials: int) -> Result:
    """reduce()'s cost per input node on the largest model against the smallest, the two timed in
    turn in each trial so that a change in the machine's speed during the run hits both alike (run
    one after the other, minutes apart, the ratio also measured that change); median and spread.

    Each trial times the large model once, so its figure is one typical run. The small one is
    cheap enough to run several times per trial; the ratio takes the median of those runs, the
    same statistic as the large model's single run. The best of them, which the ratio once took,
    is an optimistic estimate that inflated the ratio by 10-25% here; it is shown beside it."""
    works = {n: wl.elementwise_model(n) for n in (small, large)}
    stores = {n: _built(work) for n, work in works.items()}
    res = Result(
        f"scaling, model {large:,} against {small:,}", "scaling", large, len(works[large].calls),
        stores[large].node_count(), len(works[large].outputs), works[large].mix, trials,
    )
    small_runs = max(1, min(9, large // small))
    ratios: dict[str, list[float]] = {"wall": [], "cpu": [], "wall_best": [], "cpu_best": []}
    best = {n: [None, None] for n in (small, large)}

    def reduce_once(n: int) -> tuple[float, float]:
        t, _ = timed(lambda _: stores[n].reduce(outputs=works[n].outputs), 1)
        return per(t, stores[n].node_count())

    for _ in range(trials):
        small_times = [reduce_once(small) for _ in range(small_runs)]
        large_time = reduce_once(large)
        for n, times in ((small, small_times), (large, [large_time])):
            for i in range(2):
                fastest = min(t[i] for t in times)
                best[n][i] = fastest if best[n][i] is None else min(best[n][i], fastest)
        for i, clock in enumerate(("wall", "cpu")):
            ratios[clock].append(large_time[i] / statistics.median(t[i] for t in small_times))
            ratios[clock + "_best"].append(large_time[i] / min(t[i] for t in small_times))
    for clock in ratios:
        ratios[clock].sort()
    wall, cpu = (statistics.median(ratios[c]) for c in ("wall", "cpu"))
    res.values["reduce_scaling"] = (wall, cpu)
    res.values["reduce_scaling_spread"] = (ratios["wall"][0], ratios["wall"][-1])
    for n in (small, large):
        res.rows.append((f"reduce(), model {n:,}", *best[n], "ns/input node", "best trial"))
    res.rows.append(("ratio per trial", wall, cpu, "x",
                     f"median of {trials} trials; spread {ratios['wall'][0]:.2f}-{ratios['wall'][-1]:.2f} wall, "
                     f"{ratios['cpu'][0]:.2f}-{ratios['cpu'][-1]:.2f} CPU"))
    res.rows.append(("ratio to the small model's best run", *(statistics.median(ratios[c + "_best"])
                                                            for c in ("wall", "cpu")), "x",
                     "median of the trials; not the verdict's statistic"))
    res.notes.append(f"each trial times the {large:,}-node model once and, right before it, the "
                     f"{small:,}-node model {small_runs} times; the ratio divides the large model's run by "
                     "the median of the small model's runs, so that both sides are typical runs.")
    return res


def machine_description() -> list[str]:
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem_kb = _status_meminfo("MemTotal")
    so = Path(zembric_core.__file__)
    built = datetime.datetime.fromtimestamp(so.stat().st_mtime).isoformat(timespec="seconds")
    return [
        f"- CPU: {cpu}, {os.cpu_count()} logical cores",
        f"- memory: {mem_kb / 1048576:.1f} GiB",
        f"- OS: {platform.system()} {platform.release()}",
        f"- Python: {platform.python_version()} ({platform.python_implementation()})",
        f"- zembric_core {zembric_core.version()}: {so.name}, built {built}",
        f"- date: {datetime.datetime.now().isoformat(timespec='seconds')}",
    ]


def _status_meminfo(name: str) -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return 0


def load_average() -> str:
    return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def fmt(value: float | None, unit: str) -> str:
    if value is None:
        return ""
    if unit in ("nodes/s",):
        return f"{value:.3g}"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}" if abs(value) < 10 else f"{value:.1f}"


TARGETS = [
    # key, description, comparison, target, which results it applies to
    ("build_ratio", "add_* time / Python interning loop time", "<=", 0.6),
    ("reduce_scaling", "reduce() ns/node at largest vs smallest model size", "<=", 1.5),
    ("thread_throughput", "reductions/s on k threads / on 1 thread (median, wall)", ">=", 1.8),
    ("map_ratio", "reduce_with_map() time / reduce() time", "<=", 1.25),
    ("steps_ratio", "1,000 incremental steps / 1 step", "<=", 1.2),
    ("deserialize_nps", "deserialize nodes/s", ">=", 3e6),
    ("serialize_mbps", "serialize MB/s", ">=", 500.0),
    ("bytes_beyond_texts", "resident bytes per stored node beyond its texts", "<=", 150.0),
    ("reduce_peak", "reduce() peak extra bytes per input node", "<=", 600.0),
]


# What each target compares, printed under the table.
TARGET_MEANINGS = {
    "build_ratio": "building a store through add_* from Python against a pure-Python interning loop "
    "over the same calls (a dict from node tuple to id)",
    "reduce_scaling": "reduce()'s cost per input node on the largest model against the smallest: "
    "how the pipeline and engine hold up once the graph leaves the caches; the two are timed in "
    "turn in each of several trials, so that the machine's speed changing during the run does not "
    "enter the ratio, and each trial divides the large model's one run by the median of the small "
    "model's runs",
    "thread_throughput": "k threads, each reducing its own independent model graph over and over, "
    "against one thread doing the same alone: the interpreter lock is released for the reduction, "
    "so on k free cores the throughput should grow about k-fold",
    "map_ratio": "reduce_with_map() against reduce() on the same graph, run alternately",
    "steps_ratio": "IncrementalReducer fed in 1,000 steps while the store is built (the steps' own "
    "times summed) against fed once after building; finalize is timed on its own and counted on "
    "neither side",
    "deserialize_nps": "GraphStore.deserialize throughput on the model's blob",
    "serialize_mbps": "serialize() throughput on the model's blob",
    "bytes_beyond_texts": "resident bytes a stored node costs beyond its name and param texts",
    "reduce_peak": "peak extra resident bytes of reduce() per input node, in a fresh child process",
}


def verdict(value: float, op: str, target: float) -> str:
    ok = value <= target if op == "<=" else value >= target
    return "met" if ok else "**unmet**"


def render(
    results: list[Result],
    label: str,
    header: list[str],
    loads: tuple[str, str],
    elapsed: float,
    clock: str,
    smoke: bool,
) -> str:
    pick = 0 if clock == "wall" else 1
    out = [f"## {label}", "", "Machine:", *header, f"- load average at start: {loads[0]}; at end: {loads[1]}", ""]
    out.append(
        f"Command: `python bench/run_benchmarks.py {shlex.join(sys.argv[1:])}` ({elapsed:.0f} s). "
        "Times are the best of N runs (N in each heading) with the garbage collector off, except "
        "the scaling ratio, which compares typical runs; "
        f"wall = perf_counter, CPU = process CPU time. Verdicts use {clock} time "
        "(memory figures have one value)."
    )
    out.append("")

    out += ["### Targets", "", "| Target | Workload | wall | CPU | Goal | Verdict |", "|---|---|---:|---:|---:|---|"]
    models = [r for r in results if r.kind == "model"]
    for key, desc, op, target in TARGETS:
        if key == "reduce_scaling" and not any(r.kind == "scaling" for r in results):
            if len(models) >= 2:
                small, large = models[0], models[-1]
                w = large.values["reduce_ns"][0] / small.values["reduce_ns"][0]
                c = large.values["reduce_ns"][1] / small.values["reduce_ns"][1]
                where = f"model {large.size:,} vs {small.size:,}"
                v = (w, c)[pick]
                out.append(f"| {desc} | {where} | {w:.2f} | {c:.2f} | {op} {target:g} | {verdict(v, op, target)} |")
            continue
        for r in results:
            if key not in r.values:
                continue
            w, c = r.values[key]
            v = w if c is None else (w, c)[pick]
            spread = r.values.get(key + "_spread")
            shown = f"{fmt(w, 'x')} ({spread[0]:.2f}-{spread[1]:.2f})" if spread else fmt(w, "x")
            out.append(
                f"| {desc} | {r.label} | {shown} | {fmt(c, 'x')} | {op} {target:g} | {verdict(v, op, target)} |"
            )
    out.append("")
    out += [f"- {desc}: {TARGET_MEANINGS[key]}." for key, desc, _op, _target in TARGETS]
    if smoke:
        out.append("- **Smoke run**: the sizes are far too small for these verdicts to mean anything; "
                   "it checks that every measurement runs.")
    out.append("")

    for r in results:
        mix = ", ".join(f"{k} {v / r.calls:.1%}" for k, v in r.mix.items())
        out += [
            f"### {r.label} (best of {r.repeats})",
            "",
            f"{r.calls:,} calls, {r.stored:,} stored nodes, {r.outputs:,} outputs. Calls: {mix}.",
            "",
            "Report of reduce(): " + ", ".join(f"{k} {r.report[k]:,}" for k in sorted(r.report)) + "."
            if r.report
            else "reduce() of this graph was not run.",
            "",
            "| Measure | wall | CPU | Unit | Note |",
            "|---|---:|---:|---|---|",
        ]
        for measure, wall, cpu, unit, note in r.rows:
            out.append(f"| {measure} | {fmt(wall, unit)} | {fmt(cpu, unit)} | {unit} | {note} |")
        out.append("")
        out += [f"- {n}" for n in r.notes]
        out.append("")
    return "\n".join(out)


def write_section(path: Path, label: str, section: str) -> None:
    """Replace the '## label' section of ``path`` (up to the next '## ' heading) or append it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists():
        lines = path.read_text().splitlines()
    else:
        lines = ["# zembric_core benchmark results", "", "Written by `python bench/run_benchmarks.py`.", ""]
    head = f"## {label}"
    try:
        start = lines.index(head)
    except ValueError:
        start = len(lines)
        end = start
    else:
        end = start + 1
        while end < len(lines) and not lines[end].startswith("## "):
            end += 1
    new = lines[:start] + section.rstrip().splitlines() + [""] + lines[end:]
    path.write_text("\n".join(new).rstrip() + "\n")


# --------------------------------------------------------------------------- main


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated sizes of the model workload")
    parser.add_argument("--smoke", action="store_true", help="smallest size only, one repeat; asserts no timing")
    # Runs go to the build tree by default; bench/RESULTS.md is the curated record, and a run of
    # record is written there on purpose (--output bench/RESULTS.md --label ...).
    parser.add_argument(
        "--output", default=str(Path(__file__).resolve().parent.parent / "build" / "benchmark-results.md")
    )
    parser.add_argument("--label", default="Latest run", help="heading of the section written to --output")
    parser.add_argument("--stress-pairs", type=int, help="pairs of the commutative stress graph (default 10^5)")
    parser.add_argument("--chain-depth", type=int, help="depth of the op chain (default: the largest size)")
    parser.add_argument("--repeats", type=int, help="override N of best-of-N")
    parser.add_argument("--verdict-clock", choices=("cpu", "wall"), default="cpu", help="clock the verdicts use")
    parser.add_argument("--no-memory", action="store_true", help="skip the ordinary workloads' memory measurements")
    parser.add_argument(
        "--collide-sizes", default="20000,40000", help="comma-separated source counts of the colliding-names graph"
    )
    parser.add_argument("--wide-width", type=int, default=100_000, help="inputs of the wide node (--smoke: <= 5,000)")
    parser.add_argument(
        "--child-memory-limit-gib", type=float, default=8.0, help="address space of a hostile workload's memory child"
    )
    parser.add_argument("--threads", type=int, default=2, help="threads of the thread benchmark (0: skip it)")
    parser.add_argument("--thread-size", type=int, default=100_000, help="model size each thread reduces")
    parser.add_argument("--child-memory", nargs=2, metavar=("KIND", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child_memory:
        print(json.dumps(child_memory(args.child_memory[0], int(args.child_memory[1]))))
        return 0

    sizes = sorted(int(s.replace("_", "")) for s in args.sizes.split(","))
    if args.smoke:
        sizes = sizes[:1]
    largest = sizes[-1]
    chain = args.chain_depth or largest
    pairs = args.stress_pairs or (min(100_000, largest // 2) if not args.smoke else largest // 2)

    def repeats_for(n: int) -> int:
        if args.repeats:
            return args.repeats
        if args.smoke:
            return 1
        # Small sizes are cheap and the most exposed to a moment's load: more rounds there.
        return 9 if n <= 20_000 else 3 if n < 500_000 else 2

    start_load = load_average()
    header = machine_description()
    print("\n".join(header))
    print(f"- load average: {start_load}")
    print()
    started = time.perf_counter()
    collide_sizes = sorted(int(s.replace("_", "")) for s in args.collide_sizes.split(","))
    if args.smoke:
        collide_sizes = collide_sizes[:1]
    width = min(args.wide_width, 5_000) if args.smoke else args.wide_width
    limit_bytes = int(args.child_memory_limit_gib * 2**30)
    plan = [("model", n) for n in sizes] + [("stress", pairs), ("chain", chain)]
    plan += [("colliding names", n) for n in collide_sizes] + [("wide", width)]
    results = []
    for kind, n in plan:
        t0 = time.perf_counter()
        if kind == "colliding names":
            r = bench_colliding_names(n, repeats_for(2 * n))
        elif kind == "wide":
            r = bench_wide_node(n, repeats_for(n), limit_bytes, timeout_s=600.0)
        else:
            r = bench_workload(kind, n, repeats_for(n if kind != "stress" else 2 * n), not args.no_memory)
        results.append(r)
        print(f"[{r.label}: {time.perf_counter() - t0:.1f} s, load {load_average()}]", file=sys.stderr, flush=True)
    if len(sizes) >= 2:
        t0 = time.perf_counter()
        r = bench_scaling(sizes[0], largest, trials=1 if args.smoke else 9)
        results.append(r)
        print(f"[{r.label}: {time.perf_counter() - t0:.1f} s, load {load_average()}]", file=sys.stderr, flush=True)
    if args.threads > 0:
        t0 = time.perf_counter()
        thread_size = min(args.thread_size, largest) if args.smoke else args.thread_size
        r = bench_threads(thread_size, args.threads, rounds=1 if args.smoke else 4, trials=1 if args.smoke else 7)
        results.append(r)
        print(f"[{r.label}: {time.perf_counter() - t0:.1f} s, load {load_average()}]", file=sys.stderr, flush=True)
    elapsed = time.perf_counter() - started
    section = render(
        results, args.label, header, (start_load, load_average()), elapsed, args.verdict_clock, args.smoke
    )
    print(section)
    write_section(Path(args.output), args.label, section)
    return 0


if __name__ == "__main__":
    sys.exit(main())

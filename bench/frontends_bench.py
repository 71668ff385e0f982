"""Benchmark of the PyTorch frontend against torch.fx's own clean-up passes.

On traced graphs of 10^2 to 10^5 nodes (a stack of pre-norm MLP blocks, one block traced by
``zembric.torch.trace`` and repeated), it times

* ours: ``zembric.torch.from_fx`` (conversion) plus ``GraphStore.reduce()`` (dead code,
  rewrites, common subexpressions and fusion);
* the peer: torch.fx's ``Graph.eliminate_dead_code()`` plus ``CSEPass``, on a copy of the same
  graph,

and prints a markdown table with the medians and the spread (min-max) over the runs, and three
verdicts per size: conversion plus reduction at most half the peer's time, and ``reduce()``
alone at least 50 and at least 100 times faster than the peer.

    python3 bench/frontends_bench.py [--smoke] [--runs N]

Each size is measured 21 times up to 10^3 nodes and 5 times above, unless ``--runs`` says.

``--smoke`` measures only the smallest size once, to check that the road works (as CI does);
its verdicts are not meaningful at that size.
"""

from __future__ import annotations

import argparse
import gc
import platform
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import torch
import torch.fx as fx
import torch.nn.functional as F
from torch.fx.passes.dialect.common.cse_pass import CSEPass

import zembric.torch as zt

SIZES = (10**2, 10**3, 10**4, 10**5)
# A small graph's call takes well under a millisecond, and the machine's speed swings more than
# that between runs: more runs steady the medians the verdicts compare, at little cost.
SMALL_RUNS, LARGE_RUNS = 21, 5
WIDTH = 8


def block(x: torch.Tensor, w1: torch.Tensor, b1: torch.Tensor, w2: torch.Tensor,
          b2: torch.Tensor) -> torch.Tensor:
    h = F.layer_norm(x, (WIDTH,))
    return x + F.linear(F.gelu(F.linear(h, w1, b1)), w2, b2) * 1


def traced_graph(target_nodes: int) -> fx.GraphModule:
    """A stack of traced blocks of about ``target_nodes`` nodes: one block is traced and its
    nodes are copied once per block, each block reading the previous one's output and weights
    of its own, which is the graph that tracing the whole stack gives, made in less time."""
    torch.manual_seed(0)
    args = (torch.randn(4, WIDTH), torch.randn(2 * WIDTH, WIDTH), torch.randn(2 * WIDTH),
            torch.randn(WIDTH, 2 * WIDTH), torch.randn(WIDTH))
    one = zt.trace(block, *args)
    inputs = [n for n in one.graph.nodes if n.op == "placeholder"]
    body = [n for n in one.graph.nodes if n.op not in ("placeholder", "output")]
    result = next(n for n in one.graph.nodes if n.op == "output").args[0]
    blocks = max(1, round(target_nodes / (len(body) + 4)))
    graph = fx.Graph()

    def placeholder(name: str, like: fx.Node) -> fx.Node:
        node = graph.placeholder(name)
        node.meta = dict(like.meta)
        return node

    x = placeholder("x", inputs[0])
    for k in range(blocks):
        env = {inputs[0]: x}
        env.update((p, placeholder(f"{p.name}_{k}", p)) for p in inputs[1:])
        for node in body:
            env[node] = graph.node_copy(node, lambda n: env[n])
        x = env[result]
    total = graph.call_function(torch.ops.aten.sum.dim_IntList, (x, [-1]))
    total.meta["val"] = torch.empty(4)
    graph.output(total)
    return fx.GraphModule(torch.nn.Module(), graph)


def copy_module(gm: fx.GraphModule) -> fx.GraphModule:
    graph = fx.Graph()
    out = graph.graph_copy(gm.graph, {})
    graph.output(out)
    return fx.GraphModule(gm, graph)


def measure(gm: fx.GraphModule, runs: int) -> dict[str, list[float]]:
    # As timeit does: no cyclic garbage collection inside a timed region, on either side.
    times: dict[str, list[float]] = {"convert": [], "reduce": [], "ours": [], "peer": []}
    for _ in range(runs):
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        converted = zt.from_fx(gm)
        middle = time.perf_counter()
        reduced = converted.store.reduce(outputs=list(converted.roots))
        end = time.perf_counter()
        times["convert"].append(middle - start)
        times["reduce"].append(end - middle)
        times["ours"].append(end - start)

        # Freed after the timer, like the peer's result, which outlives its timed region.
        del converted, reduced
        gc.enable()
        copy = copy_module(gm)
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        copy.graph.eliminate_dead_code()
        CSEPass()(copy)
        times["peer"].append(time.perf_counter() - start)
        gc.enable()
    return times


def milliseconds(seconds: float) -> str:
    # Three decimals below a millisecond, where a small graph's reduce() lies.
    return f"{seconds * 1e3:.3f}" if seconds < 1e-3 else f"{seconds * 1e3:.2f}"


def spread(values: list[float]) -> str:
    return (f"{milliseconds(statistics.median(values))} ms "
            f"({milliseconds(min(values))}-{milliseconds(max(values))})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true",
                        help="the smallest size once; verdicts not meaningful")
    parser.add_argument("--runs", type=int, default=None,
                        help=f"runs per size (default {SMALL_RUNS} up to 10^3 nodes, {LARGE_RUNS} above)")
    options = parser.parse_args()
    sizes = SIZES[:1] if options.smoke else SIZES

    def runs_for(size: int) -> int:
        if options.smoke:
            return 1
        if options.runs is not None:
            return options.runs
        return SMALL_RUNS if size <= 10**3 else LARGE_RUNS

    counts = sorted({runs_for(size) for size in sizes})
    print(f"torch {torch.__version__}, Python {platform.python_version()}, "
          f"{platform.machine()}, {' or '.join(map(str, counts))} run(s) per size; "
          "median (min-max)\n")
    print("| FX nodes | convert | reduce() | convert + reduce | peer: DCE + CSEPass "
          "| (convert + reduce) / peer | peer / reduce | ours <= peer/2 | reduce 50x "
          "| reduce 100x |")
    print("|---:|---:|---:|---:|---:|---:|---:|:---:|:---:|:---:|")
    all_met = True
    for size in sizes:
        gm = traced_graph(size)
        times = measure(gm, runs_for(size))
        ours, peer = statistics.median(times["ours"]), statistics.median(times["peer"])
        reduce = statistics.median(times["reduce"])
        verdicts = (ours <= peer / 2, peer >= 50 * reduce, peer >= 100 * reduce)
        all_met = all_met and all(verdicts)
        marks = " | ".join("met" if met else "**unmet**" for met in verdicts)
        print(f"| {len(gm.graph.nodes)} | {spread(times['convert'])} | {spread(times['reduce'])} "
              f"| {spread(times['ours'])} | {spread(times['peer'])} | {ours / peer:.3f} "
              f"| {peer / reduce:.0f}x | {marks} |")
    print("\nTargets, each on the medians of one size:")
    print("- ours <= peer/2: conversion plus reduce() against the peer's DCE + CSEPass")
    print("- reduce 50x: the peer's time against reduce() alone, at least 50 times")
    print("- reduce 100x: the same, at least 100 times")
    if options.smoke:
        print("\nsmoke run: one small size, one run; the verdicts are not meaningful here")
    else:
        print(f"\n{'every target met' if all_met else 'some target UNMET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

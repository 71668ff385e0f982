"""Build a small graph, reduce it, check that the reduction kept its values, and draw it.

    python3 examples/render_reduced_graph.py [OUT.svg | OUT.png]

writes a picture of the reduced graph (by default reduced_graph.svg in the system's temporary
directory) through Graphviz's dot, and says so and skips the picture when dot is not installed.
"""

from __future__ import annotations

import os
import sys
import tempfile

import numpy as np

import zembric
import zembric_core as zc


def build() -> tuple[zc.GraphStore, list[int]]:
    """A softmax-like head: probs = exp(x - max(x)) / sum(exp(x - max(x))), and its logits
    written again with swapped operands and an identity multiply."""
    g = zc.GraphStore()
    x, bias = g.add_source("x"), g.add_source("bias")
    logits = g.add_op("add", [x, bias])
    again = g.add_op("mul", [g.add_op("add", [bias, x])], {"scalar": 1.0, "side": "r"})
    peak = g.add_reduction("max", [logits], {"axis": -1, "keepdims": True})
    shifted = g.add_op("exp", [g.add_op("sub", [logits, peak])])
    total = g.add_reduction("sum", [shifted], {"axis": -1, "keepdims": True})
    probs = g.add_op("div", [shifted, total])
    return g, [probs, again]


def main(argv: list[str]) -> int:
    g, outputs = build()
    reduced, report = g.reduce(outputs=outputs)
    print(f"{report['input_nodes']} nodes reduced to {report['reduced_nodes']} "
          f"({report['stages']} stages)")

    rng = np.random.default_rng(0)
    inputs = {"x": rng.normal(size=(4, 5)), "bias": rng.normal(size=5)}
    before = zembric.evaluate(g, inputs, outputs=outputs)
    after = zembric.evaluate(reduced, inputs)
    assert all(np.allclose(a, b) for a, b in zip(before, after))
    print("the reduced graph computes the same values")

    path = argv[1] if len(argv) > 1 else os.path.join(tempfile.gettempdir(),
                                                      "reduced_graph.svg")
    fmt = os.path.splitext(path)[1].lstrip(".").lower() or "svg"
    try:
        picture = zembric.render(reduced, fmt)
    except zembric.GraphvizNotFound as exc:
        print(f"skipping the picture: {exc}")
        return 0
    with open(path, "wb") as f:
        f.write(picture.encode() if isinstance(picture, str) else picture)
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

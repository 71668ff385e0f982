"""Build, reduce, render and store the graph of a small element-wise computation.

The graph computes, for an input batch x and weights w and b:

    h    = matmul(x, w)                   an external payload
    z    = h + b
    a    = maximum(z, 0)                  relu
    out  = sum(exp(-a) * 1, axis=-1)      the "* 1" is an identity that reduction removes
    loss = mean(maximum(b + h, 0))        the same sum written with swapped operands

with `loss` sent through an exchange, plus a node that no output needs. It prints the
nodes, the reduction report, the reduced nodes and their DOT text, then writes the blob
and the DOT text to files and reads the blob back.
"""

from __future__ import annotations

import os
import sys
import tempfile

import zembric_core as zc


def build() -> tuple[zc.GraphStore, list[int]]:
    g = zc.GraphStore()
    x = g.add_source("x", {"shape": "[32,128]", "dtype": "f32"})
    w = g.add_source("w", {"shape": "[128,64]", "dtype": "f32"})
    b = g.add_source("b", {"shape": "[64]", "dtype": "f32"})
    matmul = zc.PayloadDescriptor(
        kind="kernel",
        content_hash="sha256:9f2c",
        framework="host-blas",
        version="1.4",
        io_schema="(f32[32,128], f32[128,64]) -> f32[32,64]",
    )
    h = g.add_external(matmul, [x, w])
    z = g.add_op("add", [h, b])
    a = g.add_op("maximum", [z], {"scalar": 0.0, "side": "r"})
    e = g.add_op("exp", [g.add_op("neg", [a])])
    scaled = g.add_op("mul", [e], {"scalar": 1.0, "side": "r"})  # multiplies by one
    out = g.add_reduction("sum", [scaled], {"axis": -1})
    # Another part of the host wrote the same sum with its operands swapped.
    z2 = g.add_op("add", [b, h])
    loss = g.add_reduction("mean", [g.add_op("maximum", [z2], {"scalar": 0.0, "side": "r"})])
    shard = g.add_exchange([loss], {"scheme": "allreduce"})
    g.add_op("log", [out])  # dead: no output reads it
    # Interning: adding an equal node again returns the existing id.
    assert g.add_op("add", [h, b]) == z
    return g, [out, shard]


def main() -> int:
    g, outputs = build()
    print(f"zembric_core {zc.version()}: built {g.node_count()} nodes, outputs {outputs}")
    for node in g.nodes():
        print(f"  {node['id']:>2} {node['kind']:<9} {node['name']:<8} {node['inputs']} {node['params']}")

    reduced, report = g.reduce(outputs=outputs)
    print("\nreduction report:")
    for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
                "boundary_nodes"):
        print(f"  {key:<16} {report[key]}")
    print("\nreduced nodes:")
    for node in reduced.nodes():
        members = ""
        if node["kind"] == "stage":
            members = " [" + ", ".join(m["name"] for m in node["members"]) + "]"
        flag = " (output)" if node["output"] else ""
        print(f"  {node['id']:>2} {node['kind']:<9} {node['name']:<8} {node['inputs']}{members}{flag}")
    print("\nreduced DOT:")
    print(reduced.to_dot(), end="")

    blob = reduced.serialize()
    with tempfile.TemporaryDirectory() as tmp:
        blob_path = os.path.join(tmp, "reduced.zir")
        dot_path = os.path.join(tmp, "reduced.dot")
        with open(blob_path, "wb") as f:
            f.write(blob)
        with open(dot_path, "w", encoding="utf-8") as f:
            f.write(reduced.to_dot())
        with open(blob_path, "rb") as f:
            again = zc.GraphStore.deserialize(f.read())
    assert again.serialize() == blob
    print(f"\nblob: {len(blob)} bytes, read back {again.node_count()} nodes with outputs "
          f"{again.outputs()}, byte-identical on rewrite")
    return 0


if __name__ == "__main__":
    sys.exit(main())

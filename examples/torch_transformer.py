"""Trace two transformer blocks with PyTorch, reduce their graphs and check the reduced graphs
against eager execution.

The blocks are an ``nn.TransformerEncoderLayer`` and a GPT-style block written with
``torch.nn.functional`` (causal self-attention and a gelu MLP, pre-norm). For each one the
example traces the block into ATen primitives, converts the graph into a store, reduces it with
maximal fusion, prints the reduction report, evaluates the reduced store with torch and
compares its output with the module's, and writes the reduced graph as DOT text.

    python3 examples/torch_transformer.py [OUTPUT_DIR]

The DOT files go to OUTPUT_DIR (default: the current directory). The exit status is 1 when a
reduced graph disagrees with eager execution. Needs ``pip install torch==2.13.0``.
"""

from __future__ import annotations

import math
import pathlib
import sys

import torch
import torch.nn.functional as F
from torch import nn

import zembric.torch as zt


class GPTBlock(nn.Module):
    def __init__(self, width: int, heads: int) -> None:
        super().__init__()
        self.heads = heads
        self.norm1 = nn.LayerNorm(width)
        self.norm2 = nn.LayerNorm(width)
        self.qkv = nn.Linear(width, 3 * width)
        self.proj = nn.Linear(width, width)
        self.up = nn.Linear(width, 4 * width)
        self.down = nn.Linear(4 * width, width)

    def attention(self, x: torch.Tensor) -> torch.Tensor:
        batch, length, width = x.shape
        q, k, v = self.qkv(x).split(width, dim=-1)
        q, k, v = (t.view(batch, length, self.heads, -1).transpose(1, 2) for t in (q, k, v))
        scores = q @ k.transpose(-2, -1) / math.sqrt(width // self.heads)
        causal = torch.ones(length, length, dtype=torch.bool).tril()
        scores = scores.masked_fill(~causal, float("-inf"))
        out = F.softmax(scores, dim=-1) @ v
        return self.proj(out.transpose(1, 2).reshape(batch, length, width))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = x + self.attention(F.layer_norm(x, x.shape[-1:], self.norm1.weight, self.norm1.bias))
        return x + self.down(F.gelu(self.up(self.norm2(x)), approximate="tanh"))


def check(name: str, module: nn.Module, x: torch.Tensor, out_dir: pathlib.Path) -> bool:
    converted = zt.from_fx(zt.trace(module, x))
    store, roots = converted.store, list(converted.roots)
    reduced, report, where = store.reduce_with_map(maximal_fusion=True, outputs=roots)
    print(f"{name}: {store.node_count()} nodes traced")
    for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                "boundary_nodes", "reduced_nodes"):
        print(f"  {key:16} {report[key]}")
    with torch.no_grad():
        expected = module(x)
    actual = zt.run(converted, reduced, where, x)
    error = float((actual - expected).abs().max())
    agrees = torch.allclose(actual, expected, rtol=1e-4, atol=1e-5)
    print(f"  max |reduced - eager| = {error:.3g}: {'agrees' if agrees else 'DISAGREES'}")
    dot = out_dir / f"{name}.dot"
    dot.write_text(reduced.to_dot())
    print(f"  reduced graph written to {dot}")
    return agrees


def main() -> int:
    out_dir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    out_dir.mkdir(parents=True, exist_ok=True)
    torch.manual_seed(0)
    x = torch.randn(2, 8, 32)
    encoder = nn.TransformerEncoderLayer(32, 4, 64, dropout=0.0, batch_first=True).eval()
    ok = check("encoder_layer", encoder, x, out_dir)
    ok = check("gpt_block", GPTBlock(32, 4).eval(), x, out_dir) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

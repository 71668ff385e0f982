"""Trace the gradient of an MLP loss with JAX, reduce its graph and check the reduced graph
against JAX.

The example traces ``jax.value_and_grad`` of a cross-entropy loss over a three-layer gelu
MLP, converts the jaxpr into a store, reduces it with maximal fusion, prints the reduction
report, evaluates the reduced store with ``jax.numpy`` and compares the loss and every gradient
with JAX's, and writes the reduced graph as DOT text.

    python3 examples/jax_mlp_grad.py [OUTPUT.dot]

The DOT text goes to OUTPUT.dot (default: ``jax_mlp_grad.dot`` in the current directory). The
exit status is 1 when the reduced graph disagrees with JAX. Needs ``pip install jax jaxlib``.
"""

from __future__ import annotations

import pathlib
import sys
from typing import Any

import jax
import jax.numpy as jnp
import numpy as np

import zembric.jax as zj


def loss(params: list[tuple[Any, Any]], x: Any, labels: Any) -> Any:
    for w, b in params[:-1]:
        x = jax.nn.gelu(x @ w + b)
    w, b = params[-1]
    logits = x @ w + b
    return -jnp.mean(jnp.sum(jax.nn.log_softmax(logits) * labels, axis=-1))


def main() -> int:
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "jax_mlp_grad.dot")
    keys = jax.random.split(jax.random.PRNGKey(0), 4)
    sizes = [(16, 32), (32, 32), (32, 10)]
    params = [(jax.random.normal(k, shape) / np.sqrt(shape[0]), jnp.zeros(shape[1]))
              for k, shape in zip(keys, sizes)]
    x = jax.random.normal(keys[3], (8, 16))
    labels = jax.nn.one_hot(jnp.arange(8) % 10, 10)

    grad = jax.value_and_grad(loss)
    converted = zj.from_jaxpr(zj.trace(grad, params, x, labels))
    store, roots = converted.store, list(converted.roots)
    reduced, report, where = store.reduce_with_map(maximal_fusion=True, outputs=roots)
    print(f"value_and_grad of the MLP loss: {store.node_count()} nodes traced")
    for key in ("input_nodes", "reachable_nodes", "canonical_nodes", "stages",
                "boundary_nodes", "reduced_nodes"):
        print(f"  {key:16} {report[key]}")

    expected = jax.tree_util.tree_leaves(grad(params, x, labels))
    actual = jax.tree_util.tree_leaves(zj.run(converted, reduced, where, params, x, labels))
    error = max(float(jnp.max(jnp.abs(a - e))) for a, e in zip(actual, expected))
    agrees = len(actual) == len(expected) and all(
        np.allclose(a, e, rtol=1e-4, atol=1e-5) for a, e in zip(actual, expected))
    print(f"  max |reduced - jax| over the loss and {len(expected) - 1} gradients = "
          f"{error:.3g}: {'agrees' if agrees else 'DISAGREES'}")
    out.write_text(reduced.to_dot())
    print(f"  reduced graph written to {out}")
    return 0 if agrees else 1


if __name__ == "__main__":
    sys.exit(main())

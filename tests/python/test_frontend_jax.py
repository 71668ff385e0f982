"""The JAX frontend: the gradient of an MLP loss, and a function through nested jit,
custom_jvp, custom_vjp, checkpoint and random keys, converted and reduced every way the module
reduces, evaluate with jax.numpy to what JAX computes."""

from __future__ import annotations

import functools

import numpy as np
import pytest

from frontend_support import WAYS, framework, reduce

jax = framework("jax")

import jax.numpy as jnp  # noqa: E402

import zembric.jax as zj  # noqa: E402


def assert_close(actual, expected):
    assert jax.tree_util.tree_structure(actual) == jax.tree_util.tree_structure(expected)
    for a, e in zip(jax.tree_util.tree_leaves(actual), jax.tree_util.tree_leaves(expected)):
        assert a.dtype == e.dtype and a.shape == e.shape
        np.testing.assert_allclose(np.asarray(a), np.asarray(e), rtol=1e-4, atol=1e-5)


def mlp_loss_grad():
    keys = jax.random.split(jax.random.PRNGKey(0), 4)
    params = [(jax.random.normal(keys[0], (6, 16)) * 0.4, jnp.zeros(16)),
              (jax.random.normal(keys[1], (16, 16)) * 0.3, jnp.full(16, 0.1)),
              (jax.random.normal(keys[2], (16, 3)) * 0.3, jnp.zeros(3))]

    def loss(params, x, y):
        for w, b in params[:-1]:
            x = jax.nn.gelu(x @ w + b)
        logits = x @ params[-1][0] + params[-1][1]
        return -jnp.mean(jnp.sum(jax.nn.log_softmax(logits) * y, axis=-1))

    x = jax.random.normal(keys[3], (5, 6))
    y = jax.nn.one_hot(jnp.array([0, 2, 1, 1, 0]), 3)
    return jax.value_and_grad(loss), (params, x, y)


def nested_calls():
    @jax.custom_jvp
    def softplus(x):
        return jnp.logaddexp(x, 0.0)

    softplus.defjvp(lambda p, t: (softplus(p[0]), t[0] * jax.nn.sigmoid(p[0])))

    @jax.custom_vjp
    def scale(x):
        return 2.0 * x

    scale.defvjp(lambda x: (scale(x), None), lambda _, g: (2.0 * g,))

    @jax.jit
    def fn(key, x):
        noise = jax.random.uniform(jax.random.fold_in(key, 3), x.shape)
        y = jax.checkpoint(jnp.tanh)(softplus(x)) + scale(x) * noise
        return {"y": y, "total": jnp.sum(jnp.where(y > 1.0, y, 0.0))}

    return fn, (jax.random.key(1), jnp.linspace(-2.0, 2.0, 12).reshape(3, 4))


FUNCTIONS = {"mlp_loss_grad": mlp_loss_grad, "nested_calls": nested_calls}


@functools.cache
def traced(name):
    fn, args = FUNCTIONS[name]()
    return zj.from_jaxpr(zj.trace(fn, *args)), args, fn(*args)


@pytest.mark.parametrize("how", WAYS)
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_reduced_function_computes_what_jax_computes(name, how):
    converted, args, expected = traced(name)
    reduced, where = reduce(converted.store, list(converted.roots), how)
    assert reduced.node_count() < converted.store.node_count()
    assert_close(zj.run(converted, reduced, where, *args), expected)

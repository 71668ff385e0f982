"""The PyTorch frontend on real modules: a traced and converted graph, reduced every way the
module reduces, evaluates with torch to what eager execution computes; and the conversion keeps
the assumptions the rewrite rules make (a promoting scalar keeps its cast, an integer one on a
float tensor meets the identity rule, random draws stay apart)."""

from __future__ import annotations

import functools

import pytest

from frontend_support import WAYS, framework, reduce

torch = framework("torch")

import torch.nn.functional as F  # noqa: E402
from torch import nn  # noqa: E402

import zembric.torch as zt  # noqa: E402


def assert_close(actual, expected):
    flat_a, _ = torch.utils._pytree.tree_flatten(actual)
    flat_e, spec = torch.utils._pytree.tree_flatten(expected)
    assert torch.utils._pytree.tree_structure(actual) == spec
    for a, e in zip(flat_a, flat_e):
        assert a.dtype == e.dtype and a.shape == e.shape
        torch.testing.assert_close(a, e.detach(), rtol=1e-4, atol=1e-5)


class BasicBlock(nn.Module):
    def __init__(self, channels):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x):
        out = F.relu(self.bn1(self.conv1(x)))
        return F.relu(self.bn2(self.conv2(out)) + x)


def basic_block():
    block = BasicBlock(4)
    for bn in (block.bn1, block.bn2):  # statistics other than the initial ones
        bn.running_mean.uniform_(-0.5, 0.5)
        bn.running_var.uniform_(0.5, 2.0)
    return block.eval(), (torch.randn(2, 4, 6, 6),)


def transformer_layer():
    layer = nn.TransformerEncoderLayer(16, 2, 32, dropout=0.0, batch_first=True,
                                       activation="gelu")
    return layer.eval(), (torch.randn(2, 5, 16),)


def lstm_cell():
    cell = nn.LSTMCell(8, 16)
    return cell, (torch.randn(3, 8), (torch.randn(3, 16), torch.randn(3, 16)))


def mlp_adam_step():
    sizes = [(6, 12), (12, 3)]
    params = tuple(p for i, o in sizes for p in (torch.randn(i, o) * 0.3, torch.zeros(o)))
    moments = tuple(torch.zeros_like(p) for p in params)

    def step(params, m, v, x, y, t):
        def loss_fn(params):
            h = F.silu(x @ params[0] + params[1])
            return F.cross_entropy(F.layer_norm(h, (12,)) @ params[2] + params[3], y)

        grads, loss = torch.func.grad_and_value(loss_fn)(params)
        lr, b1, b2, eps = 1e-2, 0.9, 0.999, 1e-8
        m = tuple(b1 * mi + (1 - b1) * g for mi, g in zip(m, grads))
        v = tuple(b2 * vi + (1 - b2) * g * g for vi, g in zip(v, grads))
        params = tuple(p - lr * (mi / (1 - b1 ** t)) / (torch.sqrt(vi / (1 - b2 ** t)) + eps)
                       for p, mi, vi in zip(params, m, v))
        return loss, params, m, v

    return step, (params, moments, moments, torch.randn(5, 6), torch.tensor([0, 2, 1, 1, 0]), 1)


MODULES = {"transformer_layer": transformer_layer, "mlp_adam_step": mlp_adam_step,
           "resnet_basic_block": basic_block, "lstm_cell": lstm_cell}


@functools.cache
def traced(name):
    torch.manual_seed(0)
    fn, args = MODULES[name]()
    with torch.no_grad():
        expected = fn(*args)
    return zt.from_fx(zt.trace(fn, *args)), args, expected


@pytest.mark.parametrize("how", WAYS)
@pytest.mark.parametrize("name", sorted(MODULES))
def test_reduced_module_computes_what_eager_computes(name, how):
    converted, args, expected = traced(name)
    reduced, where = reduce(converted.store, list(converted.roots), how)
    assert reduced.node_count() < converted.store.node_count()
    assert_close(zt.run(converted, reduced, where, *args), expected)


def test_promoting_scalar_keeps_its_cast_and_integer_scalar_meets_identity():
    linear = nn.Linear(4, 3)  # addmm decomposes to mm(x, w) * 1 + b * 1
    x, i = torch.randn(2, 4), torch.arange(6).reshape(2, 3)

    def fn(x, i):
        return linear(x) + i * 1.0

    converted = zt.from_fx(zt.trace(fn, x, i))
    muls = [n["params"] for n in converted.store.nodes() if n["name"] == "mul"]
    assert {"scalar": 1.0, "side": "r"} in muls
    assert {"scalar": 1.0, "side": "r", "dtype": "float32"} in muls
    reduced, report, where = converted.store.reduce_with_map(outputs=list(converted.roots))
    members = [m for n in reduced.nodes() if n["kind"] == "stage" for m in n["members"]]
    assert [m["params"] for m in members if m["name"] == "mul"] == [
        {"scalar": 1.0, "side": "r", "dtype": "float32"}]
    assert report["canonical_nodes"] < report["reachable_nodes"]
    with torch.no_grad():
        assert_close(zt.run(converted, reduced, where, x, i), fn(x, i))


def test_random_draws_stay_distinct():
    def fn(x):
        return torch.rand_like(x) - torch.rand_like(x), F.dropout(x, 0.5, training=True)

    x = torch.ones(64)
    converted = zt.from_fx(zt.trace(fn, x))
    reduced, where = reduce(converted.store, list(converted.roots), "maximal")
    torch.manual_seed(7)
    expected = fn(x)
    torch.manual_seed(7)
    actual = zt.run(converted, reduced, where, x)
    assert actual[0].abs().max() > 0
    assert_close(actual, expected)

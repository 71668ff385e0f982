"""Deterministic graph workloads and the pure-Python baselines they are measured against.

A workload is a plain list of call tuples ``(kind, name, inputs, params)``, generated before any
timing so that building can be timed alone. ``kind`` is the node kind code (0 source, 1 op,
2 reduction, 3 external, 5 exchange); ``name`` is the operator name, or the ``PayloadDescriptor``
of an external, or "" for an exchange; ``inputs`` is a list of store ids, valid because the
generator interns every call exactly as a store does and so knows the id each call returns.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

import zembric_core

SOURCE, OP, REDUCTION, EXTERNAL, EXCHANGE = 0, 1, 2, 3, 5

Call = tuple  # (kind, name, inputs, params)

UNARY = ("neg", "exp", "log", "tanh", "relu", "sqrt", "sigmoid", "abs")
BINARY_COMMUTATIVE = ("add", "mul", "maximum")
BINARY_OTHER = ("sub", "div", "minimum", "pow")
PARAM_OPS = (
    ("clip", {"lo": -1.0, "hi": 1.0}),
    ("cast", {"dtype": "f16"}),
    ("scale", {"factor": 0.5}),
    ("gelu", {"approximate": True}),
)
REDUCTIONS = (
    ("sum", {"axis": -1, "keepdims": False}),
    ("max", {"axis": -1, "keepdims": True}),
    ("mean", {"axis": 0, "keepdims": False}),
)
IDENTITY_ADD = {"scalar": 0.0, "side": "r"}
IDENTITY_MUL = {"scalar": 1.0, "side": "l"}


def freeze(params: dict | None) -> tuple:
    """The plainest hashable form of a params dict (values never mix bool, int and float here)."""
    return tuple(sorted(params.items())) if params else ()


@dataclass
class Workload:
    """A call list, the outputs to reduce towards, and what interning it must give."""

    name: str
    calls: list[Call]
    outputs: list[int]
    stored_nodes: int
    mix: dict[str, int] = field(default_factory=dict)


class _Interner:
    """Mirror of store interning, so that the generator emits valid ids and counts stored nodes."""

    def __init__(self) -> None:
        self.table: dict[tuple, int] = {}
        self.calls: list[Call] = []
        self.mix: dict[str, int] = {}

    def add(self, tag: str, kind: int, name, inputs: list[int], params: dict | None) -> int:
        self.calls.append((kind, name, inputs, params))
        self.mix[tag] = self.mix.get(tag, 0) + 1
        key = (kind, name, tuple(inputs), freeze(params))
        found = self.table.get(key)
        if found is None:
            found = self.table[key] = len(self.table)
        return found


def _descriptors(count: int) -> list[zembric_core.PayloadDescriptor]:
    return [
        zembric_core.PayloadDescriptor(
            kind="matmul",
            content_hash=f"{(i * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFF:012x}",
            framework="kernels",
            version="1.4",
            io_schema="(f32[m,k], f32[k,n]) -> f32[m,n]",
            preprocessing_ref=None if i % 3 else f"layout/{i}",
        )
        for i in range(count)
    ]


def elementwise_model(size: int, seed: int = 1) -> Workload:
    """A model-like mix of about ``size`` calls spread over 16 lanes of computation.

    Each lane is a chain of element-wise ops, matrix products (externals over a fresh weight
    source), reductions and exchanges; binary ops read a second lane. About 10% of the calls are
    commuted duplicates of an earlier add/mul/maximum that a later op reads, about 5% are identity
    ops, about 4% are dead (results no output needs). The outputs are the lanes' last values.
    """
    rng = random.Random(seed)
    g = _Interner()
    lanes = [g.add("source", SOURCE, f"input{i}", [], {"dtype": "f32"}) for i in range(16)]
    descriptors = _descriptors(24)
    recent_commutative: list[tuple[str, int, int]] = []
    weight = 0
    while len(g.calls) < size:
        i = rng.randrange(16)
        x = lanes[i]
        u = rng.random()
        if u < 0.03:
            w = g.add("source", SOURCE, f"weight{weight}", [], {"dtype": "f32"})
            weight += 1
            lanes[i] = g.add(
                "external", EXTERNAL, rng.choice(descriptors), [x, w], {"transpose_b": rng.random() < 0.5}
            )
        elif u < 0.085:
            if rng.random() < 0.5:
                lanes[i] = g.add("identity", OP, "add", [x], IDENTITY_ADD)
            else:
                lanes[i] = g.add("identity", OP, "mul", [x], IDENTITY_MUL)
        elif u < 0.195 and recent_commutative:
            # A host that rebuilds a subexpression with its operands swapped, then uses it.
            name, a, b = recent_commutative[-1 - rng.randrange(min(64, len(recent_commutative)))]
            dup = g.add("commuted duplicate", OP, name, [b, a], None)
            lanes[i] = g.add("elementwise", OP, rng.choice(BINARY_COMMUTATIVE), [x, dup], None)
        elif u < 0.225:
            name, params = rng.choice(REDUCTIONS)
            lanes[i] = g.add("reduction", REDUCTION, name, [x], params)
        elif u < 0.235:
            lanes[i] = g.add("exchange", EXCHANGE, "", [x], {"scheme": "allreduce", "group": i % 4})
        elif u < 0.26:
            # Dead: a short branch nothing reads.
            y = x
            for _ in range(rng.randrange(1, 4)):
                y = g.add("dead", OP, rng.choice(UNARY), [y], None)
        elif u < 0.55:
            name = rng.choice(BINARY_COMMUTATIVE)
            y = lanes[rng.randrange(16)]
            lanes[i] = g.add("elementwise", OP, name, [x, y], None)
            if x != y:
                recent_commutative.append((name, x, y))
        elif u < 0.65:
            y = lanes[rng.randrange(16)]
            lanes[i] = g.add("elementwise", OP, rng.choice(BINARY_OTHER), [x, y], None)
        elif u < 0.72:
            name, params = rng.choice(PARAM_OPS)
            lanes[i] = g.add("elementwise", OP, name, [x], params)
        else:
            lanes[i] = g.add("elementwise", OP, rng.choice(UNARY), [x], None)
    return Workload(f"elementwise model {size:,}", g.calls, list(dict.fromkeys(lanes)), len(g.table), g.mix)


def commutative_stress(pairs: int, seed: int = 2) -> Workload:
    """``pairs`` independent add/mul pairs over distinct sources, each built in both orientations.

    Every op node is an output, so nothing is dead and every pair is a merge for the commutativity
    rules to find.
    """
    rng = random.Random(seed)
    g = _Interner()
    width = 1
    while width * (width - 1) // 2 < 2 * pairs:
        width += 1
    sources = [g.add("source", SOURCE, f"s{i}", [], None) for i in range(width)]
    chosen: set[tuple[int, int]] = set()
    outputs: list[int] = []
    while len(chosen) < pairs:
        a, b = rng.sample(sources, 2)
        if (a, b) in chosen or (b, a) in chosen:
            continue
        chosen.add((a, b))
        name = "add" if rng.random() < 0.5 else "mul"
        outputs.append(g.add("pair, first orientation", OP, name, [a, b], None))
        outputs.append(g.add("pair, swapped orientation", OP, name, [b, a], None))
    return Workload(f"commutative stress {pairs:,} pairs", g.calls, outputs, len(g.table), g.mix)


def op_chain(depth: int) -> Workload:
    """One source followed by ``depth`` unary ops, each over the previous one."""
    g = _Interner()
    x = g.add("source", SOURCE, "x", [], None)
    for k in range(depth):
        x = g.add("op", OP, UNARY[k % len(UNARY)], [x], None)
    return Workload(f"op chain {depth:,} deep", g.calls, [x], len(g.table), g.mix)


# --------------------------------------------------------------------------- hostile workloads

_MASK64 = (1 << 64) - 1
_K_MUL = 0x9E3779B97F4A7C15
# The optimizer keys a source without params as "src|" + name, and escapes these characters.
_KEY_ESCAPED = b"%;=|"
_SOURCE_KEY_PREFIX = b"src|"


def mix_hash(h: int) -> int:
    """The finaliser of the e-graph's hash tables (``mix_hash`` in flat_hash_map.h), on 64-bit words."""
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & _MASK64
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & _MASK64
    h ^= h >> 33
    return h


def _word_step(h: int, word: int) -> int:
    h = ((h ^ word) * _K_MUL) & _MASK64
    return h ^ (h >> 29)


def fixed_symbol_hash(text: bytes) -> int:
    """The string hash the symbol table once used, with fixed keys (no per-process seed).

    It folds in one little-endian 8-byte word at a time, ``h = (h ^ word) * kMul; h ^= h >> 29``,
    then the zero-padded tail, and finishes with ``mix_hash``. For a fixed ``h`` each step is a
    bijection of ``word``, so exactly one last word leads from any state to a chosen one: texts of
    one length that reach one state after their last full word share the whole 64-bit hash, hence
    one shard and one probe sequence in the shard's table.
    """
    h = 0x243F6A8885A308D3 ^ ((len(text) * _K_MUL) & _MASK64)
    full = len(text) - len(text) % 8
    for i in range(0, full, 8):
        h = _word_step(h, int.from_bytes(text[i : i + 8], "little"))
    tail = int.from_bytes(text[full:], "little")
    return mix_hash(((h ^ tail) * _K_MUL) & _MASK64)


def colliding_source_names(count: int) -> list[str]:
    """``count`` 20-character names whose source keys ("src|" + name) share one fixed_symbol_hash.

    A key is three words: "src|key_", a free word over a 32-letter alphabet, and a last word solved
    to reach the state that "src|key_aaaaaaaa________" reaches. The solved word must be printable
    ASCII outside the escaped characters; about 1 free word in 3,900 qualifies, so the free words
    are searched a million at a time with numpy.
    """
    import numpy as np

    alphabet = np.frombuffer(b"abcdefghijklmnopqrstuvwxyz012345", dtype=np.uint8).astype(np.uint64)
    digits = np.arange(32**4, dtype=np.uint64)
    low = np.zeros(32**4, dtype=np.uint64)
    for k in range(4):  # all four-letter words, as the low half of the free word
        low |= alphabet[(digits >> np.uint64(5 * k)) & np.uint64(31)] << np.uint64(8 * k)
    allowed = np.zeros(256, dtype=bool)
    allowed[0x20:0x7F] = True
    allowed[list(_KEY_ESCAPED)] = False

    length = len(_SOURCE_KEY_PREFIX) + 20
    start = _word_step(0x243F6A8885A308D3 ^ ((length * _K_MUL) & _MASK64), int.from_bytes(b"src|key_", "little"))
    # The xor of state and last word that every key's last step must see.
    wanted = _word_step(start, int.from_bytes(b"aaaaaaaa", "little")) ^ int.from_bytes(b"________", "little")
    mul, shift, high_bits = np.uint64(_K_MUL), np.uint64(29), np.uint64(0x8080808080808080)
    start_low = np.uint64(start) ^ low  # a free word is low | high, in bytes that do not overlap
    names: list[str] = []
    for high in range(32**4):
        high_word = sum(int(alphabet[(high >> (5 * k)) & 31]) << (8 * (4 + k)) for k in range(4))
        with np.errstate(over="ignore"):
            state = (start_low ^ np.uint64(high_word)) * mul
        state ^= state >> shift
        last = state ^ np.uint64(wanted)
        hits = np.flatnonzero((last & high_bits) == 0)  # cheap pre-filter: all bytes below 0x80
        good = hits[allowed[last[hits].view(np.uint8).reshape(-1, 8)].all(axis=1)]
        for i in good:
            free = int(low[i]) | high_word
            names.append("key_" + (free.to_bytes(8, "little") + int(last[i]).to_bytes(8, "little")).decode())
            if len(names) == count:
                return names
    raise ValueError(f"no {count:,} colliding names over this alphabet")


def _sources_under_exp(label: str, names: list[str]) -> Workload:
    g = _Interner()
    outputs = [g.add("exp", OP, "exp", [g.add("source", SOURCE, name, [], None)], None) for name in names]
    return Workload(label, g.calls, outputs, len(g.table), g.mix)


def colliding_names(count: int) -> Workload:
    """``count`` sources, each under an exp marked as output, named by colliding_source_names."""
    names = colliding_source_names(count)
    keys = {fixed_symbol_hash(_SOURCE_KEY_PREFIX + name.encode()) for name in names}
    assert len(keys) == 1 and len(set(names)) == count, "names do not collide"
    return _sources_under_exp(f"colliding key names {count:,}", names)


def ordinary_names(count: int) -> Workload:
    """The graph of ``colliding_names(count)`` with ordinary names of the same length."""
    return _sources_under_exp(f"ordinary key names {count:,}", [f"key_{i:016d}" for i in range(count)])


def wide_node(width: int, distinct: bool) -> Workload:
    """One "concat" over ``width`` inputs: ``width`` distinct sources, or one source repeated."""
    g = _Interner()
    if distinct:
        inputs = [g.add("source", SOURCE, f"part{i}", [], None) for i in range(width)]
    else:
        inputs = [g.add("source", SOURCE, "part", [], None)] * width
    out = g.add("wide op", OP, "concat", inputs, None)
    what = "distinct sources" if distinct else "one source repeated"
    return Workload(f"one concat over {width:,} inputs, {what}", g.calls, [out], len(g.table), g.mix)


def concat_tree(width: int) -> Workload:
    """Baseline for wide_node: ``width // 2 + 1`` sources joined pairwise by binary "concat" nodes.

    For an even ``width`` it has as many nodes (width + 1) and inputs (width) as
    ``wide_node(width, distinct=True)``, and no node wider than two.
    """
    g = _Interner()
    level = [g.add("source", SOURCE, f"part{i}", [], None) for i in range(width // 2 + 1)]
    while len(level) > 1:
        paired = [g.add("binary op", OP, "concat", level[i : i + 2], None) for i in range(0, len(level) - 1, 2)]
        level = paired + level[len(paired) * 2 :]
    return Workload(f"binary concat tree over {len(g.table):,} nodes", g.calls, level, len(g.table), g.mix)


def input_count(calls: list[Call]) -> int:
    """Inputs of all calls together: the edges of the graph when no call repeats."""
    return sum(len(inputs) for _kind, _name, inputs, _params in calls)


def build_all(store: zembric_core.GraphStore, calls: list[Call]) -> None:
    """The same as ``build(store, calls)`` without the slicing indirection."""
    add_op, add_source = store.add_op, store.add_source
    add_reduction, add_external, add_exchange = store.add_reduction, store.add_external, store.add_exchange
    for kind, name, inputs, params in calls:
        if kind is OP:
            add_op(name, inputs, params)
        elif kind is SOURCE:
            add_source(name, params)
        elif kind is REDUCTION:
            add_reduction(name, inputs, params)
        elif kind is EXTERNAL:
            add_external(name, inputs, params)
        else:
            add_exchange(inputs, params)


def python_interning(calls: list[Call]) -> list[tuple]:
    """Baseline for building: a dict from the node's key to its id, and a list of the nodes."""
    table: dict[tuple, int] = {}
    nodes: list[tuple] = []
    for kind, name, inputs, params in calls:
        key = (kind, name, tuple(inputs), tuple(sorted(params.items())) if params else ())
        if key not in table:
            table[key] = len(nodes)
            nodes.append(key)
    return nodes


def python_dce_cse(nodes: list[tuple], outputs: list[int]) -> tuple[list[tuple], list[int]]:
    """Baseline for reduce: reachability from the outputs with a stack, then hash-consing."""
    live = bytearray(len(nodes))
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if not live[i]:
            live[i] = 1
            stack.extend(nodes[i][2])
    mapped = [0] * len(nodes)
    table: dict[tuple, int] = {}
    reduced: list[tuple] = []
    for i, node in enumerate(nodes):
        if live[i]:
            kind, name, inputs, params = node
            key = (kind, name, params, tuple([mapped[j] for j in inputs]))
            c = table.get(key)
            if c is None:
                c = table[key] = len(reduced)
                reduced.append(key)
            mapped[i] = c
    return reduced, [mapped[o] for o in outputs]


def text_bytes(nodes: list[tuple]) -> int:
    """UTF-8 bytes of the texts the stored nodes carry: names, param keys and text values, descriptors."""
    total = 0
    for kind, name, _inputs, params in nodes:
        if kind == EXTERNAL:
            for text in (name.kind, name.content_hash, name.framework, name.version, name.io_schema):
                total += len(text.encode())
            if name.preprocessing_ref is not None:
                total += len(name.preprocessing_ref.encode())
        else:
            total += len(name.encode())
        for key, value in params:
            total += len(key.encode())
            if isinstance(value, str):
                total += len(value.encode())
    return total

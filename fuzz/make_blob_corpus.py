#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/blob_reader/ and corpus/graph_road/.

The blobs are assembled field by field here, independently of the C++ writer. For the reader: a
few valid ones covering every node kind, param type and token kind, and a few malformed ones, one
per error. For the whole road: graphs that the rewrites and stage fusion act on.
"""

import pathlib
import random
import struct


def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return u32(len(b)) + b


def ids(*values):
    return u32(len(values)) + b"".join(u64(v) for v in values)


def params(*entries):
    out = u32(len(entries))
    for key, kind, value in entries:
        out += text(key) + u8(kind)
        if kind == 0:
            out += struct.pack("<q", value)
        elif kind == 1:
            out += struct.pack("<d", value) if isinstance(value, float) else u64(value)
        elif kind == 2:
            out += u8(value)
        elif kind == 3:
            out += text(value)
        else:  # an invalid type, followed by eight bytes
            out += u64(value)
    return out


def blob(records, outputs):
    return b"ZIR1" + u32(len(records)) + b"".join(records) + ids(*outputs)


def source(name, *entries):
    return u8(0) + text(name) + params(*entries)


def op(name, inputs, *entries, kind=1):
    return u8(kind) + text(name) + params(*entries) + ids(*inputs)


def external(fields, pre, inputs, *entries, flag=1):
    out = u8(3) + b"".join(text(f) for f in fields)
    out += u8(0) if pre is None else u8(flag) + text(pre)
    return out + params(*entries) + ids(*inputs)


def stage(inputs, members):
    out = u8(4) + ids(*inputs) + u32(len(members))
    for key, tokens in members:
        out += text(key) + u32(len(tokens))
        out += b"".join(u8(kind) + u32(index) for kind, index in tokens)
    return out


def exchange(inputs, *entries):
    return u8(5) + params(*entries) + ids(*inputs)


def corpus():
    example = blob([source("x"), op("neg", [0], ("k", 0, 2))], [1])
    rich = blob(
        [
            source("x", ("shape", 3, "f32[4] \u00e9\u20ac")),
            source(""),
            op("scale", [0, 1], ("b", 2, 1), ("f", 1, 0x8000000000000000), ("i", 0, -7),
               ("nan", 1, 0x7FF00000000ABCDE), ("s", 3, "")),
            op("sum", [2, 2], ("axis", 0, 1), kind=2),
            external(["onnx", "sha256:ab", "torch", "2.1", "f32->f32"], None, [3], ("k", 0, 1)),
            external(["onnx", "sha256:ab", "torch", "2.1", "f32->f32"], "", [3]),
            stage([0, 3], [("op|neg|", [(0, 1)]), ("op|add|", [(1, 0), (0, 0)]), ("", [])]),
            exchange([6], ("scheme", 3, "hash")),
            exchange([]),
        ],
        [8, 4, 0],
    )
    return {
        "valid_empty": blob([], []),
        "valid_example": example,
        "valid_rich": rich,
        "valid_repeated_outputs": blob([source("a"), source("b")], [1, 0, 1]),
        "valid_duplicate_records": blob(
            [source("x"), source("x"), source("y"), op("add", [1, 2]), op("add", [0, 2])],
            [4, 1]),
        "valid_noncanonical": blob(
            [source("x", ("z", 2, 7), ("a", 0, 1), ("z", 3, "again")),
             external(["k", "h", "f", "v", "io"], "pre", [0], flag=2)],
            []) + b"trailing",
        "bad_magic": b"ZIR2" + example[4:],
        "bad_truncated": example[:40],
        "bad_node_tag": blob([u8(6) + text("x") + params()], []),
        "bad_param_tag": blob([source("x", ("k", 4, 0))], []),
        "bad_stage_ref_tag": blob([stage([], [("m", [(2, 0)])])], []),
        "bad_utf8": blob([source("\u00e9".encode()[:1] + b"x")], []),
        "bad_reference": blob([source("x"), op("neg", [1])], [0]),
        "bad_huge_count": b"ZIR1" + u32(0xFFFFFFFF) + source("x") + ids(),
    }


def scalar_side(scalar, side):
    kind = 1 if isinstance(scalar, float) else 0
    return ("scalar", kind, scalar), ("side", 3, side)


def random_graph(seed, count):
    """A graph of `count` nodes mixing every shape the rewrites and fusion act on; drawn from a
    seeded generator, so the file is the same on every run."""
    draw = random.Random(seed)
    records = [source("x"), source("y")]
    for i in range(2, count):
        pick = lambda: draw.randrange(max(0, i - 8), i)  # noqa: E731 (mostly local edges)
        shape = draw.choice(["commutative", "commutative", "plain", "plain", "identity",
                             "reduction", "exchange"])
        if shape == "commutative":
            records.append(op(draw.choice(["add", "mul", "maximum", "eq"]), [pick(), pick()]))
        elif shape == "plain":
            records.append(op(draw.choice(["neg", "exp", "sub"]), [pick()]))
        elif shape == "identity":
            name, scalar = draw.choice([("add", 0.0), ("mul", 1.0)])
            records.append(op(name, [pick()], *scalar_side(scalar, draw.choice("lr"))))
        elif shape == "reduction":
            records.append(op("sum", [pick()], kind=2))
        else:
            records.append(exchange([pick()]))
    return blob(records, sorted({draw.randrange(count) for _ in range(3)}))


def road_corpus():
    # Trailing bytes are ignored by the reader; the road fuzzer draws its roots and step cuts from
    # them.
    return {
        "commuted_pairs": blob(
            [source("x"), source("y"), op("add", [0, 1]), op("add", [1, 0]), op("mul", [2, 3]),
             op("mul", [3, 2]), op("neg", [4]), op("neg", [5])],
            [6, 7]) + b"\x02\x00\x06\x00\x07\x00\x01\x00\x02\x00\x03\x00\x04\x00",
        "identities": blob(
            [source("x"), op("add", [0], *scalar_side(0.0, "r")),
             op("mul", [1], *scalar_side(1.0, "l")), op("neg", [2]),
             op("add", [3], *scalar_side(0, "r")), op("sum", [4], ("axis", 0, 0), kind=2),
             op("mul", [0], *scalar_side(-0.0, "r"))],
            [5, 3, 6]),
        "fan_out": blob(
            [source("x"), op("neg", [0]), op("exp", [1]), op("log", [1]), op("sub", [2, 3]),
             op("sum", [4], kind=2), exchange([5], ("scheme", 3, "ring")), op("tanh", [6])],
            [7, 2]) + b"\x03\x00\x07\x00\x02\x00\x04\x00\x00\x00\x02\x00\x05\x00\x03\x00",
        "nested_commute": blob(
            [source("x"), source("y"), source("z"), op("maximum", [0, 1]),
             op("maximum", [3, 2]), op("maximum", [2, 3]), op("minimum", [1, 0]),
             op("eq", [4, 5]), op("ne", [6, 4]), op("and", [7, 8]), op("or", [8, 7])],
            [9, 10]),
        "stages_and_externals": blob(
            [source("x", ("shape", 3, "f32[4]")), source("y"),
             stage([0, 1], [("op|add|", [(0, 0), (0, 1)]), ("op|neg|", [(1, 0)])]),
             op("mul", [2, 0]), op("mul", [0, 2]),
             external(["onnx", "sha256:ab", "torch", "2.1", "f32->f32"], None, [3, 4]),
             op("add", [5], *scalar_side(0.0, "l")), op("exp", [6]),
             exchange([7]), op("sum", [8], kind=2)],
            [9]),
        "random_40": random_graph(1, 40),
        "random_100": random_graph(2, 100),
    }


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    for name, blobs in (("blob_reader", corpus()), ("graph_road", road_corpus())):
        directory = root / name
        directory.mkdir(parents=True, exist_ok=True)
        for file_name, data in blobs.items():
            (directory / file_name).write_bytes(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus of the blob reader fuzz target into corpus/blob_reader/.

The blobs are assembled field by field here, independently of the C++ writer: a few valid ones
covering every node kind, param type and token kind, and a few malformed ones, one per error.
"""

import pathlib
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


def main():
    directory = pathlib.Path(__file__).resolve().parent / "corpus" / "blob_reader"
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in corpus().items():
        (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()

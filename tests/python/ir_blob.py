"""Builds IR blobs by hand, for stores that Python's add_* methods cannot make (Stage nodes,
arbitrary member keys, output marks)."""

from __future__ import annotations

import struct
from collections.abc import Sequence

SOURCE, OP, STAGE = 0, 1, 4
INPUT, MEMBER = 0, 1


def text(value: str | bytes) -> bytes:
    raw = value.encode() if isinstance(value, str) else value
    return struct.pack("<I", len(raw)) + raw


def id_list(ids: Sequence[int]) -> bytes:
    return struct.pack("<I", len(ids)) + b"".join(struct.pack("<Q", i) for i in ids)


def source(name: str) -> bytes:
    return bytes([SOURCE]) + text(name) + struct.pack("<I", 0)


def op(name: str, inputs: Sequence[int]) -> bytes:
    return bytes([OP]) + text(name) + struct.pack("<I", 0) + id_list(inputs)


def stage(inputs: Sequence[int], members: Sequence[tuple[str | bytes, Sequence[tuple[int, int]]]]) -> bytes:
    """members: (key, [(token kind, index), ...]) in member order."""
    out = bytes([STAGE]) + id_list(inputs) + struct.pack("<I", len(members))
    for key, tokens in members:
        out += text(key) + struct.pack("<I", len(tokens))
        out += b"".join(struct.pack("<BI", kind, index) for kind, index in tokens)
    return out


def blob(records: Sequence[bytes], outputs: Sequence[int] = ()) -> bytes:
    return (
        b"ZIR1"
        + struct.pack("<I", len(records))
        + b"".join(records)
        + struct.pack("<I", len(outputs))
        + b"".join(struct.pack("<Q", o) for o in outputs)
    )

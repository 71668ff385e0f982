"""What the frontend tests share: the framework import, required where CI installs it, and a
reduction of a converted store by each of the module's ways, with its map."""

from __future__ import annotations

import importlib
import os
from types import ModuleType

import pytest

from zembric_core import GraphStore, IncrementalReducer

WAYS = ["plain", "maximal", "incremental"]


def framework(name: str) -> ModuleType:
    """The framework module; a skip without it, unless ZEMBRIC_REQUIRE_FRONTENDS=1 makes its
    absence an error."""
    if os.environ.get("ZEMBRIC_REQUIRE_FRONTENDS") == "1":
        return importlib.import_module(name)
    return pytest.importorskip(name)


def reduce(store: GraphStore, roots: list[int], how: str):
    """(reduced store, map) by `how`, one of WAYS."""
    if how == "incremental":
        reducer = IncrementalReducer()
        reducer.step(store)
        reduced, _, where = reducer.finalize_with_map(store, outputs=roots)
    else:
        reduced, _, where = store.reduce_with_map(outputs=roots, maximal_fusion=how == "maximal")
    return reduced, where

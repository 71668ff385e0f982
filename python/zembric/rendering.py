"""Pictures of stores, drawn by Graphviz's ``dot`` program from ``GraphStore.to_dot()``."""

from __future__ import annotations

import re
import shutil
import subprocess
from typing import Literal, overload

from zembric_core import GraphStore

_FORMAT = re.compile(r"[a-z0-9_:]+")


class GraphvizError(RuntimeError):
    """Graphviz's ``dot`` failed to draw a graph."""


class GraphvizNotFound(GraphvizError):
    """Graphviz's ``dot`` program is not installed."""


@overload
def render(store: GraphStore, format: Literal["svg"] = "svg") -> str: ...
@overload
def render(store: GraphStore, format: str) -> str | bytes: ...


def render(store: GraphStore, format: str = "svg") -> str | bytes:
    """The store drawn by Graphviz's ``dot`` in ``format`` (any of its ``-T`` formats): SVG
    text as a str, other formats as bytes. In a notebook,
    ``IPython.display.SVG(zembric.render(store))`` shows it.

    Raises :class:`GraphvizNotFound` when ``dot`` is not on the PATH, and
    :class:`GraphvizError` when it fails."""
    return render_dot(store.to_dot(), format)


def render_dot(text: str, format: str = "svg") -> str | bytes:
    """DOT text drawn by Graphviz's ``dot``, as :func:`render` does."""
    if not _FORMAT.fullmatch(format):
        raise ValueError(f"not a Graphviz output format: {format!r}")
    dot = shutil.which("dot")
    if dot is None:
        raise GraphvizNotFound(_NOT_FOUND)
    try:
        done = subprocess.run([dot, f"-T{format}"], input=text.encode(), capture_output=True,
                              check=False)
    except FileNotFoundError:
        raise GraphvizNotFound(_NOT_FOUND) from None
    if done.returncode != 0:
        lines = done.stderr.decode(errors="replace").split("\n")
        reason = "; ".join(line.strip() for line in lines if line.strip())
        raise GraphvizError(f"dot -T{format} failed (exit status {done.returncode})"
                            + (f": {reason}" if reason else ""))
    return done.stdout.decode() if format == "svg" else done.stdout


_NOT_FOUND = ("Graphviz's dot program is not on the PATH; install Graphviz to render graphs "
              "(on Debian: apt-get install graphviz)")

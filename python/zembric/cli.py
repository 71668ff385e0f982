"""The ``zembric`` command: show, reduce, draw and check stored graph blobs."""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

from zembric.rendering import GraphvizError, render_dot
from zembric_core import GraphStore

EXIT_INVALID = 1  # `check` only: the file is read but is not a valid blob
EXIT_ERROR = 2

KINDS = ("source", "op", "reduction", "external", "stage", "exchange")


class CommandError(Exception):
    """A failure the command reports in one line on stderr, with exit status 2."""


def _one_line(text: str) -> str:
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def _read(path: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        raise CommandError(f"{path}: {exc.strerror or exc}") from None


def _write(path: str, data: bytes) -> None:
    try:
        Path(path).write_bytes(data)
    except OSError as exc:
        raise CommandError(f"{path}: {exc.strerror or exc}") from None


def _load(path: str) -> GraphStore:
    data = _read(path)
    try:
        return GraphStore.deserialize(data)
    except (ValueError, MemoryError) as exc:
        raise CommandError(f"{path}: {exc or type(exc).__name__}") from None


def _text(value: object) -> str:
    """A name or param as one printable cell: hostile texts are shown escaped."""
    text = str(value)
    return text if text.isprintable() else repr(text)


def _params(params: Mapping[str, Any]) -> str:
    if not params:
        return ""
    return "{" + ", ".join(f"{_text(k)}={_text(v)}" for k, v in params.items()) + "}"


def _details(node: Mapping[str, Any]) -> str:
    if node["kind"] == "stage":
        members = []
        for member in node["members"]:
            operands = ",".join(("i" if token == "input" else "m") + str(k)
                                for token, k in member["inputs"])
            members.append(f"{_text(member['name'])}({operands}){_params(member['params'])}")
        return " -> ".join(members)
    text = _params(node["params"])
    if node["kind"] == "external":
        d = node["descriptor"]
        ref = f" ref {_text(d['preprocessing_ref'])}" if d["preprocessing_ref"] is not None else ""
        head = (f"{_text(d['kind'])}:{_text(d['content_hash'])} [{_text(d['framework'])} "
                f"{_text(d['version'])}] {_text(d['io_schema'])}{ref}")
        text = f"{head} {text}" if text else head
    return text


def _show(args: argparse.Namespace) -> int:
    store = _load(args.file)
    nodes = store.nodes()
    rows = [("id", "kind", "name", "inputs", "out", "details")]
    for node in nodes:
        rows.append((str(node["id"]), node["kind"], _text(node["name"]),
                     ",".join(map(str, node["inputs"])), "*" if node["output"] else "",
                     _details(node)))
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]) - 1)]
    for row in rows:
        cells = [row[0].rjust(widths[0])] + [cell.ljust(w) for cell, w in zip(row[1:], widths[1:])]
        print("  ".join(cells + [row[-1]]).rstrip())
    outputs = store.outputs()
    print(f"\noutputs: {', '.join(map(str, outputs)) if outputs else 'none'}")
    counts: Counter[str] = Counter(node["kind"] for node in nodes)
    by_kind = ", ".join(f"{kind} {counts[kind]}" for kind in KINDS if counts[kind])
    print(f"nodes: {len(nodes)}" + (f" ({by_kind})" if by_kind else ""))
    return 0


def _node_ids(text: str) -> list[int]:
    try:
        ids = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected comma-separated node ids, got {text!r}") from None
    if any(i < 0 for i in ids):
        raise argparse.ArgumentTypeError(f"node ids are not negative, got {text!r}")
    return ids


def _reduce(args: argparse.Namespace) -> int:
    store = _load(args.file)
    roots = store.outputs() if args.outputs is None else args.outputs
    try:
        reduced, report, where = store.reduce_with_map(maximal_fusion=args.maximal_fusion,
                                                       outputs=roots)
    except ValueError as exc:
        raise CommandError(f"--outputs: {exc}") from None
    _write(args.output, reduced.serialize())
    print(f"wrote {args.output}: {reduced.node_count()} nodes, "
          f"{len(reduced.outputs())} marked outputs")
    print("report:")
    for key, value in report.items():
        print(f"  {key:<16} {value}")
    if not roots:
        print("outputs: none (the store marks none; name them with --outputs)")
        return 0
    print("outputs (node -> reduced node):")
    for root, node in zip(roots, where["roots"]):
        print(f"  {root} -> {node}")
    return 0


def _dot(args: argparse.Namespace) -> int:
    text = _load(args.file).to_dot()
    if args.output is None:
        sys.stdout.write(text)
        return 0
    suffix = Path(args.output).suffix.lower().lstrip(".")
    if suffix in ("dot", "gv"):
        _write(args.output, text.encode())
        return 0
    if not suffix:
        raise CommandError(f"{args.output}: name the output .dot, .gv, or an image format "
                           "Graphviz draws, such as .svg or .png")
    try:
        image = render_dot(text, suffix)
    except (GraphvizError, ValueError) as exc:
        raise CommandError(str(exc)) from None
    _write(args.output, image.encode() if isinstance(image, str) else image)
    return 0


def _check(args: argparse.Namespace) -> int:
    data = _read(args.file)
    try:
        store = GraphStore.deserialize(data)
        problem = None if store.serialize() == data else (
            "not in canonical form: rewriting it changes its bytes")
    except (ValueError, MemoryError) as exc:
        problem = str(exc) or type(exc).__name__
    if problem is not None:
        print(f"zembric: {args.file}: invalid: {_one_line(problem)}", file=sys.stderr)
        return EXIT_INVALID
    print(f"{args.file}: valid, {store.node_count()} nodes, {len(store.outputs())} outputs")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zembric",
        description="Show, reduce, draw and check zembric graph blobs (GraphStore.serialize).",
        epilog="Exit status: 0 on success, 1 when check finds the blob invalid, 2 on an error "
               "(an unreadable file or bad blob, reported in one line on stderr).")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int],
                text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=text, description=text)
        sub.add_argument("file", metavar="FILE", help="a blob written by GraphStore.serialize")
        sub.set_defaults(run=run)
        return sub

    command("show", _show, "Print the nodes, the outputs and the counts by kind.")
    reduce = command("reduce", _reduce,
                     "Reduce the graph, write the reduced blob, print the report and where "
                     "each output went.")
    reduce.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="where to write the reduced blob")
    reduce.add_argument("--maximal-fusion", action="store_true",
                        help="fuse with the maximal rule rather than the single-use rule")
    reduce.add_argument("--outputs", metavar="IDS", type=_node_ids,
                        help="comma-separated node ids to keep (default: the marked outputs)")
    dot = command("dot", _dot,
                  "Write the graph as DOT text, or draw it with Graphviz's dot (.svg, .png, ...).")
    dot.add_argument("-o", "--output", metavar="OUT",
                     help="OUT.dot or OUT.gv for DOT text, another suffix for an image drawn "
                          "in that format; default: DOT text on stdout")
    command("check", _check,
            "Read and validate the blob: exit status 0 when valid, 1 when not.")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
    except CommandError as exc:
        print(f"zembric: {_one_line(str(exc))}", file=sys.stderr)
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (`zembric show big.zir | head`): not an error of ours, and
        # Python's own report of it at exit is silenced by pointing stdout at nothing.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    return status


if __name__ == "__main__":
    sys.exit(main())

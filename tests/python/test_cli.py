"""The zembric command run as a user runs it, in a subprocess, on good and bad files; and the
pictures Graphviz draws of stores."""

from __future__ import annotations

import errno
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from collections import Counter
from importlib import metadata
from pathlib import Path

import pytest

import zembric
import zembric_core
from zembric_core import GraphStore

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "render_reduced_graph.py"
HAS_DOT = shutil.which("dot") is not None
# The subprocess imports the module and the package these tests import, wherever they are.
SEARCH = [str(Path(zembric_core.__file__).parent), str(Path(zembric.__file__).parents[1])]


def run(*args, launcher=None, path=None):
    search = SEARCH + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(search))
    if path is not None:
        env["PATH"] = str(path)
    command = launcher or [sys.executable, "-m", "zembric"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, env=env,
                          check=False, timeout=300)


def module_message(data: bytes) -> str:
    """What the module says of a blob it refuses, or of one that is not canonical."""
    try:
        store = GraphStore.deserialize(data)
    except ValueError as exc:
        return str(exc)
    assert store.serialize() != data
    return "not in canonical form: rewriting it changes its bytes"


@pytest.fixture
def graph(tmp_path):
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y", {"dtype": "f32"})
    logits = g.add_op("add", [x, y])
    same = g.add_op("mul", [g.add_op("add", [y, x])], {"scalar": 1.0, "side": "r"})
    probs = g.add_op("exp", [g.add_op("neg", [logits])])
    g.add_op("log", [probs])  # needed by no output
    path = tmp_path / "graph.zir"
    path.write_bytes(g.serialize(outputs=[probs, logits, same]))
    return GraphStore.deserialize(path.read_bytes()), path


@pytest.fixture
def no_dot(tmp_path):
    """A PATH without Graphviz, and what render() says there."""
    empty = tmp_path / "no-graphviz"
    empty.mkdir()
    saved = os.environ["PATH"]
    os.environ["PATH"] = str(empty)
    try:
        with pytest.raises(zembric.GraphvizNotFound) as caught:
            zembric.render(GraphStore())
    finally:
        os.environ["PATH"] = saved
    assert "apt-get install graphviz" in str(caught.value)
    return empty, str(caught.value)


def test_show_lists_every_node_the_outputs_and_the_counts(graph):
    store, path = graph
    done = run("show", path)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    rows = [line.split() for line in lines if re.match(r"^\s*\d+\s", line)]
    nodes = store.nodes()
    assert [(int(r[0]), r[1], "*" in r) for r in rows] == [
        (n["id"], n["kind"], n["output"]) for n in nodes]
    assert f"outputs: {', '.join(map(str, store.outputs()))}" in lines
    (counts,) = [line for line in lines if line.startswith("nodes: ")]
    shown = dict(re.findall(r"(\w+) (\d+)", counts.split("(", 1)[1]))
    assert {kind: int(n) for kind, n in shown.items()} == Counter(n["kind"] for n in nodes)


@pytest.mark.parametrize("extra, maximal, roots", [
    ([], False, None),
    (["--maximal-fusion"], True, None),
    (["--outputs", "3,1,3"], False, [3, 1, 3]),
])
def test_reduce_writes_the_reduced_blob_and_where_outputs_went(graph, tmp_path, extra, maximal,
                                                               roots):
    store, path = graph
    out = tmp_path / "reduced.zir"
    done = run("reduce", path, "-o", out, *extra)
    assert done.returncode == 0 and done.stderr == ""
    reduced, report, where = store.reduce_with_map(maximal_fusion=maximal, outputs=roots)
    assert out.read_bytes() == reduced.serialize()
    printed = [tuple(map(int, m)) for m in re.findall(r"(?m)^\s+(\d+) -> (\d+)$", done.stdout)]
    asked = store.outputs() if roots is None else roots
    assert printed == list(zip(asked, where["roots"], strict=True))
    for key, value in report.items():
        assert re.search(rf"(?m)^\s+{key}\s+{value}$", done.stdout), key


@pytest.mark.parametrize("damage, status", [
    (lambda data: data, 0),
    (lambda data: data + b"\0", 1),
    (lambda data: data[:-3], 1),
    (lambda data: b"garbage", 1),
])
def test_check_validates(graph, tmp_path, damage, status):
    _, path = graph
    data = damage(path.read_bytes())
    target = tmp_path / "checked.zir"
    target.write_bytes(data)
    done = run("check", target)
    assert done.returncode == status
    if status == 0:
        assert done.stderr == "" and "valid" in done.stdout
    else:
        assert done.stderr == f"zembric: {target}: invalid: {module_message(data)}\n"


@pytest.mark.parametrize("command", [["show"], ["reduce", "-o", "out.zir"], ["dot"],
                                     ["dot", "-o", "out.svg"], ["check"]])
@pytest.mark.parametrize("content", [None, b"garbage"])
def test_bad_files_give_one_line_and_status_2(tmp_path, command, content):
    target = tmp_path / "input.zir"
    if content is None:
        expected = f"zembric: {target}: {os.strerror(errno.ENOENT)}\n"
    else:
        target.write_bytes(content)
        invalid = "invalid: " if command == ["check"] else ""
        expected = f"zembric: {target}: {invalid}{module_message(content)}\n"
    done = run(command[0], target, *[tmp_path / a if "." in a else a for a in command[1:]])
    assert done.stderr == expected and done.stdout == ""
    assert done.returncode == (1 if command == ["check"] and content else 2)
    assert not (tmp_path / "out.zir").exists() and not (tmp_path / "out.svg").exists()


@pytest.mark.parametrize("suffix, magic", [("svg", b"<svg"), ("png", b"\x89PNG")])
def test_dot_writes_text_and_draws_pictures(graph, tmp_path, no_dot, suffix, magic):
    store, path = graph
    done = run("dot", path)
    assert done.returncode == 0 and done.stdout == store.to_dot()
    assert run("dot", path, "-o", tmp_path / "g.dot").returncode == 0
    assert (tmp_path / "g.dot").read_text() == store.to_dot()

    picture = tmp_path / f"g.{suffix}"
    missing, message = no_dot
    done = run("dot", path, "-o", picture, path=missing)
    assert (done.returncode, done.stderr) == (2, f"zembric: {message}\n")
    assert not picture.exists()
    if not HAS_DOT:
        pytest.skip("Graphviz's dot is not installed")
    done = run("dot", path, "-o", picture)
    assert done.returncode == 0 and magic in picture.read_bytes()[:400]
    drawn = zembric.render(store, suffix)
    assert magic in (drawn.encode() if isinstance(drawn, str) else drawn)[:400]


def test_the_example_draws_the_reduced_graph_or_says_why_not(tmp_path, no_dot):
    picture = tmp_path / "reduced.svg"
    done = run(EXAMPLE, launcher=[sys.executable], path=no_dot[0])
    assert done.returncode == 0 and f"skipping the picture: {no_dot[1]}" in done.stdout
    if HAS_DOT:
        done = run(EXAMPLE, picture, launcher=[sys.executable])
        assert done.returncode == 0 and f"wrote {picture}" in done.stdout
        assert "<svg" in picture.read_text()


@pytest.mark.parametrize("command", [[], ["show"], ["reduce"], ["dot"], ["check"]])
def test_help(command):
    done = run(*command, "--help")
    assert done.returncode == 0 and done.stdout.startswith(f"usage: zembric {' '.join(command)}")


def test_console_script_when_installed():
    scripts = metadata.entry_points(group="console_scripts", name="zembric")
    if not scripts:
        pytest.skip("the zembric distribution is not installed")
    (script,) = scripts
    assert script.value == "zembric.cli:main"
    done = run("--help", launcher=[str(Path(sysconfig.get_path("scripts")) / "zembric")])
    assert done.returncode == 0 and done.stdout.startswith("usage: zembric")

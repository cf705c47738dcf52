"""One registry on both supported Pythons: the same tree and lock, byte for
byte, and each Python finds the tree the other wrote up to date.

`make test PYTHON=3.12` runs these, with CORVEL_PEER_PYTHON naming the
interpreter of the default venv (.venv, 3.11).
"""

import json
import os
import sys
from pathlib import Path

import pytest
from conftest import run_process

from corvel import cli

PEER = os.environ.get("CORVEL_PEER_PYTHON")
pytestmark = pytest.mark.skipif(not PEER, reason="needs the other Python's venv (make test PYTHON=3.12)")
REAL_REGISTRY = Path(__file__).resolve().parents[2] / "shared" / "registries" / "oss-2023-06.json"


def generate(python, tree, *argv):
    environment = {k: v for k, v in os.environ.items() if k != "VIRTUAL_ENV"}
    environment.update(COLUMNS="300", PATH=f"{Path(python).parent}{os.pathsep}{os.environ['PATH']}")
    done = run_process([python, "-m", "corvel.cli", "--output-dir", str(tree), *argv], env=environment, timeout=900)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout + done.stderr


def tree_files(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_both_pythons_write_the_same_tree_and_take_each_others_as_locked(tmp_path):
    # the bundled registry and every sixth connector of a real one: real schemas of every shape
    document = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))
    bundled = {item["dockerRepository"] for kind in ("sources", "destinations") for item in document[kind]}
    real = json.loads(REAL_REGISTRY.read_text(encoding="utf-8"))
    for kind in ("sources", "destinations"):
        document[kind] += [item for item in real[kind][::6] if item["dockerRepository"] not in bundled]
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document), encoding="utf-8")

    trees = {python: tmp_path / Path(python).parents[1].name for python in (sys.executable, PEER)}
    for python, tree in trees.items():
        generate(python, tree, "--registry", str(registry), "--all", "--no-cache")
    ours, theirs = (tree_files(tree) for tree in trees.values())
    assert ours.keys() == theirs.keys()
    assert [name for name in ours if ours[name] != theirs[name]] == []

    for python, tree in zip(trees, reversed(trees.values())):
        assert "up to date" in generate(python, tree, "--registry", str(registry))
        generate(python, tree, "--frozen", "--no-cache")
        assert tree_files(tree) == ours

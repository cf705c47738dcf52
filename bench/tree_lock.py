"""What a lock costs and saves on a tree of the whole registry.

    python bench/tree_lock.py              # 500 connectors, 3 repetitions
    python bench/tree_lock.py --reps 1

On the bench/make_registry.py registry, every `corvel-generate` run is a new
process, as a user runs it.  The baseline is `--all` into an empty directory
with the model cache full; against it, in each repetition:

  * no-op: a run without names on a tree that matches its lock;
  * add one: one connector that the registry has and the tree lacks, added
    to the tree of all the others (removed again, unmeasured, after each);
  * frozen: the lock alone copied into an empty directory, `--frozen`.

The report gives medians and ratios against the baseline, and the lock's
size.  The frozen tree must be the baseline's byte for byte, or the
benchmark fails.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from measuring import default_tmp  # noqa: E402

MODES = ("all, cache full", "no-op", "add one", "frozen")


def digest(tree: Path) -> str:
    sha = hashlib.sha256()
    for path in sorted(tree.rglob("*")):
        if path.is_file():
            sha.update(str(path.relative_to(tree)).encode() + b"\0" + path.read_bytes())
    return sha.hexdigest()


def generate(*argv: str) -> float:
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "corvel.cli", *argv], capture_output=True, text=True)
    wall = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"corvel-generate {' '.join(argv)} failed ({done.returncode}):\n{done.stdout[-2000:]}{done.stderr[-2000:]}")
    return wall


def report(walls: dict[str, list[float]], lock_bytes: int, connectors: int) -> list[str]:
    base = statistics.median(walls[MODES[0]])
    lines = [f"tree of {connectors} connectors; lock {lock_bytes / 1e6:.2f} MB ({lock_bytes // connectors} bytes a connector)"]
    for mode in MODES:
        median = statistics.median(walls[mode])
        lines.append(f"{mode:>16}: {median:7.2f} s  ({100 * median / base:5.1f} % of {MODES[0]})")
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    args = parser.parse_args(argv)
    work = Path(tempfile.mkdtemp(prefix="corvel-bench-lock-", dir=args.tmp))
    os.environ["XDG_CACHE_HOME"] = str(work / "cache")  # the run's own cache, filled below
    try:
        registry = work / "registry.json"
        subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(registry), "--no-manifests"], check=True,
                       capture_output=True)
        document = json.loads(registry.read_text(encoding="utf-8"))
        added = document["sources"][-1]["dockerRepository"].replace("airbyte/", "")
        others = work / "registry-others.json"
        others.write_text(json.dumps(dict(document, sources=document["sources"][:-1])), encoding="utf-8")
        connectors = len(document["sources"]) + len(document["destinations"])
        generate("--registry", str(registry), "--all", "--output-dir", str(work / "warm"))  # fills the cache
        tree = work / "tree"
        generate("--registry", str(others), "--all", "--output-dir", str(tree))
        walls: dict[str, list[float]] = {mode: [] for mode in MODES}
        expected = None
        for rep in range(args.reps):
            baseline = work / f"all-{rep}"
            walls["all, cache full"].append(generate("--registry", str(registry), "--all", "--output-dir", str(baseline)))
            expected = expected or digest(baseline)
            walls["no-op"].append(generate("--output-dir", str(tree)))
            walls["add one"].append(generate("--registry", str(registry), "--output-dir", str(tree), added))
            generate("--output-dir", str(tree), "--remove", added)
            frozen = work / f"frozen-{rep}"
            (frozen / "connector_configs").mkdir(parents=True)
            shutil.copy(baseline / "connector_configs" / "corvel.lock", frozen / "connector_configs")
            walls["frozen"].append(generate("--frozen", "--output-dir", str(frozen)))
            if digest(frozen) != expected:
                print(f"the frozen tree {frozen} differs from the --all tree {baseline}", file=sys.stderr)
                return 1
        lock_bytes = (work / "all-0" / "connector_configs" / "corvel.lock").stat().st_size
        print("\n".join(report(walls, lock_bytes, connectors)))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

"""What `--outdated` and `--upgrade --dry-run` cost against a run that only reads the registry.

    python bench/upgrades.py              # 500 connectors, 3 repetitions
    python bench/upgrades.py --reps 1

A tree of every connector of the bench/make_registry.py registry is
generated, then a newer registry is made in which every connector moved:
its tag's minor part raised, one member removed, one required member added,
and a breaking change documented.  Every `corvel-generate` run is a new
process, as a user runs it.  In each repetition:

  * reads the registry: `--list` of the newer registry (the baseline);
  * outdated: `--outdated` against it;
  * dry run: `--upgrade --dry-run` against it, with the model cache holding
    the new models (a dry run of the same move made before, unmeasured).

The report gives medians and ratios against the baseline (target <= 2).
The tree must be byte-identical after every run, or the benchmark fails.
"""

from __future__ import annotations

import argparse
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
from tree_lock import digest  # noqa: E402

MODES = ("reads the registry", "outdated", "dry run")
TARGET = 2.0


def timed(*argv: str) -> float:
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "corvel.cli", *argv], capture_output=True, text=True)
    wall = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"corvel-generate {' '.join(argv)} failed ({done.returncode}):\n{done.stdout[-2000:]}"
                         f"{done.stderr[-2000:]}")
    return wall


def moved(document: dict) -> dict:
    """Every connector of DOCUMENT at a later version whose configuration lost a member and gained a required
    one, across a documented breaking change."""
    newer = json.loads(json.dumps(document))
    for entry in newer["sources"] + newer["destinations"]:
        major, minor, patch = entry["dockerImageTag"].split(".")
        entry["dockerImageTag"] = f"{major}.{int(minor) + 1}.{patch}"
        spec = entry["spec"]["connectionSpecification"]
        members = spec["properties"]
        members.pop(next(name for name in members if name not in spec.get("required", ())), None)
        members["region"] = {"type": "string", "title": "Region"}
        spec["required"] = [*spec.get("required", ()), "region"]
        entry["releases"] = {"breakingChanges": {entry["dockerImageTag"]: {
            "message": "region is required", "upgradeDeadline": "2030-01-01",
            "migrationDocumentationUrl": "https://docs.example/migrate"}}}
    return newer


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    args = parser.parse_args(argv)
    work = Path(tempfile.mkdtemp(prefix="corvel-bench-upgrades-", dir=args.tmp))
    os.environ["XDG_CACHE_HOME"] = str(work / "cache")  # the run's own cache
    try:
        registry, newer = work / "registry.json", work / "newer.json"
        subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(registry), "--no-manifests"], check=True,
                       capture_output=True)
        document = json.loads(registry.read_text(encoding="utf-8"))
        newer.write_text(json.dumps(moved(document)), encoding="utf-8")
        tree = work / "tree"
        timed("--registry", str(registry), "--all", "--output-dir", str(tree))
        timed("--registry", str(newer), "--output-dir", str(tree), "--upgrade", "--dry-run")  # fills the cache
        expected = digest(tree)
        walls: dict[str, list[float]] = {mode: [] for mode in MODES}
        for _ in range(args.reps):
            walls["reads the registry"].append(timed("--registry", str(newer), "--list"))
            walls["outdated"].append(timed("--registry", str(newer), "--output-dir", str(tree), "--outdated"))
            walls["dry run"].append(timed("--registry", str(newer), "--output-dir", str(tree), "--upgrade",
                                          "--dry-run"))
            if digest(tree) != expected:
                print(f"the tree {tree} changed during a run that writes nothing", file=sys.stderr)
                return 1
        connectors = len(document["sources"]) + len(document["destinations"])
        base = statistics.median(walls[MODES[0]])
        print(f"tree of {connectors} connectors, every one moved; target <= {TARGET:g}x {MODES[0]}")
        for mode in MODES:
            median = statistics.median(walls[mode])
            verdict = "" if mode == MODES[0] else ("  met" if median <= TARGET * base else "  MISSED")
            print(f"{mode:>20}: {median:7.2f} s  ({median / base:4.2f}x){verdict}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

"""Runs every benchmark in bench/ in turn; `make bench` calls this.

    python bench/run.py                  # all of them
    python bench/run.py schema_export    # only those named

A benchmark is a script in BENCHMARKS that prints its own report and exits
non-zero when it could not measure what it claims to (a failed run, outputs
that differ from its baseline).  Missing a target is reported, not an error.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

BENCHMARKS = [
    "schema_export.py",
    "generation.py",
    "parallel_cache.py",
    "tree_lock.py",
    "generator_settings.py", "loading.py",
    "manifests.py",
    "upgrades.py",
    "commands.py",
]


def main(argv: list[str]) -> int:
    wanted = {a.removesuffix(".py") for a in argv}
    unknown = wanted - {b.removesuffix(".py") for b in BENCHMARKS}
    if unknown:
        print(f"unknown benchmark(s): {', '.join(sorted(unknown))}; "
              f"known: {', '.join(BENCHMARKS)}", file=sys.stderr)
        return 2
    env = {**os.environ, "DO_NOT_TRACK": "1"}
    failed = []
    for script in BENCHMARKS:
        if wanted and script.removesuffix(".py") not in wanted:
            continue
        print(f"=== {script}", flush=True)
        started = time.perf_counter()
        rc = subprocess.call([sys.executable, str(HERE / script)], env=env)
        print(f"=== {script}: exit {rc}, {time.perf_counter() - started:.0f} s\n", flush=True)
        if rc != 0:
            failed.append(script)
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

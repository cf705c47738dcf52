"""The read-only commands of `corvel` beside `import airbyte`, each a fresh process, side by side.

    python bench/commands.py [--reps N] [--registry FILE]

A project tree holding source-faker (generated once, from the bundled
registry, into a temporary directory) is what outdated, check-config,
sync --check and a sync with nothing to do read; list and show read the
registry file (default: the 2023 snapshot in /work/shared/registries, read in
place, else the bundled registry) and the bundled one. In each repetition
`python -c "import airbyte"` and every command run in turn, each as a new
interpreter; the ratio is the command's median wall time over the import's.
Target: <= 0.1 for each. Exits 1 when a command fails.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SNAPSHOT = Path("/work/shared/registries/oss-2023-06.json")
TARGET = 0.1
BIN = Path(sys.executable).parent


def timed(argv: list[str], cwd: Path) -> float:
    started = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} exited {done.returncode}: {done.stderr.strip()}")
    return elapsed


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--registry", type=Path, default=SNAPSHOT if SNAPSHOT.exists() else None)
    options = parser.parse_args(argv)
    from corvel.registry import BUNDLED_REGISTRY

    registry = str(options.registry or BUNDLED_REGISTRY)
    corvel = str(BIN / "corvel")
    with tempfile.TemporaryDirectory(prefix="corvel-bench-") as scratch:
        project = Path(scratch)
        (project / "pyproject.toml").write_text('[project]\nname = "shop"\nversion = "0"\n\n[tool.corvel]\n'
                                                'package = "shop.connector_configs"\n', encoding="utf-8")
        (project / "src" / "shop").mkdir(parents=True)
        (project / "src" / "shop" / "__init__.py").write_text("", encoding="utf-8")
        (project / "faker.json").write_text(json.dumps({"count": 10}), encoding="utf-8")
        timed([corvel, "add", "source-faker", "--registry", str(BUNDLED_REGISTRY)], project)
        commands = {
            "import airbyte": [sys.executable, "-c", "import airbyte"],
            "list (registry file)": [corvel, "list", "--registry", registry],
            "show (registry file)": [corvel, "show", "source-faker", "--registry", registry],
            "list (bundled)": [corvel, "list"],
            "show (bundled)": [corvel, "show", "source-faker"],
            "outdated (registry file)": [corvel, "outdated", "--registry", registry],
            "check-config (lock)": [corvel, "check-config", "source-faker", "faker.json"],
            "sync --check (lock)": [corvel, "sync", "--check"],
            "sync, nothing to do (lock)": [corvel, "sync"],
        }
        times: dict[str, list[float]] = {name: [] for name in commands}
        env_note = f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}"
        for rep in range(options.reps):
            for name, command in (commands.items() if rep % 2 == 0 else reversed(commands.items())):
                times[name].append(timed(command, project))
    baseline = statistics.median(times["import airbyte"])
    print(f"registry: {registry}; {options.reps} repetitions; {env_note}")
    print(f"{'command':32} {'median s':>9} {'ratio':>7}")
    missed = []
    for name, measured in times.items():
        ratio = statistics.median(measured) / baseline
        print(f"{name:32} {statistics.median(measured):9.2f} {ratio:7.3f}")
        if name != "import airbyte" and ratio > TARGET:
            missed.append(name)
    print(f"target <= {TARGET} x import airbyte: " + (f"missed by {', '.join(missed)}" if missed else "met by all"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

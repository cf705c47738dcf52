"""What typed streams cost: runs and imports with record classes against the same without, side by side.

    python bench/streams.py [--reps N] [--registry FILE]

Each measurement is a fresh interpreter, with the model cache warm (a first,
unmeasured run fills it), alternating the two variants in every repetition:

- add: `corvel add source-faker` into a new project from the bundled
  registry; faker's record classes are read from its release in airbyte's
  install directory (AIRBYTE_INSTALL_DIR, as `make bench` sets it; without
  one, PyPI) and written by one generator run. Without streams, the run's
  streams step is rebound to do nothing (a module-level name, as corvel's
  own modules are steered);
- whole registry: `corvel-generate --all` over the registry file (default:
  the 2023 snapshot, read in place), with and without the streams step;
- import: `from <package> import SourceFakerConfig` in the project with
  record classes against one without: a configuration class costs what it
  did, since record classes live in modules of their own.

The ratio is the median with streams over the median without.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SNAPSHOT = Path("/work/shared/registries/oss-2023-06.json")
WITHOUT_STREAMS = "import corvel.tree_run as run; run._write_streams = lambda options, looked_at: []\n"


def timed(code: str, cwd: Path, allowed: tuple[int, ...] = (0,)) -> float:
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True, check=False)
    elapsed = time.perf_counter() - started
    if done.returncode not in allowed:
        raise SystemExit(f"{code!r} exited {done.returncode}: {done.stderr.strip()[-2000:]}")
    return elapsed


def project(root: Path, name: str) -> Path:
    directory = root / name
    (directory / "src" / "shop").mkdir(parents=True)
    (directory / "src" / "shop" / "__init__.py").write_text("", encoding="utf-8")
    (directory / "pyproject.toml").write_text(f'[project]\nname = "{name}"\nversion = "0"\n\n[tool.corvel]\n'
                                              'package = "shop.connector_configs"\nregistry = "bundled"\n',
                                              encoding="utf-8")
    return directory


def command(prefix: str, module: str, argv: list[str]) -> str:
    return f"{prefix}from corvel.{module} import main\nraise SystemExit(main({json.dumps(argv)}))\n"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--registry", type=Path, default=SNAPSHOT if SNAPSHOT.exists() else None)
    options = parser.parse_args(argv)
    times: dict[str, dict[str, list[float]]] = {}

    def measure(label: str, variant: str, code: str, cwd: Path, allowed: tuple[int, ...] = (0,)) -> None:
        times.setdefault(label, {"with": [], "without": []})[variant].append(timed(code, cwd, allowed))

    with tempfile.TemporaryDirectory(prefix="corvel-bench-streams-") as scratch:
        root = Path(scratch)
        add = command("", "command", ["add", "-q", "source-faker"])
        timed(add, project(root, "warm"))  # fills the model cache
        importing = {"with": project(root, "imports-with"), "without": project(root, "imports-without")}
        timed(add, importing["with"])
        timed(WITHOUT_STREAMS + add, importing["without"])
        assert (importing["with"] / "src/shop/connector_configs/streams/source_faker.py").exists()
        whole = ["--registry", str(options.registry), "--all"] if options.registry else None
        for rep in range(options.reps):
            for variant, prefix in (("with", ""), ("without", WITHOUT_STREAMS)):
                measure("add source-faker", variant, prefix + add, project(root, f"add-{variant}-{rep}"))
                measure("import SourceFakerConfig", variant, "from shop.connector_configs import SourceFakerConfig",
                        importing[variant] / "src")
                if whole is not None and rep < 3:
                    tree = root / f"whole-{variant}-{rep}"
                    # a registry's connectors that no generator run can type (two of the 2023 snapshot's) exit 1
                    measure("whole registry", variant, command(prefix, "cli", [*whole, "--output-dir", str(tree)]),
                            root, allowed=(0, 1))
    print(f"{'measured':<26}{'with streams':>14}{'without':>10}{'ratio':>8}")
    for label, variants in times.items():
        with_streams, without = statistics.median(variants["with"]), statistics.median(variants["without"])
        print(f"{label:<26}{with_streams:>13.3f}s{without:>9.3f}s{with_streams / without:>8.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))

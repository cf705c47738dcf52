"""Loading cost: one configuration class, from the installed layout and from a project's package, and a whole
tree's index, against importing airbyte.

    python bench/loading.py                          # 500 connectors, 5 repetitions
    python bench/loading.py --reps 3 --registry /path/to/registry.json

A tree of every connector of the bench/make_registry.py registry (or of
--registry) is generated once, with corvel's model cache, so a rerun takes
seconds.  Then each of these runs as a new interpreter, in turn, the order
rotating every repetition:

  * airbyte: ``import airbyte``, the baseline;
  * one class: ``corvel.config_class(NAME, tree=T)`` for one source of the tree
    (the last in the run's report);
  * project class: ``from bench_app.connector_configs import NAMEConfig``, the
    same class from the same connectors generated into a project's package
    (``corvel-generate --package``), in an interpreter that never imported corvel;
  * index: ``corvel.configs.import_tree(T)``, every model module of the tree.

Each has one untimed run first, which writes the tree's bytecode (its time is
reported).  The report gives medians and the ratios to the baseline, with how
many model modules each run loaded.  Targets: one class <= 1.2 times the
baseline, whatever the size of the tree, and a project's class no more
than one class; the index less than twice it.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
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

MODES = ("airbyte", "one class", "project class", "index")
TARGETS = {"one class": 1.2, "project class": 1.2, "index": 2.0}
PROJECT_PACKAGE = "bench_app.connector_configs"
# what each run prints after its work: the loaded model modules (and the class found)
_LOADED = "sum('.connector_configs.model.' in n for n in sys.modules)"


def programs(tree: Path, project: Path, name: str, class_name: str) -> dict[str, str]:
    return {
        "airbyte": "import airbyte",
        "one class": f"import sys, corvel; c = corvel.config_class({name!r}, tree={str(tree)!r}); print({_LOADED}, c.__name__)",
        "project class": f"import sys; sys.path.insert(0, {str(project)!r}); "
                         f"from {PROJECT_PACKAGE} import {class_name} as c; print({_LOADED}, c.__name__)",
        "index": f"import sys, corvel.configs; corvel.configs.import_tree({str(tree)!r}); print({_LOADED})",
    }


def children_cpu_s() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(program: str) -> dict:
    """PROGRAM in a new interpreter: its wall time and CPU time (which other load on the machine sways less)."""
    cpu, started = children_cpu_s(), time.perf_counter()
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True)
    wall = time.perf_counter() - started
    return {"wall_s": wall, "cpu_s": children_cpu_s() - cpu, "status": done.returncode, "out": done.stdout.split(),
            "error": done.stderr[-2000:]}


def generate(registry: Path, tree: Path, *where: str) -> dict:
    """Every connector of REGISTRY into TREE (--output-dir, or WHERE given, --package with TREE the project), with
    the model cache; the run's JSON report."""
    report = tree.with_suffix(".report.json")
    tree.mkdir(parents=True, exist_ok=True)
    done = subprocess.run([sys.executable, "-m", "corvel.cli", "--registry", str(registry), "--all",
                           *(where or ("--output-dir", str(tree))), "--report", str(report)], capture_output=True,
                          text=True, cwd=tree)
    if not report.is_file():
        raise SystemExit(f"corvel-generate wrote no report ({done.returncode}):\n{done.stdout[-2000:]}{done.stderr[-2000:]}")
    return json.loads(report.read_text(encoding="utf-8"))


def report(runs: dict[str, list[dict]], first: dict[str, dict], expected_class: str,
           connectors: int) -> tuple[list[str], bool]:
    lines = [f"loading from a tree of {connectors} connectors, each run a new interpreter; median (min-max) of"
             f" {len(runs['airbyte'])} runs; paired: the median of the ratios within each repetition"]
    for mode in MODES:
        failed = [r for r in runs[mode] + [first[mode]] if r["status"] != 0]
        if failed:
            return lines + [f"{mode}: FAILED (exit {failed[0]['status']}): {failed[0]['error']}"], False
    for mode in ("one class", "project class"):
        if first[mode]["out"] != ["1", expected_class]:
            return lines + [f"{mode}: got {first[mode]['out']}, not one module and {expected_class}"], False
    base = {key: med(r[key] for r in runs["airbyte"]) for key in ("wall_s", "cpu_s")}
    for mode in MODES:
        walls = [r["wall_s"] for r in runs[mode]]
        line = (f"{mode:>10}: wall {med(walls):6.2f} s ({min(walls):.2f}-{max(walls):.2f}), cpu"
                f" {med(r['cpu_s'] for r in runs[mode]):6.2f} s, first run {first[mode]['wall_s']:.2f} s")
        if mode in TARGETS:
            paired = med(r["wall_s"] / b["wall_s"] for r, b in zip(runs[mode], runs["airbyte"]))
            line += (f"; {first[mode]['out'][0]} model modules loaded; / airbyte: wall {med(walls) / base['wall_s']:.2f}"
                     f" (paired {paired:.2f}), cpu {med(r['cpu_s'] for r in runs[mode]) / base['cpu_s']:.2f}"
                     f" (target {'<' if mode == 'index' else '<='} {TARGETS[mode]})")
        lines.append(line)
    return lines, True


def med(values) -> float:
    return statistics.median(values)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--registry", type=Path, help="a registry document (default: bench/make_registry.py's)")
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    args = parser.parse_args(argv)
    started, load = time.perf_counter(), os.getloadavg()[0]
    work = Path(tempfile.mkdtemp(prefix="corvel-bench-loading-", dir=args.tmp))
    try:
        registry = args.registry
        if registry is None:
            registry = work / "registry.json"
            subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(registry), "--no-manifests"], check=True,
                           capture_output=True)
        tree = work / "tree"
        generated = generate(registry, tree)
        held = [r for r in generated["connectors"] if r["status"] == "written"]
        sources = [r for r in held if r["name"].startswith("source-")]
        if not sources:
            print(f"the tree holds no source: {generated.get('error')}", file=sys.stderr)
            return 1
        picked = sources[-1]
        print(f"  tree: {len(held)} connectors written (exit {generated['exit_status']}); the class of "
              f"{picked['name']}", file=sys.stderr, flush=True)
        project = work / "project"
        (project / "bench_app").mkdir(parents=True)
        (project / "bench_app" / "__init__.py").write_text("", encoding="utf-8")
        in_project = generate(registry, project, "--package", PROJECT_PACKAGE)
        if in_project["exit_status"] != generated["exit_status"]:
            print(f"the project's package was not generated: {in_project.get('error')}", file=sys.stderr)
            return 1
        commands = programs(tree, project, picked["name"], picked["class_name"])
        first = {mode: timed(commands[mode]) for mode in reversed(MODES)}  # the index first: it writes all bytecode
        runs: dict[str, list[dict]] = {mode: [] for mode in MODES}
        for rep in range(args.reps):
            for mode in MODES[rep % len(MODES):] + MODES[: rep % len(MODES)]:
                runs[mode].append(timed(commands[mode]))
                print(f"  {mode:>10}: {runs[mode][-1]['wall_s']:6.2f} s", file=sys.stderr, flush=True)
        lines, ok = report(runs, first, picked["class_name"], len(held))
        lines.append(f"load average at start / end: {load:.2f} / {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores;"
                     f" total {time.perf_counter() - started:.0f} s")
        print("\n".join(lines))
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

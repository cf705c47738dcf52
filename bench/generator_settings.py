"""Generator settings: corvel's own against the generator's defaults, and the builtin formatter against black and isort.

    python bench/generator_settings.py                  # 500 connectors, 3 repetitions; 80 real schemas
    python bench/generator_settings.py --connectors 100 --reps 1 --real 20

Every generator run corvel starts has ``corvel.generator_settings.directory()``
as its working directory, where datamodel-codegen reads corvel's
``[tool.datamodel-codegen]`` table.  Two measurements:

  * registry: ``corvel-generate --all --no-cache`` on the bench/make_registry.py
    registry, ``--jobs 1`` and ``--jobs 2``, with each of two settings:
    ``before``, the generator's defaults (a directory whose pyproject.toml has
    an empty table: the command line alone, black and isort, a RootModel
    class per titled member), and ``after``, corvel's settings.  Each run is
    ``corvel.cli.main`` in a child forked from one interpreter that has
    imported airbyte and corvel (start-up is left out); for ``before`` the
    child rebinds ``corvel.generator_settings.directory``.  Repetitions flip
    the order.  The connectors written must be the same set in every run,
    and each setting's tree the same on every run, or the benchmark fails.
    Each setting's tree is then imported module by module (how many import)
    and through its index.
  * formatter: about 80 connectors of the real 2023 registry, their generator
    commands run one by one in a warm generator, as the fast mode runs them,
    once with corvel's settings (the builtin formatter) and once with the
    same settings but ``formatters = ["black", "isort"]``; wall time of the
    runs and whether the models are the same bytes.
"""

from __future__ import annotations

import argparse
import difflib
import importlib
import json
import os
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tomllib
import types
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from generation import Silenced, tree_digest  # noqa: E402
from measuring import default_tmp, measure_call, run_forked  # noqa: E402

REAL_REGISTRY = HERE.parents[1] / "shared" / "registries" / "oss-2023-06.json"
MODEL_PACKAGE = "corvel.connector_configs.model"
RUNS = (("before", 1), ("after", 1), ("before", 2), ("after", 2))
FORMATTERS = ("builtin", "black+isort")


def load_modules() -> None:
    """What every measured child starts from."""
    global cli, generator_settings, mg
    from corvel.compat import import_airbyte

    import_airbyte()
    import corvel.cli as cli
    import corvel.generator_settings as generator_settings
    import corvel.model_generator as mg


def settings_directory(parent: Path, name: str, table: dict) -> str:
    """A directory holding a pyproject.toml with TABLE as its [tool.datamodel-codegen] table."""
    directory = parent / name
    directory.mkdir()
    lines = ["[tool.datamodel-codegen]"] + [f"{key} = {json.dumps(value)}" for key, value in table.items()]
    (directory / "pyproject.toml").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(directory)


def corvel_table() -> dict:
    text = Path(generator_settings.directory(), "pyproject.toml").read_text(encoding="utf-8")
    return tomllib.loads(text)["tool"]["datamodel-codegen"]


# --- the whole registry, before and after -----------------------------------------------------------------


def generate(argv: list[str], settings: str | None) -> dict:
    """corvel-generate in this (forked) process; SETTINGS, when given, replaces corvel's settings directory."""
    if settings is not None:
        generator_settings.directory = lambda: settings
    cpu = cpu_s()
    with Silenced():
        status, figures = measure_call(lambda: cli.main(argv))
    return {**figures, "status": status, "cpu_s": cpu_s() - cpu}


def cpu_s() -> float:
    """CPU time of this process and of its children that ended (the warm processes and their runs)."""
    usages = [resource.getrusage(who) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)]
    return sum(usage.ru_utime + usage.ru_stime for usage in usages)


def run_registry(setting: str, jobs: int, registry: Path, out: Path, before: str) -> dict:
    report = out.with_suffix(".report.json")
    argv = ["--registry", str(registry), "--all", "--output-dir", str(out), "--jobs", str(jobs), "--no-cache",
            "--report", str(report)]
    result = run_forked(argv, before if setting == "before" else None, fn=generate)
    if result["ok"]:
        records = json.loads(report.read_text(encoding="utf-8"))["connectors"]
        result["written"] = sorted(r["versioned_name"] for r in records if r["status"] == "written")
        result["digest"] = tree_digest(out / "connector_configs")
    return result


def import_modules(root: str) -> dict:
    """Imports every model module of ROOT's tree on its own, the index left out: how many import."""
    import corvel  # noqa: F401  (its finders give the modules corvel's behaviour)

    package = types.ModuleType("corvel.connector_configs")
    package.__path__ = [str(Path(root, "connector_configs"))]
    sys.modules[package.__name__] = package
    names = sorted(path.stem for path in Path(root, "connector_configs", "model").glob("*.py"))
    failures = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in names:
            try:
                importlib.import_module(f"{MODEL_PACKAGE}.{name}")
            except Exception as error:
                failures[name] = f"{type(error).__name__}: {error}"[:300]
    return {"modules": len(names), "failures": failures}


def import_index(root: str) -> dict:
    from corvel.configs import import_tree

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import_tree(Path(root))
    return {}


def check_imports(root: Path) -> dict:
    modules = run_forked(str(root), fn=import_modules)
    index = run_forked(str(root), fn=import_index)
    return {**modules, "index_error": None if index["ok"] else index["error"].strip().splitlines()[-1]}


# --- the builtin formatter against black and isort, on real schemas ----------------------------------------


def pick_real(document: dict, count: int) -> dict:
    """A registry of COUNT connectors spread over DOCUMENT, one entry each, only entries the generator takes."""
    from corvel.registry import registry_entries

    usable, seen = [], set()
    for entry in registry_entries(document):
        if entry.problem is None and entry.name not in seen:
            seen.add(entry.name)
            usable.append(entry)
    picked = usable[:: max(len(usable) // count, 1)][:count]
    return {kind: [document[kind][e.position] for e in picked if e.kind == kind] for kind in ("sources", "destinations")}


def export_commands(registry: str, root: str) -> dict:
    """The schema export into ROOT's tree, and the generator command the module gives for each connector."""
    from corvel.registry import connector_name

    os.environ[cli.REGISTRY_VARIABLE] = registry
    for part in ("jsonschema", "model"):
        Path(root, "connector_configs", part).mkdir(parents=True, exist_ok=True)
    mg.CURRENT_DIR = root
    document = json.loads(Path(registry).read_text(encoding="utf-8"))
    names = sorted({connector_name(e["dockerRepository"]) for kind in document.values() for e in kind})
    exported = list(mg.generate_jsonschema_files(names))
    commands = []
    mg.subprocess = types.SimpleNamespace(run=lambda command, **_: commands.append(command),
                                          CalledProcessError=subprocess.CalledProcessError)
    mg.generate_model_files(exported)  # writes the index and hands over each command
    return {"commands": commands}


def run_warm(commands: list[str], settings: str, models: Path) -> dict:
    """Every command in a warm generator with SETTINGS as working directory: the runs' wall time and the models."""
    from corvel.fast_mode import WarmGenerator
    from corvel.generator_boundary import GENERATOR, SHELL, Request, console_script

    script = console_script(GENERATOR, os.environ.get("PATH"))
    requests = [Request(command, "", "", command, tuple(shlex.split(command)[1:]), settings, dict(os.environ), script)
                for command in commands]
    with WarmGenerator() as generator:
        generator.run(requests[0])  # the warm process's start-up and warm-up are no run's cost
        started = time.perf_counter()
        results = [generator.run(request) for request in requests]
        wall = time.perf_counter() - started
    failed = [request.command for request, result in zip(requests, results) if result.returncode]
    shell_runs = sum(result.via == SHELL for result in results)
    texts = {path.stem: path.read_text(encoding="utf-8") for path in sorted(models.glob("*.py"))}
    return {"wall_s": wall, "failed": failed, "shell_runs": shell_runs, "texts": texts}


def compare_formatters(work: Path, real_registry: Path, count: int, reps: int) -> dict:
    document = json.loads(real_registry.read_text(encoding="utf-8"))
    registry = work / "real-registry.json"
    registry.write_text(json.dumps(pick_real(document, count)), encoding="utf-8")
    del document
    root = work / "real-tree"
    exported = run_forked(str(registry), str(root), fn=export_commands)
    if not exported["ok"]:
        return {"error": exported["error"]}
    commands = exported["commands"]
    table = corvel_table()
    directories = {"builtin": generator_settings.directory(),
                   "black+isort": settings_directory(work, "black-isort", dict(table, formatters=["black", "isort"]))}
    runs: dict[str, list[dict]] = {label: [] for label in FORMATTERS}
    for rep in range(reps):
        for label in FORMATTERS if rep % 2 == 0 else FORMATTERS[::-1]:
            result = run_warm(commands, directories[label], root / "connector_configs" / "model")
            runs[label].append(result)
            print(f"  formatter {label:<12} {result['wall_s']:7.2f} s", file=sys.stderr, flush=True)
    return {"connectors": len(commands), "runs": runs}


# --- the report -----------------------------------------------------------------------------------------


def med(values) -> float:
    return statistics.median(values)


def registry_report(runs: dict[tuple[str, int], list[dict]], imports: dict[str, dict],
                    connectors: int) -> tuple[list[str], bool]:
    ok = True
    lines = [f"registry: corvel-generate --all --no-cache on {connectors} connectors, in a forked child (start-up "
             "left out); wall time median (min-max) in s; cpu: of the run and its processes"]
    for (setting, jobs), results in runs.items():
        failed = [r for r in results if not r["ok"]]
        if failed or not results:
            lines.append(f"{setting:>6} jobs {jobs}: FAILED: {failed[0]['error'][-2000:] if failed else 'no run'}")
            ok = False
            continue
        walls = [r["wall_s"] for r in results]
        lines.append(f"{setting:>6} jobs {jobs}: {med(walls):8.2f} ({min(walls):.2f}-{max(walls):.2f})  n={len(walls)}"
                     f"  cpu {med(r['cpu_s'] for r in results):8.2f}"
                     f"  exit {'/'.join(sorted({str(r['status']) for r in results}))}"
                     f"  {len(results[0]['written'])} written")
    if not ok:
        return lines, False
    for jobs in sorted({jobs for _, jobs in runs}):
        before, after = runs["before", jobs], runs["after", jobs]
        paired = med(a["wall_s"] / b["wall_s"] for a, b in zip(after, before))
        ratio = {key: med(r[key] for r in after) / med(r[key] for r in before) for key in ("wall_s", "cpu_s")}
        lines.append(f"jobs {jobs}: after / before = {ratio['wall_s']:.2f} (paired within each repetition:"
                     f" {paired:.2f}); cpu time {ratio['cpu_s']:.2f}")
    written = {tuple(r["written"]) for results in runs.values() for r in results}
    if len(written) == 1:
        lines.append(f"the same {len(next(iter(written)))} connectors written by every run")
    else:
        sets = {setting: set(runs[setting, 1][0]["written"]) for setting in ("before", "after")}
        lines.append(f"WRITTEN CONNECTORS DIFFER: only before {sorted(sets['before'] - sets['after'])[:10]}, only after"
                     f" {sorted(sets['after'] - sets['before'])[:10]} (jobs 1 and jobs 2 too, when both are empty)")
        ok = False
    digests = {setting: {r["digest"] for (s, _), results in runs.items() if s == setting for r in results}
               for setting in ("before", "after")}
    for setting, found in digests.items():
        if len(found) != 1:
            lines.append(f"{setting}: TREES DIFFER between runs (jobs 1 and jobs 2 must write the same files)")
            ok = False
    if digests["before"] == digests["after"]:  # the run did not take its settings from generator_settings.directory()
        lines.append("before and after wrote THE SAME TREE: the before settings were not used")
        ok = False
    for setting, check in imports.items():
        failures = check.get("failures", {})
        line = f"{setting}: {check['modules'] - len(failures)} of {check['modules']} modules import on their own" \
            if "modules" in check else f"{setting}: the import check failed: {check['error'][-300:]}"
        line += "; the index imports" if check.get("index_error") is None else f"; the index fails: {check['index_error']}"
        lines.append(line)
        lines += [f"    {name}: {error}" for name, error in sorted(failures.items())[:5]]
    return lines, ok


def formatter_report(comparison: dict) -> tuple[list[str], bool]:
    if "error" in comparison:
        return [f"formatter: the schema export FAILED: {comparison['error'][-2000:]}"], False
    runs, count = comparison["runs"], comparison["connectors"]
    lines = [f"formatter: {count} real connector schemas, each command run warm as the fast mode runs it, corvel's"
             " settings with the builtin formatter and with black and isort; wall time of the runs, median (min-max)"]
    for label in FORMATTERS:
        problems = [r for r in runs[label] if r["failed"] or r["shell_runs"]]
        if problems:
            r = problems[0]
            return lines + [f"{label}: {len(r['failed'])} run(s) FAILED ({r['failed'][:1]}), {r['shell_runs']} went"
                            " through the shell"], False
        walls = [r["wall_s"] for r in runs[label]]
        lines.append(f"{label:>12}: {med(walls):7.2f} s ({min(walls):.2f}-{max(walls):.2f}), "
                     f"{med(walls) / count * 1000:.1f} ms a connector")
    builtin, black = (med(r["wall_s"] for r in runs[label]) for label in FORMATTERS)
    lines.append(f"builtin / black+isort = {builtin / black:.2f} ({black / builtin:.2f} times as fast)")
    texts = {label: runs[label][0]["texts"] for label in FORMATTERS}
    differing = sorted(name for name in texts["builtin"] if texts["builtin"][name] != texts["black+isort"].get(name))
    lines.append(f"models: {count - len(differing)} of {count} the same bytes")
    if differing:
        first = differing[0]
        diff = difflib.unified_diff(texts["black+isort"].get(first, "").splitlines(), texts["builtin"][first].splitlines(),
                                    "black+isort", "builtin", n=0, lineterm="")
        lines.append(f"  differing: {', '.join(differing[:8])}{' ...' if len(differing) > 8 else ''}; {first}:")
        lines += [f"    {line}" for line in list(diff)[2:12]]
    for label in FORMATTERS:
        if any(r["texts"] != runs[label][0]["texts"] for r in runs[label]):
            lines.append(f"{label}: MODELS DIFFER between repetitions")
            return lines, False
    return lines, True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--connectors", type=int, default=500, help="the first of bench/make_registry.py's, 70 %% sources")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--real", type=int, default=80, help="connectors of the real registry for the formatter")
    parser.add_argument("--real-reps", type=int, default=3)
    parser.add_argument("--real-registry", type=Path, default=REAL_REGISTRY)
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    args = parser.parse_args(argv)
    started, load = time.perf_counter(), os.getloadavg()[0]
    os.environ["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
    work = Path(tempfile.mkdtemp(prefix="corvel-bench-settings-", dir=args.tmp))
    try:
        registry = work / "registry.json"
        subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(registry), "--no-manifests"], check=True, capture_output=True)
        document = json.loads(registry.read_text(encoding="utf-8"))
        sources = document["sources"][: args.connectors * 7 // 10]
        document = {"sources": sources, "destinations": document["destinations"][: args.connectors - len(sources)]}
        registry.write_text(json.dumps(document), encoding="utf-8")
        del document
        load_modules()
        before = settings_directory(work, "before", {})
        runs: dict[tuple[str, int], list[dict]] = {run: [] for run in RUNS}
        imports: dict[str, dict] = {}
        for rep in range(args.reps):
            for setting, jobs in RUNS if rep % 2 == 0 else RUNS[::-1]:
                out = work / f"{setting}-{jobs}"
                result = run_registry(setting, jobs, registry, out, before)
                runs[setting, jobs].append(result)
                print(f"  {setting:>6} jobs {jobs}: " + (f"{result['wall_s']:8.2f} s  exit {result['status']}"
                      if result["ok"] else "failed"), file=sys.stderr, flush=True)
                if setting not in imports and result["ok"]:
                    imports[setting] = check_imports(out)
                shutil.rmtree(out, ignore_errors=True)
        lines, ok = registry_report(runs, imports, args.connectors)
        if args.real_registry.is_file():
            more, formatter_ok = formatter_report(compare_formatters(work, args.real_registry, args.real, args.real_reps))
            lines += more
            ok = ok and formatter_ok
        else:
            lines.append(f"formatter: skipped, no real registry at {args.real_registry}")
        lines.append(f"load average at start / end: {load:.2f} / {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores;"
                     f" total {time.perf_counter() - started:.0f} s")
        print("\n".join(lines))
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

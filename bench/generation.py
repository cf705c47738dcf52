"""Generation benchmark: corvel-generate's warm fast mode against --spawn and the in-process floor.

    python bench/generation.py                    # 20 and 100 connectors, 3 repetitions
    python bench/generation.py --sizes 20 --reps 1

The connectors come from the synthetic registry of bench/make_registry.py
(realistic connector specs).  Each repetition runs, in alternating order and
for each size:

  * spawn: ``corvel-generate --spawn NAMES``, a shell and a new interpreter per
    connector;
  * fast:  ``corvel-generate NAMES``, the warm generator (one interpreter, a
    forked child per connector);
  * floor: the same export, then datamodel-code-generator's ``main`` called
    in a loop in one process with each command's arguments: no start-up and
    no isolation, the least a warm mode can cost.

Every run is a child forked from one interpreter that has imported airbyte,
corvel.cli and corvel.model_generator.  Wall time is the whole call; the cost
per connector is the slope between the two sizes, which leaves out what a run
pays once (importing the generator, the warm-up).  Memory: the peak RSS growth
of the corvel-generate process and the peak RSS of the warm process.  The
files of fast and spawn are hashed on every run and must be identical.

A last measurement times ``generate_model_files`` itself with a generator that
does nothing (a shell script that exits at once): the share of its time spent
outside the generator runs it makes.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from measuring import default_tmp, measure_call, run_forked  # noqa: E402

from corvel import generator_settings  # noqa: E402
from corvel.registry import class_root  # noqa: E402

MODES = ("spawn", "fast", "floor")


def load_modules() -> None:
    """What every measured child starts from."""
    global cli, mg, fast_mode
    import airbyte  # noqa: F401

    import corvel.cli as cli
    import corvel.fast_mode as fast_mode
    import corvel.model_generator as mg


def tree_digest(root: Path) -> str:
    digest = hashlib.sha256()
    for path in sorted(root.rglob("*")):
        if path.is_file():
            digest.update(str(path.relative_to(root)).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


class Silenced:
    """Standard output and error of this process and its children go to /dev/null."""

    def __enter__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self.saved = [os.dup(1), os.dup(2)]
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc_info):
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, saved in zip((1, 2), self.saved):
            os.dup2(saved, fd)
            os.close(saved)


def proc_peak_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def run_pipeline(mode: str, registry: str, names: list[str], out: str) -> dict:
    """One corvel-generate run in this process (the child), or the floor."""
    server_peaks = []
    close = fast_mode.WarmGenerator.close

    def close_and_measure(self, kill=False, retire=False):
        if self._server is not None:
            server_peaks.append(proc_peak_kib(self._server.pid))
        close(self, kill, retire)

    fast_mode.WarmGenerator.close = close_and_measure
    if mode == "floor":
        call = lambda: floor(registry, names, out)  # noqa: E731
    else:
        argv = ["--registry", registry, "--output-dir", out, *names] + (
            ["--spawn"] if mode == "spawn" else ["--jobs", "1", "--no-cache"]  # the warm generator alone
        )
        call = lambda: cli.main(argv)  # noqa: E731
    with Silenced():
        status, figures = measure_call(call)
    tree = Path(out, "connector_configs")
    return {**figures, "status": status, "server_peak_kib": max(server_peaks, default=0),
            "digest": tree_digest(tree), "models_digest": tree_digest(tree / "model")}


def tree_root(root: Path) -> str:
    """ROOT made ready for the generator module: the tree's two folders exist."""
    for part in ("jsonschema", "model"):
        (root / "connector_configs" / part).mkdir(parents=True, exist_ok=True)
    return str(root.resolve())


def floor(registry: str, names: list[str], out: str) -> int:
    """The export, then the generator's Python entry point in a loop, one process, in corvel's settings."""
    os.environ[cli.REGISTRY_VARIABLE] = registry
    mg.CURRENT_DIR = tree_root(Path(out))
    exported = list(mg.generate_jsonschema_files(names))
    commands = []
    mg.subprocess = type("Recorder", (), {"run": staticmethod(lambda command, **_: commands.append(command))})
    mg.generate_model_files(exported)  # writes the index and hands over each command
    from datamodel_code_generator.__main__ import main

    failures = 0
    os.chdir(generator_settings.directory())  # where every generator run of corvel's reads its settings
    for command in commands:
        words = shlex.split(command)  # the module quotes what the shell would split
        sys.argv = [shutil.which(words[0]), *words[1:]]
        try:
            failures += main() != 0
        except SystemExit as stop:
            failures += stop.code not in (0, None)
    return 1 if failures else 0


def module_overhead(work: Path, count: int) -> dict:
    """generate_model_files with a do-nothing generator: its time beyond the runs.

    For scale, the same runs and index lines written as a plain Python loop
    are timed the same way.
    """
    bin_dir = work / "idle-bin"
    bin_dir.mkdir(exist_ok=True)
    script = bin_dir / "datamodel-codegen"
    script.write_text("#!/bin/sh\nexit 0\n")
    script.chmod(0o755)
    os.environ["PATH"] = f"{bin_dir}{os.pathsep}{os.environ['PATH']}"
    root = tree_root(Path(tempfile.mkdtemp(dir=work)))
    mg.CURRENT_DIR = root
    in_runs = 0.0

    def timed_run(command, **options):
        nonlocal in_runs
        started = time.perf_counter()
        try:
            return subprocess.run(command, **options)
        finally:
            in_runs += time.perf_counter() - started

    def python_loop(names):
        index = f"{root}/connector_configs/__init__.py"
        for name in names:
            timed_run(
                f"datamodel-codegen --enum-field-as-literal all --input {root}/connector_configs/jsonschema/{name}.json"
                f" --input-file-type jsonschema --output {root}/connector_configs/model/{name}.py --output-model-type"
                " pydantic_v2.BaseModel --use-title-as-name --disable-timestamp --target-python-version 3.11",
                shell=True, capture_output=True, text=True, check=True,
            )
            with open(index, "a+", encoding="utf8") as file:
                root_name = class_root(name)
                file.write(f"from corvel.connector_configs.model.{name} import {root_name}Config\n")
                file.write(f"import corvel.connector_configs.model.{name} as {root_name}\n")

    mg.subprocess = type("TimedRuns", (), {"run": staticmethod(timed_run),
                                           "CalledProcessError": subprocess.CalledProcessError})
    names = [f"source_idle_{n}__1_0_{n}" for n in range(count)]
    figures = {}
    for label, call in (("module", mg.generate_model_files), ("python", python_loop)):
        call(names[:20])  # first touches of this forked child's pages are nobody's cost
        in_runs = 0.0
        started = time.perf_counter()
        call(names)
        total = time.perf_counter() - started
        figures[label] = (total - in_runs) / in_runs
        figures[f"{label}_runs_s"] = in_runs
    return figures


def pick(all_names: list[str], size: int) -> list[str]:
    """`size` names spread over the whole registry, sources and destinations alike."""
    step = max(len(all_names) // size, 1)
    return all_names[::step][:size]


def med(values) -> float:
    return statistics.median(values)


def report(runs: dict, overheads: list[dict], sizes: list[int], reps: int) -> tuple[list[str], bool]:
    ok = True
    lines = [f"generation: {reps} repetition(s); wall time median (min-max) in s, per connector = wall / size"]
    lines.append(f"{'size':>5} {'mode':6} {'wall':>22} {'per connector':>14} {'status':>7} {'CLI peak MiB':>13} {'warm MiB':>9}")
    for size in sizes:
        for mode in MODES:
            rs = runs[size][mode]
            if not rs or not all(r["ok"] for r in rs):
                lines.append(f"{size:>5} {mode:6} FAILED: {next((r['error'] for r in rs if not r['ok']), 'no run')[-2000:]}")
                ok = False
                continue
            walls = [r["wall_s"] for r in rs]
            lines.append(
                f"{size:>5} {mode:6} {med(walls):9.2f} ({min(walls):.2f}-{max(walls):.2f})"
                f" {med(walls) / size:14.3f} {'/'.join(sorted({str(r['status']) for r in rs})):>7}"
                f" {med(r['peak_kib'] for r in rs) / 1024:13.1f}"
                f" {med(r['server_peak_kib'] for r in rs) / 1024:9.1f}"
            )
    if not ok:
        return lines, False

    wall = {(s, m): med(r["wall_s"] for r in runs[s][m]) for s in sizes for m in MODES}
    biggest = max(sizes)
    speedup = wall[biggest, "spawn"] / wall[biggest, "fast"]
    lines.append(f"fast vs spawn at {biggest}: {speedup:.1f} times faster (target >= 4)")
    if len(sizes) > 1:
        small = min(sizes)
        slope = {m: (wall[biggest, m] - wall[small, m]) / (biggest - small) for m in MODES}
        lines.append(
            f"cost per connector ({small} -> {biggest}): spawn {slope['spawn']:.3f} s, fast {slope['fast']:.3f} s,"
            f" floor {slope['floor']:.3f} s; fast / floor = {slope['fast'] / slope['floor']:.2f} (target <= 1.2)"
        )
        cli_peak = {s: med(r["peak_kib"] for r in runs[s]["fast"]) for s in sizes}
        warm_peak = {s: med(r["server_peak_kib"] for r in runs[s]["fast"]) for s in sizes}
        lines.append(
            f"fast mode peak memory {small} -> {biggest} connectors: CLI growth {cli_peak[small] / 1024:.1f} ->"
            f" {cli_peak[biggest] / 1024:.1f} MiB, warm process {warm_peak[small] / 1024:.1f} ->"
            f" {warm_peak[biggest] / 1024:.1f} MiB (ratio {warm_peak[biggest] / warm_peak[small]:.2f})"
        )
    if overheads:
        module, python = ([o[k] * 100 for o in overheads] for k in ("module", "python"))
        lines.append(
            f"generate_model_files beyond its {OVERHEAD_RUNS} runs of a do-nothing generator"
            f" ({med(o['module_runs_s'] for o in overheads) / OVERHEAD_RUNS * 1000:.1f} ms each): median"
            f" {med(module):.2f} % of the run time (min {min(module):.2f} %, target <= 1 %); the same runs and index"
            f" lines as a Python loop: {med(python):.2f} % (min {min(python):.2f} %)"
        )
    for size in sizes:
        same = {r["digest"] for m in ("spawn", "fast") for r in runs[size][m]}
        models = {r["models_digest"] for m in MODES for r in runs[size][m]}
        lines.append(
            f"files at {size}: fast and spawn {'identical' if len(same) == 1 else 'DIFFER'} on every run;"
            f" floor's models {'identical too' if len(models) == 1 else 'differ'}"
        )
        ok = ok and len(same) == 1
    return lines, ok


OVERHEAD_RUNS = 200


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[20, 100])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    parser.add_argument("--json", metavar="FILE", help="also write every run's figures here")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    load = os.getloadavg()[0]
    os.environ["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"

    work = Path(tempfile.mkdtemp(prefix="corvel-bench-generation-", dir=args.tmp))
    try:
        registry = work / "registry.json"
        subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(registry), "--no-manifests"], check=True,
                       capture_output=True)
        all_names = json.loads(registry.with_suffix(".names.json").read_text(encoding="utf-8"))
        load_modules()
        runs = {size: {mode: [] for mode in MODES} for size in args.sizes}
        overheads = []
        for rep in range(args.reps):
            order = MODES if rep % 2 == 0 else MODES[::-1]
            for size in args.sizes:
                for mode in order:
                    out = tempfile.mkdtemp(prefix=f"{mode}-{size}-", dir=work)
                    result = run_forked(mode, str(registry), pick(all_names, size), out, fn=run_pipeline)
                    runs[size][mode].append(result)
                    shutil.rmtree(out, ignore_errors=True)
                    print(f"rep {rep + 1} size {size} {mode}: "
                          + (f"{result['wall_s']:.2f} s" if result["ok"] else "failed"), flush=True)
            overhead = run_forked(work, OVERHEAD_RUNS, fn=module_overhead)
            if overhead["ok"]:
                overheads.append(overhead)
        lines, ok = report(runs, overheads, args.sizes, args.reps)
        lines.append(f"load average at start / end: {load:.2f} / {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores;"
                     f" total {time.perf_counter() - started:.0f} s")
        print("\n".join(lines))
        if args.json:
            Path(args.json).write_text(json.dumps({"runs": runs, "overheads": overheads}, indent=1))
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

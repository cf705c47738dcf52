"""Whole-registry generation: parallel warm runs and the model cache.

    python bench/parallel_cache.py                 # 500 connectors, 3 repetitions
    python bench/parallel_cache.py --reps 1 --connectors 100

On the bench/make_registry.py registry, `corvel-generate --all` runs as a
new process each time, so start-up (interpreter, airbyte, warm processes) is
paid as a user pays it:

  * spawn: --spawn, a shell and an interpreter per connector (the first
    repetition only, --spawn-reps to change: it takes minutes);
  * jobs 1: --jobs 1 --no-cache, the warm generator one run at a time;
  * jobs 2: --jobs 2 with an empty cache;
  * cached: the same again, the cache full;
  * changed: the cache full, the registry with 10 schemas changed;
  * jobs 1 / jobs 2 at --small-connectors (100) with an empty cache, for
    memory against the number of connectors.

Repetitions interleave the modes (the order flips every repetition); the
report gives medians and ratios against jobs 1 cold.  Memory: the summed
proportional set size (PSS: shared pages split between the processes that
share them) of the corvel-generate process and all its descendants, sampled
every 250 ms by a thread at the lowest priority, peak over the run.  Every
tree is hashed: each must be the spawn tree (the changed runs: the tree of
one uncached run of the changed registry), or the benchmark fails.
"""

from __future__ import annotations

import argparse
import copy
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from measuring import default_tmp  # noqa: E402

CHANGED = 10
SAMPLE_INTERVAL_S = 0.25
TARGETS = {"jobs 2": 1.7, "cached": 0.10, "changed": 0.15}


def descendants(pid: int) -> list[int]:
    found, pending = [], [pid]
    while pending:
        current = pending.pop()
        found.append(current)
        try:
            tasks = list(Path(f"/proc/{current}/task").iterdir())
        except OSError:  # it ended while the tree was read: nothing of it to count
            continue
        for task in tasks:
            try:
                pending += [int(child) for child in (task / "children").read_text().split()]
            except OSError:
                pass
    return found


def pss_kib(pid: int) -> int:
    try:
        for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
            if line.startswith("Pss:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_cli(argv: list[str], out: Path) -> dict:
    """One corvel-generate run in a new process: wall time, exit status, peak PSS of its process tree, tree digest."""
    shutil.rmtree(out, ignore_errors=True)
    command = [sys.executable, "-m", "corvel.cli", "--all", "--output-dir", str(out), *argv]
    peak = 0
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, COLUMNS="200"))
    done = threading.Event()

    def sample():
        nonlocal peak
        # Reading smaps_rollup walks a process's page tables (8 ms for the CLI
        # alone): every 50 ms at normal priority the sampler took a fifth of a
        # core or more, which a run keeping both cores busy (jobs 2) pays and
        # one leaving a core idle (jobs 1) does not.
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 19)
        while not done.wait(SAMPLE_INTERVAL_S):
            peak = max(peak, sum(pss_kib(pid) for pid in descendants(process.pid)))

    sampler = threading.Thread(target=sample)
    sampler.start()
    stdout, stderr = process.communicate()
    wall = time.perf_counter() - started
    done.set()
    sampler.join()
    return {"wall_s": wall, "status": process.returncode, "peak_kib": peak, "digest": tree_digest(out),
            "tail": (stdout + stderr)[-1500:]}


def startup_s() -> float:
    """What every run pays before its first connector: the interpreter, the CLI and the extension (airbyte)."""
    started = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import corvel.cli, corvel.model_generator"], check=True)
    return time.perf_counter() - started


def tree_digest(root: Path) -> str:
    digest = hashlib.sha256()
    for path in sorted(root.rglob("*")):
        if path.is_file():
            digest.update(str(path.relative_to(root)).encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()


def change_schemas(registry: Path, changed: Path) -> None:
    """A copy of the registry with CHANGED schemas, spread over it, given one more property."""
    document = json.loads(registry.read_text(encoding="utf-8"))
    entries = document["sources"] + document["destinations"]
    for entry in entries[:: len(entries) // CHANGED][:CHANGED]:
        schema = entry["spec"]["connectionSpecification"]
        schema["properties"] = dict(copy.deepcopy(schema["properties"]),
                                    bench_change={"type": "string", "title": "Changed for the benchmark"})
    changed.write_text(json.dumps(document), encoding="utf-8")


def med(runs: list[dict], key: str = "wall_s") -> float:
    return statistics.median(r[key] for r in runs)


def report(runs: dict[str, list[dict]], startups: list[float], digests: dict[str, str], connectors: int,
           small: int) -> tuple[list[str], bool]:
    ok = True
    lines = [f"{connectors} connectors; wall time median (min-max) in s, start-up included; peak PSS of the process tree"]
    for mode, results in runs.items():
        walls = [r["wall_s"] for r in results]
        lines.append(f"{mode:<18} {med(results):8.2f} ({min(walls):.2f}-{max(walls):.2f})  n={len(walls)}  "
                     f"exit {'/'.join(sorted({str(r['status']) for r in results}))}  peak {med(results, 'peak_kib') / 1024:7.1f} MiB")
    base = med(runs["jobs 1"])
    speedup = base / med(runs["jobs 2"])
    paired = statistics.median(one["wall_s"] / two["wall_s"] for one, two in zip(runs["jobs 1"], runs["jobs 2"]))
    lines.append(f"jobs 2 vs jobs 1: {speedup:.2f} times as fast (target >= {TARGETS['jobs 2']}); paired "
                 f"(median of the ratio within each repetition, less swayed by load that drifts): {paired:.2f}")
    start = statistics.median(startups)
    lines.append(f"start-up (import corvel.cli and the extension, which imports airbyte): {start:.2f} s median")
    lines.append(f"  without it on both sides: jobs 2 vs jobs 1 {(base - start) / (med(runs['jobs 2']) - start):.2f}")
    for mode in ("cached", "changed"):
        share = med(runs[mode]) / base
        lines.append(f"{mode} / jobs 1 cold: {share * 100:.1f} % (target <= {TARGETS[mode] * 100:.0f} %); "
                     f"without start-up {(med(runs[mode]) - start) / (base - start) * 100:.1f} %")
    if "spawn" in runs:
        lines.append(f"spawn / jobs 1: {med(runs['spawn']) / base:.2f}")
    peaks = {(n, j): med(runs[f"jobs {j}" if n == connectors else f"jobs {j} at {small}"], "peak_kib") / 1024
             for n in (small, connectors) for j in (1, 2)}
    lines.append(
        f"peak PSS, jobs 1 -> jobs 2: {peaks[small, 1]:.0f} -> {peaks[small, 2]:.0f} MiB at {small} connectors, "
        f"{peaks[connectors, 1]:.0f} -> {peaks[connectors, 2]:.0f} MiB at {connectors}; "
        f"{small} -> {connectors} connectors: x{peaks[connectors, 1] / peaks[small, 1]:.2f} (jobs 1), "
        f"x{peaks[connectors, 2] / peaks[small, 2]:.2f} (jobs 2)"
    )
    for mode, results in runs.items():
        reference = digests["changed" if mode == "changed" else "spawn" if "at" not in mode else mode]
        same = all(r["digest"] == reference for r in results)
        ok = ok and same
        if not same:
            lines.append(f"{mode}: TREE DIFFERS from the reference: {results[0]['tail']}")
    if ok:
        lines.append("every tree identical to its reference (spawn's; for changed, an uncached run's)")
    return lines, ok


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--connectors", type=int, default=500,
                        help="connectors in the registry, the first of bench/make_registry.py's, 70 %% sources")
    parser.add_argument("--small-connectors", type=int, default=100)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--spawn-reps", type=int, default=1)
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    parser.add_argument("--json", metavar="FILE", help="also write every run's figures here")
    args = parser.parse_args(argv)
    started, load = time.perf_counter(), os.getloadavg()[0]
    os.environ["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}"
    work = Path(tempfile.mkdtemp(prefix="corvel-bench-parallel-", dir=args.tmp))
    try:
        registries = {}
        full = work / "registry-full.json"
        subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(full), "--no-manifests",
                        "--replicas", str(max(1, -(-args.connectors // 500)))], check=True, capture_output=True)
        document = json.loads(full.read_text(encoding="utf-8"))
        for size in (args.connectors, args.small_connectors):
            sources = document["sources"][: size * 7 // 10]
            part = {"sources": sources, "destinations": document["destinations"][: size - len(sources)]}
            registries[size] = work / f"registry-{size}.json"
            registries[size].write_text(json.dumps(part), encoding="utf-8")
        del document
        change_schemas(registries[args.connectors], work / "registry-changed.json")
        out = work / "out"

        def run(mode: str, registry: Path, *argv: str) -> dict:
            result = run_cli(["--registry", str(registry), *argv], out)
            print(f"  {mode:<18} {result['wall_s']:8.2f} s  exit {result['status']}  "
                  f"{result['peak_kib'] / 1024:.0f} MiB", file=sys.stderr, flush=True)
            return result

        digests = {"changed": run("changed, reference", work / "registry-changed.json", "--jobs", "2", "--no-cache")["digest"]}
        runs: dict[str, list[dict]] = {mode: [] for mode in ("spawn", "jobs 1", "jobs 2", "cached", "changed")}
        for n in (1, 2):
            runs[f"jobs {n} at {args.small_connectors}"] = []
        big, small = registries[args.connectors], registries[args.small_connectors]
        startups = []
        for rep in range(args.reps):
            startups.append(startup_s())
            cache = ["--cache-dir", str(work / f"cache-{rep}")]
            cold = [
                ("jobs 1", big, "--jobs", "1", "--no-cache"),
                ("jobs 2", big, "--jobs", "2", *cache),
                (f"jobs 1 at {args.small_connectors}", small, "--jobs", "1", "--no-cache"),
                (f"jobs 2 at {args.small_connectors}", small, "--jobs", "2", "--no-cache"),
            ]
            if rep < args.spawn_reps:
                cold.insert(0, ("spawn", big, "--spawn"))
            if rep % 2:
                cold.reverse()
            steps = []
            for step in cold:  # the cache runs follow the cold run that fills the cache
                steps.append(step)
                if step[0] == "jobs 2":
                    steps += [("cached", big, "--jobs", "2", *cache),
                              ("changed", work / "registry-changed.json", "--jobs", "2", *cache)]
            for mode, registry, *argv in steps:
                runs[mode].append(run(mode, registry, *argv))
        if not runs["spawn"]:
            runs.pop("spawn")
            digests["spawn"] = runs["jobs 1"][0]["digest"]
        else:
            digests["spawn"] = runs["spawn"][0]["digest"]
        for n in (1, 2):
            digests[f"jobs {n} at {args.small_connectors}"] = runs[f"jobs 1 at {args.small_connectors}"][0]["digest"]
        lines, ok = report(runs, startups, digests, args.connectors, args.small_connectors)
        lines.append(f"load average at start / end: {load:.2f} / {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores "
                     f"({len(os.sched_getaffinity(0))} usable); total {time.perf_counter() - started:.0f} s")
        print("\n".join(lines))
        if args.json:
            Path(args.json).write_text(json.dumps(runs, indent=1))
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

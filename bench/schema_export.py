"""Schema export benchmark: corvel.model_generator.generate_jsonschema_files
against the plain-Python loop doing the same work (the floor).

    python bench/schema_export.py            # both registries, 7 repetitions
    python bench/schema_export.py --reps 3 --registries small

Two synthetic registries from bench/make_registry.py are used: "small"
(500 connectors, ~2.5 MB) and "large" (the same ten times over, ~25 MB).  Each
repetition runs both implementations, in alternating order, over every
connector of both registries, and each run happens in a fresh process:

  * default: a child forked from one interpreter that has already imported
    airbyte, corvel.model_generator, json, re and pathlib, so both sides start
    from the same heap and importing airbyte (~10 s) is paid once;
  * --cold: a new interpreter per run, importing the same modules itself.

The child times the call alone and measures the peak RSS growth during it:
the kernel's high-water mark is reset through /proc/self/clear_refs just
before the call and VmHWM is read right after, minus VmRSS before.  RSS sees
every allocation, the extension's C++ heap included, which tracemalloc would
not.  Outputs of both implementations are hashed and compared on every run; where
they differ, the report tells whether only const-rewrite lines do.
"""

from __future__ import annotations

import argparse
import difflib
import functools
import hashlib
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

from measuring import default_tmp, measure_call, run_forked

from corvel.registry import KINDS, connector_name, read_registry, versioned_name

HERE = Path(__file__).resolve().parent
TIME_TARGET = 1.05
MEMORY_TARGET = 1.10
REGISTRIES = {"small": 1, "large": 10}  # name -> replicas of the base entries
IMPLS = ("floor", "extension")

CONST_PATTERN = r'("const":)([^,|\n]*)(,{0,1})'
CONST_REPLACEMENT = r'"enum": [\2]\3'

# Filled by load_modules(): the modules every measured process holds.
ab_registry = None
mg = None


def load_modules(require_extension: bool = True) -> str | None:
    """Import airbyte's registry module and the extension; returns the import
    error of the extension when it is not required and fails to load."""
    global ab_registry, mg
    os.environ.setdefault("DO_NOT_TRACK", "1")
    import airbyte.sources.registry as registry

    ab_registry = registry
    try:
        import corvel.model_generator as module
    except ImportError as exc:
        if require_extension:
            raise
        return f"{type(exc).__name__}: {exc}"
    mg = module
    return None


def floor_generate(connector_names, current_dir: str) -> list[str]:
    """generate_jsonschema_files written as plain Python, writing under
    current_dir/connector_configs/jsonschema/."""
    url = ab_registry._get_registry_url()
    if ab_registry._is_registry_disabled(url):
        return []
    data = read_registry(url)
    re_capture_groups = re.compile(CONST_PATTERN)
    written = []
    for typ in KINDS:
        for j in data.get(typ):
            name = connector_name(j["dockerRepository"])
            if name in connector_names:
                name_w_version = versioned_name(name, j.get("dockerImageTag"))
                written.append(name_w_version)
                schema = j.get("spec").get("connectionSpecification")
                schema["title"] = name + "-config"
                schema["properties"]["connector_name"] = {
                    "type": "string",
                    "title": name,
                    "enum": [name],
                    "default": name,
                    "description": "the name of the connector - source or destination",
                }
                text = json.dumps(schema, indent=2)
                text = re_capture_groups.sub(CONST_REPLACEMENT, text)
                path = current_dir + "/connector_configs/jsonschema/" + name_w_version + ".json"
                with open(path, "w+", encoding="utf8") as f:
                    f.write(text)
    return written


# -- measuring one run ------------------------------------------------------

def tree_digest(root: Path) -> tuple[str, int]:
    h = hashlib.sha256()
    files = sorted(root.iterdir())
    for p in files:
        h.update(b"\0" + p.name.encode() + b"\0")
        h.update(p.read_bytes())
    return h.hexdigest(), len(files)


def measure(impl: str, registry: str, names_file: str, out_root: str,
            keep: bool = False) -> dict:
    """One run of `impl` over every connector of `registry`, in this process."""
    os.environ["AIRBYTE_LOCAL_REGISTRY"] = registry
    names = set(json.loads(Path(names_file).read_text(encoding="utf-8")))
    out = tempfile.mkdtemp(prefix=f"{impl}-", dir=out_root)
    target = Path(out, "connector_configs", "jsonschema")
    target.mkdir(parents=True)
    if impl == "extension":
        mg.CURRENT_DIR = out

        def call():
            return mg.generate_jsonschema_files(names)
    else:
        def call():
            return floor_generate(names, out)

    result, figures = measure_call(call)
    digest, files = tree_digest(target)
    if not keep:
        shutil.rmtree(out)
    names_digest = hashlib.sha256(json.dumps(list(result)).encode()).hexdigest()
    return {**figures, "digest": digest, "names_digest": names_digest, "files": files,
            "names": len(result), "out": out}


def run_cold(*args) -> dict:
    impl, registry, names_file, out_root, keep = args
    cmd = [sys.executable, __file__, "--child", impl, registry, names_file, out_root]
    if keep:
        cmd.append("--keep")
    proc = subprocess.run(cmd, capture_output=True, text=True)
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        return {"ok": False, "error": f"exit {proc.returncode}\n{proc.stderr[-4000:]}"}
    return json.loads(lines[-1])


def child_main(argv: list[str]) -> int:
    impl, registry, names_file, out_root, *rest = argv
    load_modules(require_extension=impl == "extension")
    try:
        payload = {"ok": True, **measure(impl, registry, names_file, out_root, "--keep" in rest)}
    except BaseException:
        payload = {"ok": False, "error": traceback.format_exc()}
    print(json.dumps(payload))
    return 0


# -- reporting --------------------------------------------------------------

# Lines the "const" rewrite produces or touches: where the extension's
# value-aware rewrite and the pattern's may legitimately disagree.
CONST_LINE = re.compile(r'"enum": \[|"const":|^\s*[\]}]+,?\s*$')


def compare_outputs(a: Path, b: Path) -> tuple[bool, str]:
    """(ok, what differs) between the floor's files in `a` and the
    extension's in `b`; ok when they differ only on const-rewrite lines."""
    fa = {p.name for p in a.iterdir()}
    fb = {p.name for p in b.iterdir()}
    if fa != fb:
        return False, (f"file sets differ: floor only {sorted(fa - fb)[:3]}, "
                       f"extension only {sorted(fb - fa)[:3]}")
    differing = [n for n in sorted(fa) if (a / n).read_bytes() != (b / n).read_bytes()]
    example = outside = None
    for name in differing:
        x = (a / name).read_text(encoding="utf8").splitlines()
        y = (b / name).read_text(encoding="utf8").splitlines()
        for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, x, y, autojunk=False).get_opcodes():
            if tag == "equal":
                continue
            block = (name, i1 + 1, x[i1:i2], y[j1:j2])
            example = example or block
            if not all(CONST_LINE.search(line) for line in x[i1:i2] + y[j1:j2]):
                outside = block
                break
        if outside:
            break
    n = f"{len(differing)} of {len(fa)} files differ"
    if outside:
        return False, f"{n}, not only where \"const\" is rewritten; first: {_show(outside)}"
    if example:
        return True, f"{n}, only on lines where \"const\" is rewritten; e.g. {_show(example)}"
    return True, "files identical"


def _show(block) -> str:
    name, line, x, y = block
    return f"{name} line {line}:\n  floor:     {x[:3]!r}\n  extension: {y[:3]!r}"


def _fmt_s(xs: list[float]) -> str:
    return f"{statistics.median(xs):7.3f} ({min(xs):.3f}-{max(xs):.3f})"


def _fmt_mib(xs: list[float]) -> str:
    return f"{statistics.median(xs) / 1024:7.1f} ({min(xs) / 1024:.1f}-{max(xs) / 1024:.1f})"


def _verdict(ratio: float, target: float) -> str:
    return "met" if ratio <= target else "MISSED"


def report(results: dict, info: dict, impls: list[str], reps: int, mode: str,
           tmp: str, load: tuple) -> list[str]:
    lines = []
    both = len(impls) == 2
    lines.append("schema export: generate_jsonschema_files(all connectors) vs the plain-Python floor")
    lines.append(f"{reps} repetitions per implementation, interleaved; median (min-max); "
                 f"ratio = extension / floor")
    lines.append("")
    hdr = (f"{'registry':<8} {'size':>8} {'entries':>7} | {'floor s':>24} | {'extension s':>24} | "
           f"{'ratio':>6}  target <= {TIME_TARGET}  {'paired':>6}")
    lines.append(hdr)
    lines.append("-" * len(hdr))
    for reg, per_impl in results.items():
        cells = []
        for impl in IMPLS:
            runs = per_impl.get(impl)
            cells.append(_fmt_s([r["wall_s"] for r in runs]) if runs else f"{'-':>7}")
        ratio = verdict = paired = ""
        if both:
            rt = (statistics.median(r["wall_s"] for r in per_impl["extension"])
                  / statistics.median(r["wall_s"] for r in per_impl["floor"]))
            ratio, verdict = f"{rt:6.2f}", _verdict(rt, TIME_TARGET)
            paired = f"{statistics.median(e['wall_s'] / f['wall_s'] for e, f in zip(per_impl['extension'], per_impl['floor'])):6.2f}"
        lines.append(f"{reg:<8} {info[reg]['bytes'] / 1e6:6.1f}MB {info[reg]['entries']:>7} | "
                     f"{cells[0]:>24} | {cells[1]:>24} | {ratio:>6}  {verdict:<15}  {paired:>6}")
    if both:
        lines.append("paired: median over repetitions of extension / floor within one repetition "
                     "(less sensitive to load that drifts during the run)")
    lines.append("")
    hdr = f"{'registry':<8} {'':>8} {'':>7} | {'floor peak MiB':>24} | {'extension peak MiB':>24} | {'ratio':>6}  target <= {MEMORY_TARGET}"
    lines.append(hdr)
    lines.append("-" * len(hdr))
    for reg, per_impl in results.items():
        cells = []
        for impl in IMPLS:
            runs = per_impl.get(impl)
            cells.append(_fmt_mib([r["peak_kib"] for r in runs]) if runs else f"{'-':>7}")
        ratio = verdict = ""
        if both:
            fm = statistics.median(r["peak_kib"] for r in per_impl["floor"])
            em = statistics.median(r["peak_kib"] for r in per_impl["extension"])
            rt = em / fm if fm else float("inf")
            ratio, verdict = f"{rt:6.2f}", _verdict(rt, MEMORY_TARGET)
        lines.append(f"{reg:<8} {'':>8} {'':>7} | {cells[0]:>24} | {cells[1]:>24} | {ratio:>6}  {verdict}")
    lines.append("")
    exact = all(r["hwm_reset"] for per in results.values() for runs in per.values() for r in runs)
    lines.append("memory: peak RSS growth during the call, VmHWM after minus VmRSS before, "
                 + ("the high-water mark reset via /proc/self/clear_refs just before the call"
                    if exact else "ru_maxrss (clear_refs unavailable: includes any earlier peak)"))
    lines.append(f"processes: {mode}")
    lines.append(f"files: registries read from and outputs written under {tmp}")
    lines.append("load average (1 min) at start / end: {:.2f} / {:.2f} on {} cores".format(
        load[0], os.getloadavg()[0], os.cpu_count()))
    return lines


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--registries", nargs="+", choices=list(REGISTRIES), default=list(REGISTRIES))
    ap.add_argument("--impl", choices=["both", *IMPLS], default="both")
    ap.add_argument("--cold", action="store_true",
                    help="a new interpreter per run instead of a forked child")
    ap.add_argument("--json", metavar="FILE", help="also write every run's figures here")
    ap.add_argument("--tmp", metavar="DIR", default=default_tmp(),
                    help="where registries and outputs go (default: %(default)s)")
    args = ap.parse_args(argv)
    impls = list(IMPLS) if args.impl == "both" else [args.impl]
    started = time.perf_counter()
    load = os.getloadavg()

    work = Path(tempfile.mkdtemp(prefix="corvel-bench-schema-export-", dir=args.tmp))
    try:
        # The registries are written by a separate process so that this one,
        # which the measured children are forked from, never holds them.
        info = {}
        for reg in args.registries:
            path = work / f"registry-{reg}.json"
            proc = subprocess.run([sys.executable, str(HERE / "make_registry.py"), str(path),
                                   "--replicas", str(REGISTRIES[reg])],
                                  check=True, capture_output=True, text=True)
            info[reg] = json.loads(proc.stdout)
            info[reg]["names"] = str(path.with_suffix(".names.json"))

        if args.cold:
            runner = run_cold
            mode = ("a new interpreter per run, each importing airbyte, corvel.model_generator, "
                    "json, re, pathlib")
        else:
            err = load_modules(require_extension="extension" in impls)
            if err:
                print(f"warning: corvel.model_generator not importable ({err}); "
                      "the floor runs without it", file=sys.stderr)
            runner = functools.partial(run_forked, fn=measure)
            mode = ("each run in a child forked from one interpreter that imported airbyte, "
                    "corvel.model_generator, json, re, pathlib")

        results: dict = {reg: {impl: [] for impl in impls} for reg in args.registries}
        failures = []
        for rep in range(args.reps):
            for reg in args.registries:
                order = impls if rep % 2 == 0 else impls[::-1]
                for impl in order:
                    r = runner(impl, info[reg]["path"], info[reg]["names"], str(work), False)
                    if not r["ok"]:
                        failures.append(f"{reg}/{impl} repetition {rep + 1}: {r['error']}")
                        continue
                    results[reg][impl].append(r)
                    print(f"  rep {rep + 1}/{args.reps} {reg:<5} {impl:<9} "
                          f"{r['wall_s']:8.3f} s  {r['peak_kib'] / 1024:8.1f} MiB",
                          file=sys.stderr, flush=True)
        if failures:
            print("\n".join(["FAILED runs:", *failures]))
            return 1

        status = 0
        lines = report(results, info, impls, args.reps, mode, args.tmp, load)
        for reg, per_impl in results.items():
            digests = {impl: {r["digest"] for r in runs} for impl, runs in per_impl.items()}
            counts = {r["names"] for runs in per_impl.values() for r in runs}
            if counts != {info[reg]["entries"]}:
                lines.append(f"{reg}: CONNECTORS WRITTEN {sorted(counts)}, expected {info[reg]['entries']}")
                status = 1
            if any(len(d) != 1 for d in digests.values()):
                lines.append(f"{reg}: OUTPUT VARIES between repetitions of one implementation")
                status = 1
            elif len(impls) == 2:
                same_names = ({r["names_digest"] for r in per_impl["floor"]}
                              == {r["names_digest"] for r in per_impl["extension"]})
                if not same_names:
                    status = 1
                    lines.append(f"{reg}: RETURNED NAMES DIFFER from the floor's")
                if digests["floor"] == digests["extension"]:
                    lines.append(f"{reg}: files identical to the floor's, byte for byte, on every run")
                else:
                    kept = {impl: runner(impl, info[reg]["path"], info[reg]["names"],
                                         str(work), True) for impl in impls}
                    ok, what = compare_outputs(
                        Path(kept["floor"]["out"], "connector_configs", "jsonschema"),
                        Path(kept["extension"]["out"], "connector_configs", "jsonschema"))
                    if not ok:
                        status = 1
                    lines.append(f"{reg}: files {'differ' if ok else 'DIFFER'} from the floor's: {what}")
        lines.append(f"total time {time.perf_counter() - started:.0f} s")
        print("\n".join(lines))
        if args.json:
            Path(args.json).write_text(json.dumps({"info": info, "results": results}, indent=1))
        return status
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        sys.exit(child_main(sys.argv[2:]))
    sys.exit(main())

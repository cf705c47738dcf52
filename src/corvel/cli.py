"""``corvel-generate``: typed configuration models for airbyte connectors.

Runs ``corvel.model_generator`` for the connectors the tree is to hold:
their JSON Schemas are exported from the connector registry,
``datamodel-codegen`` turns each into a pydantic v2 module, and the package
index of ``corvel.connector_configs`` is rewritten.  What the tree holds, and
at which registry entry, is kept in its lock (``corvel.lockfile``): each run
plans from the lock and the request, hands the module a registry composed of
exactly those entries, and commits what was written with the new lock.

By default the generator runs warm (``corvel.fast_mode``): interpreters that
import it once, and a forked child of one of them carries out each command,
up to ``--jobs`` at once, while models of earlier identical runs come from a
cache (``corvel.model_cache``).  ``--spawn`` runs every command through the
shell, a new interpreter each time.  Both write the same files and print the
same failure reports.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from contextlib import ExitStack, redirect_stdout
from collections import Counter
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

from corvel import lockfile
from corvel.compat import environment, quiet_airbyte_import
from corvel.fast_mode import WarmPool, console_script, shell_words
from corvel.installation import VersionAction, default_tree_problem, versions
from corvel.lockfile import INDEX, KEPT, REMOVED, UPGRADED, Lock, LockError, PlanError, Planned, Staging, TreeLock
from corvel.model_cache import ModelCache, default_directory
from corvel.registry import Entry, RegistryError, read_registry, registry_entries

DEFAULT_CONNECTORS = ("source-file", "destination-sftp-json", "destination-csv")
BUNDLED_REGISTRY = Path(__file__).resolve().parent / "data" / "registry.json"
REGISTRY_VARIABLE = "AIRBYTE_LOCAL_REGISTRY"  # airbyte's registry location: a path or an URL
GENERATOR = "datamodel-codegen"
CHANGES_LISTED = 20  # more changes than this are counted, and listed with --verbose


class Stop(Exception):
    """Ends a run before the generator module wrote anything; the message says why."""


def scripts_directory() -> str:
    """Where this interpreter's console scripts are installed."""
    return sysconfig.get_path("scripts")


def find_generator() -> str | None:
    """Finds datamodel-codegen on PATH, else beside this interpreter.

    The generator runs through the shell by its bare name, so when it is only
    found beside the interpreter (a virtual environment that is not
    activated) that directory is put in front of PATH.
    """
    found = shutil.which(GENERATOR)
    if found:
        return found
    scripts = scripts_directory()
    found = shutil.which(GENERATOR, path=scripts)
    if found:
        current = os.environ.get("PATH", "")
        os.environ["PATH"] = scripts + (os.pathsep + current if current else "")
    return found


def command_versioned_name(command) -> str | None:
    """The versioned name a generator command runs for: the stem of its --input file.

    The words are taken as the shell takes them, so that a quoted path with
    blanks, quotes or ``$`` in it comes out whole.
    """
    words = shell_words(command) if isinstance(command, str) else [str(word) for word in command]
    if not words or "--input" not in words[:-1]:
        return None
    file_name = os.path.basename(words[words.index("--input") + 1])
    return file_name.removesuffix(".json") if file_name.endswith(".json") else None


@dataclass
class RunOutcome:
    versioned: str | None  # as read from the command
    returncode: int
    from_cache: bool = False


@dataclass
class RunRecorder:
    """Stands in for ``subprocess`` inside the generator module.

    ``run`` hands every call on to ``runner.run`` unchanged (the real
    ``subprocess``, or a warm generator), advancing the progress bar and
    keeping each run's outcome, in the order of the runs.
    """

    progress: Any
    task: Any
    labels: dict[str, str]
    runner: Any = subprocess
    outcomes: list[RunOutcome] = field(default_factory=list)
    CalledProcessError = subprocess.CalledProcessError

    def run(self, command, **kwargs):
        versioned = command_versioned_name(command)
        self.progress.update(self.task, description=f"{GENERATOR} {self.labels.get(versioned, versioned)}")
        outcome = RunOutcome(versioned, -1)  # stays so when the run raises anything but the generator's failure
        try:
            result = self.runner.run(command, **kwargs)
            outcome.returncode, outcome.from_cache = result.returncode, getattr(result, "from_cache", False)
            return result
        except subprocess.CalledProcessError as error:
            outcome.returncode = error.returncode
            raise
        finally:
            self.outcomes.append(outcome)
            self.progress.advance(self.task)


@dataclass
class Record:
    """What became of one connector, as the summary and the report give it."""

    name: str
    version: str | None
    versioned_name: str | None
    status: str  # "written", "up to date", "removed", "failed", "left out" or "not in the registry"
    reason: str = ""
    class_name: str | None = None
    model_path: str | None = None
    returncode: int | None = None
    from_cache: bool = False
    change: str | None = None  # for the tree: kept, added, upgraded, regenerated or removed
    previous_version: str | None = None  # the tag an upgraded connector had

    @property
    def label(self) -> str:
        return f"{self.name} {self.version or ''}".strip()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvel-generate",
        description="Generate typed pydantic v2 configuration models for airbyte connectors from the "
        "connector registry.",
        epilog="The tree remembers what it holds in connector_configs/corvel.lock: every run leaves it holding the "
        "connectors of its lock plus those named, the locked ones at their locked versions and new ones at the "
        f"registry's current version. Without names and without a lock, the defaults {', '.join(DEFAULT_CONNECTORS)} "
        "are generated; without names and with a lock, the tree is checked against the lock and whatever differs "
        f"is generated again, without reading the registry. The registry is the one {REGISTRY_VARIABLE} names (a "
        "path or an http(s) URL); when it is unset, the registry bundled with corvel is used, so no network is "
        "needed. It is read once per run. Entries the generator cannot use (no spec, connectionSpecification or "
        "properties object, or a versioned name that is no Python module name) are left out and named with the "
        "reason. Exit status: 0 when every model was written or is up to date, 1 when a run failed, an entry was "
        "left out, a name is not in the registry, the registry is unusable or the lock is, 2 for a wrong command "
        "line.",
    )
    parser.add_argument("names", nargs="*", metavar="NAME", help="connector names, e.g. source-file destination-csv")
    parser.add_argument("--all", action="store_true", help="add every connector of the registry")
    parser.add_argument(
        "--upgrade",
        nargs="*",
        metavar="NAME",
        help="move the named locked connectors (all of them when no name follows) to the registry's current version",
    )
    parser.add_argument(
        "--remove",
        nargs="+",
        action="extend",
        default=[],
        metavar="NAME",
        help="take the named connectors out of the tree: out of the lock and the index, and the files the lock "
        "records for them are deleted",
    )
    parser.add_argument(
        "--frozen",
        action="store_true",
        help="generate exactly what the lock holds, from the registry entries it keeps; reads no registry, so it "
        "works offline",
    )
    parser.add_argument(
        "--registry",
        metavar="PATH_OR_URL",
        help=f"registry document to read; sets {REGISTRY_VARIABLE} for this run",
    )
    parser.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        help="write the tree to DIR/connector_configs/ (jsonschema/, model/, __init__.py) instead of the "
        "installed corvel package; its index still imports its modules as corvel.connector_configs.model.*, "
        "so load it with corvel.config_class(NAME, tree=DIR) or corvel.configs.import_tree(DIR)",
    )
    parser.add_argument(
        "--spawn",
        action="store_true",
        help=f"run each {GENERATOR} command through the shell, a new interpreter per connector. Without it the "
        "generator runs warm: one interpreter imports it once and a forked child carries out each command, "
        "several times faster for many connectors, with the same files, failure reports and exit status, and "
        "models of earlier runs come from the cache. "
        f"Commands the warm interpreter cannot carry out exactly as the shell would (a {GENERATOR} on PATH "
        "that is not the one installed with corvel) go through the shell either way",
    )
    parser.add_argument(
        "--jobs",
        metavar="N",
        type=_positive,
        help="run up to N generator runs at once, each in its own warm process (default: the cores this process "
        "may use). The module still takes the results one by one, in order: the files, failure reports, summary "
        "and exit status are those of --jobs 1 and of --spawn",
    )
    parser.add_argument(
        "--cache-dir",
        metavar="DIR",
        type=Path,
        help="where models of earlier successful runs are kept (default: $XDG_CACHE_HOME/corvel, or "
        "~/.cache/corvel). A run whose schema file, command options, generator version and Python version match "
        "an earlier one writes the cached model instead of running the generator",
    )
    parser.add_argument("--no-cache", action="store_true", help="neither read nor fill the cache")
    parser.add_argument(
        "--verbose", action="store_true", help="list every connector in the summary, not only those not written"
    )
    parser.add_argument(
        "--report",
        metavar="FILE",
        type=Path,
        help="also write a JSON report to FILE (- for standard output, where it is then the only output): one record per connector (name, version, versioned_name, status, "
        "reason, class_name, model_path, returncode, from_cache, change, previous_version), the registry, the tree, "
        "the versions --version shows and the exit status",
    )
    parser.add_argument("--list", action="store_true", help="list the connectors the registry offers and exit")
    parser.add_argument(
        "--version",
        action=VersionAction,
        help="show the versions of corvel, airbyte, datamodel-code-generator and pydantic, and the Python this runs "
        "on, and exit (--report records the same under versions)",
    )
    return parser


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"a whole number of at least 1 expected, not {text!r}")
    return int(text)


def main(argv: list[str] | None = None) -> int:
    """Entry point of ``corvel-generate``; returns the exit status."""
    from rich.console import Console

    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.list and (args.names or args.all or args.output_dir or args.spawn or args.report or args.jobs):
            parser.error("--list takes no connector names, no --all, --output-dir, --spawn, --jobs or --report")
        if args.all and args.names:
            parser.error("--all takes no connector names")
        if args.list and (args.frozen or args.remove or args.upgrade is not None):
            parser.error("--list takes no --frozen, --upgrade or --remove")
        if args.frozen and (args.names or args.all or args.upgrade is not None or args.remove or args.registry):
            parser.error("--frozen generates what the lock holds and reads no registry: it takes no connector names, "
                         "--all, --upgrade, --remove or --registry")
        if both := sorted(set(args.remove) & set(args.names + (args.upgrade or []))):
            parser.error(f"{', '.join(both)}: named to be removed and to be added or upgraded")
        if args.spawn and (args.jobs or args.cache_dir or args.no_cache):
            parser.error("--spawn runs every command through the shell, one at a time and without the cache")
        args.jobs = args.jobs or len(os.sched_getaffinity(0))
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    report_to_stdout = args.report == Path("-")
    out = Console(highlight=False, soft_wrap=True)
    err = Console(stderr=True, highlight=False, soft_wrap=True)

    if not args.list and find_generator() is None:
        err.print(
            f"corvel-generate: {GENERATOR} was not found on PATH; it comes with the "
            "datamodel-code-generator package (pip install datamodel-code-generator)",
            markup=False,
        )
        return 1
    location = args.registry or os.environ.get(REGISTRY_VARIABLE, str(BUNDLED_REGISTRY))
    report: dict[str, Any] = {"registry": location, "tree": None, "error": None, "connectors": [],
                              "versions": versions()}
    stdout = sys.stdout
    try:
        if not args.list and args.output_dir is None and (problem := default_tree_problem()):
            raise Stop(problem)  # before anything is written
        # with the report on standard output, everything else (the summary, the
        # module's failure reports) goes to standard error
        with environment(REGISTRY_VARIABLE, location), redirect_stdout(sys.stderr if report_to_stdout else stdout):
            status = _list(out) if args.list else _generate(args, location, out, err, report)
    except Stop as stop:
        err.print(f"corvel-generate: {stop}", markup=False)
        report["error"], status = str(stop), 1
    except KeyboardInterrupt:
        err.print("corvel-generate: interrupted", markup=False)
        report["error"], status = "interrupted", 130
    if args.report is not None:
        text = json.dumps(dict(report, exit_status=status), indent=1) + "\n"
        try:
            if report_to_stdout:
                stdout.write(text)
                stdout.flush()
            else:
                args.report.write_text(text, encoding="utf-8")
        except OSError as error:
            err.print(f"corvel-generate: cannot write the report {args.report}: {error}", markup=False)
            status = status or 1
    return status


def _read_entries(location: str) -> tuple[Any, list[Entry]]:
    """The registry document, read once, and its entries; Stop when it is off or unusable."""
    with quiet_airbyte_import():
        from airbyte.sources.registry import _is_registry_disabled

    if _is_registry_disabled(location):
        raise Stop(
            f"the connector registry is switched off ({REGISTRY_VARIABLE}={location!r}, or AIRBYTE_OFFLINE_MODE is set)"
        )
    try:
        document = read_registry(location)
        return document, registry_entries(document)
    except RegistryError as error:
        raise Stop(f"{location}: {error}") from error


def _list(out) -> int:
    from rich.table import Table
    from rich.text import Text

    location = os.environ[REGISTRY_VARIABLE]
    _, entries = _read_entries(location)
    out.print(f"{len(entries)} connectors in {location}", markup=False)
    table = Table("connector", "kind", "version")
    for entry in sorted(entries, key=lambda e: (e.kind != "sources", e.name)):
        table.add_row(*map(Text, (entry.name, entry.kind.removesuffix("s"), entry.tag)))
    out.print(table)
    return 0


def _configs_dir(output_dir: Path | None) -> tuple[Path, list[Path]]:
    """The tree's connector_configs/ directory, and the directories made for it: under --output-dir, else
    where the generator module writes (the installed package unless its CURRENT_DIR was rebound)."""
    if output_dir is not None:
        root = output_dir.expanduser().resolve()
    elif (module := sys.modules.get("corvel.model_generator")) is not None:
        root = Path(str(module.CURRENT_DIR))
    else:
        from corvel.configs import installed_tree

        root = installed_tree()
    configs_dir = root / "connector_configs"
    parts = [configs_dir / "jsonschema", configs_dir / "model"]
    made = [d for d in {*configs_dir.parents, configs_dir, *parts} if not d.exists()]
    for part in parts:
        part.mkdir(parents=True, exist_ok=True)
    return configs_dir, made


def _remove_if_empty(directories: list[Path]) -> None:
    """Takes away the directories a run made and left empty: a run that wrote nothing leaves no trace."""
    for directory in sorted(directories, key=lambda d: len(d.parts), reverse=True):
        try:
            directory.rmdir()
        except OSError:
            pass


def _select(entries: list[Entry], requested: list[str] | None) -> tuple[list[Entry], list[Record]]:
    """The usable entries of the requested names (all names when None), and a record for each left out.

    The module exports every entry of a name it is handed, so a name with one
    unusable entry is left out with all its entries.
    """
    wanted_names = None if requested is None else set(requested)
    wanted = [e for e in entries if wanted_names is None or e.name in wanted_names]
    unusable: dict[str, Entry] = {}
    for entry in wanted:
        if entry.problem:
            unusable.setdefault(entry.name, entry)
    left_out = [
        Record(e.name, e.tag, e.versioned, "left out", e.problem or _same_name(unusable[e.name]))
        for e in wanted
        if e.name in unusable
    ]
    known = {e.name for e in entries}
    missing = [name for name in dict.fromkeys(requested or ()) if name not in known]
    left_out += [Record(name, None, None, "not in the registry") for name in missing]
    return [e for e in wanted if e.name not in unusable], left_out


def _same_name(entry: Entry) -> str:
    return f"entry {entry.position} of {entry.kind}, of the same name, is unusable: {entry.problem}"


def _generate(args, location: str, out, err, report: dict[str, Any]) -> int:
    """One run on the tree, under its file lock: plan from the lock and the registry, generate, commit."""
    configs_dir, made = _configs_dir(args.output_dir)
    report["tree"] = str(configs_dir)
    try:
        return _generate_in(args, location, configs_dir, out, err, report)
    finally:
        _remove_if_empty(made)


def _generate_in(args, location: str, configs_dir: Path, out, err, report: dict[str, Any]) -> int:

    def waiting():
        err.print(f"corvel-generate: another run is writing {configs_dir}; waiting for it to end", markup=False)

    with TreeLock(configs_dir, waiting), ExitStack() as cleanup:
        try:
            lockfile.recover(configs_dir)
            lock = lockfile.read_lock(configs_dir)
        except LockError as error:
            raise Stop(str(error)) from error
        if args.frozen and lock is None:
            raise Stop(f"--frozen generates what a lock holds, and there is no {lockfile.lock_path(configs_dir)}")
        try:
            legacy = {} if lock is not None else lockfile.legacy_connectors(configs_dir)
        except LockError as error:
            raise Stop(str(error)) from error
        stale, index_stale = lockfile.stale_names(configs_dir, lock) if lock is not None else (set(), False)
        add = list(args.names) or ([] if lock is not None or legacy or args.all else list(DEFAULT_CONNECTORS))
        locked = lock.names() if lock is not None else set()
        needs_registry = not args.frozen and bool(
            args.all or args.upgrade is not None or legacy or any(name not in locked for name in add)
        )
        runner = None
        document = entries = None
        if needs_registry:
            runner = _start_runner(args, cleanup)  # it warms up while airbyte is imported
            report["registry"] = location
            document, entries = _read_entries(location)
        else:
            report["registry"] = None
        try:
            planned, missing, dropped = lockfile.plan(
                lock, stale, entries, document, add=add, every=args.all, upgrade=args.upgrade, remove=args.remove,
                legacy=legacy,
            )
        except PlanError as error:
            raise Stop(str(error)) from error
        if lost := [name for name in missing if name in legacy]:
            raise Stop(
                f"{configs_dir / INDEX} was written without a lock and imports {', '.join(lost)}, which the registry "
                "does not offer, so they could not be generated again; use a registry that has them, or leave them "
                "out with --remove"
            )
        left_out = _select(entries, missing)[1] if entries is not None else []
        for record in left_out:
            if record.name in locked:
                record.reason += f"; kept at {', '.join(r.tag for r in lock.records if r.name == record.name)}"
        del document  # the module reads the composed registry; this one need not stay for the whole run
        if (lock is not None or not planned) and all(p.change == KEPT for p in planned) and not dropped and not index_stale:
            return _nothing_to_do(out, configs_dir, lock, planned, left_out, report)
        if runner is None:
            runner = _start_runner(args, cleanup)
        return _regenerate(args, runner, configs_dir, lock, planned, left_out, out, err, report)


def _start_runner(args, cleanup: ExitStack):
    """The generator runner: the shell with --spawn, else a warm pool, closed with the run (its runs in flight
    killed when the run did not end normally)."""
    if args.spawn:
        return subprocess
    runner = WarmPool(args.jobs, _cache(args))
    runner.interrupted = True  # until the module has returned
    cleanup.callback(lambda: runner.close(kill=runner.interrupted))
    if script := console_script(GENERATOR):
        runner.start_early(script)
    return runner


def _never_disabled(_location: str) -> bool:
    """The composed registry is a file of this run's own: airbyte's offline switch does not apply to it."""
    return False


def _regenerate(args, runner, configs_dir: Path, lock: Lock | None, planned: list[Planned], left_out: list[Record],
                out, err, report: dict[str, Any]) -> int:
    """Has the generator module write the planned set into a staging tree, then commits what was written."""
    held = [p.record for p in planned]
    with ExitStack() as cleanup:
        registry_file = lockfile.composed_registry_file(held)
        cleanup.callback(registry_file.cleanup)
        staging = Staging(configs_dir)
        cleanup.callback(staging.discard)

        with quiet_airbyte_import():  # the module's start-up imports airbyte
            import corvel.model_generator as mg

        composed = os.path.join(registry_file.name, lockfile.REGISTRY_FILE)
        steered = {"CURRENT_DIR": str(staging.root), "_get_registry_url": lambda: composed,
                   "_is_registry_disabled": _never_disabled}
        for name in (*steered, "subprocess"):
            cleanup.callback(setattr, mg, name, getattr(mg, name))
        vars(mg).update(steered)
        recorder = RunRecorder(None, None, {r.versioned: r.label for r in held}, runner)
        try:
            names = _run_module(mg, sorted({r.name for r in held}), recorder, out)
            if runner is not subprocess:
                runner.interrupted = False
        except Stop:
            raise
        except Exception as error:
            err.print(f"corvel-generate: generation stopped: {type(error).__name__}: {error}", markup=False)
            return 1
        if runner is not subprocess and runner.shell_runs:
            err.print(
                f"corvel-generate: {runner.shell_runs} of {runner.shell_runs + runner.warm_runs} runs went through "
                f"the shell: the {GENERATOR} on PATH ({shutil.which(GENERATOR)}) is not the one installed with corvel",
                markup=False,
            )
        records = _generated_records(staging.tree, names, {r.versioned: r for r in held}, recorder.outcomes)
        removed = _commit(staging, lock, planned, records, set(args.remove))
    changes = {p.record.versioned: p for p in planned}
    for record in records:
        record.model_path = str(configs_dir / lockfile.file_paths(record.versioned_name)[1])
        record.change, record.previous_version = changes[record.versioned_name].change, changes[record.versioned_name].previous
    records = left_out + records + removed
    report["connectors"] = [asdict(record) for record in records]
    return _summary(out, configs_dir, records, True, args.verbose)


def _commit(staging: Staging, lock: Lock | None, planned: list[Planned], records: list[Record],
            removing: set[str]) -> list[Record]:
    """Puts what was written into the tree with its new lock; the records of the connectors removed."""
    written = {r.versioned_name for r in records if r.status == "written"}
    removed = lockfile.commit_run(staging, lock, planned, written, removing)
    return [Record(r.name, r.tag, r.versioned, "removed", class_name=r.class_name, change=REMOVED) for r in removed]


def _nothing_to_do(out, configs_dir: Path, lock: Lock | None, planned: list[Planned], left_out: list[Record],
                   report: dict[str, Any]) -> int:
    records = left_out + [
        Record(p.record.name, p.record.tag, p.record.versioned, "up to date", class_name=p.record.class_name,
               model_path=str(configs_dir / lockfile.file_paths(p.record.versioned)[1]), change=KEPT)
        for p in planned
    ]
    report["connectors"] = [asdict(record) for record in records]
    if lock is None:
        status = _summary(out, configs_dir, records, False, False)
        return status if records else 1
    out.print(f"{configs_dir} is up to date: {len(planned)} connector models, as {lockfile.LOCK_NAME} names them",
              markup=False)
    return _summary(out, configs_dir, records, False, False) if left_out else 0


def _cache(args) -> ModelCache | None:
    return None if args.no_cache else ModelCache(args.cache_dir or default_directory())


def _run_module(mg, handed: list[str], recorder: RunRecorder, out) -> list[str]:
    """Both operations of the generator module, under a progress bar; the versioned names it exported."""
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

    columns = (SpinnerColumn(), TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn())
    with Progress(*columns, console=out) as progress:
        task = progress.add_task("exporting schemas", total=None)
        exported = mg.generate_jsonschema_files(handed)
        if isinstance(exported, dict):  # the module's answer when the registry is switched off
            raise Stop("the connector registry is switched off")
        names = list(exported)
        progress.update(task, total=len(names), completed=0, description="generating models")
        recorder.progress, recorder.task = progress, task
        if names and recorder.runner is not subprocess:
            recorder.runner.expect(names)
        mg.subprocess = recorder
        mg.generate_model_files(names)  # with no names, the index of a tree that holds none
        progress.update(task, description="done")
    return names


def _generated_records(tree: Path, names: list[str], entries: dict[str, Entry], outcomes: list[RunOutcome]):
    """A record for each versioned name the module returned, with the outcome of the run made for it.

    The module runs the generator once per name, in order, so the n-th run
    belongs to the n-th name; the name read from the command must agree.
    """
    index = tree / "__init__.py"
    classes = lockfile.index_classes(index) if names and index.exists() else {}
    records = []
    for position, versioned in enumerate(names):
        entry = entries.get(versioned)
        outcome = outcomes[position] if position < len(outcomes) else None
        if outcome is not None and outcome.versioned != versioned:
            outcome = None
        returncode = outcome.returncode if outcome else None
        model = tree / "model" / f"{versioned}.py"
        class_name = classes.get(versioned)
        record = Record(
            entry.name if entry else versioned, entry.tag if entry else None, versioned, "failed",
            class_name=class_name, model_path=str(model), returncode=returncode,
            from_cache=bool(outcome and outcome.from_cache),
        )
        if returncode is None:
            record.reason = f"no {GENERATOR} run was seen for it"
        elif returncode != 0:
            record.reason = f"{GENERATOR} exited with status {returncode} (report above)"
        elif not model.exists():
            record.reason = f"{GENERATOR} wrote no model"
        elif class_name and f"class {class_name}(" not in model.read_text(encoding="utf-8"):
            record.reason = f"the model has no class {class_name}"
        else:
            record.status = "written"
        records.append(record)
    return records


def _summary(out, tree: Path, records: list[Record], generated: bool, verbose: bool) -> int:
    """Connectors not written first, each with its reason, then what changed in the tree; the rest as a count,
    or listed with verbose."""
    from rich.table import Table
    from rich.text import Text

    held = [r for r in records if r.status != "removed"]
    written = [r for r in held if r.status == "written"]
    failed = [r for r in held if r.status not in ("written", "up to date")]
    changed = [r for r in records if r not in failed and r.change not in (None, KEPT)]
    rest = [r for r in records if r not in failed and r not in changed]
    if generated:
        out.print(f"{len(written)} of {len(held)} connector models written to {tree}", markup=False)
    listed = changed if verbose or len(changed) <= CHANGES_LISTED else []
    shown = failed + listed + (rest if verbose else [])
    if shown:
        table = Table("connector", "result", "class", box=None, pad_edge=False)
        for record in shown:
            table.add_row(*map(Text, (record.label, _result(record), record.class_name or "")))  # registry text is no markup
        out.print(table)
    unlisted = [r for r in changed + rest if r not in shown]
    if unlisted and generated:
        counts = Counter(r.change or r.status for r in unlisted)
        out.print(f"{', '.join(f'{n} {change}' for change, n in counts.items())}; --verbose lists them", markup=False)
    cached = sum(r.from_cache for r in written)
    if cached:
        out.print(f"{cached} of the models written came from the cache", markup=False)
    if not generated and not any(r.status == "up to date" for r in records):
        out.print("Nothing was generated; the tree was left as it was.", markup=False)
    return 1 if failed else 0


def _result(record: Record) -> str:
    if record.status not in ("written", "up to date", "removed"):
        return f"{record.status}: {record.reason}" if record.reason else record.status
    if record.change == UPGRADED:
        return f"upgraded from {record.previous_version} to {record.version}"
    return record.change or record.status


if __name__ == "__main__":
    sys.exit(main())

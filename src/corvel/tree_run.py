"""One run of ``corvel-generate`` on a tree, phase by phase.

``run`` takes the parsed command line and carries the run out under the
tree's turn (``corvel.turns``): a run stopped midway is finished
(``corvel.commit.recover``), the lock is read, the run is planned from it
and the request (reading the registry only when the plan needs it), the
generator runner is warmed, the manifests the tree is to vendor are fetched
(``corvel.manifests``; with a registry file, as soon as airbyte has loaded
its offline switch, while the rest of it is imported), the generator module
writes the planned set into a staging tree, and what was written is
committed with the new lock.  What became of each connector comes back as
records for the command line to summarise.

The generator module is run through ``corvel.generator_boundary``, with a
registry composed of exactly the entries the tree is to hold.  Its runs are
carried out warm (``corvel.fast_mode``, with models of earlier identical
runs from ``corvel.model_cache``) unless ``--spawn`` asks for the shell.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import traceback
from concurrent.futures import Future, ThreadPoolExecutor
from collections.abc import Iterable
from contextlib import ExitStack
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

from corvel import commit, manifests, own_manifests, plan, registry, upgrades
from corvel.commit import Staging
from corvel.errors import CorvelError
from corvel.fast_mode import WarmPool
from corvel.generator_boundary import (CACHED, GENERATOR, SHELL, GeneratorModule, RegistrySwitchedOff, Request, Result,
                                       Runner, ShellRunner, console_script)
from corvel.lock import Lock, LockError, LockRecord, lock_path, read_lock
from corvel.model_cache import ModelCache, default_directory
from corvel.plan import ADDED, KEPT, REGENERATED, REMOVED, UPGRADED, PlanError, Planned
from corvel.registry import KINDS, Entry, RegistryError, connector_name, is_remote, registry_entries
from corvel.tree import INDEX, JSONSCHEMA, LOCK_NAME, MODEL, Tree, file_paths, index_bindings, model_apart, model_classes
from corvel.turns import RunTurn

DEFAULT_CONNECTORS = ("source-file", "destination-sftp-json", "destination-csv")
# what became of a manifest the run fetched
VENDORED, FETCHED_AGAIN, NOT_VENDORED = "vendored", "fetched again", "not vendored"
# how a run ended, for its summary
GENERATED, UP_TO_DATE, NOTHING_GENERATED, GENERATION_STOPPED = "generated", "up to date", "nothing generated", "stopped"
DRY_RUN = "dry run"
PLANNED = "planned"  # a connector's status in a dry run: its change is what the run would do


class Stop(CorvelError):
    """Ends a run before the generator module wrote anything; the message says why."""


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
    connector_kind: str | None = None  # how airbyte runs it: pypi, manifest or docker
    manifest: str | None = None  # of a manifest fetched by the run: VENDORED, FETCHED_AGAIN or NOT_VENDORED
    manifest_error: str = ""  # why it is NOT_VENDORED

    @property
    def label(self) -> str:
        return f"{self.name} {self.version or ''}".strip()


@dataclass
class Ending:
    """How a run ended: the tree's package directory, a record per connector, and ``how`` (GENERATED,
    UP_TO_DATE for a locked tree that needed nothing, NOTHING_GENERATED for one without a lock,
    GENERATION_STOPPED when the module raised)."""

    directory: Path
    records: list[Record]
    how: str
    notes: list[str] = field(default_factory=list)  # what the summary says first
    previews: list[upgrades.Preview] = field(default_factory=list)  # what changes for the connectors that move
    checks: list[ConfigCheck] = field(default_factory=list)  # the --check-config results


@dataclass
class ConfigCheck:
    """A user's stored configuration checked against one version of its connector's class."""

    name: str
    file: str
    version: str | None  # None: the tree does not hold the connector
    against: str  # "locked", or "new" for the version a dry run would move to
    problems: list[str]


def read_entries(location: str, switch_first: bool = True) -> tuple[Any, list[Entry]]:
    """registry.read_entries, its failure a Stop."""
    try:
        return registry.read_entries(location, switch_first)
    except RegistryError as error:
        raise Stop(str(error)) from error


def _stop_if_switched_off(location: str) -> None:
    try:
        registry.stop_if_switched_off(location)
    except RegistryError as error:
        raise Stop(str(error)) from error


def outdated_run(tree: Tree, location: str, report: dict[str, Any]) -> list[upgrades.Outdated]:
    """Each locked connector of TREE beside the registry's current version; reads the registry once and
    writes nothing."""
    try:
        lock = read_lock(tree.directory)
    except LockError as error:
        raise Stop(str(error)) from error
    if lock is None:
        raise Stop(f"--outdated compares a lock with the registry, and there is no {lock_path(tree.directory)}")
    report["tree"] = str(tree.directory)
    report["registry"] = location = registry.resolved(location)
    document, entries = read_entries(location)
    rows = upgrades.outdated(lock, entries, document)
    report["outdated"] = [row.as_json() for row in rows]
    return rows


def _configs_dir(tree: Tree) -> tuple[Path, list[Path]]:
    """The tree's package directory, and the directories made for it."""
    configs_dir = tree.directory
    parts = [configs_dir / JSONSCHEMA, configs_dir / MODEL]
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
    left_out += [Record(name, None, None, "not in the registry", registry.did_you_mean(name, entries))
                 for name in missing]
    return [e for e in wanted if e.name not in unusable], left_out


def _same_name(entry: Entry) -> str:
    return f"entry {entry.position} of {entry.kind}, of the same name, is unusable: {entry.problem}"


def run(args, location: str, tree: Tree, out, err, report: dict[str, Any]) -> Ending:
    """One run on TREE, in its turn: plan from the lock and the registry, generate, commit.

    ARGS is the parsed command line, LOCATION the registry's; the progress
    bar goes to OUT and notices to ERR, and REPORT gets the tree, the
    registry read and a record per connector.
    """
    configs_dir, made = _configs_dir(tree)
    report["tree"] = str(configs_dir)
    try:
        return _run_in(args, location, tree, out, err, report)
    finally:
        _remove_if_empty(made)


def _run_in(args, location: str, tree: Tree, out, err, report: dict[str, Any]) -> Ending:
    configs_dir = tree.directory

    def waiting():
        err.print(f"corvel-generate: another run is writing {configs_dir}; waiting for it to end", markup=False)

    with RunTurn(configs_dir, waiting), ExitStack() as cleanup:
        if args.dry_run and (configs_dir / commit.STAGING / commit.JOURNAL).exists():
            raise Stop(f"a run on {configs_dir} was stopped while moving its files; run once without --dry-run to "
                       "finish it")
        try:
            recovered = [] if args.dry_run else commit.recover(configs_dir)
            lock = read_lock(configs_dir)
        except (LockError, commit.CommitError) as error:
            raise Stop(str(error)) from error
        if args.frozen and lock is None:
            raise Stop(f"--frozen generates what a lock holds, and there is no {lock_path(configs_dir)}")
        resettled = lock is not None and not lock.current_settings()
        if resettled and args.frozen:
            raise Stop(
                f"{lock.path} was written with other generator settings than this corvel's, so --frozen cannot write "
                "the files it records; run corvel-generate without --frozen once (every connector is generated "
                "again, at its locked version) and commit the new lock"
            )
        try:
            legacy = {} if lock is not None else plan.legacy_connectors(configs_dir)
        except LockError as error:
            raise Stop(str(error)) from error
        stale, index_stale = plan.stale_names(configs_dir, lock, tree.is_project) if lock is not None \
            else (set(), False)
        # the command line's choice, else the lock's; a project that wants the classes alone vendors nothing
        vendor = args.manifests if args.manifests is not None else lock is None or lock.vendor_manifests
        vendor_changed = lock is not None and lock.vendor_manifests != vendor
        try:
            own = own_manifests.requested(args.own_manifests, lock.records if lock else [], args.project_dir) \
                if not args.frozen else own_manifests.Requested([], [], [])
        except own_manifests.ManifestError as error:
            raise Stop(f"{error}; nothing was written") from error
        own_names = [o.name for o in own.loaded]
        add = list(args.names) or ([] if lock is not None or legacy or args.all or args.own_manifests
                                   else list(DEFAULT_CONNECTORS))
        locked = lock.names() if lock is not None else set()
        needs_registry = not args.frozen and bool(
            args.all or args.upgrade is not None or legacy or any(name not in locked for name in add)
        )
        add += [name for name in own_names if name not in add]
        upgrade = args.upgrade if args.upgrade in (None, []) else args.upgrade + own.changed
        if upgrade is None and own.changed:
            upgrade = own.changed
        runner = None
        document = entries = None
        switch_unknown = False  # a registry file is read before airbyte's offline switch is known
        if needs_registry:
            runner = _start_runner(args, cleanup)  # it warms up while airbyte is imported
            report["registry"] = location = registry.resolved(location)
            switch_unknown = not is_remote(location)
            document, entries = read_entries(location, switch_first=not switch_unknown)
        else:
            report["registry"] = None
        if own.loaded:
            document, entries = _with_own(document, own.loaded)
        try:
            planned, missing, dropped = plan.plan(
                lock, stale, entries, document, add=add, every=args.all, upgrade=upgrade, remove=args.remove,
                legacy=legacy,
            )
        except PlanError as error:
            raise Stop(str(error)) from error
        for change in planned:  # an edited manifest keeps its version: its class is generated again, not upgraded
            if change.change == UPGRADED and change.record.own_source and change.previous == change.record.tag:
                change.change, change.previous = REGENERATED, None
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
        moves = _moves(configs_dir, lock, planned)
        # the user's own manifests are vendored whatever the tree's choice: no store has them
        fetching = [r for r in plan.stale_manifests(configs_dir, planned) if vendor or r.own_source]
        generating = not ((lock is not None or not planned) and all(p.change == KEPT for p in planned)
                          and not dropped and not index_stale)
        from_store = [r for r in fetching if not r.own_source]
        fetching_early = None
        if switch_unknown:
            beside_generation = from_store if generating and not args.dry_run else []
            fetching_early = _switch_then_fetch(args, location, beside_generation, cleanup)
        if args.dry_run:
            return _dry_run(args, runner, tree, lock, planned, dropped, left_out, moves, out, err, report, cleanup)
        if not generating and not fetching and not vendor_changed:
            ending = _nothing_to_do(configs_dir, lock, planned, left_out, report)
            ending.checks = _check_configs(args.check_config, ending.records)
            report["config_checks"] = [asdict(check) for check in ending.checks]
            ending.notes[:0] = recovered + own.notes
            return ending
        if generating and runner is None:
            runner = _start_runner(args, cleanup)
        own_answers = {r.versioned: own_manifests.vendored_answer(r, {o.name: o for o in own.loaded}, args.project_dir)
                       for r in fetching if r.own_source}
        ending = _write(args, runner if generating else None, tree, lock, planned, left_out, from_store,
                        fetching_early, vendor, out, err, report, own_answers)
        ending.notes[:0] = recovered + own.notes
        ending.previews = _previews(moves, ending.records, configs_dir)
        ending.checks = _check_configs(args.check_config, ending.records, previews=ending.previews)
        report["upgrades"] = [preview.as_json() for preview in ending.previews]
        report["config_checks"] = [asdict(check) for check in ending.checks]
        if resettled:
            ending.notes.append(
                f"{LOCK_NAME} was written with other generator settings (an earlier corvel's): every "
                "connector was generated again with this corvel's, at its locked version; classes may have changed "
                "shape (members are their values, with no wrapper classes)"
            )
        return ending


@dataclass
class _Move:
    """A connector the plan upgrades: what the move changes, and the locked model's names, read before a real
    run deletes that model (or why they could not be)."""

    preview: upgrades.Preview
    planned: Planned
    old_names: dict | str


def _moves(configs_dir: Path, lock: Lock | None, planned: list[Planned]) -> list[_Move]:
    """A _Move for each entry the plan upgrades from a locked one."""
    moves = []
    for moving in planned:
        if moving.change != UPGRADED or lock is None:
            continue
        before = [r for r in lock.records if r.name == moving.record.name]
        old = next((r for r in before if r.kind == moving.record.kind), before[0] if before else None)
        if old is None:  # carried over from an index without a lock: no locked entry to compare with
            continue
        moves.append(_Move(upgrades.preview(old, moving.record), moving,
                           upgrades.names_of(configs_dir / file_paths(old.versioned)[1])))
    return moves


def _previews(moves: list[_Move], records: list[Record], models: Path) -> list[upgrades.Preview]:
    """The moves' previews completed with the names of the new models written under MODELS (a tree's
    connector_configs/); a move whose model was not written keeps only its schema changes."""
    written = {r.versioned_name for r in records if r.status == "written"}
    for move in moves:
        versioned = move.planned.record.versioned
        if versioned in written:
            upgrades.compare_names(move.preview, move.old_names, models / file_paths(versioned)[1])
        else:
            move.preview.model_problem = "the new model was not written"
    return [move.preview for move in moves]


def _dry_run(args, runner, tree: Tree, lock: Lock | None, planned: list[Planned], dropped: list[LockRecord],
             left_out: list[Record], moves: list[_Move], out, err, report: dict[str, Any],
             cleanup: ExitStack) -> Ending:
    """The plan, and what it changes for the user, with nothing written to the tree: the models of the
    connectors that would be added or moved are generated into a temporary tree, through the generator module
    as a real run would (so a real run after it takes them from the cache)."""
    configs_dir = tree.directory
    records = left_out + [
        Record(p.record.name, p.record.tag, p.record.versioned, PLANNED, class_name=p.record.class_name,
               model_path=str(configs_dir / file_paths(p.record.versioned)[1]), change=p.change,
               previous_version=p.previous, connector_kind=p.record.connector_kind)
        for p in planned]
    records += [Record(r.name, r.tag, r.versioned, PLANNED, class_name=r.class_name, change=REMOVED,
                       connector_kind=r.connector_kind) for r in dropped if r.name in args.remove]
    new = [p.record for p in planned if p.change in (ADDED, UPGRADED)]
    previews = [move.preview for move in moves]
    if new and (moves or args.check_config):
        scratch = _ScratchTree(Path(cleanup.enter_context(tempfile.TemporaryDirectory(prefix="corvel-dry-run-"))))
        generated = _generate(runner or _start_runner(args, cleanup), scratch, new, out, err, args.generator_path)
        written = {r.versioned_name for r in generated if r.status == "written"}
        for record in records:  # the new classes the configurations are checked against
            if record.change in (ADDED, UPGRADED):
                record.model_path = str(scratch.directory / file_paths(record.versioned_name)[1]) \
                    if record.versioned_name in written else None
        previews = _previews(moves, generated, scratch.directory)
    checks = _check_configs(args.check_config, records, lock, configs_dir, previews)
    report["connectors"] = [asdict(record) for record in records]
    report["upgrades"] = [preview.as_json() for preview in previews]
    report["config_checks"] = [asdict(check) for check in checks]
    return Ending(configs_dir, records, DRY_RUN, previews=previews, checks=checks)


@dataclass
class _ScratchTree:
    """A tree of a dry run's own, outside the real one: the generator module writes here."""

    root: Path

    def __post_init__(self) -> None:
        for part in (JSONSCHEMA, MODEL):
            (self.directory / part).mkdir(parents=True)

    @property
    def directory(self) -> Path:
        return self.root / "connector_configs"


def _check_configs(wanted: list[tuple[str, dict, str]], records: list[Record], lock: Lock | None = None,
                   configs_dir: Path | None = None, previews: Iterable[upgrades.Preview] = ()) -> list[ConfigCheck]:
    """Each stored configuration of WANTED (name, configuration, file) checked against its connector's class:
    in a dry run (with its LOCK) the locked class and the one the run would move to, else the class the tree
    holds after the run (RECORDS). The members an upgrade of PREVIEWS removed are flagged in the new class's."""
    checks = []
    for name, config, file in wanted:
        removed = upgrades.removed_members(previews, name)
        if lock is not None:
            against = [(r.tag, "locked", configs_dir / file_paths(r.versioned)[1], r.class_name)
                       for r in lock.records if r.name == name]
            against += [(r.version, "new", r.model_path and Path(r.model_path), r.class_name) for r in records
                        if r.name == name and r.status == PLANNED and r.change in (ADDED, UPGRADED)]
        else:
            against = [(r.version, "locked", Path(r.model_path), r.class_name) for r in records
                       if r.name == name and r.status in ("written", "up to date") and r.model_path]
        if not against:
            checks.append(ConfigCheck(name, file, None, "locked", ["the tree does not hold this connector"]))
        for version, which, model, class_name in against:
            problems = upgrades.check_config(model, class_name, config, f"{name} {version}",
                                             removed if which == "new" or lock is None else ()) if model else [
                "its new model could not be generated (see above)"]
            checks.append(ConfigCheck(name, file, version, which, problems))
    return checks


def _start_runner(args, cleanup: ExitStack) -> Runner:
    """The generator runner: the shell with --spawn, else a warm pool, closed with the run (its runs in flight
    killed when the run did not end normally)."""
    if args.spawn:
        return ShellRunner()
    runner = WarmPool(args.jobs, _cache(args))
    cleanup.push(lambda *exc_info: runner.close(kill=exc_info[0] is not None))
    if script := console_script(GENERATOR, args.generator_path):
        runner.start_early(script)
    return runner


def _write(args, runner, tree: Tree, lock: Lock | None, planned: list[Planned], left_out: list[Record],
           fetching: list[LockRecord], fetching_early: Future | None, vendor: bool, out, err, report: dict[str, Any],
           own_answers: dict[str, manifests.Fetched | manifests.FetchError]) -> Ending:
    """Fetches the manifests to vendor (FETCHING_EARLY: their fetch, already under way) and, with a RUNNER,
    has the generator module write the planned set, both into a staging tree; then commits what was written.
    OWN_ANSWERS are the user's own manifests to vendor, already read.

    While the generator runs, the manifests are fetched beside it (without a bar of their own: the
    generator's shows). When they are not all in by the time it is done, what it wrote is committed first and
    the manifests follow in a commit of their own: a slow or unreachable store then costs no more than
    generating and committing do, and a run stopped in between leaves a whole tree whose next run fetches
    them again."""
    configs_dir = tree.directory
    with ExitStack() as cleanup:
        staging = Staging(configs_dir)
        cleanup.callback(staging.discard)
        if runner is None:
            fetched = {**_fetch_manifests(args, fetching, out), **own_answers}
            records = _kept_records(configs_dir, planned)
            removed = _commit(staging, lock, planned, None, set(args.remove), fetched, tree, vendor)
        else:
            _check_store(fetching)  # before the generator runs, not after
            beside = cleanup.enter_context(ThreadPoolExecutor(1, thread_name_prefix="corvel-fetch"))
            fetching_beside = fetching_early or beside.submit(_fetch_manifests, args, fetching, None)
            try:
                records = _generate(runner, staging, [p.record for p in planned], out, err, args.generator_path)
            except Stop:
                raise
            except Exception as error:  # a fault of corvel's own included: one line for the user, and the
                # traceback where a maintainer looks (--verbose, the report)
                err.print(f"corvel-generate: generation stopped: {type(error).__name__}: {error}", markup=False)
                report["traceback"] = traceback.format_exc()
                if args.verbose:
                    err.print(report["traceback"], markup=False, end="")
                return Ending(configs_dir, [], GENERATION_STOPPED)
            written = {r.versioned_name for r in records if r.status == "written"}
            if fetching_beside.done():  # the answers are in (from the cache, say): one commit holds everything
                fetched = fetching_beside.result()
                removed = _commit(staging, lock, planned, written, set(args.remove), {**fetched, **own_answers},
                                  tree, vendor)
            else:
                removed = _commit(staging, lock, planned, written, set(args.remove), own_answers, tree, vendor)
                fetched = fetching_beside.result()
                if any(isinstance(answer, manifests.Fetched) for answer in fetched.values()):
                    with_manifests = Staging(configs_dir)
                    cleanup.callback(with_manifests.discard)
                    committed = read_lock(configs_dir)
                    _commit(with_manifests, committed, [Planned(r, KEPT) for r in committed.records], None, set(),
                            fetched, tree, vendor)
            fetched = {**fetched, **own_answers}
    changes = {p.record.versioned: p for p in planned}
    for record in records:
        change = changes[record.versioned_name]
        record.model_path = str(configs_dir / file_paths(record.versioned_name)[1])
        record.change, record.previous_version = change.change, change.previous
        _note_manifest(record, change.record, fetched.get(record.versioned_name))
    records = left_out + records + [
        Record(r.name, r.tag, r.versioned, "removed", class_name=r.class_name, change=REMOVED,
               connector_kind=r.connector_kind) for r in removed]
    report["connectors"] = [asdict(record) for record in records]
    return Ending(configs_dir, records, GENERATED if runner is not None else UP_TO_DATE,
                  notes=manifests.unreachable_notes(fetched.values()))


def _commit(staging: Staging, lock: Lock | None, planned: list[Planned], written: set[str] | None,
            removing: set[str], answers: dict[str, manifests.Fetched | manifests.FetchError], tree: Tree,
            vendor: bool) -> list[LockRecord]:
    """Vendors the manifests among ANSWERS into STAGING and commits it (commit.commit_run); the records removed."""
    vendored = {versioned: manifests.vendor(staging.directory, versioned, answer)
                for versioned, answer in answers.items() if isinstance(answer, manifests.Fetched)}
    try:
        return commit.commit_run(staging, lock, planned, written, removing, vendored, is_project=tree.is_project,
                                 vendor_manifests=vendor)
    except commit.CommitError as error:
        raise Stop(str(error)) from error


def _with_own(document: Any, own: list[own_manifests.Own]) -> tuple[dict, list[Entry]]:
    """The registry DOCUMENT (None when none was read) with the entries of the user's own manifests in place of
    any of the same name, and its entries."""
    names = {o.name for o in own}
    document = document or {"sources": [], "destinations": []}
    composed = {kind: [e for e in document[kind] if connector_name(e["dockerRepository"]) not in names]
                for kind in KINDS}
    composed["sources"] += [o.entry for o in own]
    return composed, registry_entries(composed)


def _check_store(fetching: list[LockRecord], store: manifests.AirbyteStore | None = None) -> None:
    """Stop when manifests are to be fetched and the location or timeout of the store (by default the
    installed airbyte's) cannot be used."""
    if fetching:
        try:
            (store or manifests.AirbyteStore.installed()).urls("{name}", "{version}")
            manifests.fetch_timeout()
        except manifests.StoreError as error:
            raise Stop(str(error)) from error


def _fetch_manifests(args, fetching: list[LockRecord], out,
                     store: manifests.AirbyteStore | None = None) -> dict[str, manifests.Fetched | manifests.FetchError]:
    """The manifests of FETCHING from STORE (by default the installed airbyte's; through the cache), by
    versioned name, under a progress bar on OUT when given."""
    if not fetching:
        return {}
    store = store or manifests.AirbyteStore.installed()
    _check_store(fetching, store)
    cache = None if args.no_cache or args.spawn else manifests.ManifestCache(args.cache_dir or default_directory())
    if out is None:
        return manifests.fetch_all(fetching, store, args.jobs or 1, cache)
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn

    with Progress(TextColumn("fetching manifests"), BarColumn(), MofNCompleteColumn(), console=out) as progress:
        task = progress.add_task("", total=len(fetching))
        return manifests.fetch_all(fetching, store, args.jobs or 1, cache, lambda: progress.advance(task))


def _switch_then_fetch(args, location: str, fetching: list[LockRecord], cleanup: ExitStack) -> Future | None:
    """Stop when airbyte's offline switch turns the registry file at LOCATION off, as _stop_if_switched_off.

    Asking imports airbyte, which takes seconds. Meanwhile the manifests of
    FETCHING are fetched from the moment airbyte has loaded the switch, from
    its store as an earlier run remembered it (``manifests.remembered_store``),
    so that a store that answers slowly, or not at all, is waited for beside
    the rest of the import rather than after it. The future of that fetch;
    None when it did not start (nothing remembered, the caches off, airbyte
    imported already), or when the store it asked is no longer airbyte's,
    whose answers are then left to end unused with the run.
    """
    from corvel.compat import watching_registry_switch

    directory = args.cache_dir or default_directory()
    early = bool(fetching) and not (args.no_cache or args.spawn)
    remembered = manifests.remembered_store(directory) if early else None
    started: list[Future] = []

    def switch_loaded(switched_off) -> None:
        if remembered is not None and not started and not switched_off(location):
            beside = cleanup.enter_context(ThreadPoolExecutor(1, thread_name_prefix="corvel-fetch"))
            started.append(beside.submit(_fetch_manifests, args, fetching, None, remembered))

    with watching_registry_switch(switch_loaded):
        _stop_if_switched_off(location)  # imports airbyte
    if not early:
        return None
    installed = manifests.AirbyteStore.installed()
    if installed != remembered:
        manifests.remember_store(directory, installed)
        return None
    return started[0] if started else None


def _note_manifest(record: Record, planned: LockRecord, answer) -> None:
    """What became of RECORD's manifest, when the run fetched one for it."""
    record.connector_kind = planned.connector_kind
    if answer is None or record.status not in ("written", "up to date"):
        return
    if isinstance(answer, manifests.FetchError):
        record.manifest, record.manifest_error = NOT_VENDORED, str(answer)
    else:
        record.manifest = FETCHED_AGAIN if planned.manifest_files else VENDORED


def _generate(runner: Runner, staging: Staging, held: list[LockRecord], out, err, path: str | None) -> list[Record]:
    """Has the generator module write HELD into the staging tree, the generator found on PATH; a record for each
    versioned name it exported."""
    with ExitStack() as cleanup:
        registry_file = plan.composed_registry_file(held)
        cleanup.callback(registry_file.cleanup)
        composed = os.path.join(registry_file.name, plan.REGISTRY_FILE)
        with GeneratorModule(staging.root, composed, runner, path) as module:
            names, results = _run_module(module, sorted({r.name for r in held}), {r.versioned: r.label for r in held},
                                         out)
            records = _generated_records(staging.directory, names, {r.versioned: r for r in held}, results)
            if any(r.status != "written" for r in records):
                # the index again, naming only the models written: one that is missing or does not import would
                # keep the whole index from importing; their runs are answered from their results
                module.generate([r.versioned_name for r in records if r.status == "written"])
    through_shell = sum(result.via == SHELL for result in results.values())
    if through_shell and not isinstance(runner, ShellRunner):
        err.print(
            f"corvel-generate: {through_shell} of {len(results)} runs went through the shell: the {GENERATOR} on "
            f"PATH ({shutil.which(GENERATOR, path=path)}) is not the one installed with corvel",
            markup=False,
        )
    return records


def _kept_records(configs_dir: Path, planned: list[Planned]) -> list[Record]:
    return [Record(p.record.name, p.record.tag, p.record.versioned, "up to date", class_name=p.record.class_name,
                   model_path=str(configs_dir / file_paths(p.record.versioned)[1]), change=KEPT,
                   connector_kind=p.record.connector_kind)
            for p in planned]


def _nothing_to_do(configs_dir: Path, lock: Lock | None, planned: list[Planned], left_out: list[Record],
                   report: dict[str, Any]) -> Ending:
    records = left_out + _kept_records(configs_dir, planned)
    report["connectors"] = [asdict(record) for record in records]
    return Ending(configs_dir, records, NOTHING_GENERATED if lock is None else UP_TO_DATE)


def _cache(args) -> ModelCache | None:
    return None if args.no_cache else ModelCache(args.cache_dir or default_directory())


def _run_module(module: GeneratorModule, handed: list[str], labels: dict[str, str],
                out) -> tuple[list[str], dict[str, Result]]:
    """Both operations of the generator module, under a progress bar: the versioned names it exported, and the
    result of each run it made."""
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

    columns = (SpinnerColumn(), TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn())
    with Progress(*columns, console=out) as progress:
        task = progress.add_task("exporting schemas", total=None)
        try:
            names = module.export(handed)
        except RegistrySwitchedOff as error:
            raise Stop(str(error)) from error
        progress.update(task, total=len(names), completed=0, description="generating models")

        def starting(request: Request) -> None:
            progress.update(task, description=f"{GENERATOR} {labels.get(request.versioned, request.versioned)}")

        results = module.generate(names, starting, lambda: progress.advance(task))
        progress.update(task, description="done")
    return names, results


def import_problem(model: Path) -> str | None:
    """Why a generated model module cannot be imported or its classes cannot be used (pydantic refuses one of
    them, say); None when they can. It runs under a name of its own, which is forgotten afterwards."""
    from pydantic import BaseModel

    try:
        with model_apart(model, "corvel._model_check") as module:
            for value in list(vars(module).values()):  # classes built at first use are built now
                if isinstance(value, type) and issubclass(value, BaseModel) and value.__module__ == module.__name__:
                    value.model_rebuild()
    except Exception as error:
        lines = [line.strip() for line in str(error).strip().splitlines()] or [""]
        told = lines[0] if len(lines) == 1 else f"{lines[0]} ... {lines[-1]}"  # pydantic's cause comes last
        return f"{type(error).__name__}: {told}".rstrip(": ")
    return None


def _generated_records(directory: Path, names: list[str], entries: dict[str, Entry], results: dict[str, Result]):
    """A record for each versioned name the module returned, with the result of the run made for it."""
    index = directory / INDEX
    classes = model_classes(index_bindings(index, is_project=False)) if names and index.exists() else {}
    records = []
    for versioned in names:
        entry = entries.get(versioned)
        result = results.get(versioned)
        returncode = result.returncode if result else None
        model = directory / MODEL / f"{versioned}.py"
        class_name = classes.get(versioned)
        record = Record(
            entry.name if entry else versioned, entry.tag if entry else None, versioned, "failed",
            class_name=class_name, model_path=str(model), returncode=returncode,
            from_cache=bool(result and result.via == CACHED),
        )
        if returncode is None:
            record.reason = f"no {GENERATOR} run was seen for it"
        elif returncode != 0:
            record.reason = f"{GENERATOR} exited with status {returncode} (report above)"
        elif not model.exists():
            record.reason = f"{GENERATOR} wrote no model"
        elif class_name and f"class {class_name}(" not in model.read_text(encoding="utf-8"):
            record.reason = f"the model has no class {class_name}"
        elif problem := import_problem(model):
            record.reason = f"its module does not import: {problem}"
        else:
            record.status = "written"
        records.append(record)
    return records



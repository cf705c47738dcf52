"""One run of corvel on a tree, phase by phase.

``run`` takes the run's options (``corvel.run_options``) and a reporter
(``corvel.reporting``) and carries the run out under the tree's turn
(``corvel.turns``): a run stopped midway is finished
(``corvel.commit.recover``), the lock is read, the run is planned from it
and the request (reading the registry only when the plan needs it,
``corvel.registry_selection``), the generator runner is warmed, the
manifests the tree is to vendor are fetched (``corvel.manifest_fetching``;
with a registry file, as soon as airbyte has loaded its offline switch,
while the rest of it is imported), the generator module writes the planned
set into a staging tree (``corvel.generation``), and what was written is
committed with the new lock; then each source's record classes are
written where they are missing or stale (``corvel.stream_models``, from
the document ``corvel.stream_schemas`` reads) and committed.  What became
of each connector comes back as an ``Ending`` (``corvel.run_outcome``) for
the caller to summarise; a dry run and the configuration checks are
``corvel.dry_run``.
"""

from __future__ import annotations

import json
import traceback
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel import commit, manifests, own_manifests, plan, registry, stream_models, stream_schemas
from corvel.commit import Staging
from corvel.dry_run import Move, check_configs, dry_run, moves, previews
from corvel.errors import CorvelError, Stop
from corvel.generation import generate, import_problem, start_runner
from corvel.generator_boundary import Runner
from corvel.lock import Lock, LockError, LockRecord, data_hash, file_hash, read_lock
from corvel.manifest_fetching import Answers, check_store, fetch_manifests, note_manifest, switch_then_fetch
from corvel.model_cache import default_directory
from corvel.plan import KEPT, REGENERATED, REMOVED, UPGRADED, PlanError, Planned
from corvel.registry import KINDS, is_remote
from corvel.registry_selection import read_entries, select, with_own
from corvel.reporting import QuietReporter, Reporter
from corvel.run_options import RunOptions
from corvel.run_outcome import Ending, How, Record, Status
from corvel.tree import LOCK_NAME, Tree, streams_paths
from corvel.turns import RunTurn

__all__ = ["DEFAULT_CONNECTORS", "Stop", "import_problem", "read_entries", "run"]

DEFAULT_CONNECTORS = ("source-file", "destination-sftp-json", "destination-csv")


def run(options: RunOptions, reporter: Reporter | None = None) -> Ending:
    """One run on the options' tree, in its turn: plan from the lock and the registry, generate, commit.
    Progress and notices go to REPORTER (by default, nowhere). Stop, or another CorvelError, when the run
    could not start; the tree is then as it was."""
    made = options.tree.make_parts()
    try:
        with registry.told_to_airbyte(options.registry):
            return _run_in(options, reporter or QuietReporter())
    finally:
        _remove_if_empty(made)


def _remove_if_empty(directories: list[Path]) -> None:
    """Takes away the directories a run made and left empty: a run that wrote nothing leaves no trace."""
    for directory in sorted(directories, key=lambda d: len(d.parts), reverse=True):
        try:
            directory.rmdir()
        except OSError:  # not empty: the run wrote there
            pass


@dataclass
class _Plan:
    """What a run is to do, settled before anything is generated or written."""

    lock: Lock | None
    planned: list[Planned]
    dropped: list[LockRecord]
    left_out: list[Record]
    moving: list[Move]
    vendor: bool  # whether the tree vendors the manifests of manifest-only connectors
    vendor_changed: bool
    fetching: list[LockRecord]  # the manifests to vendor, the user's own among them
    generating: bool
    resettled: bool  # the lock was written with other generator settings
    registry: str | None  # the registry read; None when the plan needed none
    runner: Runner | None  # started while the registry was read
    switch_unknown: bool  # a registry file was read before airbyte's offline switch was known
    own: own_manifests.Requested

    @property
    def from_store(self) -> list[LockRecord]:
        return [r for r in self.fetching if not r.own_source]


def _run_in(options: RunOptions, reporter: Reporter) -> Ending:
    tree = options.tree

    def waiting() -> None:
        reporter.notice(f"another run is writing {tree.directory}; waiting for it to end")

    with RunTurn(tree.directory, waiting), ExitStack() as cleanup:
        lock, recovered = _lock(options)
        settled = _settle(options, lock, cleanup)
        fetching_early = None
        if settled.switch_unknown:
            beside_generation = settled.from_store if settled.generating and not options.dry_run else []
            fetching_early = switch_then_fetch(options.generation, str(settled.registry), beside_generation, cleanup)
        if options.dry_run:
            ending = dry_run(options, settled.runner, lock, settled.planned, settled.dropped, settled.left_out,
                             settled.moving, reporter, cleanup)
        elif not settled.generating and not settled.fetching and not settled.vendor_changed:
            ending = _nothing_to_do(tree, settled)
            ending.checks = check_configs(options.check_configs, ending.records)
        else:
            if settled.generating and settled.runner is None:
                settled.runner = start_runner(options.generation, cleanup)
            ending = _write(options, settled, fetching_early, reporter)
            ending.previews = previews(settled.moving, ending.records, tree)
            ending.checks = check_configs(options.check_configs, ending.records, moved=ending.previews)
            if settled.resettled:
                ending.notes.append(
                    f"{LOCK_NAME} was written with other generator settings (an earlier corvel's): every "
                    "connector was generated again with this corvel's, at its locked version; classes may have "
                    "changed shape (members are their values, with no wrapper classes)"
                )
        ending.registry = settled.registry
        if not options.dry_run:
            ending.notes[:0] = recovered + settled.own.notes
            if ending.how != How.STOPPED:
                looked_at = {p.record.name for p in settled.planned if p.change != KEPT} | set(options.names)
                ending.notes += _write_streams(options, looked_at)
        return ending


def _lock(options: RunOptions) -> tuple[Lock | None, list[str]]:
    """The tree's lock, once a run stopped midway is finished, and the notes saying so; Stop when the run cannot
    go on from it."""
    tree = options.tree
    if options.dry_run and (tree.directory / commit.STAGING / commit.JOURNAL).exists():
        raise Stop(f"a run on {tree.directory} was stopped while moving its files; run once without --dry-run to "
                   "finish it")
    try:
        recovered = [] if options.dry_run else commit.recover(tree.directory)
        lock = read_lock(tree.directory)
    except (LockError, commit.CommitError) as error:
        raise Stop(str(error)) from error
    if options.frozen and lock is None:
        raise Stop(f"--frozen generates what a lock holds, and there is no {tree.lock_path}")
    if options.frozen and lock is not None and not lock.current_settings():
        raise Stop(
            f"{lock.path} was written with other generator settings than this corvel's, so --frozen cannot write "
            "the files it records; run corvel-generate without --frozen once (every connector is generated "
            "again, at its locked version) and commit the new lock"
        )
    return lock, recovered


def _settle(options: RunOptions, lock: Lock | None, cleanup: ExitStack) -> _Plan:
    """The plan of the run: from the lock, the request and, when they need it, the registry."""
    tree = options.tree
    try:
        legacy = {} if lock is not None else plan.legacy_connectors(tree.directory)
    except LockError as error:
        raise Stop(str(error)) from error
    stale, index_stale = plan.stale_names(tree.directory, lock, tree.is_project) if lock is not None \
        else (set[str](), False)
    # the command line's choice, else the lock's; a project that wants the classes alone vendors nothing
    vendor = options.manifests if options.manifests is not None else lock is None or lock.vendor_manifests
    try:
        own = own_manifests.Requested([], [], []) if options.frozen else own_manifests.requested(
            list(options.own_manifests), lock.records if lock else [], options.project_dir)
    except own_manifests.ManifestError as error:
        raise Stop(f"{error}; nothing was written") from error
    add = list(options.names) or ([] if lock is not None or legacy or options.every or options.own_manifests
                                  else list(DEFAULT_CONNECTORS))
    locked = lock.names() if lock is not None else set[str]()
    needs_registry = not options.frozen and bool(
        options.every or options.upgrade is not None or legacy or any(name not in locked for name in add)
    )
    add += [o.name for o in own.loaded if o.name not in add]
    upgrade = None if options.upgrade is None else [*options.upgrade, *own.changed] if options.upgrade else []
    if upgrade is None and own.changed:
        upgrade = own.changed
    runner = None
    document = entries = None
    switch_unknown = False
    location = None
    if needs_registry:
        runner = start_runner(options.generation, cleanup)  # it warms up while airbyte is imported
        location = registry.resolved(options.registry)
        switch_unknown = not is_remote(location)
        document, entries = read_entries(location, switch_first=not switch_unknown)
    if own.loaded:
        document, entries = with_own(document, own.loaded)
    try:
        planned, missing, dropped = plan.plan(lock, stale, entries, document, add=add, every=options.every,
                                              upgrade=upgrade, remove=list(options.remove), legacy=legacy)
    except PlanError as error:
        raise Stop(str(error)) from error
    for change in planned:  # an edited manifest keeps its version: its class is generated again, not upgraded
        if change.change == UPGRADED and change.record.own_source and change.previous == change.record.tag:
            change.change, change.previous = REGENERATED, None
    if lost := [name for name in missing if name in legacy]:
        raise Stop(
            f"{tree.index} was written without a lock and imports {', '.join(lost)}, which the registry "
            "does not offer, so they could not be generated again; use a registry that has them, or leave them "
            "out with --remove"
        )
    left_out = select(entries, missing)[1] if entries is not None else []
    for record in left_out:
        if lock is not None and record.name in locked:
            record.reason += f"; kept at {', '.join(r.tag for r in lock.records if r.name == record.name)}"
    # the user's own manifests are vendored whatever the tree's choice: no store has them
    fetching = [r for r in plan.stale_manifests(tree.directory, planned) if vendor or r.own_source]
    generating = not ((lock is not None or not planned) and all(p.change == KEPT for p in planned)
                      and not dropped and not index_stale)
    return _Plan(lock, planned, dropped, left_out, moves(tree, lock, planned), vendor,
                 lock is not None and lock.vendor_manifests != vendor, fetching, generating,
                 lock is not None and not lock.current_settings(), location,
                 runner, switch_unknown, own)


def _kept_records(tree: Tree, planned: list[Planned]) -> list[Record]:
    return [Record(p.record.name, p.record.tag, p.record.versioned, Status.UP_TO_DATE,
                   class_name=p.record.class_name, model_path=str(tree.model(p.record.versioned)), change=KEPT,
                   connector_kind=p.record.connector_kind)
            for p in planned]


def _nothing_to_do(tree: Tree, settled: _Plan) -> Ending:
    records = settled.left_out + _kept_records(tree, settled.planned)
    return Ending(tree.directory, records, How.NOTHING_GENERATED if settled.lock is None else How.UP_TO_DATE)


def _write(options: RunOptions, settled: _Plan, fetching_early: Future[Answers] | None,
           reporter: Reporter) -> Ending:
    """Fetches the manifests to vendor (FETCHING_EARLY: their fetch, already under way) and, with the plan's
    runner, has the generator module write the planned set, both into a staging tree; then commits what was
    written.

    While the generator runs, the manifests are fetched beside it (without a bar of their own: the
    generator's shows). When they are not all in by the time it is done, what it wrote is committed first and
    the manifests follow in a commit of their own: a slow or unreachable store then costs no more than
    generating and committing do, and a run stopped in between leaves a whole tree whose next run fetches
    them again."""
    tree, runner, generation = options.tree, settled.runner if settled.generating else None, options.generation
    loaded = {o.name: o for o in settled.own.loaded}
    own_answers: Answers = {r.versioned: own_manifests.vendored_answer(r, loaded, options.project_dir)
                            for r in settled.fetching if r.own_source}
    fetching = settled.from_store
    with ExitStack() as cleanup:
        staging = Staging(tree.directory)
        cleanup.callback(staging.discard)
        if runner is None:
            fetched = {**fetch_manifests(generation, fetching, reporter), **own_answers}
            records = _kept_records(tree, settled.planned)
            removed = _commit(staging, options, settled, None, fetched)
        else:
            check_store(fetching)  # before the generator runs, not after
            beside = cleanup.enter_context(ThreadPoolExecutor(1, thread_name_prefix="corvel-fetch"))
            fetching_beside = fetching_early or beside.submit(fetch_manifests, generation, fetching, None)
            try:
                records = generate(runner, staging.tree, [p.record for p in settled.planned],
                                   reporter, generation)
            except Stop:
                raise
            except Exception as error:  # noqa: BLE001 -- a fault of corvel's own included: one line for the
                # user, and the traceback where a maintainer looks (--verbose, the report)
                return Ending(tree.directory, [], How.STOPPED, failure=f"{type(error).__name__}: {error}",
                              traceback=traceback.format_exc())
            written = {r.versioned_name for r in records if r.status == Status.WRITTEN and r.versioned_name}
            if fetching_beside.done():  # the answers are in (from the cache, say): one commit holds everything
                fetched = fetching_beside.result()
                removed = _commit(staging, options, settled, written, {**fetched, **own_answers})
            else:
                removed = _commit(staging, options, settled, written, own_answers)
                fetched = fetching_beside.result()
                if any(isinstance(answer, manifests.Fetched) for answer in fetched.values()):
                    with_manifests = Staging(tree.directory)
                    cleanup.callback(with_manifests.discard)
                    committed = read_lock(tree.directory)
                    assert committed is not None  # the commit above wrote it
                    commit.commit_run(with_manifests, committed, [Planned(r, KEPT) for r in committed.records],
                                      None, set(), _vendored(with_manifests, fetched),
                                      is_project=tree.is_project, vendor_manifests=settled.vendor)
            fetched = {**fetched, **own_answers}
    changes = {p.record.versioned: p for p in settled.planned}
    for record in records:
        change = changes[str(record.versioned_name)]
        record.model_path = str(tree.model(str(record.versioned_name)))
        record.change, record.previous_version = change.change, change.previous
        note_manifest(record, change.record, fetched.get(str(record.versioned_name)))
    records = settled.left_out + records + [
        Record(r.name, r.tag, r.versioned, Status.REMOVED, class_name=r.class_name, change=REMOVED,
               connector_kind=r.connector_kind) for r in removed]
    return Ending(tree.directory, records, How.GENERATED if runner is not None else How.UP_TO_DATE,
                  notes=manifests.unreachable_notes(fetched.values()))


def _write_streams(options: RunOptions, looked_at: set[str]) -> list[str]:
    """The streams step, once the run's models and manifests are committed: the record classes of each source
    of the tree (its newest version) whose streams files the tree holds otherwise than the lock records them,
    or which the lock lacks for a source of LOOKED_AT (those the run changed or was asked for: the others were
    looked at when they were, and a sync that changes nothing reads no release again), written and
    committed. What the summary says of them: a source with no static schemas, a source that could not be read,
    classes that could not be written; none of which fails the run, whose models are committed."""
    tree = options.tree
    lock = read_lock(tree.directory)
    if lock is None:
        return []
    generation = options.generation
    cache_dir = None if generation.no_cache else generation.cache_dir or default_directory()
    notes: list[str] = []
    unschemed: list[str] = []  # sources without static stream schemas
    written: dict[str, dict[str, str]] = {}
    with ExitStack() as cleanup:
        staging: Staging | None = None
        newest = {record.name: record for record in lock.records if record.kind == KINDS[0]}  # sources have streams
        for name, record in sorted(newest.items()):
            recorded = record.streams_files
            if (options.frozen or name not in looked_at) and not recorded or recorded and all(
                    file_hash(tree.directory / path) == digest for path, digest in recorded.items()):
                continue  # as the lock records them (--frozen writes only what it records)
            try:
                document = _streams_document(record, tree, options.frozen, cache_dir)
                if document is None:
                    unschemed.append(name)
                    if recorded:
                        written[name] = {}
                    continue
                if staging is None:
                    staging = Staging(tree.directory)
                    cleanup.callback(staging.discard)
                written[name] = stream_models.write(staging.tree.directory, document, name)
            except (CorvelError, ValueError) as error:  # the models stand; the next run tries the streams again
                notes.append(f"{name}: record classes not written: {error}")
        if written:
            try:
                commit.commit_streams(staging or Staging(tree.directory), lock, written, is_project=tree.is_project)
            except commit.CommitError as error:
                raise Stop(str(error)) from error
    return _unschemed_note(unschemed) + notes


def _unschemed_note(names: list[str]) -> list[str]:
    """The note on the sources without static stream schemas: each named when they are few, else counted (a run
    over a whole registry has hundreds)."""
    if not names:
        return []
    if len(names) == 1:
        return [f"{names[0]}: no static stream schemas (corvel streams {names[0]} --config FILE discovers them)"]
    shown = ", ".join(names[:5]) + (f" and {len(names) - 5} more" if len(names) > 5 else "")
    return [(f"{len(names)} sources have no static stream schemas ({shown}): corvel streams NAME --config FILE "
             "discovers them")]


def _streams_document(record: LockRecord, tree: Tree, frozen: bool, cache_dir: Path | None) -> dict[str, Any] | None:
    """The streams document RECORD's classes are written from: the tree's own while it is as the lock records it
    (offline), else the one its source gives now (stream_schemas), None when that gives no static schemas. With
    FROZEN only the document the lock records will do: StreamModelError when the source no longer gives it."""
    document_file = streams_paths(record.name)[0]
    recorded, path = record.streams_files.get(document_file), tree.directory / document_file
    if recorded is not None and file_hash(path) == recorded:
        return json.loads(path.read_text(encoding="utf-8"))
    document = stream_schemas.document_for(record, tree, cache_dir)
    if frozen and (document is None or data_hash(stream_models.document_text(document).encode()) != recorded):
        raise stream_models.StreamModelError(
            f"{document_file} is not as {LOCK_NAME} records it and its source no longer gives that document, so "
            "--frozen cannot write it again; run corvel sync without --frozen")
    return document


def _commit(staging: Staging, options: RunOptions, settled: _Plan, written: set[str] | None,
            answers: Answers) -> list[LockRecord]:
    """Vendors the manifests among ANSWERS into STAGING and commits the plan (commit.commit_run); the records
    removed."""
    try:
        return commit.commit_run(staging, settled.lock, settled.planned, written, set(options.remove),
                                 _vendored(staging, answers), is_project=options.tree.is_project,
                                 vendor_manifests=settled.vendor)
    except commit.CommitError as error:
        raise Stop(str(error)) from error


def _vendored(staging: Staging, answers: Answers) -> dict[str, dict[str, str]]:
    """The manifests among ANSWERS, vendored into STAGING: their files and hashes by versioned name."""
    return {versioned: manifests.vendor(staging.tree.directory, versioned, answer)
            for versioned, answer in answers.items() if isinstance(answer, manifests.Fetched)}

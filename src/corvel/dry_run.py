"""What a run changes for the user, told before (a dry run) or after it moves connectors: the upgrades'
previews (a dry run's with the streams they change), and the user's stored configurations checked against the
classes."""

from __future__ import annotations

import tempfile
from collections.abc import Iterable
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel import upgrades
from corvel.generation import generate, start_runner
from corvel.generator_boundary import Runner
from corvel.lock import Lock, LockRecord
from corvel.plan import ADDED, REMOVED, UPGRADED, Planned
from corvel.reporting import Reporter
from corvel.run_options import ConfigFile, Generation, RunOptions
from corvel.run_outcome import HELD, ConfigCheck, Ending, How, Record, Status
from corvel.stream_changes import counted, stored_document, upgrade_streams
from corvel.tree import Tree


@dataclass
class Move:
    """A connector the plan upgrades: what the move changes, and the locked model's names, read before a real
    run deletes that model (or why they could not be), and the tree's streams document of the locked version
    (None: its streams are unknown)."""

    preview: upgrades.Preview
    planned: Planned
    old_names: dict[str, upgrades.Shape | None] | str
    old_streams: dict[str, Any] | None = None


def moves(tree: Tree, lock: Lock | None, planned: list[Planned]) -> list[Move]:
    """A Move for each entry the plan upgrades from a locked one."""
    found: list[Move] = []
    for moving in planned:
        if moving.change != UPGRADED or lock is None:
            continue
        before = [r for r in lock.records if r.name == moving.record.name]
        old = next((r for r in before if r.kind == moving.record.kind), before[0] if before else None)
        if old is None:  # carried over from an index without a lock: no locked entry to compare with
            continue
        found.append(Move(upgrades.preview(old, moving.record), moving, upgrades.names_of(tree.model(old.versioned)),
                          stored_document(tree, old)))
    return found


def previews(moving: list[Move], records: list[Record], tree: Tree) -> list[upgrades.Preview]:
    """The moves' previews completed with the names of the new models written into TREE; a move whose model
    was not written keeps only its schema changes."""
    written = {r.versioned_name for r in records if r.status == Status.WRITTEN}
    for move in moving:
        versioned = move.planned.record.versioned
        if versioned in written:
            upgrades.compare_names(move.preview, move.old_names, tree.model(versioned))
        else:
            move.preview.model_problem = "the new model was not written"
    return [move.preview for move in moving]


def preview_streams(moving: list[Move], generation: Generation) -> None:
    """Fills in the stream changes of the moves whose streams the tree knows at the locked version; the others'
    streams are not looked for (no fetch for nothing to compare with)."""
    known = [(move, move.old_streams) for move in moving if move.old_streams is not None]
    found = upgrade_streams([(old, move.planned.record) for move, old in known], generation)
    for (move, _), streams in zip(known, found, strict=True):
        if streams.found is None:
            move.preview.streams_unknown = streams.unknown
        else:
            move.preview.stream_changes = [change.line for change in streams.found]
            move.preview.streams_counted = counted(streams.found)


def dry_run(options: RunOptions, runner: Runner | None, lock: Lock | None, planned: list[Planned],
            dropped: list[LockRecord], left_out: list[Record], moving: list[Move], reporter: Reporter,
            cleanup: ExitStack) -> Ending:
    """The plan, and what it changes for the user, with nothing written to the tree: the models of the
    connectors that would be added or moved are generated into a temporary tree, through the generator module
    as a real run would (so a real run after it takes them from the cache)."""
    tree = options.tree
    records = left_out + [
        Record(p.record.name, p.record.tag, p.record.versioned, Status.PLANNED, class_name=p.record.class_name,
               model_path=str(tree.model(p.record.versioned)), change=p.change,
               previous_version=p.previous, connector_kind=p.record.connector_kind)
        for p in planned]
    records += [Record(r.name, r.tag, r.versioned, Status.PLANNED, class_name=r.class_name, change=REMOVED,
                       connector_kind=r.connector_kind) for r in dropped if r.name in options.remove]
    new = [p.record for p in planned if p.change in (ADDED, UPGRADED)]
    found = [move.preview for move in moving]
    if new and (moving or options.check_configs):
        scratch = Tree.at_root(Path(cleanup.enter_context(tempfile.TemporaryDirectory(prefix="corvel-dry-run-"))))
        scratch.make_parts()
        generated = generate(runner or start_runner(options.generation, cleanup), scratch, new, reporter,
                             options.generation)
        written = {r.versioned_name for r in generated if r.status == Status.WRITTEN}
        for record in records:  # the new classes the configurations are checked against
            if record.change in (ADDED, UPGRADED):
                record.model_path = str(scratch.model(record.versioned_name)) \
                    if record.versioned_name is not None and record.versioned_name in written else None
        found = previews(moving, generated, scratch)
    preview_streams(moving, options.generation)
    checks = check_configs(options.check_configs, records, lock, tree, found)
    return Ending(tree.directory, records, How.DRY_RUN, previews=found, checks=checks)


def check_configs(wanted: tuple[ConfigFile, ...], records: list[Record], lock: Lock | None = None,
                  tree: Tree | None = None, moved: Iterable[upgrades.Preview] = ()) -> list[ConfigCheck]:
    """Each stored configuration of WANTED checked against its connector's class: in a dry run (with its LOCK
    and TREE) the locked class and the one the run would move to, else the class the tree holds after the run
    (RECORDS). The members an upgrade of MOVED removed are flagged in the new class's."""
    checks: list[ConfigCheck] = []
    for wanted_file in wanted:
        name = wanted_file.name
        removed = upgrades.removed_members(moved, name)
        against: list[tuple[str | None, str, Path | None, str | None]]
        if lock is not None and tree is not None:
            against = [(r.tag, "locked", tree.model(r.versioned), r.class_name)
                       for r in lock.records if r.name == name]
            against += [(r.version, "new", Path(r.model_path) if r.model_path else None, r.class_name)
                        for r in records
                        if r.name == name and r.status == Status.PLANNED and r.change in (ADDED, UPGRADED)]
        else:
            against = [(r.version, "locked", Path(r.model_path), r.class_name) for r in records
                       if r.name == name and r.status in HELD and r.model_path]
        if not against:
            checks.append(ConfigCheck(name, wanted_file.file, None, "locked",
                                      ["the tree does not hold this connector"]))
        for version, which, model, class_name in against:
            problems = upgrades.check_config(
                model, str(class_name), wanted_file.config, f"{name} {version}",
                removed if which == "new" or lock is None else ()) if model else [
                "its new model could not be generated (see above)"]
            checks.append(ConfigCheck(name, wanted_file.file, version, which, problems))
    return checks

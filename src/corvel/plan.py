"""The plan of a run: what the tree is to hold, read from its lock, the request and the registry.

LockRecord connectors stay at their locked entries unless upgraded; the plan
says for each registry entry the run hands the generator what it means for
the tree (kept, added, upgraded or regenerated), which connectors are
stale (their files differ from the lock), which manifests are to be
fetched, and the one registry document composed of exactly the planned
entries that the generator module reads (``composed_registry``).  A tree
whose index was written without a lock is carried over from that index
(``legacy_connectors``).
"""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel import index_stubs
from corvel.errors import CorvelError
from corvel.lock import MANIFEST, Lock, LockError, LockRecord, file_hash
from corvel.registry import KINDS, Entry
from corvel.tree import INDEX, file_paths, index_bindings, model_classes

REGISTRY_FILE = "registry.json"
# what a run does with a connector of the tree
KEPT, ADDED, UPGRADED, REGENERATED, REMOVED = "kept", "added", "upgraded", "regenerated", "removed"


@dataclass
class Planned:
    """A registry entry the run hands the generator, and what it means for the tree."""

    record: LockRecord
    change: str  # KEPT, ADDED, UPGRADED or REGENERATED
    previous: str | None = None  # the tag an upgraded connector had


def stale_names(configs_dir: Path, lock: Lock, is_project: bool = False) -> tuple[set[str], bool]:
    """Connectors whose schema or model differs from the lock's hashes, and whether the index (or its stubs)
    does; every connector when the models were generated with other settings than this corvel's."""
    if not lock.current_settings():
        return lock.names(), True
    stale = {r.name for r in lock.records
             if any(file_hash(configs_dir / p) != h for p, h in r.files if p in file_paths(r.versioned))}
    index_stale = lock.index_hash is None or file_hash(configs_dir / INDEX) != lock.index_hash \
        or not index_stubs.in_line(configs_dir, {r.versioned: r.name for r in lock.records}, is_project,
                                   index_stubs.streamed(lock.records))
    return stale, index_stale


class PlanError(CorvelError):
    """A request that contradicts the lock (removing or upgrading a connector it does not hold)."""


def plan(lock: Lock | None, stale: set[str], entries: list[Entry] | None, document: Any, *, add: list[str],
         every: bool, upgrade: list[str] | None, remove: list[str],
         legacy: dict[str, set[str]] | None = None) -> tuple[list[Planned], list[str], list[LockRecord]]:
    """What the tree is to hold: the planned entries, the names the registry lacks, and the locked records dropped.

    LockRecord connectors stay at their locked entries; those in ``upgrade`` (all
    when it is empty) move to the registry's current entries, and so come
    ``add`` and, with ``every``, each connector of the registry.  ``legacy``
    holds the connectors an index without a lock imported, by name, with
    their versioned names: they come at those versions where the registry
    still has them.  ``entries`` is None when no registry was read.
    """
    records = lock.records if lock else []
    locked = {r.name for r in records}
    legacy = legacy or {}
    unknown = [n for n in dict.fromkeys(remove + (upgrade or [])) if n not in locked and n not in legacy]
    if unknown:
        raise PlanError(f"not in the tree, so it cannot be removed or upgraded: {', '.join(unknown)}")
    upgrading = locked | set(legacy) if upgrade == [] else set(upgrade or ())
    wanted = [n for n in dict.fromkeys([*legacy, *add, *sorted(upgrading)]) if n not in remove]
    wanted = [n for n in wanted if n not in locked or n in upgrading]
    groups: dict[str, list[Entry]] = {}
    for entry in entries or ():
        groups.setdefault(entry.name, []).append(entry)
    if every:
        taken = locked | set(wanted) | set(remove)
        wanted += [name for name in groups if name not in taken]
    fresh: dict[str, list[LockRecord]] = {}
    for name in wanted:
        group = groups.get(name, [])
        if group and not any(e.problem for e in group):  # the module would export all of a name's entries
            preferred = [e for e in group if e.versioned in legacy.get(name, ()) and name not in upgrading]
            fresh[name] = [LockRecord.of(e.kind, document[e.kind][e.position]) for e in preferred or group]
    def same(name: str, new: list[LockRecord]) -> bool:
        return [(r.tag, r.entry) for r in records if r.name == name] == [(r.tag, r.entry) for r in new]

    moved = {name for name, new in fresh.items() if not same(name, new)}  # an upgrade to the same entry keeps it
    planned = [Planned(r, REGENERATED if r.name in stale else KEPT)
               for r in records if r.name not in remove and r.name not in moved]
    for name in sorted(moved):
        new = fresh[name]
        before = [r.tag for r in records if r.name == name] or sorted(legacy.get(name, ()))
        if not any(r.name == name for r in records) and all(r.versioned in legacy.get(name, ()) for r in new):
            change, previous = KEPT, None  # carried over from an index without a lock, at its version
        else:
            change, previous = (UPGRADED, ", ".join(dict.fromkeys(before))) if before else (ADDED, None)
        planned += [Planned(r, change, previous) for r in new]
    dropped = [r for r in records if r.name in remove or r.name in moved]
    return planned, [n for n in wanted if n not in fresh], dropped


def composed_registry(records: list[LockRecord]) -> dict[str, list[dict]]:
    """A registry document of exactly these entries: by connector name, each name's entries in their order."""
    ordered = sorted(records, key=lambda record: record.name)
    return {kind: [r.entry for r in ordered if r.kind == kind] for kind in KINDS}


def composed_registry_file(records: list[LockRecord]) -> tempfile.TemporaryDirectory[str]:
    """The composed registry in a temporary directory (as REGISTRY_FILE), for the generator module to read."""
    directory = tempfile.TemporaryDirectory(prefix="corvel-registry-")
    try:
        with open(os.path.join(directory.name, REGISTRY_FILE), "w", encoding="utf-8") as file:
            json.dump(composed_registry(records), file)  # ASCII with escapes: parsed back to the same values
    except BaseException:
        directory.cleanup()
        raise
    return directory


def legacy_connectors(configs_dir: Path) -> dict[str, set[str]]:
    """The connectors an index written without a lock imports, by name, with their versioned names.

    The name is the one the connector's schema file carries; a versioned
    name without a readable schema file cannot be carried over, and stops
    the run before anything is written (LockError).
    """
    index = Path(configs_dir) / INDEX
    if not index.is_file():
        return {}
    connectors: dict[str, set[str]] = {}
    unknown = []
    try:
        imported = model_classes(index_bindings(index, is_project=False))
    except ValueError:  # a project's index: its models are not the generator module's to carry over
        return {}
    except SyntaxError as error:  # what it imports is unknown: nothing is written rather than a model lost
        raise LockError(f"{index} was written without a lock and is not Python ({error}); generate the tree "
                        "anew into an empty --output-dir") from error
    for versioned in imported:
        try:
            schema = json.loads((Path(configs_dir) / file_paths(versioned)[0]).read_text(encoding="utf-8"))
            name = schema["properties"]["connector_name"]["default"]
        except (OSError, ValueError, KeyError, TypeError):
            unknown.append(versioned)
            continue
        connectors.setdefault(name, set()).add(versioned)
    if unknown:
        raise LockError(
            f"{index} was written without a lock and imports {', '.join(unknown)}, whose schema files do not say "
            "which connector they are; generate the tree anew into an empty --output-dir"
        )
    return connectors


def stale_manifests(configs_dir: Path, planned: list[Planned]) -> list[LockRecord]:
    """The planned manifest-only connectors whose vendored manifest is to be fetched: none is recorded for
    them, or the tree's files differ from the lock's hashes."""
    return [p.record for p in planned if p.record.connector_kind == MANIFEST and (
        not p.record.manifest_files
        or any(file_hash(configs_dir / path) != digest for path, digest in p.record.manifest_files.items()))]

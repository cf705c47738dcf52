"""The registry as a run reads it: the document and its entries, read once, and the entries of the names a
run asks for, with a record for each name it cannot have."""

from __future__ import annotations

import difflib
from collections.abc import Iterable
from typing import Any

from corvel import registry
from corvel.errors import Stop
from corvel.own_manifests import Own
from corvel.registry import KINDS, Entry, RegistryError, connector_name, registry_entries
from corvel.run_outcome import Record, Status


def read_entries(location: str, switch_first: bool = True) -> tuple[Any, list[Entry]]:
    """``registry.read_entries``, its failure a Stop."""
    try:
        return registry.read_entries(location, switch_first)
    except RegistryError as error:
        raise Stop(str(error)) from error


def stop_if_switched_off(location: str) -> None:
    """``registry.stop_if_switched_off``, its failure a Stop; asking imports airbyte."""
    try:
        registry.stop_if_switched_off(location)
    except RegistryError as error:
        raise Stop(str(error)) from error


def select(entries: list[Entry], requested: list[str] | None) -> tuple[list[Entry], list[Record]]:
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
        Record(e.name, e.tag, e.versioned, Status.LEFT_OUT, e.problem or _same_name(unusable[e.name]))
        for e in wanted
        if e.name in unusable
    ]
    known = {e.name for e in entries}
    missing = [name for name in dict.fromkeys(requested or ()) if name not in known]
    left_out += [Record(name, None, None, Status.NOT_IN_REGISTRY, registry.did_you_mean(name, entries))
                 for name in missing]
    return [e for e in wanted if e.name not in unusable], left_out


def suggestion(name: str, names: Iterable[str]) -> str:
    """'did you mean X?' for the one of NAMES closest to NAME, or nothing when none is close."""
    found = difflib.get_close_matches(name, sorted(names), n=1)
    return f"did you mean {found[0]}?" if found else ""


def _same_name(entry: Entry) -> str:
    return f"entry {entry.position} of {entry.kind}, of the same name, is unusable: {entry.problem}"


def with_own(document: Any, own: list[Own]) -> tuple[dict[str, list[Any]], list[Entry]]:
    """The registry DOCUMENT (None when none was read) with the entries of the user's own manifests in place of
    any of the same name, and its entries."""
    names = {o.name for o in own}
    document = document or {"sources": [], "destinations": []}
    composed: dict[str, list[Any]] = {
        kind: [e for e in document[kind] if connector_name(e["dockerRepository"]) not in names] for kind in KINDS}
    composed["sources"] += [o.entry for o in own]
    return composed, registry_entries(composed)

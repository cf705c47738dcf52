"""What changes for a connector's records between two of its streams documents.

A streams document (``<tree>/streams/<module>.json``) maps each stream to its
record JSON Schema and primary key.  Between two of them, the changes a
user's code may trip on: streams removed and added, record members removed,
retyped (nullable-ness apart) or made non-null, and primary keys changed.
Members added are not listed: records gain columns without harm.  A member
is named by its dotted path from the stream (``users.address.city``), the
items of an array by ``[]`` (``users.tags[]``).

For an upgrade, the locked version's document is the one the tree keeps; the
new version's is read as ``corvel.stream_schemas`` reads any (its manifest,
fetched from the store into a scratch tree, or its PyPI release), and when it
cannot be had the upgrade says so rather than guess.
"""

from __future__ import annotations

import json
import tempfile
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel import manifests
from corvel.errors import CorvelError
from corvel.lock import MANIFEST, PYPI, LockRecord
from corvel.manifest_fetching import fetch_manifests
from corvel.model_cache import default_directory
from corvel.run_options import Generation
from corvel.stream_schemas import document_for
from corvel.tree import Tree, streams_paths

# the categories of change, from the most to the least disruptive
REMOVED = "removed"  # a stream or a member
RETYPED = "retyped"
MADE_NON_NULL = "made non-null"
KEY_CHANGED = "key changed"
ADDED = "added"  # a stream
CATEGORIES = (REMOVED, RETYPED, MADE_NON_NULL, KEY_CHANGED, ADDED)
_ANY = "any"  # what a schema that names no type takes


@dataclass(frozen=True)
class StreamChange:
    """One change: the stream, the member's path within it ("" for the stream itself), its category (one of
    CATEGORIES) and the line that tells it."""

    stream: str
    path: str
    category: str
    line: str


def stream_changes(old: dict[str, Any], new: dict[str, Any]) -> list[str]:
    """The changes from the OLD streams document to the NEW one, one short line each, sorted by stream and
    member."""
    return [change.line for change in changes(old, new)]


def counted(found: list[StreamChange]) -> str:
    """FOUND counted by category (``1 removed, 2 retyped``); ``no change`` when there is none."""
    counts = Counter(change.category for change in found)
    return ", ".join(f"{counts[category]} {category}" for category in CATEGORIES if counts[category]) or "no change"


def changes(old: dict[str, Any], new: dict[str, Any]) -> list[StreamChange]:
    """The changes from the OLD streams document to the NEW one, sorted by stream and member."""
    old_streams, new_streams = _streams(old), _streams(new)
    found: list[StreamChange] = []
    for name in old_streams.keys() - new_streams.keys():
        found.append(StreamChange(name, "", REMOVED, f"stream {name} removed"))
    for name in new_streams.keys() - old_streams.keys():
        found.append(StreamChange(name, "", ADDED, f"stream {name} added"))
    for name in old_streams.keys() & new_streams.keys():
        before, after = old_streams[name], new_streams[name]
        old_key, new_key = _key(before.get("primary_key")), _key(after.get("primary_key"))
        if old_key != new_key:
            found.append(StreamChange(name, "", KEY_CHANGED, f"{name} primary key: {old_key} -> {new_key}"))
        _compare(before.get("schema"), after.get("schema"), name, name, found)
    return sorted(found, key=lambda change: (change.stream, change.path, change.line))


def _streams(document: dict[str, Any]) -> dict[str, dict[str, Any]]:
    streams = document.get("streams")
    if not isinstance(streams, dict):
        return {}
    return {name: stream if isinstance(stream, dict) else {} for name, stream in streams.items()}


def _key(primary_key: Any) -> str:
    """A primary key as the lines show it: its paths dotted, in brackets (``[id, user.id]``; ``[]``: none)."""
    paths = primary_key if isinstance(primary_key, list) else []
    return "[" + ", ".join(".".join(map(str, p)) if isinstance(p, list) else str(p) for p in paths) + "]"


def _compare(old: Any, new: Any, stream: str, path: str, found: list[StreamChange]) -> None:
    """The changes from the OLD member schema at PATH to the NEW one, and of the members within it."""
    if not isinstance(old, dict) or not isinstance(new, dict):
        return
    old_types, new_types = _types(old), _types(new)
    old_shown, new_shown = _shown(old_types), _shown(new_types)
    if old_shown != new_shown:
        found.append(StreamChange(stream, path, RETYPED, f"{path}: {old_shown} -> {new_shown}"))
    if _nullable(old_types) and not _nullable(new_types):
        found.append(StreamChange(stream, path, MADE_NON_NULL, f"{path}: no longer nullable"))
    old_members, new_members = _members(old), _members(new)
    newly_required = _required(new) - _required(old)
    for name, member in old_members.items():
        member_path = f"{path}.{name}"
        if name not in new_members:
            found.append(StreamChange(stream, member_path, REMOVED, f"{member_path} removed"))
            continue
        if name in newly_required:
            found.append(StreamChange(stream, member_path, MADE_NON_NULL, f"{member_path}: now required"))
        _compare(member, new_members[name], stream, member_path, found)
    _compare(_items(old), _items(new), stream, f"{path}[]", found)


def _options(schema: dict[str, Any]) -> list[dict[str, Any]]:
    """SCHEMA and the schemas it is any, one or all of, at any depth: airbyte writes a nullable object as
    ``anyOf: [{type: null}, {type: object, ...}]`` as often as with a list of types."""
    found = [schema]
    for key in ("anyOf", "oneOf", "allOf"):
        listed = schema.get(key)
        for option in listed if isinstance(listed, list) else ():
            if isinstance(option, dict):
                found += _options(option)
    return found


def _types(schema: dict[str, Any]) -> frozenset[str] | None:
    """The JSON types SCHEMA allows, a string's format beside it (``string(date-time)``, as the record class
    reads it into another type); None when it names none, so takes any."""
    named: set[str] = set()
    for option in _options(schema):
        listed = option.get("type")
        for type_name in [listed] if isinstance(listed, str) else listed if isinstance(listed, list) else ():
            fmt = option.get("format")
            named.add(f"string({fmt})" if type_name == "string" and isinstance(fmt, str) else str(type_name))
    return frozenset(named) or None


def _nullable(types: frozenset[str] | None) -> bool:
    return types is None or "null" in types


def _shown(types: frozenset[str] | None) -> str:
    """The types apart from null, as a line shows them."""
    return _ANY if types is None else " | ".join(sorted(types - {"null"})) or "null"


def _members(schema: dict[str, Any]) -> dict[str, Any]:
    members: dict[str, Any] = {}
    for option in _options(schema):
        properties = option.get("properties")
        members.update(properties if isinstance(properties, dict) else {})
    return members


def _required(schema: dict[str, Any]) -> set[str]:
    return {name for option in _options(schema) if isinstance(option.get("required"), list)
            for name in option["required"] if isinstance(name, str)}


def _items(schema: dict[str, Any]) -> Any:
    return next((option["items"] for option in _options(schema) if isinstance(option.get("items"), dict)), None)


# -- an upgrade's changes


def stored_document(tree: Tree, record: LockRecord) -> dict[str, Any] | None:
    """The streams document TREE keeps for RECORD's connector when it is of RECORD's version; None when the tree
    keeps none (its streams unknown), or one of another version (the tree holds a newer one of the connector)."""
    path = tree.directory / streams_paths(record.name)[0]
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError):  # a damaged document is regenerated by the next sync; unknown till then
        return None
    if not isinstance(document, dict) or document.get("connector") != record.name \
            or document.get("version") != record.tag:
        return None
    return document


@dataclass(frozen=True)
class UpgradeStreams:
    """What an upgrade changes in a connector's streams: its changes, or why the new version's streams are
    unknown (``unknown``, then ``found`` is None)."""

    found: list[StreamChange] | None
    unknown: str = ""


def upgrade_streams(moves: list[tuple[dict[str, Any], LockRecord]], generation: Generation) -> list[UpgradeStreams]:
    """For each (the locked version's streams document, the new version's record) of MOVES: the changes to its
    streams. A manifest-only connector's new manifest is fetched from the store (through the cache, as a run
    fetches it), a Python connector's release read from airbyte's install directory, the cache or PyPI."""
    if not moves:
        return []
    cache_dir = (generation.cache_dir or default_directory()) if generation.caches else None
    from_store = [new for _, new in moves if new.connector_kind == MANIFEST and not new.own_source]
    with tempfile.TemporaryDirectory(prefix="corvel-streams-") as directory:
        scratch = Tree.at_root(directory)
        try:
            answers = fetch_manifests(generation, from_store, None)
        except CorvelError as error:  # a store that cannot be used: the streams of those moves are unknown
            answers = {new.versioned: manifests.FetchError(str(error)) for new in from_store}
        for versioned, answer in answers.items():
            if isinstance(answer, manifests.Fetched):
                manifests.vendor(scratch.directory, versioned, answer)
        return [_upgrade(old, new, scratch, cache_dir, answers.get(new.versioned)) for old, new in moves]


def _upgrade(old: dict[str, Any], new: LockRecord, scratch: Tree, cache_dir: Path | None,
             answer: manifests.Fetched | manifests.FetchError | None) -> UpgradeStreams:
    unknown = f"streams at {new.tag} unknown"
    if isinstance(answer, manifests.FetchError):
        return UpgradeStreams(None, f"{unknown}: {answer}")
    if new.connector_kind == MANIFEST and answer is None:
        return UpgradeStreams(None, f"{unknown}: its manifest is the project's own, read only by a run that writes")
    try:
        document = document_for(new, scratch, cache_dir)
    except CorvelError as error:
        return UpgradeStreams(None, f"{unknown}: {error}")
    if document is None:
        why = {MANIFEST: "its manifest gives no stream a static schema",
               PYPI: "its release gives no stream a static schema"}.get(
            new.connector_kind, "a Docker connector's streams are known only by discovery")
        return UpgradeStreams(None, f"{unknown}: {why}")
    return UpgradeStreams(changes(old, document))

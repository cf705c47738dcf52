"""A connector's configuration as the registry alone describes it, and its streams as the tree's stored document
does: what ``corvel show`` prints, read without installing or generating anything."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from corvel.errors import CorvelError
from corvel.lock import Lock, connector_kind
from corvel.registry import KINDS, connector_name, tag_text
from corvel.registry_selection import suggestion
from corvel.stream_schemas import json_array, json_object
from corvel.tree import Tree, streams_paths


class UnknownConnector(CorvelError):
    """A name the registry does not offer; the message suggests the closest it does."""


@dataclass(frozen=True)
class Member:
    """One member of a configuration: its schema's type, whether it is required, its default (never a secret's),
    the first line of its description, and its oneOf options by title."""

    name: str
    type: str
    required: bool
    default: str
    secret: bool
    description: str
    options: tuple[str, ...]


@dataclass(frozen=True)
class ConnectorView:
    name: str
    version: str
    kind: str  # source or destination
    connector_kind: str  # how airbyte runs it: pypi, manifest or docker
    locked_version: str | None  # None: the tree's lock does not hold it
    members: tuple[Member, ...]


def view(document: dict[str, list[Any]], name: str, lock: Lock | None) -> ConnectorView:
    """NAME's entry in the registry DOCUMENT (the last of its name), with the version LOCK holds it at."""
    found = [(kind, entry) for kind in KINDS for entry in document[kind]
             if connector_name(entry["dockerRepository"]) == name]
    if not found:
        names = [connector_name(entry["dockerRepository"]) for kind in KINDS for entry in document[kind]]
        raise UnknownConnector(f"{name} is not in the registry" + (f"; {hint}" if (hint := suggestion(name, names)) else ""))
    kind, entry = found[-1]
    schema = json_object(json_object(entry.get("spec")).get("connectionSpecification"))
    locked = [r.tag for r in lock.records if r.name == name] if lock is not None else []
    return ConnectorView(name, tag_text(entry.get("dockerImageTag")), kind.removesuffix("s"), connector_kind(entry),
                         ", ".join(locked) or None, members(schema))


@dataclass(frozen=True)
class StreamView:
    """One stream of a connector: its name, its primary key's paths (dotted), and its records' members."""

    name: str
    primary_key: tuple[str, ...]
    members: tuple[Member, ...]


@dataclass(frozen=True)
class StreamsView:
    """A connector's streams as the tree holds them, with where they were read (manifest, package, discovered)
    and at which version."""

    origin: str
    version: str
    streams: tuple[StreamView, ...]


def streams(tree: Tree, lock: Lock | None, name: str) -> StreamsView | None:
    """NAME's streams as TREE's stored document gives them; None when its lock records none for NAME."""
    if lock is None or not any(record.streams_files for record in lock.records if record.name == name):
        return None
    try:
        document = json_object(json.loads((tree.directory / streams_paths(name)[0]).read_text(encoding="utf-8")))
    except (OSError, ValueError):  # a document missing or edited: sync --check names it, and sync writes it again
        return None
    found = [StreamView(stream, tuple(".".join(map(str, path)) for path in json_array(json_object(described).get(
                 "primary_key"))), members(json_object(json_object(described).get("schema"))))
             for stream, described in sorted(json_object(document.get("streams")).items())]
    return StreamsView(str(document.get("origin")), str(document.get("version")), tuple(found))


def members(schema: dict[str, Any]) -> tuple[Member, ...]:
    """The members of an object schema, in its order."""
    required = json_array(schema.get("required"))
    found: list[Member] = []
    for name, value in json_object(schema.get("properties")).items():
        member = json_object(value)
        secret = member.get("airbyte_secret") is True
        default = json.dumps(member["default"]) if "default" in member and not secret else ""
        description = str(member.get("description") or member.get("title") or "").strip().partition("\n")[0]
        options = [json_object(option) for option in json_array(member.get("oneOf"))]
        titles = tuple(str(option.get("title") or f"option {number}") for number, option in enumerate(options, 1))
        found.append(Member(name, _type(member), name in required, default, secret, description, titles))
    return tuple(found)


def _type(member: dict[str, Any]) -> str:
    declared = member.get("type")
    text = "|".join(map(str, types)) if (types := json_array(declared)) else str(declared or "")
    if "oneOf" in member:
        text = f"{text or 'object'}: one of"
    elif isinstance(member.get("format"), str):
        text += f" ({member['format']})"
    elif enum := json_array(member.get("enum")):
        text += f": {', '.join(map(str, enum))}"
    return text or "any"

"""The connector registry as ``corvel.model_generator`` reads it.

One read of the document (an http(s) URL or a local file, as airbyte points
to it), the entries with their connector and versioned names, and what makes
an entry unusable for the generator: whatever would stop the module midway,
or leave an index that does not import.
"""

from __future__ import annotations

import json
import keyword
import os
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel.errors import CorvelError

KINDS = ("sources", "destinations")  # the order the module scans them in
NAME_MAX = 255  # bytes in one file name on the usual Linux file systems


class RegistryError(CorvelError):
    """The registry document could not be loaded or is not a connector registry."""


def user_agent() -> str:
    """The User-Agent airbyte, and the generator module, send for the registry."""
    from airbyte.version import get_version

    return f"PyAirbyte/{get_version()}"


def is_remote(location: str) -> bool:
    """Whether the registry at LOCATION is fetched (an URL) rather than read as a file."""
    return location.startswith("http")


def read_registry(location: str) -> Any:
    """The parsed document at ``location``: fetched when it is remote, else read as a file."""
    try:
        if is_remote(location):
            import requests

            response = requests.get(location, headers={"User-Agent": user_agent()}, timeout=60)
            response.raise_for_status()
            return response.json()
        with Path(location).open(encoding="utf-8") as file:
            return json.load(file)
    except (OSError, ValueError) as error:  # requests' errors are OSErrors, JSON errors ValueErrors
        raise RegistryError(f"cannot read the registry: {error}") from error


def connector_name(repository: str) -> str:
    return repository.replace("airbyte/", "")


def tag_text(tag: Any) -> str:
    """The version part of a versioned name: a false tag (absent, null, "", 0) counts as none."""
    return format(tag, "") if tag else ""


def versioned_name(name: str, tag: Any) -> str:
    """The file stem the generator gives a connector: source_file__1_2_3."""
    versioned = f"{name}__{tag_text(tag)}"
    for separator in ".-/: ":
        versioned = versioned.replace(separator, "_")
    return versioned


def class_root(versioned: str) -> str:
    """The name the package index binds a connector's model module to: SourceFile."""
    return "".join(word.capitalize() for word in versioned.split("__")[0].lower().split("_"))


@dataclass(frozen=True)
class Entry:
    kind: str  # "sources" or "destinations"
    position: int
    name: str
    tag: str
    versioned: str
    problem: str | None  # why the generator cannot take it; None when it can

    @property
    def label(self) -> str:
        return f"{self.name} {self.tag}".strip()


def _python_name(text: str) -> bool:
    return text.isidentifier() and not keyword.iskeyword(text) and unicodedata.normalize("NFKC", text) == text


def _problem(entry: dict, versioned: str) -> str | None:
    spec = entry.get("spec")
    if not isinstance(spec, dict):
        return "it has no spec object"
    schema = spec.get("connectionSpecification")
    if not isinstance(schema, dict):
        return "its spec has no connectionSpecification object"
    if not isinstance(schema.get("properties"), dict):
        return "its connectionSpecification has no properties object"
    try:
        no_file_name = "\0" in versioned or len(os.fsencode(versioned + ".json")) > NAME_MAX
    except UnicodeError:
        no_file_name = True
    if no_file_name:
        return f"its versioned name {versioned!r} cannot be a file name"
    # The index imports each model module by its versioned name and binds it to its class root.
    if not _python_name(versioned) or not _python_name(class_root(versioned)):
        return f"its versioned name {versioned!r} is no Python module name, so the index would not import"
    return None


def registry_entries(document: Any) -> list[Entry]:
    """Every entry of the document, sources first, in document order.

    The generator reads the connector name of every entry, requested or
    not, so one entry without a string dockerRepository makes the whole
    document unusable.
    """
    if not isinstance(document, dict) or not all(isinstance(document.get(kind), list) for kind in KINDS):
        raise RegistryError("it is not a connector registry: it needs 'sources' and 'destinations' lists")
    entries = []
    for kind in KINDS:
        for position, entry in enumerate(document[kind]):
            repository = entry.get("dockerRepository") if isinstance(entry, dict) else None
            if not isinstance(repository, str):
                raise RegistryError(
                    f"entry {position} of {kind} (counting from 0) has no dockerRepository string; the generator "
                    "reads it in every entry, so it can use none of this registry"
                )
            name, tag = connector_name(repository), entry.get("dockerImageTag")
            versioned = versioned_name(name, tag)
            entries.append(Entry(kind, position, name, tag_text(tag), versioned, _problem(entry, versioned)))
    return entries

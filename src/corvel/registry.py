"""The connector registry as ``corvel.model_generator`` reads it.

Which registry a run reads (``chosen``: the command line's, airbyte's
``AIRBYTE_LOCAL_REGISTRY``, the project table's, else airbyte's own registry,
looked up only when it is read, as that imports airbyte), one read of the
document (an http(s) URL or a local file), the entries with their connector
and versioned names, and what makes an entry unusable for the generator:
whatever would stop the module midway, or leave an index that does not import.
"""

from __future__ import annotations

import json
import keyword
import os
import unicodedata
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from functools import cache
from pathlib import Path
from typing import Any

from corvel.errors import CorvelError

KINDS = ("sources", "destinations")  # the order the module scans them in
NAME_MAX = 255  # bytes in one file name on the usual Linux file systems
REGISTRY_VARIABLE = "AIRBYTE_LOCAL_REGISTRY"  # airbyte's registry location: a path or an URL
# Registries chosen by name; the name wins over a file of that name, which is given as ./bundled.
AIRBYTE = "airbyte"  # the registry airbyte reads: AIRBYTE_LOCAL_REGISTRY, else its registry URL
BUNDLED = "bundled"  # corvel's sample of seven connectors, for the demo and the tests
REGISTRY_NAMES = (AIRBYTE, BUNDLED)
BUNDLED_REGISTRY = Path(__file__).resolve().parent / "data" / "registry.json"
WAYS_OUT = ("give another registry with --registry FILE or the [tool.corvel] table's registry = \"FILE\" "
            "(--registry bundled reads corvel's small sample registry)")


class RegistryError(CorvelError):
    """The registry document could not be loaded or is not a connector registry."""


def user_agent() -> str:
    """The User-Agent airbyte, and the generator module, send for the registry."""
    from airbyte.version import get_version

    return f"PyAirbyte/{get_version()}"


def chosen(command_line: str | None, table: str | None) -> str:
    """The registry a run reads: the command line's, else the one AIRBYTE_LOCAL_REGISTRY names, else the project
    table's, else AIRBYTE; BUNDLED stands for the bundled file, and AIRBYTE stays a name until ``resolved``."""
    choice = command_line or os.environ.get(REGISTRY_VARIABLE) or table or AIRBYTE
    if choice == AIRBYTE and os.environ.get(REGISTRY_VARIABLE):
        choice = os.environ[REGISTRY_VARIABLE]  # airbyte's choice is its variable's, when set
    return str(BUNDLED_REGISTRY) if choice == BUNDLED else choice


@contextmanager
def told_to_airbyte(location: str) -> Iterator[None]:
    """For the block, AIRBYTE_LOCAL_REGISTRY names LOCATION, so that airbyte reads the registry the run reads;
    for AIRBYTE it is left as it is."""
    if location == AIRBYTE:
        yield
        return
    from corvel.compat import environment

    with environment(REGISTRY_VARIABLE, location):
        yield


def resolved(location: str) -> str:
    """LOCATION, with AIRBYTE looked up as airbyte finds it (which imports airbyte)."""
    return airbyte_registry_url() if location == AIRBYTE else location


@cache
def airbyte_registry_url() -> str:
    """The registry airbyte reads when AIRBYTE_LOCAL_REGISTRY is unset; imports airbyte."""
    from corvel.compat import registry_url

    saved = os.environ.pop(REGISTRY_VARIABLE, None)  # airbyte would answer with it
    try:
        return registry_url()
    finally:
        if saved is not None:
            os.environ[REGISTRY_VARIABLE] = saved


def described(location: str) -> str:
    """The registry at LOCATION (``resolved``) as a summary names it."""
    if location == str(BUNDLED_REGISTRY):
        return f"corvel's bundled registry ({location})"
    # a remote registry is read after airbyte's offline switch is asked, so airbyte is imported by then
    if is_remote(location) and location == airbyte_registry_url():
        return f"airbyte's registry ({location})"
    return f"registry {location}"


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
        raise RegistryError(f"cannot read it: {error}") from error


def stop_if_switched_off(location: str) -> None:
    """RegistryError when airbyte's offline switch turns the registry at LOCATION off; asking imports airbyte."""
    from corvel.compat import is_registry_disabled

    if not is_registry_disabled(location):
        return
    if location.upper() in ("0", "F", "FALSE"):  # what airbyte takes for "no registry"
        raise RegistryError(f"the connector registry is switched off ({REGISTRY_VARIABLE}={location!r}); {WAYS_OUT}")
    raise RegistryError(f"{described(location)} is switched off by AIRBYTE_OFFLINE_MODE, which keeps airbyte from "
                        "reading any registry; unset it for this run (a package that only needs what its lock holds is "
                        "brought up to date offline by `corvel sync --frozen`)")


def read_entries(location: str, switch_first: bool = True) -> tuple[Any, list[Entry]]:
    """The registry document, read once, and its entries; RegistryError when it is off or unusable. Without
    SWITCH_FIRST (a file, whose reading asks no network), airbyte's offline switch is asked only when the
    file cannot be used, and is left to the caller otherwise."""
    if switch_first:
        stop_if_switched_off(location)
    try:
        document = read_registry(location)
        return document, registry_entries(document)
    except RegistryError as error:
        if not switch_first:
            stop_if_switched_off(location)  # a registry switched off is what the user hears first
        raise RegistryError(f"{described(location)}: {error}; {WAYS_OUT}") from error


def did_you_mean(name: str, entries: list[Entry]) -> str:
    """The registry's names closest to NAME, as a question; empty when none is close."""
    import difflib

    close = difflib.get_close_matches(name, sorted({e.name for e in entries}), n=3, cutoff=0.8)
    return f"did you mean {' or '.join(close)}?" if close else ""


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

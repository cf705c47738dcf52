"""A connector's streams document made into its record classes: ``streams/<module>.json`` and
``streams/<module>.py`` of the tree.

The document (``{"connector", "version", "origin", "streams": {name: {"schema", "primary_key"}}}``) is written
as the tree keeps it: sorted keys, two-space indent, a line feed at the end. Its module is written by the
same ``datamodel-codegen`` the models are, with corvel's settings, in one run for all the connector's streams:
the first stream's schema is the root and the others are its ``definitions``, each titled by its class name,
so that every stream becomes exactly one class (no class for the root), and the generator's own renaming of
members that are Python keywords or pydantic's names (``class_`` with ``alias="class"``) applies as it does
to the configuration classes. Every class allows members its schema does not name (``--extra-fields allow``):
a connector's records gain columns between releases; and a formatted member is its value's type (``datetime``,
``date``), not the text a configuration keeps. corvel's lines follow the classes: ``Stream``, the
``Literal`` of the stream names, ``RECORDS`` (stream name to class), ``CONNECTOR`` and ``VERSION``.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from collections.abc import Iterable
from pathlib import Path
from typing import Any, cast

from corvel import generator_settings
from corvel.errors import CorvelError
from corvel.generation import import_problem
from corvel.generator_boundary import GENERATOR, arguments, generator_path
from corvel.lock import written_hash
from corvel.tree import STREAMS_INDEX, streams_module, streams_paths

RECORD_SUFFIX = "Record"
ORIGINS = ("manifest", "package", "discovered")
STREAMS_INDEX_TEXT = "# the record classes of the tree's connectors, one module each (written by corvel)\n"
# Where records part from configurations: a class per schema allows members it does not name, since a
# record carries the columns its release adds; and a formatted string is the value it stands for (a date-time
# member a datetime, naive or aware as the connector or the cache gives it), since records are read, not
# written, and a cache gives them as those values
_RECORD_ARGUMENTS = ("--extra-fields", "allow", "--no-read-format-as-annotation", "--output-datetime-class", "datetime")


class StreamModelError(CorvelError):
    """A streams document that cannot be made into record classes; the message names the connector and why."""


def record_class_name(stream: str) -> str:
    """The class of the records of STREAM: its words in Pascal case with ``Record`` after them (``pull_request``
    gives ``PullRequestRecord``), characters no identifier holds dropped, a leading digit after ``Stream``."""
    words = "".join(c if ("a" + c).isidentifier() and c != "_" else " " for c in stream).split()
    root = "".join(word[0].upper() + word[1:] for word in words) or "Stream"
    return ("Stream" + root if root[0].isdigit() else root) + RECORD_SUFFIX


def record_classes(streams: Iterable[str]) -> dict[str, str]:
    """The class of each stream, by stream name in sorted order; streams whose names give the same class are
    told apart by a number after the second and later ones."""
    classes: dict[str, str] = {}
    for stream in sorted(streams):
        name, number = record_class_name(stream), 1
        while name in classes.values():
            number += 1
            name = f"{record_class_name(stream).removesuffix(RECORD_SUFFIX)}{number}{RECORD_SUFFIX}"
        classes[stream] = name
    return classes


def document_text(document: dict[str, Any]) -> str:
    """The document as the tree keeps it."""
    return json.dumps(document, sort_keys=True, indent=2) + "\n"


def checked(document: object, name: str) -> dict[str, Any]:
    """DOCUMENT when it is connector NAME's streams document with at least one stream; StreamModelError naming
    what is wrong when not."""
    where = f"the streams document of {name}"
    if not isinstance(document, dict):
        raise StreamModelError(f"{where} is not a JSON object")
    found = cast("dict[str, Any]", document)
    if found.get("connector") != name or not isinstance(found.get("version"), str):
        raise StreamModelError(f"{where} names connector {found.get('connector')!r} at {found.get('version')!r}")
    if found.get("origin") not in ORIGINS:
        raise StreamModelError(f"{where} has origin {found.get('origin')!r}, not one of {', '.join(ORIGINS)}")
    streams = found.get("streams")
    if not isinstance(streams, dict) or not streams:
        raise StreamModelError(f"{where} holds no streams")
    for stream, described in cast("dict[str, Any]", streams).items():
        if not (isinstance(described, dict) and isinstance(described.get("schema"), dict)
                and _is_key_list(described.get("primary_key"))):
            raise StreamModelError(f"{where}: stream {stream!r} must have a schema object and a primary_key list "
                                   "of key paths")
    return found


def _is_key_list(value: object) -> bool:
    return isinstance(value, list) and all(
        isinstance(path, list) and all(isinstance(part, str) for part in cast("list[object]", path))
        for path in cast("list[object]", value))


def composed_schema(streams: dict[str, dict[str, Any]], classes: dict[str, str]) -> dict[str, Any]:
    """One schema for the generator that holds every stream's, each titled by its class: the first stream's is
    the root, the others its definitions. A schema that says no type is an object's: every record is one."""
    titled = [{"type": "object", **streams[stream]["schema"], "title": classes[stream]} for stream in classes]
    root, rest = titled[0], titled[1:]
    if rest:  # the stream schemas have their references inlined: the root's own definitions are none of theirs
        root["definitions"] = {schema["title"]: schema for schema in rest}
    return root


def module_text(document: dict[str, Any]) -> str:
    """The module of record classes of the checked DOCUMENT, as the generator writes it with corvel's lines."""
    name = document["connector"]
    classes = record_classes(document["streams"])
    generated = _generated(name, composed_schema(document["streams"], classes))
    missing = [c for c in classes.values() if f"\nclass {c}(" not in generated]
    if missing:
        raise StreamModelError(f"{GENERATOR} wrote no class {', '.join(missing)} for the streams of {name}")
    records = "".join(f"    {json.dumps(stream)}: {classes[stream]},\n" for stream in classes)
    return (f"{generated.rstrip()}\n\n\n# the connector's streams by name (written by corvel)\n"
            "import typing  # noqa: E402 -- after the classes the generator wrote\n\n"
            "import pydantic  # noqa: E402\n\n"
            f"Stream = typing.Literal[{', '.join(json.dumps(stream) for stream in classes)}]\n"
            f"RECORDS: dict[str, type[pydantic.BaseModel]] = {{\n{records}}}\n"
            f"CONNECTOR = {json.dumps(name)}\n"
            f"VERSION = {json.dumps(document['version'])}\n")


def _generated(name: str, schema: dict[str, Any]) -> str:
    """What the generator writes for SCHEMA, run as for the models: in corvel's settings directory, with the
    generator found where the runs find it."""
    path = generator_path()
    found = shutil.which(GENERATOR, path=path) if path is not None else None
    if path is None or found is None:
        raise StreamModelError(f"{GENERATOR} was not found on PATH, so the record classes of {name} cannot be "
                               "written; it comes with the datamodel-code-generator package")
    with tempfile.TemporaryDirectory(prefix="corvel-streams-") as directory:
        source, target = Path(directory) / f"{streams_module(name)}.json", Path(directory) / "records.py"
        source.write_text(json.dumps(schema), encoding="utf-8")
        done = subprocess.run([found, *arguments(str(source), str(target)), *_RECORD_ARGUMENTS], capture_output=True,
                              text=True, cwd=generator_settings.directory(), env={**os.environ, "PATH": path},
                              check=False)  # its status and output make the failure's message
        if done.returncode != 0 or not target.is_file():
            told = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
            raise StreamModelError(f"{GENERATOR} could not write the record classes of {name}: {told}")
        return target.read_text(encoding="utf-8")


def write(directory: Path, document: object, name: str) -> dict[str, str]:
    """Writes connector NAME's streams DOCUMENT and its module of record classes under DIRECTORY (a tree's
    directory, a run's staging one), with the package they are in; their paths relative to it and their hashes.
    StreamModelError when the document is not a streams document, or its classes cannot be written or used."""
    found = checked(document, name)
    stored = document_text(found)
    text = module_text(json.loads(stored))  # as the tree keeps it, members in its order: the same classes again
    paths = streams_paths(name)
    (directory / STREAMS_INDEX).parent.mkdir(parents=True, exist_ok=True)
    (directory / STREAMS_INDEX).write_text(STREAMS_INDEX_TEXT, encoding="utf-8")
    (directory / paths[0]).write_text(stored, encoding="utf-8")
    (directory / paths[1]).write_text(text, encoding="utf-8")
    if problem := import_problem(directory / paths[1]):
        raise StreamModelError(f"the record classes of {name} do not import: {problem}")
    return {path: written_hash(directory / path) for path in paths}

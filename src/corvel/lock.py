"""The lock, ``corvel.lock``: what a tree holds, recorded so that the same tree can be written again.

``connector_configs/corvel.lock`` names every connector of the tree with the
registry entry it was generated from (kept as the registry had it, so the
schema file can be exported again without the registry), its versioned and
class names, the registry's list it is in (``kind``: sources or
destinations), how airbyte runs it (``connector_kind``: its PyPI package,
its manifest, or its Docker image), the PyPI package and version, and the
hashes of the files the tree holds for it: its schema and model, for a
manifest-only connector the manifest vendored under ``manifests/``, and when
its streams are known their document and record classes under ``streams/``.  The
text is sorted and has no times or paths in it, so the same tree always has
the same lock.  This module writes that text, and reads it back with every
check a lock must pass before a run trusts it.
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from corvel import generator_settings
from corvel.errors import CorvelError
from corvel.registry import KINDS, _problem, class_root, connector_name, tag_text, versioned_name
from corvel.tree import INDEX, MANIFESTS, STREAMS, Tree, file_paths, manifest_paths, streams_paths

FORMAT = 2
READABLE_FORMATS = (1, 2)  # a format-1 lock has no connector_kind; the next write upgrades it
_RECORD_KEYS = ("name", "kind", "image_tag", "versioned_name", "class_name", "connector_kind", "package",
                "package_version", "files", "registry_entry")
# how airbyte runs a connector when told nothing else
PYPI, MANIFEST, DOCKER = "pypi", "manifest", "docker"
# in the entry composed for a user's own manifest: {"source": path or URL, "sha256": {file name: hash}}
OWN_KEY = "corvelOwnManifest"
_LANGUAGES = ("python", "java", "manifest-only")  # airbyte's; any other language counts as none


class LockError(CorvelError):
    """The lock cannot be used; the message names the file and what is wrong with it."""


def data_hash(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def file_hash(path: Path) -> str | None:
    try:
        return data_hash(path.read_bytes())
    except FileNotFoundError:
        return None


def written_hash(path: Path) -> str:
    """The hash a lock records of PATH, a file the run wrote."""
    digest = file_hash(path)
    if digest is None:  # recorded as null, the lock would take the file for changed ever after
        raise CorvelError(f"{path} was not written by the run that should have written it; run corvel again")
    return digest


def pypi_package(entry: dict[str, Any]) -> tuple[str | None, str | None]:
    """The PyPI package that runs an entry's connector and its version, as airbyte reads them; Nones when the
    registry publishes none (airbyte then runs it another way)."""
    pypi = (entry.get("remoteRegistries") or {}).get("pypi") if isinstance(entry.get("remoteRegistries"), dict) else None
    if not isinstance(pypi, dict) or pypi.get("enabled") is not True or not isinstance(pypi.get("packageName"), str):
        return None, None
    tag = tag_text(entry.get("dockerImageTag"))
    return pypi["packageName"], tag or None


def connector_kind(entry: dict[str, Any]) -> str:
    """How airbyte runs an entry's connector when it is told nothing else, read as airbyte reads it: its
    language (the ``language`` member, else a ``language:`` tag) and its PyPI package. A manifest-only
    connector runs its manifest, a Python one with a PyPI package that package, any other its Docker image."""
    language = entry.get("language") if entry.get("language") in _LANGUAGES else None
    tags: list[Any] = entry["tags"] if isinstance(entry.get("tags"), list) else []
    for tagged in ("python", "manifest-only"):
        if not language and f"language:{tagged}" in tags:
            language = tagged
    if language == "manifest-only":
        return MANIFEST
    return PYPI if language == "python" and pypi_package(entry)[0] else DOCKER


@dataclass(frozen=True)
class LockRecord:
    """One registry entry the tree holds, as the lock records it; ``kind`` is the registry's list it is in."""

    name: str
    kind: str
    tag: str
    versioned: str
    entry: dict[str, Any] = field(compare=False, repr=False)
    files: tuple[tuple[str, str], ...] = ()  # (path relative to connector_configs/, sha256), sorted

    @classmethod
    def of(cls, kind: str, entry: dict[str, Any], files: dict[str, str] | None = None) -> LockRecord:
        name = connector_name(entry["dockerRepository"])
        tag = entry.get("dockerImageTag")
        return cls(name, kind, tag_text(tag), versioned_name(name, tag), entry, tuple(sorted((files or {}).items())))

    @property
    def label(self) -> str:
        return f"{self.name} {self.tag}".strip()

    @property
    def class_name(self) -> str:
        return class_root(self.versioned) + "Config"

    @property
    def package(self) -> tuple[str | None, str | None]:
        return pypi_package(self.entry)

    @property
    def connector_kind(self) -> str:
        return connector_kind(self.entry)

    @property
    def own_source(self) -> str | None:
        """Where the user's own manifest came from (a path relative to the project, or a URL); None for a
        registry connector."""
        own = self.entry.get(OWN_KEY)
        return own.get("source") if isinstance(own, dict) and isinstance(own.get("source"), str) else None

    @property
    def manifest_files(self) -> dict[str, str]:
        """The vendored manifest files the lock records, with their hashes."""
        return {path: digest for path, digest in self.files if path.startswith(MANIFESTS + "/")}

    @property
    def streams_files(self) -> dict[str, str]:
        """The streams document and record classes the lock records, with their hashes; none when it has none."""
        return {path: digest for path, digest in self.files if path.startswith(STREAMS + "/")}

    def as_json(self) -> dict[str, Any]:
        package, version = self.package
        return {"name": self.name, "kind": self.kind, "image_tag": self.tag, "versioned_name": self.versioned,
                "class_name": self.class_name, "connector_kind": self.connector_kind, "package": package,
                "package_version": version, "files": dict(self.files), "registry_entry": self.entry}


@dataclass
class Lock:
    path: Path
    records: list[LockRecord]
    index_hash: str | None  # None: the index is to be written again
    settings: str | None = None  # the generator settings' fingerprint the files were made with; None: unknown
    vendor_manifests: bool = True  # False: the project wants the classes alone, its manifests stay in the store

    def current_settings(self) -> bool:
        """Whether the tree's models were generated with this corvel's generator settings."""
        return self.settings == generator_settings.fingerprint()

    def names(self) -> set[str]:
        return {record.name for record in self.records}

    def record(self, versioned: str) -> LockRecord | None:
        return next((r for r in reversed(self.records) if r.versioned == versioned), None)


def lock_path(configs_dir: Path) -> Path:
    return Tree(Path(configs_dir)).lock_path


def lock_text(records: list[LockRecord], index_hash: str | None, settings: str | None,
              vendor_manifests: bool = True) -> str:
    """The lock's text: records by connector name, each name's entries in registry order (the order the index
    binds them in), the registry entries' members in their own order. ``manifests`` is written only when
    false, so a lock that vendors them reads as it did before the choice existed."""
    ordered = sorted(records, key=lambda record: record.name)
    document = {"format": FORMAT, "generator_settings": settings,
                "index": None if index_hash is None else {INDEX: index_hash},
                **({} if vendor_manifests else {"manifests": False}),
                "connectors": [record.as_json() for record in ordered]}
    return json.dumps(document, indent=2) + "\n"


def read_lock(configs_dir: Path) -> Lock | None:
    """The lock of a tree, None when it has none; LockError when it cannot be used."""
    path = lock_path(configs_dir)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return None
    except (OSError, UnicodeError) as error:
        raise LockError(f"{path}: cannot read the lock: {error}") from error
    try:
        document = json.loads(text)
    except ValueError as error:
        raise LockError(f"{path}: the lock is not JSON: {error}") from error
    if not isinstance(document, dict) or "format" not in document:
        raise LockError(f"{path}: not a corvel lock: it has no format version")
    if document["format"] not in READABLE_FORMATS:
        raise LockError(f"{path}: lock format version {document['format']!r} is not one this corvel reads "
                        f"({', '.join(map(str, READABLE_FORMATS))}); a newer corvel may have written it")
    keys = _RECORD_KEYS if document["format"] == FORMAT else tuple(k for k in _RECORD_KEYS if k != "connector_kind")
    settings = document.get("generator_settings")  # a lock from before corvel had settings of its own has none
    if settings is not None and not _is_hash(settings):
        raise LockError(f"{path}: 'generator_settings' must be null or a sha256")
    vendor_manifests = document.get("manifests", True)
    if not isinstance(vendor_manifests, bool):
        raise LockError(f"{path}: 'manifests' must be true or false")
    return Lock(path, _records(path, document.get("connectors"), keys), _index_hash(path, document.get("index")),
                settings, vendor_manifests)


def _is_hash(value: Any) -> bool:
    return isinstance(value, str) and len(value) == 64 and all(c in "0123456789abcdef" for c in value)


def _index_hash(path: Path, index: Any) -> str | None:
    if index is None:
        return None
    if not isinstance(index, dict) or set(index) != {INDEX} or not _is_hash(index[INDEX]):
        raise LockError(f"{path}: 'index' must be null or {{\"{INDEX}\": <sha256>}}")
    return index[INDEX]


def _records(path: Path, connectors: Any, keys: tuple[str, ...]) -> list[LockRecord]:
    if not isinstance(connectors, list):
        raise LockError(f"{path}: 'connectors' must be a list")
    records, seen = [], set()
    for position, item in enumerate(connectors):
        where = f"{path}: connector {position}"
        if not isinstance(item, dict) or set(item) != set(keys):
            raise LockError(f"{where}: a record has exactly the members {', '.join(keys)}")
        where += f" ({item['name']!r})"
        entry = item["registry_entry"]
        if not isinstance(entry, dict) or not isinstance(entry.get("dockerRepository"), str):
            raise LockError(f"{where}: its registry_entry has no dockerRepository string")
        if item["kind"] not in KINDS:
            raise LockError(f"{where}: kind {item['kind']!r} is neither of {', '.join(KINDS)}")
        files = item["files"]
        if not isinstance(files, dict) or not all(_is_hash(h) for h in files.values()):
            raise LockError(f"{where}: 'files' must map file names to sha256 hashes")
        record = LockRecord.of(item["kind"], entry, files)
        expected = record.as_json()
        for key in ("name", "image_tag", "versioned_name", "class_name", "connector_kind", "package", "package_version"):
            if key in item and item[key] != expected[key]:
                raise LockError(f"{where}: {key} is {item[key]!r}, but its registry_entry gives {expected[key]!r}")
        manifest, components = manifest_paths(record.versioned)
        vendored = {manifest, components} if record.connector_kind == MANIFEST and "connector_kind" in keys else set()
        streams = set(streams_paths(record.name))
        if not set(file_paths(record.versioned)) <= set(files) <= set(file_paths(record.versioned)) | vendored | streams \
                or (components in files and manifest not in files) or len(streams & set(files)) == 1:
            raise LockError(f"{where}: its files must be {' and '.join(file_paths(record.versioned))}"
                            + (f", and {manifest} with {components} if it has custom components" if vendored else "")
                            + f", and {' with '.join(sorted(streams))} if it has record classes")
        problem = _problem(entry, record.versioned)
        if problem:
            raise LockError(f"{where}: its registry_entry cannot be generated: {problem}")
        if record.versioned in seen:
            raise LockError(f"{where}: {record.versioned} is locked twice")
        seen.add(record.versioned)
        records.append(record)
    return records

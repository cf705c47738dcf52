"""Declarative manifests of the user's own: read, judged, and made registry entries.

A manifest is the connector builder's YAML document; its
``spec.connection_specification`` is the same JSON Schema a registry entry
carries. ``SourceManifestConfig`` runs one as it is (``run_arguments``); a
run of ``corvel-generate`` given one (``--manifest``, or ``own-manifests`` in
the project's table) composes a registry entry for it (``load``), so that the
generator module, the lock and the index treat it as any manifest-only
connector, and vendors the file it read. The entry keeps where the manifest
came from and the hashes of its files under ``OWN_KEY``: a manifest edited
since it was locked gives another entry, and its class is generated again.
"""

from __future__ import annotations

import hashlib
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel.errors import CorvelError
from corvel.lock import OWN_KEY, LockRecord
from corvel.tree import COMPONENTS_FILE, MANIFEST_FILE

UNSAFE_VARIABLE = "AIRBYTE_ENABLE_UNSAFE_CODE"  # airbyte's switch for custom components
DEFAULT_VERSION = "0.0.0"  # for a manifest that declares none
_COMBINATIONS = ("oneOf", "anyOf", "allOf", "not", "if", "then", "else")


class ManifestError(CorvelError):
    """A manifest cannot be read or used; the message names it and says why."""


class InvalidConfigError(CorvelError, ValueError):
    """A configuration the manifest's spec rejects; the message names each wrong member, never a value."""


@dataclass(frozen=True)
class Own:
    """A user's manifest as read for a run: its connector name, where it came from, and its files."""

    name: str
    source: str  # a path relative to the project (or absolute), or an http(s) URL
    manifest: bytes
    components: bytes | None
    entry: dict[str, Any]


def is_url(source: str) -> bool:
    return source.lower().startswith(("http://", "https://"))


def unsafe_code_allowed() -> bool:
    """Whether airbyte's switch lets custom components run (the airbyte-cdk reads it so)."""
    return os.environ.get(UNSAFE_VARIABLE, "").lower() == "true"


def fetch(url: str) -> bytes:
    """The body at URL; ManifestError for anything but 200."""
    import requests

    from corvel.manifests import fetch_timeout
    from corvel.registry import user_agent

    try:
        response = requests.get(url, headers={"User-Agent": user_agent()}, timeout=fetch_timeout())
    except requests.RequestException as error:
        raise ManifestError(f"{url}: cannot be fetched: {type(error).__name__}") from error
    if response.status_code != 200:
        raise ManifestError(f"{url}: cannot be fetched: HTTP {response.status_code}")
    return response.content


def parse(label: str, body: bytes) -> dict:
    """BODY as the mapping a manifest is, loaded as airbyte loads it (a safe loader)."""
    import yaml

    try:
        document = yaml.safe_load(body.decode("utf-8"))
    except (UnicodeError, yaml.YAMLError) as error:
        raise ManifestError(f"{label}: not a YAML manifest: {str(error).splitlines()[0]}") from error
    if not isinstance(document, dict):
        raise ManifestError(f"{label}: not a YAML manifest: its root is {type(document).__name__}, not a mapping")
    return document


def connection_spec(label: str, manifest: dict) -> dict:
    """The manifest's ``spec.connection_specification``, which must be an object schema with properties."""
    spec = manifest.get("spec")
    schema = spec.get("connection_specification") if isinstance(spec, dict) else None
    if not isinstance(schema, dict):
        raise ManifestError(f"{label}: the manifest has no spec.connection_specification: there is no "
                            "configuration to type")
    if schema.get("type") != "object" or not isinstance(schema.get("properties"), dict):
        raise ManifestError(f"{label}: its spec.connection_specification is not an object schema (type: object, "
                            "with a properties mapping)")
    return schema


def config_problems(label: str, spec: dict, config: Any) -> list[str]:
    """What SPEC (a JSON Schema, of the manifest LABEL) finds wrong in CONFIG, one line per member named by its
    path; no line shows a value of the configuration, secret or not: when in doubt, a failing value is left out."""
    from jsonschema import SchemaError, validators

    schema_class = validators.validator_for(spec)
    try:
        schema_class.check_schema(spec)
    except SchemaError as error:  # its message quotes the spec only, never the configuration
        raise ManifestError(f"{label}: its spec.connection_specification is not a valid JSON Schema: {error.message}") \
            from error
    validator = schema_class(spec)
    lines = []
    for error in sorted(validator.iter_errors(config), key=lambda e: [str(p) for p in e.absolute_path]):
        path = "/".join(map(str, error.absolute_path)) or "(the configuration)"
        lines.append(f"{path}: {_reason(error)}")
    return lines


def _reason(error) -> str:
    """Why a value fails, told from the schema alone."""
    kind, wanted = error.validator, error.validator_value
    if kind == "required":
        missing = [name for name in wanted if isinstance(error.instance, dict) and name not in error.instance]
        return f"missing required member(s) {', '.join(map(repr, missing))}"
    if kind == "additionalProperties":
        extra = re.findall(r"'([^']*)'", error.message.partition("(")[2])  # the member names, never their values
        return f"member(s) the spec does not allow: {', '.join(map(repr, extra))}" if extra else "members not allowed"
    if kind == "type":
        return f"must be of type {wanted if isinstance(wanted, str) else ' or '.join(wanted)}"
    if kind in _COMBINATIONS:
        return f"matches none of the options ({kind})" if kind != "not" else "matches a schema it must not"
    if isinstance(wanted, (dict, list)) and kind not in ("enum",):
        return f"fails {kind!r}"
    return f"fails {kind!r}: {wanted!r}"


def default_name(source: str) -> str:
    """A connector name from the manifest's file: my_api.yaml gives source-my-api, and a file named
    manifest.yaml takes its folder's name."""
    stem = Path(source.rstrip("/").rpartition("/")[2] if is_url(source) else source).stem
    if stem == Path(MANIFEST_FILE).stem:
        parent = source.rstrip("/").rsplit("/", 2)[-2] if is_url(source) else Path(source).resolve().parent.name
        stem = parent
    words = re.sub(r"[^a-z0-9]+", "-", stem.lower()).strip("-")
    return words if words.startswith("source-") else f"source-{words}"


def declared_version(manifest: dict) -> str:
    """The version the manifest declares; a manifest of the connector builder gives one in ``version``."""
    version = manifest.get("version")
    return str(version) if isinstance(version, (str, int, float)) and str(version) else DEFAULT_VERSION


def _files_hashes(manifest: bytes, components: bytes | None) -> dict[str, str]:
    files = {MANIFEST_FILE: manifest} if components is None else {MANIFEST_FILE: manifest, COMPONENTS_FILE: components}
    return {name: hashlib.sha256(data).hexdigest() for name, data in files.items()}


def read_files(source: str, project: Path) -> tuple[bytes, bytes | None]:
    """The manifest at SOURCE (a URL, or a path relative to PROJECT) and the components.py beside a file."""
    if is_url(source):
        return fetch(source), None
    path = project / source
    try:
        manifest = path.read_bytes()
    except OSError as error:
        raise ManifestError(f"{source}: cannot be read: {error.strerror or error}") from error
    components = path.with_name(COMPONENTS_FILE)
    return manifest, components.read_bytes() if components.is_file() else None


def load(source: str, name: str | None, project: Path) -> Own:
    """The manifest at SOURCE as a run takes it, with the registry entry composed for it; ManifestError names
    it and says why it cannot be used."""
    manifest, components = read_files(source, project)
    document = parse(source, manifest)
    spec = connection_spec(source, document)
    name = name or default_name(source)
    entry = {"dockerRepository": f"airbyte/{name}", "dockerImageTag": declared_version(document),
             "language": "manifest-only", "tags": ["language:manifest-only"],
             "spec": {"connectionSpecification": spec},
             OWN_KEY: {"source": source, "sha256": _files_hashes(manifest, components)}}
    return Own(name, source, manifest, components, entry)


def project_relative(path: Path, project: Path) -> str:
    """PATH as the lock records it: relative to the project when inside it, else absolute."""
    path = path.expanduser().resolve()
    try:
        return path.relative_to(project.resolve()).as_posix()
    except ValueError:
        return str(path)


def run_arguments(config) -> dict[str, Any]:
    """airbyte's ``source_manifest`` for a ``SourceManifestConfig``, once the manifest's spec has judged its
    configuration; custom components beside a manifest file only under airbyte's switch."""
    document = config.manifest_document()
    spec = connection_spec(config.manifest_label, document)
    if problems := config_problems(config.manifest_label, spec, config.config):
        raise InvalidConfigError(f"{config.name}: the configuration does not meet the spec of "
                                 f"{config.manifest_label}:\n  " + "\n  ".join(problems))
    if isinstance(config.manifest, Path):
        components = config.manifest.expanduser().with_name(COMPONENTS_FILE)
        if components.is_file() and not unsafe_code_allowed():
            raise ManifestError(f"{components} holds custom components, which run only with "
                                f"{UNSAFE_VARIABLE}=true (airbyte's switch for code beside a manifest)")
        return {"source_manifest": config.manifest.expanduser().resolve()}  # airbyte takes components.py by name
    return {"source_manifest": document}  # a URL's manifest as fetched: airbyte would fetch by name from its store


@dataclass
class Requested:
    """The user's manifests a run takes: each read, and what the summary says first."""

    loaded: list[Own]
    notes: list[str]
    changed: list[str]  # names of locked manifests whose files changed since


def requested(asked: list[tuple[str, str | None]], locked: list[LockRecord], project: Path) -> Requested:
    """The manifests ASKED for (source, name or None) and those LOCKED records came from, read; a locked file
    that is gone is kept as locked, and a locked URL is fetched only when asked for again.
    ManifestError when one cannot be used: the run writes nothing."""
    by_name = {record.name: record for record in locked if record.own_source}
    registry_names = {record.name for record in locked if not record.own_source}
    wanted: dict[str, str] = {}
    for source, name in asked:
        own_name = name or default_name(source)
        if own_name in registry_names:
            raise ManifestError(f"{source}: {own_name} is a registry connector of this tree; give the manifest "
                                "another name (--name, or name = in the table)")
        if wanted.get(own_name, source) != source:
            raise ManifestError(f"{source}: {own_name} is the name of {wanted[own_name]} too; give one of them "
                                "another name")
        wanted[own_name] = source
    notes = []
    for name, record in by_name.items():
        source = record.own_source
        if name in wanted or source is None or is_url(source):
            continue
        if not (project / source).is_file():
            notes.append(f"{name}: its manifest {source} is gone; the tree keeps the vendored copy")
            continue
        wanted[name] = source
    loaded = [load(source, name, project) for name, source in wanted.items()]
    changed = []
    for own in loaded:
        record = by_name.get(own.name)
        if record is None or record.entry == own.entry:
            continue
        changed.append(own.name)
        if record.entry.get(OWN_KEY, {}).get("sha256") != own.entry[OWN_KEY]["sha256"]:
            notes.append(f"{own.name}: {own.source} changed since it was locked; its class is generated again")
        else:
            notes.append(f"{own.name}: now read from {own.source} (it was {record.own_source})")
    return Requested(loaded, notes, changed)


def vendored_answer(record: LockRecord, loaded: dict[str, Own], project: Path):
    """What a run vendors for RECORD, the user's own: the files it read, else (--frozen, or a file gone) the
    source again when it still holds what the lock records; FetchError when it does not."""
    from corvel.manifests import Fetched, FetchError

    own = loaded.get(record.name)
    if own is None:
        assert record.own_source is not None, "asked for the user's own manifests only"
        try:
            manifest, components = read_files(record.own_source, project)
        except ManifestError as error:
            return FetchError(str(error))
        if _files_hashes(manifest, components) != record.entry[OWN_KEY].get("sha256"):
            return FetchError(f"{record.own_source}: changed since it was locked; run without --frozen to take it")
        return Fetched(manifest, components)
    return Fetched(own.manifest, own.components)

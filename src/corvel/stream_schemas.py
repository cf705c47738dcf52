"""Where a connector's stream schemas come from: its declarative manifest, its PyPI release, or a discovery.

Each source gives the same shape, stream name -> ``{"schema": <JSON Schema with
every $ref inlined>, "primary_key": [[key path], ...]}``, and ``document_for``
wraps it in the streams document a tree keeps per connector (connector,
version, origin, streams). A manifest's streams are resolved with the
airbyte-cdk's own reference resolver and component transformer, so names and
keys given through ``$parameters`` come out as the cdk runs them. A Python
connector's release is read at its locked version: from airbyte's install
directory when the connector's venv holds that version, else from PyPI's JSON
API (the wheel read in memory), the files that matter kept in the cache.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import io
import json
import os
import posixpath
import tempfile
import zipfile
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeGuard
from urllib.parse import urljoin

from corvel.errors import CorvelError
from corvel.lock import LockRecord
from corvel.tree import MANIFEST_FILE, Tree, manifest_paths

PYPI_VARIABLE = "CORVEL_PYPI_URL"
DEFAULT_PYPI = "https://pypi.org/pypi"
CACHE_FOLDER = "stream-schemas"
CACHE_FORMAT = 1  # in every cache entry, so that a change of its layout misses older entries
MANIFEST, PACKAGE, DISCOVERED = "manifest", "package", "discovered"  # a streams document's origin
SCHEMAS = "schemas"  # the folder of a Python connector's stream schemas, inside its package

Streams = dict[str, dict[str, Any]]


class StreamSourceError(CorvelError):
    """A connector's stream schemas could not be read (PyPI unreachable, a manifest that cannot be resolved);
    the message names the URL or file and the reason."""


class _Unresolved(Exception):
    """A stream's schema cannot be had from what was read (a $ref to nothing, a loader that runs the source, a
    name that needs the configuration); the message says why, and the stream is left to discovery."""


@dataclass
class ManifestStreams:
    """A manifest's streams with a static schema, and those left out with the reason."""

    streams: Streams = field(default_factory=dict)
    left_out: dict[str, str] = field(default_factory=dict)  # stream name (or a placeholder) -> why
    dynamic: int = 0  # entries of dynamic_streams, whose streams are only known once the source runs


def _is_object(value: object) -> TypeGuard[dict[str, Any]]:
    return isinstance(value, dict)


def _is_array(value: object) -> TypeGuard[list[Any]]:
    return isinstance(value, list)


def json_object(value: object) -> dict[str, Any]:
    """VALUE when it is a JSON object, else an empty one."""
    return value if _is_object(value) else {}


def json_array(value: object) -> list[Any]:
    """VALUE when it is a JSON array, else an empty one."""
    return value if _is_array(value) else []


def key_paths(primary_key: Any) -> list[list[str]]:
    """A primary key as the cdk and the catalog accept it (one field, a composite of fields, or a composite of
    field paths) as a list of key paths; [] when there is none."""
    if not primary_key:
        return []
    if isinstance(primary_key, str):
        return [[primary_key]]
    return [[str(part) for part in json_array(key)] if _is_array(key) else [str(key)]
            for key in json_array(primary_key)]


def _pointer(document: Any, fragment: str) -> Any:
    """The value FRAGMENT (a JSON pointer, '' for the whole) names in DOCUMENT."""
    node = document
    for token in filter(None, fragment.split("/")):
        token = token.replace("~1", "/").replace("~0", "~")
        try:
            node = json_array(node)[int(token)] if _is_array(node) else json_object(node)[token]
        except (KeyError, IndexError, ValueError) as error:
            raise _Unresolved(f"#{fragment}") from error
    return node


class _Inliner:
    """Replaces every $ref of a schema by what it points at: a place in the same document, or a file of
    FILES (paths relative to the package root) next to the referring one. A reference met again while it is
    being inlined (a recursive schema) keeps only the members beside it, often none: an inlined schema cannot
    hold a cycle, and {} accepts what the cycle would."""

    def __init__(self, files: Mapping[str, bytes]) -> None:
        self.files = files

    def _file(self, referrer: str, relative: str) -> str:
        path = posixpath.normpath(posixpath.join(posixpath.dirname(referrer), relative))
        if path in self.files:
            return path
        # the cdk also finds a bare file name among the package's shared schemas
        package = referrer.split("/")[0]
        shared = f"{package}/{SCHEMAS}/shared/{posixpath.basename(relative)}"
        if shared in self.files:
            return shared
        raise _Unresolved(relative)

    def inline(self, node: Any, document: Any, path: str, active: frozenset[tuple[str, str]] = frozenset()) -> Any:
        if _is_array(node):
            return [self.inline(item, document, path, active) for item in json_array(node)]
        if not _is_object(node):
            return node
        members = json_object(node)
        siblings = {key: self.inline(value, document, path, active) for key, value in members.items() if key != "$ref"}
        reference = members.get("$ref")
        if not isinstance(reference, str):
            return siblings
        relative, _, fragment = reference.partition("#")
        target_path = self._file(path, relative) if relative else path
        if (target_path, fragment) in active:
            return siblings
        target_document = _json_file(target_path, self.files[target_path]) if relative else document
        target = self.inline(_pointer(target_document, fragment), target_document, target_path,
                             active | {(target_path, fragment)})
        return {**siblings, **json_object(target)} if _is_object(target) else target


def _json_file(path: str, data: bytes) -> Any:
    try:
        return json.loads(data)
    except ValueError as error:
        raise _Unresolved(f"{path} is not JSON") from error


def inlined(schema: Any, files: Mapping[str, bytes] | None = None, path: str = "") -> dict[str, Any]:
    """SCHEMA (read from PATH among FILES, or standing alone) with every $ref inlined; _Unresolved when one
    points at nothing, or the schema is no object."""
    result = _Inliner(files or {}).inline(schema, schema, path)
    if not _is_object(result):
        raise _Unresolved("the schema is not an object")
    return json_object(result)


def _interpolated(text: Any, parameters: Mapping[str, Any]) -> Any:
    """TEXT with the cdk's interpolation of PARAMETERS applied, when it holds any; a text that needs the
    configuration cannot be known without one and fails as _Unresolved."""
    if not isinstance(text, str) or "{{" not in text:
        return text
    from airbyte_cdk.sources.declarative.interpolation.interpolated_string import InterpolatedString

    try:
        value = InterpolatedString.create(text, parameters=parameters).eval({})
    except Exception as error:  # the cdk's Jinja raises what the template makes it; any means not static
        raise _Unresolved(f"{text!r} needs more than the manifest") from error
    if not value:
        raise _Unresolved(f"{text!r} needs more than the manifest")
    return value


def _resolved(manifest: Mapping[str, Any]) -> dict[str, Any]:
    """MANIFEST as the cdk preprocesses it before it builds the source: references resolved, types and
    $parameters propagated down to every component."""
    from airbyte_cdk.sources.declarative.parsers.manifest_component_transformer import ManifestComponentTransformer
    from airbyte_cdk.sources.declarative.parsers.manifest_reference_resolver import ManifestReferenceResolver

    document = {"type": "DeclarativeSource", **manifest}
    return ManifestComponentTransformer().propagate_types_and_parameters(  # type: ignore[no-any-return]
        "", ManifestReferenceResolver().preprocess_manifest(document), {})


def _default_package(package_files: Mapping[str, bytes]) -> str | None:
    """The connector's package among PACKAGE_FILES, where the cdk looks for a stream's schema file when the
    manifest names none: the first module named source_*."""
    return next((top for top in sorted({path.split("/")[0] for path in package_files}) if top.startswith("source_")),
                None)


def _stream_schema(stream: Mapping[str, Any], name: str, package_files: Mapping[str, bytes]) -> dict[str, Any]:
    """The static schema of one resolved stream; _Unresolved when it has none."""
    given = stream.get("schema_loader")
    loader, parameters = json_object(given), {**json_object(stream.get("$parameters")), "name": name}
    if loader.get("type") == "InlineSchemaLoader":
        return inlined(loader.get("schema") or {})
    if given is None or loader.get("type") == "JsonFileSchemaLoader":
        file_path = loader.get("file_path")
        if not file_path:
            package = _default_package(package_files)
            if package is None:
                raise _Unresolved("it names no schema, and the manifest comes without a package to find one in")
            file_path = f"./{package}/{SCHEMAS}/{{{{ parameters['name'] }}}}.json"
        path = posixpath.normpath(str(_interpolated(file_path, {**parameters, **json_object(loader.get("$parameters"))})))
        if path not in package_files:
            raise _Unresolved(f"its schema file {path} is not in the package")
        return inlined(_json_file(path, package_files[path]), package_files, path)
    kind = loader.get("type") if _is_object(given) else "a list of schema loaders"
    raise _Unresolved(f"its schema loader ({kind}) gives its schema only when the source runs")


def loaded_manifest(label: str, body: bytes) -> dict[str, Any]:
    """BODY, the manifest LABEL, loaded as airbyte loads it (a safe loader); StreamSourceError when it is no
    YAML mapping."""
    import yaml

    try:
        manifest = yaml.safe_load(body)
    except yaml.YAMLError as error:
        raise StreamSourceError(f"{label}: not a YAML manifest: {str(error).splitlines()[0]}") from error
    if not _is_object(manifest):
        raise StreamSourceError(f"{label}: not a YAML manifest: its root is no mapping")
    return manifest


def read_manifest(manifest: Mapping[str, Any], package_files: Mapping[str, bytes] | None = None,
                  label: str = "the manifest") -> ManifestStreams:
    """The streams of MANIFEST (a declarative manifest, loaded), resolved as the cdk resolves them; the schema
    files its streams name are read from PACKAGE_FILES (paths relative to the connector's site-packages, such
    as ``source_x/schemas/users.json``). StreamSourceError when the manifest cannot be resolved."""
    from airbyte_cdk.sources.declarative.parsers.custom_exceptions import (
        CircularReferenceException,
        UndefinedReferenceException,
    )

    try:
        resolved = _resolved(manifest)
    except (CircularReferenceException, UndefinedReferenceException, ValueError) as error:
        raise StreamSourceError(f"{label}: its references cannot be resolved: {error}") from error
    found = ManifestStreams(dynamic=len(json_array(resolved.get("dynamic_streams"))))
    for position, given in enumerate(json_array(resolved.get("streams"))):
        if not _is_object(given):
            found.left_out[f"streams[{position}]"] = "not a stream definition"
            continue
        stream = json_object(given)
        parameters = json_object(stream.get("$parameters"))
        try:  # older cdk releases interpolate a stream's name; a template is never the name a user asks for
            name = _interpolated(stream.get("name") or parameters.get("name"), parameters)
        except _Unresolved as error:
            found.left_out[f"streams[{position}]"] = f"its name {error}"
            continue
        if not isinstance(name, str) or not name:
            found.left_out[f"streams[{position}]"] = "it has no name"
            continue
        try:
            schema = _stream_schema(stream, name, package_files or {})
        except _Unresolved as error:
            found.left_out[name] = str(error)
            continue
        found.streams[name] = {"schema": schema, "primary_key": key_paths(stream.get("primary_key"))}
    return found


def from_manifest(manifest: dict[str, Any], package_files: Mapping[str, bytes] | None = None
                  ) -> dict[str, dict[str, Any]]:
    """Stream name -> its schema and primary key, for MANIFEST's streams that have a static schema."""
    return read_manifest(manifest, package_files).streams


def from_catalog(catalog: dict[str, Any]) -> dict[str, dict[str, Any]]:
    """Stream name -> its schema and primary key, for an Airbyte catalog's streams (as discover gives it);
    a stream whose schema points at nothing is kept with that reference open, since discovery is the last
    source there is."""
    streams: Streams = {}
    for stream in map(json_object, json_array(catalog.get("streams"))):
        schema = json_object(stream.get("json_schema"))
        try:
            schema = inlined(schema)
        except _Unresolved:  # what the connector declared is still the best there is
            pass
        streams[stream["name"]] = {"schema": schema, "primary_key": key_paths(stream.get("source_defined_primary_key"))}
    return streams


# --- a Python connector's release -------------------------------------------------------------------------------

def holds_streams(path: str) -> bool:
    """Whether a file of a release can hold stream schemas: a manifest at the top of a package, or JSON under
    a package's schemas folder."""
    parts = path.split("/")
    if parts[0] in ("", ".", "..") or parts[0].endswith((".dist-info", ".data")):  # outside the packages
        return False
    return parts[1:] == [MANIFEST_FILE] or (path.endswith(".json") and SCHEMAS in parts[1:-1])


def release_streams(files: Mapping[str, bytes], label: str) -> Streams:
    """The streams a release's FILES declare: its manifest's when it ships one, else one per file of its
    packages' schemas folders (the shared schemas there are only referred to)."""
    manifest_path = next((path for path in sorted(files) if path.endswith("/" + MANIFEST_FILE)), None)
    if manifest_path is not None:
        where = f"{label}: {manifest_path}"
        return read_manifest(loaded_manifest(where, files[manifest_path]), files, where).streams
    streams: Streams = {}
    for path in sorted(files):
        parts = path.split("/")
        if len(parts) == 3 and parts[1] == SCHEMAS:
            try:
                streams[posixpath.splitext(parts[2])[0]] = {
                    "schema": inlined(_json_file(path, files[path]), files, path), "primary_key": []}
            except _Unresolved:  # a schema the connector cannot load either: that stream is left to discovery
                continue
    return streams


def _install_dir() -> Path:
    """Where airbyte installs connectors' venvs: AIRBYTE_INSTALL_DIR, else its project directory, else the
    working directory, as airbyte reads them."""
    return Path(os.environ.get("AIRBYTE_INSTALL_DIR") or os.environ.get("AIRBYTE_PROJECT_DIR") or Path.cwd())


def installed_files(connector: str, package: str, version: str) -> dict[str, bytes] | None:
    """The wanted files of PACKAGE at VERSION as the connector's venv in airbyte's install directory holds them;
    None when it holds no such version."""
    for site_packages in sorted(_install_dir().glob(f".venv-{connector}/lib/python*/site-packages")):
        for distribution in importlib.metadata.distributions(name=package, path=[str(site_packages)]):
            if distribution.version != version:
                continue
            return {str(path): (site_packages / path).read_bytes() for path in distribution.files or []
                    if holds_streams(str(path)) and (site_packages / path).is_file()}
    return None


def pypi_base() -> str:
    return (os.environ.get(PYPI_VARIABLE) or DEFAULT_PYPI).rstrip("/")


def _get(session: Any, url: str) -> Any:
    """PyPI's answer at URL, None for a 404; StreamSourceError when it cannot be had."""
    import requests

    from corvel.manifests import fetch_timeout

    try:
        response = session.get(url, timeout=fetch_timeout())
    except requests.RequestException as error:
        raise StreamSourceError(f"{url}: PyPI cannot be reached ({type(error).__name__}); the stream schemas "
                                f"come from discovery until it can (or set {PYPI_VARIABLE} to a mirror)") from error
    if response.status_code == 404:
        return None
    if response.status_code != 200:
        raise StreamSourceError(f"{url}: PyPI answered HTTP {response.status_code}")
    return response


def _wheel(files: list[Any]) -> dict[str, Any] | None:
    """Of a release's FILES (as PyPI's JSON lists them), the wheel to read, a pure one first; None when there is
    none."""
    wheels = [file for file in map(json_object, files) if file.get("packagetype") == "bdist_wheel"]
    return min(wheels, key=lambda file: not str(file.get("filename", "")).endswith("-none-any.whl"), default=None)


def _release_files(session: Any, package: str, version: str) -> tuple[str, list[Any]] | None:
    """Where PyPI's JSON lists the files of PACKAGE at VERSION, and the list; None when it has no such release.
    The release's own page is asked first; some mirrors answer only the package's page, which lists every
    release."""
    for url, files_of in ((f"{pypi_base()}/{package}/{version}/json", lambda answer: answer.get("urls")),
                          (f"{pypi_base()}/{package}/json",
                           lambda answer: json_object(answer.get("releases")).get(version))):
        answer = _get(session, url)
        if answer is None:
            continue
        try:
            files = files_of(json_object(answer.json()))
        except ValueError as error:
            raise StreamSourceError(f"{url}: PyPI's answer is not JSON") from error
        if files is not None:
            return url, json_array(files)
    return None


def pypi_files(package: str, version: str) -> dict[str, bytes] | None:
    """The wanted files of PACKAGE's wheel at VERSION, from PyPI's JSON API (PYPI_VARIABLE's base); None when
    PyPI has no such release, an empty mapping when the release has no wheel. StreamSourceError when PyPI
    cannot be read."""
    import requests

    with requests.Session() as session:
        listed = _release_files(session, package, version)
        if listed is None:
            return None
        wheel = _wheel(listed[1])
        if wheel is None:
            return {}
        wheel_url = urljoin(listed[0], str(wheel["url"]))  # a mirror may list it relative to its JSON
        body = _get(session, wheel_url)
        if body is None:
            raise StreamSourceError(f"{wheel_url}: PyPI lists this wheel but answers 404 for it")
    expected = json_object(wheel.get("digests")).get("sha256")
    if expected and hashlib.sha256(body.content).hexdigest() != expected:
        raise StreamSourceError(f"{wheel_url}: the wheel's sha256 is not the one PyPI lists")
    try:
        with zipfile.ZipFile(io.BytesIO(body.content)) as archive:
            return {name: archive.read(name) for name in archive.namelist() if holds_streams(name)}
    except zipfile.BadZipFile as error:
        raise StreamSourceError(f"{wheel_url}: not a wheel: {error}") from error


class ReleaseCache:
    """The wanted files of releases read from PyPI, one JSON file per package and version under
    DIRECTORY/stream-schemas; a release without them is kept too, so that it is not fetched again."""

    def __init__(self, directory: Path) -> None:
        self.directory = Path(directory) / CACHE_FOLDER

    def _path(self, package: str, version: str) -> Path:
        return self.directory / f"{package}-{version}.json"

    def get(self, package: str, version: str) -> dict[str, bytes] | None:
        try:
            entry = json.loads(self._path(package, version).read_text(encoding="utf-8"))
            if entry["format"] != CACHE_FORMAT:
                return None
            return {path: text.encode("utf-8") for path, text in entry["files"].items()}
        except (OSError, ValueError, KeyError, TypeError, AttributeError):  # missing or damaged: fetched again
            return None

    def put(self, package: str, version: str, files: Mapping[str, bytes]) -> None:
        try:
            entry = {"format": CACHE_FORMAT, "files": {path: data.decode("utf-8") for path, data in files.items()}}
            self.directory.mkdir(parents=True, exist_ok=True)
            handle, temporary = tempfile.mkstemp(dir=self.directory, prefix=".tmp-")
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                json.dump(entry, file)
            os.replace(temporary, self._path(package, version))
        except (OSError, UnicodeError):  # a cache that cannot be written (or a file that is no text) costs a fetch
            return


def release_files(connector: str, package: str, version: str, cache_dir: Path | None) -> dict[str, bytes] | None:
    """The wanted files of a connector's release: installed, cached, or from PyPI (then cached)."""
    files = installed_files(connector, package, version)
    if files is not None:
        return files
    cache = ReleaseCache(cache_dir) if cache_dir is not None else None
    files = cache.get(package, version) if cache is not None else None
    if files is None:
        files = pypi_files(package, version)
        if files is not None and cache is not None:  # a release PyPI does not have yet may come: not kept
            cache.put(package, version, files)
    return files


def document(record: LockRecord, origin: str, streams: Streams) -> dict[str, Any]:
    return {"connector": record.name, "version": record.tag, "origin": origin, "streams": streams}


def document_for(record: LockRecord, tree: Tree, cache_dir: Path | None) -> dict[str, Any] | None:
    """The streams document of a locked connector: from its manifest vendored in TREE when it has one, else
    from its PyPI release at the locked version; None when neither gives a stream a static schema.
    StreamSourceError when PyPI cannot be read, or a manifest resolved."""
    manifest_path = tree.directory / manifest_paths(record.versioned)[0]
    if manifest_path.is_file():
        try:
            body = manifest_path.read_bytes()
        except OSError as error:
            raise StreamSourceError(f"{manifest_path}: cannot be read: {error}") from error
        streams = read_manifest(loaded_manifest(str(manifest_path), body), None, str(manifest_path)).streams
        return document(record, MANIFEST, streams) if streams else None
    package, version = record.package
    if package is None or version is None:
        return None
    files = release_files(record.name, package, version, cache_dir)
    streams = release_streams(files or {}, f"{package} {version}")
    return document(record, PACKAGE, streams) if streams else None

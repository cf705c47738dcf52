"""A content cache of generated model modules.

A generator run is keyed by everything its output depends on: the schema
file's bytes (a schema whose "$ref" reaches another file or an URL is never
cached), the command's words (the input and output files by their
names alone, so a tree elsewhere shares the entries), the generator script
and the versions of the generator and of the packages it uses, the
configuration it reads (the nearest pyproject.toml above the working and
the output directory) and the interpreter's version.  An entry is the
model's bytes behind a line holding their SHA-256; it is written to a
temporary file and renamed into place, so a reader sees a whole entry or
none, and two runs at once at worst write the same entry twice.  An entry
whose bytes do not match its hash is treated as absent and replaced.
"""

from __future__ import annotations

import functools
import hashlib
import json
import os
import sys
import tempfile
from importlib import metadata
from pathlib import Path

from corvel import generator_settings
from corvel.generator_boundary import CACHED, Request, Result, Runner

GENERATOR_DISTRIBUTION = "datamodel-code-generator"
FORMAT = "corvel-model-cache 1"  # part of every key, so a change of the entry format misses old entries


def default_directory() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "corvel"


@functools.cache
def generator_versions() -> tuple[tuple[str, str | None], ...]:
    """The generator's version and those of every package it may use (None: not installed)."""
    try:
        requirements = metadata.requires(GENERATOR_DISTRIBUTION) or []
        versions: dict[str, str | None] = {GENERATOR_DISTRIBUTION: metadata.version(GENERATOR_DISTRIBUTION)}
    except metadata.PackageNotFoundError:
        return ((GENERATOR_DISTRIBUTION, None),)
    for requirement in requirements:
        name = requirement.split(";")[0].strip()
        name = name[: next((i for i, c in enumerate(name) if c in "<>=!~[ ("), len(name))]
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    return tuple(sorted(versions.items()))


@functools.cache
def _file_digest(path: str) -> str:
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def _nearest_config(directory: str) -> str:
    for folder in (Path(directory), *Path(directory).parents):
        candidate = folder / "pyproject.toml"
        if candidate.is_file():
            return hashlib.sha256(candidate.read_bytes()).hexdigest()
    return ""


def _refers_elsewhere(schema: bytes) -> bool:
    """Whether the generator would also read another document (a "$ref" to a file or URL) for this schema.

    The key covers the schema's own bytes only, so such a run is never
    cached; nor is one whose schema does not parse (it fails anyway).
    """
    try:
        pending = [json.loads(schema)]
    except ValueError:
        return True
    while pending:
        node = pending.pop()
        if isinstance(node, dict):
            reference = node.get("$ref")
            if reference is not None and not (isinstance(reference, str) and reference.startswith("#")):
                return True
            pending.extend(node.values())
        elif isinstance(node, list):
            pending.extend(node)
    return False


class ModelCache:
    def __init__(self, directory: Path) -> None:
        self.directory = Path(directory)

    def key(self, request: Request) -> str | None:
        """The cache key of a warm generator run; None when its files cannot be read or it reads another."""
        if request.script is None:  # not a console script: no warm run
            return None
        try:
            with open(os.path.join(request.cwd, request.input), "rb") as file:
                schema_bytes = file.read()
            # corvel's settings name its own formatter, whose code shapes the models as much as the settings do
            output = os.path.abspath(os.path.join(request.cwd, request.output))
            configs = [_nearest_config(request.cwd), _nearest_config(os.path.dirname(output)),
                       generator_settings.fingerprint()]
            script_digest = _file_digest(request.script)
        except OSError:
            return None
        if _refers_elsewhere(schema_bytes):
            return None
        schema = hashlib.sha256(schema_bytes).hexdigest()
        words = [os.path.basename(w) if w in (request.input, request.output) else w for w in request.arguments]
        described = json.dumps(
            [FORMAT, os.path.basename(request.script), script_digest, words, schema, configs,
             generator_versions(), sys.version],
        )
        return hashlib.sha256(described.encode()).hexdigest()

    def _path(self, key: str) -> Path:
        return self.directory / key[:2] / key[2:]

    def get(self, key: str) -> bytes | None:
        """The cached model, or None when there is none or it does not match its hash."""
        try:
            data = self._path(key).read_bytes()
        except OSError:
            return None
        digest, separator, model = data.partition(b"\n")
        if not separator or hashlib.sha256(model).hexdigest().encode() != digest:
            return None
        return model

    def put(self, key: str, model: bytes) -> None:
        """Stores a model; a cache that cannot be written only costs speed."""
        path = self._path(key)
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=".tmp-")
            try:
                with os.fdopen(handle, "wb") as file:
                    file.write(hashlib.sha256(model).hexdigest().encode() + b"\n" + model)
                os.replace(temporary, path)
            except BaseException:
                os.unlink(temporary)
                raise
        except OSError:
            pass


class CachedRunner:
    """A runner that answers a warm request from the cache when it can, and has RUNNER carry out the rest;
    a successful run's model is stored."""

    def __init__(self, runner: Runner, cache: ModelCache) -> None:
        self.runner, self.cache = runner, cache

    def expect(self, requests: list[Request]) -> None:
        self.runner.expect(requests)

    def run(self, request: Request) -> Result:
        key = self.cache.key(request) if request.script else None
        if key is not None and (model := self.cache.get(key)) is not None:
            try:
                with open(os.path.join(request.cwd, request.output), "wb") as file:
                    file.write(model)
                return Result(0, b"", b"", CACHED)
            except OSError:
                pass  # the generator's own run reports what is wrong with the output path
        result = self.runner.run(request)
        if key is not None and result.returncode == 0:
            try:
                with open(os.path.join(request.cwd, request.output), "rb") as file:
                    self.cache.put(key, file.read())
            except OSError:
                pass  # an unreadable model is not cached: the next run makes it again
        return result

    def close(self, kill: bool = False) -> None:
        self.runner.close(kill)

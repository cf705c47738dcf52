"""How many sources of a real registry get typed streams without running them.

    python bench/stream_coverage.py                  # the first 60 sources, 4 downloads at a time
    python bench/stream_coverage.py --limit 12 --cache ~/.cache/corvel-stream-coverage

Reads the mid-2023 registry (../shared/registries/oss-2023-06.json beside the
checkout, or --registry). Every source is first sorted by how airbyte runs it,
from the registry alone. Then, for the first LIMIT sources, their PyPI
release is read as ``corvel.stream_schemas`` reads it: the package the entry
names, else airbyte's own name for it (``airbyte-<connector>``), at the
registry's version when PyPI has it, else at its latest release (most 2023
versions were never published there). Each is counted as typed from a
manifest (the release ships one; manifest-only connectors are counted this
way, since the manifest store cannot be reached here), typed from its schema
files, needing discovery (a release without a static schema), or not on PyPI.

For every release that ships a manifest, the stream names found are checked
against the names the release itself declares: its
``integration_tests/configured_catalog.json`` when it ships one, and the
manifest's ``check.stream_names``, which must all be found. This downloads
from PyPI (one JSON document and one wheel per source); --cache keeps the
wheels' files for a later run.
"""

from __future__ import annotations

import argparse
import collections
import io
import json
import sys
import zipfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import urljoin

import requests

from corvel.lock import connector_kind, pypi_package
from corvel.registry import connector_name, tag_text
from corvel.stream_schemas import (
    ReleaseCache,
    StreamSourceError,
    holds_streams,
    loaded_manifest,
    pypi_base,
    read_manifest,
    release_streams,
)
from corvel.tree import MANIFEST_FILE

REGISTRY = Path(__file__).resolve().parents[2] / "shared" / "registries" / "oss-2023-06.json"
CATALOG = "integration_tests/configured_catalog.json"  # where older releases shipped the streams they declare
TYPED_BY_MANIFEST, TYPED_BY_FILES, NEEDS_DISCOVER, NOT_ON_PYPI = (
    "typed from a manifest", "typed from schema files", "needs discover", "not on PyPI")


@dataclass
class Release:
    """One source's release as read from PyPI, and what it gives."""

    connector: str
    package: str
    version: str | None = None
    at_registry_version: bool = False
    outcome: str = NOT_ON_PYPI
    has_manifest: bool = False
    streams: list[str] = field(default_factory=list)
    left_out: int = 0
    dynamic: int = 0
    declared: list[str] | None = None  # the configured catalog's stream names, when the release ships one
    checked: list[str] = field(default_factory=list)  # the manifest's check.stream_names
    problem: str | None = None


def wanted(path: str) -> bool:
    return holds_streams(path) or path.endswith("/" + CATALOG) or path == CATALOG


def release_files(session: requests.Session, package: str, version: str, cache: ReleaseCache | None
                  ) -> tuple[str | None, bool, dict[str, bytes]]:
    """The version read (None: not on PyPI), whether it is VERSION, and its wanted files (none: no wheel)."""
    page = f"{pypi_base()}/{package}/json"
    answer = session.get(page, timeout=60)
    if answer.status_code == 404:
        return None, False, {}
    answer.raise_for_status()
    document = answer.json()
    at_version = version in document["releases"]
    read = version if at_version else document["info"]["version"]
    files = cache.get(package, read) if cache is not None else None
    if files is None:
        wheels = [f for f in document["releases"][read] if f["packagetype"] == "bdist_wheel"]
        files = {}
        if wheels:
            body = session.get(urljoin(page, wheels[0]["url"]), timeout=120)  # a mirror lists it relative
            body.raise_for_status()
            with zipfile.ZipFile(io.BytesIO(body.content)) as archive:
                files = {name: archive.read(name) for name in archive.namelist() if wanted(name)}
        if cache is not None:
            cache.put(package, read, files)
    return read, at_version, files


def measure(entry: dict[str, Any], cache: ReleaseCache | None) -> Release:
    name = connector_name(entry["dockerRepository"])
    package = pypi_package(entry)[0] or f"airbyte-{name}"
    release = Release(name, package)
    try:
        with requests.Session() as session:
            version, release.at_registry_version, files = release_files(
                session, package, tag_text(entry.get("dockerImageTag")), cache)
        if version is None:
            return release
        release.version = version
        label = f"{package} {version}"
        streams = release_streams(files, label)
        manifest_path = next((p for p in sorted(files) if p.endswith("/" + MANIFEST_FILE)), None)
        release.streams = sorted(streams)
        release.outcome = NEEDS_DISCOVER if not streams else TYPED_BY_MANIFEST if manifest_path else TYPED_BY_FILES
        if manifest_path is not None:
            release.has_manifest = True
            manifest = loaded_manifest(label, files[manifest_path])
            found = read_manifest(manifest, files, label)
            release.left_out, release.dynamic = len(found.left_out), found.dynamic
            release.checked = list((manifest.get("check") or {}).get("stream_names") or [])
            catalog = next((data for path, data in files.items() if path.endswith(CATALOG)), None)
            if catalog is not None:
                release.declared = sorted({s["stream"]["name"] for s in json.loads(catalog)["streams"]})
    except (requests.RequestException, StreamSourceError, ValueError, KeyError) as error:
        release.problem = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
    return release


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--registry", type=Path, default=REGISTRY)
    parser.add_argument("--limit", type=int, default=60, help="sources whose release is read (default 60)")
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--cache", type=Path, help="keep the releases' files here between runs")
    options = parser.parse_args()
    sources = json.loads(options.registry.read_text(encoding="utf-8"))["sources"]
    print(f"{options.registry.name}: {len(sources)} sources; how airbyte runs them, from the registry alone: "
          + ", ".join(f"{kind} {count}" for kind, count in
                      sorted(collections.Counter(connector_kind(e) for e in sources).items())))
    cache = ReleaseCache(options.cache) if options.cache else None
    sample = sources[:options.limit]
    with ThreadPoolExecutor(max_workers=options.jobs) as pool:
        releases = list(pool.map(lambda e: measure(e, cache), sample))
    outcomes = collections.Counter(r.outcome for r in releases if r.problem is None)
    print(f"\nreleases of the first {len(sample)} sources ({sum(r.at_registry_version for r in releases)} at the "
          "registry's version, the others at their latest):")
    for outcome in (TYPED_BY_MANIFEST, TYPED_BY_FILES, NEEDS_DISCOVER, NOT_ON_PYPI):
        print(f"  {outcome:<24} {outcomes[outcome]}")
    for release in releases:
        print(f"    {release.package} {release.version or ''}: "
              + (f"could not be read: {release.problem}" if release.problem else
                 f"{release.outcome}, {len(release.streams)} streams"
                 + (f", {release.left_out} left out" if release.left_out else "")
                 + (f", {release.dynamic} dynamic_streams" if release.dynamic else "")))
    manifests = [r for r in releases if r.has_manifest]
    print(f"\nreleases that ship a manifest: {len(manifests)}; streams typed {sum(len(r.streams) for r in manifests)}, "
          f"left out (no static schema) {sum(r.left_out for r in manifests)}, dynamic_streams "
          f"{sum(r.dynamic for r in manifests)}")
    # a configured catalog is what the release's own tests read: a part of its streams, by their names
    with_catalog = [r for r in manifests if r.declared is not None]
    matching = [r for r in with_catalog if set(r.declared or []) <= set(r.streams)]
    print(f"  streams of the release's configured catalog all found: {len(matching)} of {len(with_catalog)}")
    checked = [r for r in manifests if set(r.checked) <= set(r.streams)]
    print(f"  check.stream_names all found: {len(checked)} of {len(manifests)}")
    for release in manifests:
        if release not in matching and release.declared is not None or release not in checked:
            print(f"  not found: {release.package} {release.version}: catalog "
                  f"{sorted(set(release.declared or []) - set(release.streams))}, "
                  f"check {sorted(set(release.checked) - set(release.streams))}")
    by_origin = collections.Counter(r.outcome for r in releases)
    typed = by_origin[TYPED_BY_MANIFEST] + by_origin[TYPED_BY_FILES]
    print(f"\ntyped without running the source: {typed} of {len(sample)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Manifests of manifest-only connectors, fetched from the manifest store for the tree to vendor.

A manifest-only connector is a declarative YAML manifest that the airbyte-cdk
runs; airbyte fetches it from its manifest store on every run.  A run of
``corvel-generate`` fetches it once, at the locked version, and the tree
keeps it under ``manifests/<versioned name>/manifest.yaml``, with the
connector's custom components beside it as ``components.py`` when it has
any, so that ``corvel.get_source`` runs exactly that manifest, offline.

The store is airbyte's own (the URL template airbyte fetches manifests
from), or the one ``CORVEL_MANIFEST_URL`` names: a template with ``{name}``
and ``{version}``, for mirrors.  Custom components come from beside the
manifest, under the name airbyte fetches them by (``components.zip``, or
``components.py`` on older airbyte releases); a store without them
answers 404.  A manifest is fetched with a timeout, up to ``jobs`` at once,
through a content cache keyed by the URLs asked and the connector's name
and version, so that a run after the first fetches nothing.  airbyte's
store URLs are remembered per airbyte release beside that cache
(``remembered_store``), so that a later run can ask the store before
airbyte, which takes seconds to import, has been imported.
"""

from __future__ import annotations

import hashlib
import io
import itertools
import json
import os
import re
import shutil
import tempfile
import threading
import zipfile
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from corvel.errors import CorvelError
from corvel.lock import LockRecord, data_hash
from corvel.tree import COMPONENTS_FILE, MANIFEST_FILE, manifest_paths

URL_VARIABLE = "CORVEL_MANIFEST_URL"
TIMEOUT_VARIABLE = "CORVEL_MANIFEST_TIMEOUT"
FETCH_TIMEOUT = 30.0  # seconds, for the connection and for each read of an answer, unless TIMEOUT_VARIABLE says
CACHE_FORMAT = "corvel-manifest-cache 1"  # part of every key, so a change of the entry layout misses old entries


# a document marker or a tag: text without them is one document without tags
_MARKERS = re.compile(r"^(---|\.\.\.)(\s|$)|!", re.MULTILINE)
# the tags airbyte's yaml.safe_load constructs
_SAFE_TAGS = {f"tag:yaml.org,2002:{name}" for name in
              ("null", "bool", "int", "float", "binary", "timestamp", "omap", "pairs", "set", "str", "seq", "map")}


class StoreError(CorvelError):
    """The store's location cannot be used; the message says why."""


class FetchError(CorvelError):
    """One connector's manifest could not be fetched; the message names the URL and the reason.

    ``unreachable`` says that the store itself could not be reached (no connection, or no answer in time):
    the run asks it nothing more."""

    def __init__(self, message: str, unreachable: bool = False, asked: bool = True) -> None:
        super().__init__(message)
        self.unreachable, self.asked = unreachable, asked  # not asked: the store was found unreachable before


@dataclass(frozen=True)
class Fetched:
    """The store's answer for one connector at one version."""

    manifest: bytes
    components: bytes | None  # None: the connector has no custom components


@dataclass(frozen=True)
class AirbyteStore:
    """airbyte's manifest store as its executors name it: the manifest's URL template (with ``{source_name}``
    and ``{version}``) and the components' one, whose last part is the name they are fetched by."""

    manifest_url: str
    components_url: str

    @classmethod
    def installed(cls) -> AirbyteStore:
        """The installed airbyte's (importing it takes seconds)."""
        from corvel.compat import executor_util as util

        return cls(util.DEFAULT_MANIFEST_URL, getattr(util, "DEFAULT_COMPONENTS_URL", "/components.py"))

    def urls(self, name: str, version: str) -> tuple[str, str]:
        """The URLs of a connector's manifest and of its custom components at VERSION, as airbyte forms them,
        from the store CORVEL_MANIFEST_URL names when it is set."""
        template = os.environ.get(URL_VARIABLE) or self.manifest_url.replace("{source_name}", "{name}")
        if "{name}" not in template or "{version}" not in template:
            raise StoreError(f"{URL_VARIABLE}={template!r} must hold {{name}} and {{version}}")
        manifest = template.replace("{name}", name).replace("{version}", version.removeprefix("v"))
        return manifest, manifest.rpartition("/")[0] + "/" + self.components_url.rpartition("/")[2]


REMEMBERED_STORES = "airbyte-stores.json"  # in the cache directory: airbyte release -> its AirbyteStore


def remembered_store(directory: Path) -> AirbyteStore | None:
    """The installed airbyte release's store as an earlier run read it (from DIRECTORY), without importing
    airbyte; None when no run did."""
    from corvel.compat import airbyte_version

    try:
        known = json.loads((Path(directory) / REMEMBERED_STORES).read_text(encoding="utf-8"))
        manifest_url, components_url = known[airbyte_version()]
    except (OSError, ValueError, KeyError, TypeError):  # nothing usable remembered: the run reads airbyte's
        return None
    if not isinstance(manifest_url, str) or not isinstance(components_url, str):
        return None
    return AirbyteStore(manifest_url, components_url)


def remember_store(directory: Path, store: AirbyteStore) -> None:
    """Keeps STORE as the installed airbyte release's, for later runs to find in DIRECTORY."""
    from corvel.compat import airbyte_version

    path = Path(directory) / REMEMBERED_STORES
    try:
        known = json.loads(path.read_text(encoding="utf-8"))
        known = known if isinstance(known, dict) else {}
    except (OSError, ValueError):
        known = {}
    known[airbyte_version()] = [store.manifest_url, store.components_url]
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=".tmp-")
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                json.dump(known, file)
            os.replace(temporary, path)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError:  # a store that cannot be remembered only costs a later run its early start
        pass


def fetch_timeout() -> float:
    """Seconds a fetch waits for the store to connect, and then for each read of its answer."""
    text = os.environ.get(TIMEOUT_VARIABLE)
    try:
        timeout = float(text) if text else FETCH_TIMEOUT
    except ValueError:
        timeout = -1.0
    if not timeout > 0:
        raise StoreError(f"{TIMEOUT_VARIABLE}={text!r} must be a number of seconds above 0")
    return timeout


def _get(session, url: str) -> bytes | None:
    """The body at URL, None when the store answers 404; FetchError for anything else but 200."""
    import requests

    from corvel.registry import user_agent

    try:
        response = session.get(url, headers={"User-Agent": user_agent()}, timeout=fetch_timeout())
    except requests.Timeout as error:
        raise FetchError(f"{url}: no answer within {fetch_timeout():g} s ({type(error).__name__})", True) from error
    except requests.ConnectionError as error:
        raise FetchError(f"{url}: the store cannot be reached ({type(error).__name__})", True) from error
    except requests.RequestException as error:
        raise FetchError(f"{url}: {type(error).__name__}: {error}") from error
    if response.status_code == 404:
        return None
    if response.status_code != 200:
        raise FetchError(f"{url}: the store answered HTTP {response.status_code}")
    return response.content


def _yaml_mapping(url: str, body: bytes) -> None:
    """FetchError unless BODY is one YAML document whose root is a mapping, with no tag a safe loader refuses.

    The document is parsed, not loaded: building its objects would cost
    several times as much, and airbyte loads it again to run it. Text with
    no document marker and no tag (most manifests) is one document without
    tags: libyaml checks all of it without building events, and its first
    events give the root.
    """
    import yaml

    loader = getattr(yaml, "CSafeLoader", None)
    try:
        text = body.decode("utf-8")
        if loader is not None and not _MARKERS.search(text):
            checker = loader(text)
            try:
                checker.raw_parse()
            finally:
                checker.dispose()
            events = list(itertools.islice(yaml.parse(text, Loader=loader), 3))
        else:
            events = list(yaml.parse(text, Loader=loader or yaml.SafeLoader))
    except (UnicodeError, yaml.YAMLError) as error:
        raise FetchError(f"{url}: not a YAML manifest: {str(error).splitlines()[0]}") from error
    documents = sum(isinstance(event, yaml.DocumentStartEvent) for event in events)
    if documents != 1 or not isinstance(events[2], yaml.MappingStartEvent):
        what = f"{documents} documents" if documents != 1 else \
            "a sequence" if isinstance(events[2], yaml.SequenceStartEvent) else "a scalar"
        raise FetchError(f"{url}: not a YAML manifest: {what}, not a mapping")
    tags = {tag for event in events if (tag := getattr(event, "tag", None)) is not None} - {"!"} - _SAFE_TAGS
    if tags:
        raise FetchError(f"{url}: not a YAML manifest: it has tags a safe loader refuses ({', '.join(sorted(tags))})")


def _components(url: str, body: bytes) -> bytes:
    """components.py out of the store's answer: the file itself, or a zip archive holding it."""
    if not url.endswith(".zip"):
        return body
    try:
        with zipfile.ZipFile(io.BytesIO(body)) as archive:
            return archive.read(COMPONENTS_FILE)
    except (zipfile.BadZipFile, KeyError) as error:
        raise FetchError(f"{url}: no {COMPONENTS_FILE} in it: {error}") from error


def fetch(session, store: AirbyteStore, name: str, version: str) -> Fetched:
    """A connector's manifest and custom components at VERSION, from STORE."""
    manifest_url, components_url = store.urls(name, version)
    manifest = _get(session, manifest_url)
    if manifest is None:
        raise FetchError(f"{manifest_url}: the store has no manifest for {name} {version} (HTTP 404)")
    _yaml_mapping(manifest_url, manifest)
    components = _get(session, components_url)
    return Fetched(manifest, None if components is None else _components(components_url, components))


class ManifestCache:
    """Answers of the store kept under DIRECTORY, one folder per key, each file behind the hashes in
    ``hashes.json``; a folder is written whole under a temporary name and renamed into place."""

    def __init__(self, directory: Path) -> None:
        self.directory = Path(directory) / "manifests"

    @staticmethod
    def key(store: AirbyteStore, name: str, version: str) -> str:
        words = [CACHE_FORMAT, name, version, *store.urls(name, version)]
        return hashlib.sha256(json.dumps(words).encode()).hexdigest()

    def get(self, key: str) -> Fetched | None:
        folder = self.directory / key
        try:
            hashes = dict(json.loads((folder / "hashes.json").read_text(encoding="utf-8")))
            files = {name: (folder / name).read_bytes() for name in (MANIFEST_FILE, COMPONENTS_FILE) if name in hashes}
        except (OSError, ValueError, TypeError):
            return None
        if MANIFEST_FILE not in files or any(hashlib.sha256(data).hexdigest() != hashes[name]
                                             for name, data in files.items()):
            return None  # a damaged entry is fetched again and replaced
        return Fetched(files[MANIFEST_FILE], files.get(COMPONENTS_FILE))

    def put(self, key: str, fetched: Fetched) -> None:
        files = {MANIFEST_FILE: fetched.manifest}
        if fetched.components is not None:
            files[COMPONENTS_FILE] = fetched.components
        folder = None
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
            folder = Path(tempfile.mkdtemp(dir=self.directory, prefix=".tmp-"))
            for name, data in files.items():
                (folder / name).write_bytes(data)
            hashes = {name: hashlib.sha256(data).hexdigest() for name, data in files.items()}
            (folder / "hashes.json").write_text(json.dumps(hashes), encoding="utf-8")
            target = self.directory / key
            if target.exists():  # an entry that failed its check, or one another run just wrote
                shutil.rmtree(target, ignore_errors=True)
            os.rename(folder, target)
        except OSError:  # a cache that cannot be written only costs a fetch next time
            if folder is not None:
                shutil.rmtree(folder, ignore_errors=True)


def fetch_all(records: list[LockRecord], store: AirbyteStore, jobs: int, cache: ManifestCache | None,
              advance: Callable[[], None] = lambda: None) -> dict[str, Fetched | FetchError]:
    """Each record's manifest at its locked version, by versioned name: from the cache, else from STORE,
    up to JOBS fetches at once. ADVANCE is called as each one is done.

    Once the store cannot be reached, it is asked nothing more in this run: every manifest still to fetch
    fails at once with that reason, so an unreachable store costs one wait, not one per connector."""
    import requests

    local, sessions = threading.local(), []  # a session per thread, each closed when all are done
    unreachable: list[FetchError] = []  # the first failure to reach the store

    def one(record: LockRecord) -> Fetched | FetchError:
        try:
            key = cache.key(store, record.name, record.tag) if cache is not None else ""
            fetched = cache.get(key) if cache is not None else None
            if fetched is None:
                if unreachable:
                    return FetchError(f"{store.urls(record.name, record.tag)[0]}: not asked: the store could not "
                                      "be reached earlier in this run", True, asked=False)
                if not hasattr(local, "session"):
                    local.session = requests.Session()
                    sessions.append(local.session)
                fetched = fetch(local.session, store, record.name, record.tag)
                if cache is not None:
                    cache.put(key, fetched)
            return fetched
        except FetchError as error:
            if error.unreachable:
                unreachable.append(error)
            return error
        finally:
            advance()

    store.urls("{name}", "{version}")  # a template or timeout that cannot be used stops the run before anything
    fetch_timeout()                    # is fetched
    try:
        with ThreadPoolExecutor(max_workers=max(1, jobs), thread_name_prefix="corvel-manifest") as pool:
            return dict(zip([r.versioned for r in records], pool.map(one, records)))
    finally:
        for session in sessions:
            session.close()


def unreachable_notes(answers: Iterable[Fetched | FetchError]) -> list[str]:
    """What the summary says when the store could not be reached: its whole URL and the ways to go on."""
    first = next((a for a in answers if isinstance(a, FetchError) and a.unreachable and a.asked), None)
    if first is None:
        return []
    return [(f"manifests not vendored: {first}; to go on without them, set manifests = false in [tool.corvel] "
             f"(or pass --no-manifests), or set {URL_VARIABLE} to a store that answers (a URL template with {{name}} "
             "and {version})")]


def vendor(tree: Path, versioned: str, fetched: Fetched) -> dict[str, str]:
    """Writes a fetched manifest into TREE (a staging tree) under its versioned name; the files with their
    hashes, relative to the tree."""
    manifest, components = manifest_paths(versioned)
    files = {manifest: fetched.manifest}
    if fetched.components is not None:
        files[components] = fetched.components
    for relative, data in files.items():
        (tree / relative).parent.mkdir(parents=True, exist_ok=True)
        (tree / relative).write_bytes(data)
    return {relative: data_hash(data) for relative, data in files.items()}

"""The generated tree's lock: what ``connector_configs/`` holds, and how a run changes it.

``connector_configs/corvel.lock`` names every connector of the tree with the
registry entry it was generated from (kept as the registry had it, so the
schema file can be exported again without the registry), its versioned and
class names, how airbyte runs it (``connector_kind``: its PyPI package, its
manifest, or its Docker image), the PyPI package and version, and the
hashes of the files the tree holds for it: its schema and model, and for a
manifest-only connector the manifest vendored under ``manifests/``.  The
text is sorted and has no times or paths in it, so the same tree always has
the same lock.

A run plans what the tree is to hold (``plan``), hands the generator module
one registry document composed of exactly those entries (``composed_registry``),
has it write into a staging directory beside the tree (``Staging``) and then
moves the files into place, the lock last.  The move is journalled: a run that
is stopped before the journal exists leaves the previous tree and lock; one
stopped after it is finished by the next run (``recover``).  Runs on one tree
take turns (``TreeLock``).
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import shutil
import signal
import tempfile
import threading
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

from corvel import generator_settings, index_stubs
from corvel.errors import CorvelError
from corvel.registry import KINDS, Entry, _problem, class_root, connector_name, tag_text, versioned_name
from corvel.tree import INDEX, LOCK_NAME, MANIFESTS

FORMAT = 2
READABLE_FORMATS = (1, 2)  # a format-1 lock has no connector_kind; the next write upgrades it
STAGING = ".corvel-run"  # one run at a time per tree, so one name: the paths in the generator's reports stay put
JOURNAL = "commit.json"
REGISTRY_FILE = "registry.json"
INDEX_CLASS_PREFIX = "from corvel.connector_configs.model."
# what a run does with a connector of the tree
KEPT, ADDED, UPGRADED, REGENERATED, REMOVED = "kept", "added", "upgraded", "regenerated", "removed"
_RECORD_KEYS = ("name", "kind", "image_tag", "versioned_name", "class_name", "connector_kind", "package",
                "package_version", "files", "registry_entry")
# how airbyte runs a connector when told nothing else
PYPI, MANIFEST, DOCKER = "pypi", "manifest", "docker"
MANIFEST_FILE, COMPONENTS_FILE = "manifest.yaml", "components.py"
# in the entry composed for a user's own manifest: {"source": path or URL, "sha256": {file name: hash}}
OWN_KEY = "corvelOwnManifest"
_LANGUAGES = ("python", "java", "manifest-only")  # airbyte's; any other language counts as none


class LockError(CorvelError):
    """The lock cannot be used; the message names the file and what is wrong with it."""


def file_paths(versioned: str) -> tuple[str, str]:
    """The files the tree holds for a versioned name, relative to connector_configs/."""
    return f"jsonschema/{versioned}.json", f"model/{versioned}.py"


def manifest_paths(versioned: str) -> tuple[str, str]:
    """Where a manifest-only connector's manifest and custom components are vendored, relative to
    connector_configs/."""
    return f"{MANIFESTS}/{versioned}/{MANIFEST_FILE}", f"{MANIFESTS}/{versioned}/{COMPONENTS_FILE}"


def file_hash(path: Path) -> str | None:
    try:
        return hashlib.sha256(path.read_bytes()).hexdigest()
    except FileNotFoundError:
        return None


def pypi_package(entry: dict) -> tuple[str | None, str | None]:
    """The PyPI package that runs an entry's connector and its version, as airbyte reads them; Nones when the
    registry publishes none (airbyte then runs it another way)."""
    pypi = (entry.get("remoteRegistries") or {}).get("pypi") if isinstance(entry.get("remoteRegistries"), dict) else None
    if not isinstance(pypi, dict) or pypi.get("enabled") is not True or not isinstance(pypi.get("packageName"), str):
        return None, None
    tag = tag_text(entry.get("dockerImageTag"))
    return pypi["packageName"], tag or None


def connector_kind(entry: dict) -> str:
    """How airbyte runs an entry's connector when it is told nothing else, read as airbyte reads it: its
    language (the ``language`` member, else a ``language:`` tag) and its PyPI package. A manifest-only
    connector runs its manifest, a Python one with a PyPI package that package, any other its Docker image."""
    language = entry.get("language") if entry.get("language") in _LANGUAGES else None
    tags = entry.get("tags") if isinstance(entry.get("tags"), list) else []
    for tagged in ("python", "manifest-only"):
        if not language and f"language:{tagged}" in tags:
            language = tagged
    if language == "manifest-only":
        return MANIFEST
    return PYPI if language == "python" and pypi_package(entry)[0] else DOCKER


@dataclass(frozen=True)
class Locked:
    """One registry entry the tree holds."""

    name: str
    kind: str
    tag: str
    versioned: str
    entry: dict = field(compare=False, repr=False)
    files: tuple[tuple[str, str], ...] = ()  # (path relative to connector_configs/, sha256), sorted

    @classmethod
    def of(cls, kind: str, entry: dict, files: dict[str, str] | None = None) -> Locked:
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

    def as_json(self) -> dict[str, Any]:
        package, version = self.package
        return {"name": self.name, "kind": self.kind, "image_tag": self.tag, "versioned_name": self.versioned,
                "class_name": self.class_name, "connector_kind": self.connector_kind, "package": package,
                "package_version": version, "files": dict(self.files), "registry_entry": self.entry}


@dataclass
class Lock:
    path: Path
    records: list[Locked]
    index_hash: str | None  # None: the index is to be written again
    settings: str | None = None  # the generator settings' fingerprint the files were made with; None: unknown
    vendor_manifests: bool = True  # False: the project wants the classes alone, its manifests stay in the store

    def current_settings(self) -> bool:
        """Whether the tree's models were generated with this corvel's generator settings."""
        return self.settings == generator_settings.fingerprint()

    def names(self) -> set[str]:
        return {record.name for record in self.records}

    def record(self, versioned: str) -> Locked | None:
        return next((r for r in reversed(self.records) if r.versioned == versioned), None)


def lock_path(configs_dir: Path) -> Path:
    return Path(configs_dir) / LOCK_NAME


def lock_text(records: list[Locked], index_hash: str | None, settings: str | None,
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


def _records(path: Path, connectors: Any, keys: tuple[str, ...]) -> list[Locked]:
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
        record = Locked.of(item["kind"], entry, files)
        expected = record.as_json()
        for key in ("name", "image_tag", "versioned_name", "class_name", "connector_kind", "package", "package_version"):
            if key in item and item[key] != expected[key]:
                raise LockError(f"{where}: {key} is {item[key]!r}, but its registry_entry gives {expected[key]!r}")
        manifest, components = manifest_paths(record.versioned)
        vendored = {manifest, components} if record.connector_kind == MANIFEST and "connector_kind" in keys else set()
        if not set(file_paths(record.versioned)) <= set(files) <= set(file_paths(record.versioned)) | vendored or (
                components in files and manifest not in files):
            raise LockError(f"{where}: its files must be {' and '.join(file_paths(record.versioned))}"
                            + (f", and {manifest} with {components} if it has custom components" if vendored else ""))
        problem = _problem(entry, record.versioned)
        if problem:
            raise LockError(f"{where}: its registry_entry cannot be generated: {problem}")
        if record.versioned in seen:
            raise LockError(f"{where}: {record.versioned} is locked twice")
        seen.add(record.versioned)
        records.append(record)
    return records


# -- what a run does to the tree ------------------------------------------------


@dataclass
class Planned:
    """A registry entry the run hands the generator, and what it means for the tree."""

    record: Locked
    change: str  # KEPT, ADDED, UPGRADED or REGENERATED
    previous: str | None = None  # the tag an upgraded connector had


def stale_names(configs_dir: Path, lock: Lock, is_project: bool = False) -> tuple[set[str], bool]:
    """Connectors whose schema or model differs from the lock's hashes, and whether the index (or its stubs)
    does; every connector when the models were generated with other settings than this corvel's."""
    if not lock.current_settings():
        return lock.names(), True
    stale = {r.name for r in lock.records
             if any(file_hash(configs_dir / p) != h for p, h in r.files if p in file_paths(r.versioned))}
    index_stale = lock.index_hash is None or file_hash(configs_dir / INDEX) != lock.index_hash \
        or not index_stubs.in_line(configs_dir, {r.versioned: r.name for r in lock.records}, is_project)
    return stale, index_stale


class PlanError(CorvelError):
    """A request that contradicts the lock (removing or upgrading a connector it does not hold)."""


def plan(lock: Lock | None, stale: set[str], entries: list[Entry] | None, document: Any, *, add: list[str],
         every: bool, upgrade: list[str] | None, remove: list[str],
         legacy: dict[str, set[str]] | None = None) -> tuple[list[Planned], list[str], list[Locked]]:
    """What the tree is to hold: the planned entries, the names the registry lacks, and the locked records dropped.

    Locked connectors stay at their locked entries; those in ``upgrade`` (all
    when it is empty) move to the registry's current entries, and so come
    ``add`` and, with ``every``, each connector of the registry.  ``legacy``
    holds the connectors an index without a lock imported, by name, with
    their versioned names: they come at those versions where the registry
    still has them.  ``entries`` is None when no registry was read.
    """
    records = lock.records if lock else []
    locked = {r.name for r in records}
    legacy = legacy or {}
    unknown = [n for n in dict.fromkeys(remove + (upgrade or [])) if n not in locked and n not in legacy]
    if unknown:
        raise PlanError(f"not in the tree, so it cannot be removed or upgraded: {', '.join(unknown)}")
    upgrading = locked | set(legacy) if upgrade == [] else set(upgrade or ())
    wanted = [n for n in dict.fromkeys([*legacy, *add, *sorted(upgrading)]) if n not in remove]
    wanted = [n for n in wanted if n not in locked or n in upgrading]
    groups: dict[str, list[Entry]] = {}
    for entry in entries or ():
        groups.setdefault(entry.name, []).append(entry)
    if every:
        taken = locked | set(wanted) | set(remove)
        wanted += [name for name in groups if name not in taken]
    fresh: dict[str, list[Locked]] = {}
    for name in wanted:
        group = groups.get(name, [])
        if group and not any(e.problem for e in group):  # the module would export all of a name's entries
            preferred = [e for e in group if e.versioned in legacy.get(name, ()) and name not in upgrading]
            fresh[name] = [Locked.of(e.kind, document[e.kind][e.position]) for e in preferred or group]
    def same(name: str, new: list[Locked]) -> bool:
        return [(r.tag, r.entry) for r in records if r.name == name] == [(r.tag, r.entry) for r in new]

    moved = {name for name, new in fresh.items() if not same(name, new)}  # an upgrade to the same entry keeps it
    planned = [Planned(r, REGENERATED if r.name in stale else KEPT)
               for r in records if r.name not in remove and r.name not in moved]
    for name in sorted(moved):
        new = fresh[name]
        before = [r.tag for r in records if r.name == name] or sorted(legacy.get(name, ()))
        if not any(r.name == name for r in records) and all(r.versioned in legacy.get(name, ()) for r in new):
            change, previous = KEPT, None  # carried over from an index without a lock, at its version
        else:
            change, previous = (UPGRADED, ", ".join(dict.fromkeys(before))) if before else (ADDED, None)
        planned += [Planned(r, change, previous) for r in new]
    dropped = [r for r in records if r.name in remove or r.name in moved]
    return planned, [n for n in wanted if n not in fresh], dropped


def composed_registry(records: list[Locked]) -> dict[str, list[dict]]:
    """A registry document of exactly these entries: by connector name, each name's entries in their order."""
    ordered = sorted(records, key=lambda record: record.name)
    return {kind: [r.entry for r in ordered if r.kind == kind] for kind in KINDS}


def composed_registry_file(records: list[Locked]) -> tempfile.TemporaryDirectory:
    """The composed registry in a temporary directory (as REGISTRY_FILE), for the generator module to read."""
    directory = tempfile.TemporaryDirectory(prefix="corvel-registry-")
    try:
        with open(os.path.join(directory.name, REGISTRY_FILE), "w", encoding="utf-8") as file:
            json.dump(composed_registry(records), file)  # ASCII with escapes: parsed back to the same values
    except BaseException:
        directory.cleanup()
        raise
    return directory


def index_classes(index: Path) -> dict[str, str]:
    """Versioned name -> configuration class, as the package index imports them."""
    classes = {}
    for line in index.read_text(encoding="utf-8").split("\n"):
        if line.startswith(INDEX_CLASS_PREFIX):
            versioned, _, class_name = line[len(INDEX_CLASS_PREFIX) :].rpartition(" import ")
            classes[versioned] = class_name
    return classes


def legacy_connectors(configs_dir: Path) -> dict[str, set[str]]:
    """The connectors an index written without a lock imports, by name, with their versioned names.

    The name is the one the connector's schema file carries; a versioned
    name without a readable schema file cannot be carried over, and stops
    the run before anything is written (LockError).
    """
    index = Path(configs_dir) / INDEX
    if not index.is_file():
        return {}
    connectors: dict[str, set[str]] = {}
    unknown = []
    for versioned in index_classes(index):
        try:
            schema = json.loads((Path(configs_dir) / file_paths(versioned)[0]).read_text(encoding="utf-8"))
            name = schema["properties"]["connector_name"]["default"]
        except (OSError, ValueError, KeyError, TypeError):
            unknown.append(versioned)
            continue
        connectors.setdefault(name, set()).add(versioned)
    if unknown:
        raise LockError(
            f"{index} was written without a lock and imports {', '.join(unknown)}, whose schema files do not say "
            "which connector they are; generate the tree anew into an empty --output-dir"
        )
    return connectors


# -- staging, commit and recovery -----------------------------------------------


def stale_manifests(configs_dir: Path, planned: list[Planned]) -> list[Locked]:
    """The planned manifest-only connectors whose vendored manifest is to be fetched: none is recorded for
    them, or the tree's files differ from the lock's hashes."""
    return [p.record for p in planned if p.record.connector_kind == MANIFEST and (
        not p.record.manifest_files
        or any(file_hash(configs_dir / path) != digest for path, digest in p.record.manifest_files.items()))]


def commit_run(staging: Staging, lock: Lock | None, planned: list[Planned], written: set[str] | None,
               removing: set[str], vendored: dict[str, dict[str, str]], *, is_project: bool = False,
               vendor_manifests: bool = True) -> list[Locked]:
    """Moves the files of a run into the tree and writes its new lock; the locked records removed.

    WRITTEN holds the versioned names whose models the run wrote, None when
    the generator did not run. A connector is taken whole: when any of its
    entries was not written, the tree keeps what its lock had for it
    (nothing, for a new one), and the index, which names it all the same,
    is to be written again next run. VENDORED holds the manifest files the
    run staged (path: hash) by versioned name; a connector's manifest the
    run did not fetch stays as the lock recorded it, unless the tree is not
    to VENDOR_MANIFESTS. Whatever the old lock records and the new one does
    not is deleted. A project's package (IS_PROJECT) gets its own index in
    place of the module's.
    """
    names = {p.record.name for p in planned}
    generated = written is not None
    whole = {n for n in names if generated and all(p.record.versioned in written for p in planned if p.record.name == n)}
    old = lock.records if lock is not None else []
    new = [p.record for p in planned if p.record.name in whole]
    new += [r for r in old if r.name not in whole and r.name not in removing]
    moves = [INDEX] if generated else []
    for position, record in enumerate(new):
        files = dict(record.files)
        if record.name in whole:
            kept = {p: h for p, h in files.items() if p.startswith(MANIFESTS + "/")}
            files = {path: file_hash(staging.tree / path) for path in file_paths(record.versioned)} | kept
            moves += file_paths(record.versioned)
        if record.versioned in vendored or not (vendor_manifests or record.own_source):  # only the tree has it
            files = {p: h for p, h in files.items() if not p.startswith(MANIFESTS + "/")} | vendored.get(
                record.versioned, {})
            moves += vendored.get(record.versioned, {})
        new[position] = Locked.of(record.kind, record.entry, files)
    recorded = {path for record in new for path, _ in record.files}
    removals = [path for r in old for path, _ in r.files if path not in recorded]
    if generated:
        if is_project:
            index_stubs.project_index(staging.tree)
        moves += index_stubs.write(staging.tree, {r.versioned: r.name for r in new}, is_project)
        index_hash = file_hash(staging.tree / INDEX) if whole == names else None
    else:
        index_hash = lock.index_hash if lock is not None else None
    # the lock keeps other settings' fingerprint until every model it records was made with this corvel's
    kept_old = lock is not None and not lock.current_settings() and any(r.name not in whole for r in new)
    settings = lock.settings if kept_old else generator_settings.fingerprint()
    staging.commit(moves, removals, lock_text(new, index_hash, settings, vendor_manifests))
    return [r for r in old if r.name in removing]



class Staging:
    """A tree of the run's own beside the real one: the generator module writes here."""

    def __init__(self, configs_dir: Path) -> None:
        self.configs_dir = Path(configs_dir)
        self.root = self.configs_dir / STAGING
        self.root.mkdir()
        for part in ("jsonschema", "model"):
            (self.root / "connector_configs" / part).mkdir(parents=True)

    @property
    def tree(self) -> Path:
        return self.root / "connector_configs"

    def discard(self) -> None:
        """Drops the staging tree, unless a commit was decided and stopped midway: the next run finishes it."""
        if not (self.root / JOURNAL).exists():
            shutil.rmtree(self.root, ignore_errors=True)

    def commit(self, moves: list[str], removals: list[str], text: str) -> None:
        """Moves the staged files MOVES into the tree, writes the lock TEXT and deletes REMOVALS.

        The journal is written first: from then on the commit is decided,
        and a run stopped midway is finished by the next one.
        """
        with _interrupts_deferred():
            _write_atomically(self.root / JOURNAL, json.dumps({"moves": moves, "removals": removals, "lock": text}))
            _finish(self.configs_dir, self.root)


def recover(configs_dir: Path) -> None:
    """Finishes the commit of a run that was stopped after deciding it, and drops any other run's staging."""
    staging = Path(configs_dir) / STAGING
    if staging.is_symlink():  # never a run's own: its target is left alone
        staging.unlink()
    elif (staging / JOURNAL).is_file():
        _finish(Path(configs_dir), staging)
    elif staging.exists():
        shutil.rmtree(staging)


def _tree_file(relative: Any) -> bool:
    """Whether RELATIVE names a file a run may move or delete: the index and its stubs, a schema, a model or a
    vendored manifest file, nothing else."""
    if relative == INDEX or relative in index_stubs.FILES:
        return True
    if not isinstance(relative, str) or relative.count("/") not in (1, 2):
        return False
    if relative.count("/") == 2:
        folder, versioned, name = relative.split("/")
        return folder == MANIFESTS and versioned not in ("", ".", "..") and name in (MANIFEST_FILE, COMPONENTS_FILE)
    folder, name = relative.split("/")
    return (folder, Path(name).suffix) in {("jsonschema", ".json"), ("model", ".py")} and name not in (".", "..")


def _finish(configs_dir: Path, staging: Path) -> None:
    journal_path = staging / JOURNAL
    try:
        journal = json.loads(journal_path.read_text(encoding="utf-8"))
        moves, removals, text = journal["moves"], journal["removals"], journal["lock"]
        if not (all(map(_tree_file, moves + removals)) and isinstance(text, str)):
            raise ValueError("it names files outside the tree's schemas, models and index")
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise LockError(f"{journal_path}: not the journal of a corvel run ({error}); remove {staging} to go on") from error
    for relative in moves:
        source = staging / "connector_configs" / relative
        if source.exists():  # not yet moved by the run that was stopped
            (configs_dir / relative).parent.mkdir(parents=True, exist_ok=True)  # a manifest's own directory
            os.replace(source, configs_dir / relative)
    _write_atomically(lock_path(configs_dir), text)
    for relative in removals:
        (configs_dir / relative).unlink(missing_ok=True)
        if relative.startswith(MANIFESTS + "/"):
            _remove_empty((configs_dir / relative).parent, configs_dir / MANIFESTS)
    shutil.rmtree(staging, ignore_errors=True)


def _remove_empty(*directories: Path) -> None:
    """Takes away each directory in turn while it is empty: a removed connector leaves no manifest folder."""
    for directory in directories:
        try:
            directory.rmdir()
        except OSError:
            return


def _write_atomically(path: Path, text: str) -> None:
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=".tmp-" + path.name)
    try:
        os.chmod(temporary, 0o666 & ~_umask())  # as open() would have made it, not mkstemp's owner-only
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def _same_directory(descriptor: int, path: Path) -> bool:
    try:
        return os.path.samestat(os.fstat(descriptor), os.stat(path))
    except FileNotFoundError:
        return False


def _umask() -> int:
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


@contextmanager
def _interrupts_deferred():
    """An interrupt that arrives during the block is raised when it ends."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received = []
    previous = signal.signal(signal.SIGINT, lambda *_: received.append(True))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received:
        raise KeyboardInterrupt


class TreeLock:
    """Runs on one tree take turns: the second waits for the first and then reads what it left."""

    def __init__(self, configs_dir: Path, on_wait: Callable[[], None]) -> None:
        self.configs_dir, self.on_wait = Path(configs_dir), on_wait
        self.descriptor: int | None = None

    def __enter__(self) -> TreeLock:
        while True:
            self.descriptor = os.open(self.configs_dir, os.O_RDONLY | os.O_DIRECTORY)
            try:
                fcntl.flock(self.descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    os.close(self.descriptor)
                    raise
                self.on_wait()
                fcntl.flock(self.descriptor, fcntl.LOCK_EX)
            if _same_directory(self.descriptor, self.configs_dir):
                return self
            # the run we waited for wrote nothing and took away the directory it had made
            os.close(self.descriptor)
            self.configs_dir.mkdir(parents=True, exist_ok=True)

    def __exit__(self, *exc_info) -> None:
        os.close(self.descriptor)  # releases the lock

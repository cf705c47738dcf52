"""How a tree differs from its lock and its project's table, read without writing anything: the check a CI
job runs (``corvel sync --check``)."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

from corvel import index_stubs
from corvel.lock import Lock, file_hash, read_lock
from corvel.tree import INDEX, INDEX_STUB, LOCK_NAME, STREAMS_INDEX, Tree

EDITED, MISSING, EXTRA = "edited", "missing", "extra"


@dataclass(frozen=True)
class Difference:
    """One way the tree is not what its lock says: WHAT of SUBJECT (a file relative to the tree's directory,
    or a connector's name)."""

    subject: str
    what: str

    def __str__(self) -> str:
        return f"{self.what}: {self.subject}"


def differences(tree: Tree, wanted: Iterable[str] = ()) -> list[Difference]:
    """What differs between TREE and its lock, WANTED naming the connectors the project's table asks for:
    files edited, missing or not recorded, connectors named that the tree lacks, and a lock written with
    other generator settings. LockError when the lock cannot be read."""
    lock = read_lock(tree.directory)
    if lock is None:
        return [Difference(LOCK_NAME, MISSING)]
    found: list[Difference] = []
    if not lock.current_settings():
        found.append(Difference(LOCK_NAME, "written with other generator settings than this corvel's"))
    found += [Difference(name, "named in [tool.corvel], not held") for name in dict.fromkeys(wanted)
              if name not in lock.names()]
    for record in lock.records:
        states = [_state(tree.directory / path, digest) for path, digest in record.files]
        if MISSING in states:
            found.append(Difference(record.name, "locked, and the package lacks files of it"))
        found += [Difference(path, state) for (path, _), state in zip(record.files, states) if state]
    if lock.index_hash is None:
        found.append(Difference(INDEX, "to be written again: a run did not generate every connector"))
    elif state := _state(tree.index, lock.index_hash):
        found.append(Difference(INDEX, state))
    if not index_stubs.in_line(tree.directory, {r.versioned: r.name for r in lock.records}, tree.is_project,
                               index_stubs.streamed(lock.records)):
        found.append(Difference(INDEX_STUB, "out of line with the index"))
    return found + [Difference(path, EXTRA) for path in _unrecorded(tree, lock)]


def _state(path: Path, digest: str) -> str | None:
    found = file_hash(path)
    return MISSING if found is None else EDITED if found != digest else None


def _unrecorded(tree: Tree, lock: Lock) -> list[str]:
    """The files under the directories a run writes (schemas, models, manifests, streams) that the lock does not
    record; the streams' package index is corvel's and recorded by none."""
    recorded = {path for record in lock.records for path, _ in record.files} | {STREAMS_INDEX}
    found: list[str] = []
    for part in tree.parts + (tree.manifests, tree.streams):
        found += [path.relative_to(tree.directory).as_posix() for path in sorted(part.rglob("*"))
                  if path.is_file() and "__pycache__" not in path.parts]
    return [path for path in found if path not in recorded]

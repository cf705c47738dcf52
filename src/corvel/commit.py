"""The commit of a run: its files staged beside the tree, then moved into place under a journal.

The generator module writes into a staging directory beside the tree
(``Staging``); the run then moves the files into place: the schemas, models
and manifests first, then the index and its stubs, then the lock, and the
files it no longer records are deleted last.  So a commit stopped at any
point leaves an index whose every import is there.  The move is journalled:
a run that is stopped before the journal exists leaves the previous tree
and lock; one stopped after it is finished by the next run (``recover``).
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import tempfile
import threading
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from corvel import generator_settings, index_stubs
from corvel.errors import CorvelError
from corvel.lock import Lock, LockError, LockRecord, file_hash, lock_path, lock_text, written_hash
from corvel.plan import Planned
from corvel.tree import INDEX, MANIFESTS, STREAMS, STREAMS_INDEX, Tree, file_paths, manifest_paths, streams_paths

STAGING = ".corvel-run"  # one run at a time per tree, so one name: the paths in the generator's reports stay put
JOURNAL = "commit.json"
_TEMPORARY = ".tmp-"  # a file being written in place of another (_write_atomically)
FINISHED_NOTE = "finished the commit a stopped run left half done"


def commit_run(staging: Staging, lock: Lock | None, planned: list[Planned], written: set[str] | None,
               removing: set[str], vendored: dict[str, dict[str, str]], *, is_project: bool = False,
               vendor_manifests: bool = True) -> list[LockRecord]:
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
    whole = {n for n in names if written is not None and all(p.record.versioned in written for p in planned if p.record.name == n)}
    old = lock.records if lock is not None else []
    new = [p.record for p in planned if p.record.name in whole]
    new += [r for r in old if r.name not in whole and r.name not in removing]
    moves = [INDEX] if generated else []
    for position, record in enumerate(new):
        files = dict(record.files)
        if record.name in whole:
            kept = {p: h for p, h in files.items() if p.startswith((MANIFESTS + "/", STREAMS + "/"))}
            files = {path: written_hash(staging.tree.directory / path) for path in file_paths(record.versioned)} | kept
            moves += file_paths(record.versioned)
        if record.versioned in vendored or not (vendor_manifests or record.own_source):  # only the tree has it
            if vendored.get(record.versioned, record.manifest_files) != record.manifest_files:  # its streams were
                # read from the manifest it had
                files = {p: h for p, h in files.items() if not p.startswith(STREAMS + "/")}
            files = {p: h for p, h in files.items() if not p.startswith(MANIFESTS + "/")} | vendored.get(
                record.versioned, {})
            moves += vendored.get(record.versioned, {})
        new[position] = LockRecord.of(record.kind, record.entry, files)
    removals = _removals(old, new)
    if generated:
        if is_project:
            index_stubs.project_index(staging.tree.directory)
        moves += index_stubs.write(staging.tree.directory, {r.versioned: r.name for r in new}, is_project,
                                  index_stubs.streamed(new))
        index_hash = file_hash(staging.tree.index) if whole == names else None
    else:
        index_hash = lock.index_hash if lock is not None else None
    # the lock keeps other settings' fingerprint until every model it records was made with this corvel's
    kept_old = lock is not None and not lock.current_settings() and any(r.name not in whole for r in new)
    settings = lock.settings if lock is not None and kept_old else generator_settings.fingerprint()
    staging.commit(moves, removals, lock_text(new, index_hash, settings, vendor_manifests))
    return [r for r in old if r.name in removing]


def commit_streams(staging: Staging, lock: Lock, written: dict[str, dict[str, str]], *,
                   is_project: bool = False) -> None:
    """Moves the streams files staged in STAGING into the tree and records them in LOCK's newest record of each
    connector: WRITTEN holds their paths and hashes by connector name, none for a connector whose recorded
    streams files are to go. The index's stubs, which type a source's streams when it has record classes, are
    written again beside them (IS_PROJECT: the tree is a project's package); the other files and the index stay
    as LOCK records them."""
    newest = {record.name: position for position, record in enumerate(lock.records)}
    new: list[LockRecord] = []
    for position, record in enumerate(lock.records):
        files = dict(record.files)
        if record.name in written:
            files = {p: h for p, h in files.items() if not p.startswith(STREAMS + "/")}
            files |= written[record.name] if newest[record.name] == position else {}
        new.append(LockRecord.of(record.kind, record.entry, files))
    moves = [path for files in written.values() for path in files]
    moves = [STREAMS_INDEX, *moves] if moves else []
    index = staging.configs_dir / INDEX
    if index.is_file():  # the stubs are written from the tree's index, which stays as it is
        shutil.copyfile(index, staging.tree.index)
        moves += index_stubs.write(staging.tree.directory, {r.versioned: r.name for r in new}, is_project,
                                   index_stubs.streamed(new))
    staging.commit(moves, _removals(lock.records, new),
                   lock_text(new, lock.index_hash, lock.settings, lock.vendor_manifests))


def _removals(old: list[LockRecord], new: list[LockRecord]) -> list[str]:
    """The files the OLD records held that the NEW ones do not, and the package of the record classes once no
    connector has any."""
    recorded = {path for record in new for path, _ in record.files}
    removals = [path for record in old for path, _ in record.files if path not in recorded]
    return removals + ([] if any(record.streams_files for record in new) else [STREAMS_INDEX])


class CommitError(CorvelError):
    """The run's files could not be moved into the tree; the message names the file and what to do."""

    @classmethod
    def of(cls, error: OSError, where: Path, then: str) -> CommitError:
        """The failure ERROR (of a file under WHERE), and what THEN becomes of the tree."""
        path = error.filename2 or error.filename or where  # a move's destination, else the file
        return cls(f"cannot write {path} ({error.strerror or error}); {then} once it can be written")


class Staging:
    """A tree of the run's own beside the real one, with the journal of its commit: the generator module
    writes here."""

    def __init__(self, configs_dir: Path) -> None:
        self.configs_dir = Path(configs_dir)
        # in the generator module's layout whatever the real tree's: a project's index replaces its own at commit
        self.tree = Tree.at_root(self.configs_dir / STAGING)
        self.tree.root.mkdir()
        for part in self.tree.parts:
            part.mkdir(parents=True)

    def discard(self) -> None:
        """Drops the staging directory, unless a commit was decided and stopped midway: the next run finishes it."""
        if not (self.tree.root / JOURNAL).exists():
            shutil.rmtree(self.tree.root, ignore_errors=True)

    def commit(self, moves: list[str], removals: list[str], text: str) -> None:
        """Moves the staged files MOVES into the tree, writes the lock TEXT and deletes REMOVALS.

        The journal is written first: from then on the commit is decided,
        and a run stopped midway is finished by the next one.
        """
        with _interrupts_deferred():
            try:
                _write_atomically(self.tree.root / JOURNAL, json.dumps({"moves": moves, "removals": removals,
                                                                        "lock": text}))
            except OSError as error:
                raise CommitError.of(error, self.tree.root, "nothing in the tree was changed") from error
            _finish(self.configs_dir, self.tree.root)


def recover(configs_dir: Path) -> list[str]:
    """Finishes the commit of a run that was stopped after deciding it, drops any other run's staging and the
    lock a stopped run left half-written; what the summary is to say of it (FINISHED_NOTE, or nothing)."""
    staging = Path(configs_dir) / STAGING
    finished: list[str] = []
    if staging.is_symlink():  # never a run's own: its target is left alone
        staging.unlink()
    elif (staging / JOURNAL).is_file():
        _finish(Path(configs_dir), staging)
        finished.append(FINISHED_NOTE)
    elif staging.exists():
        shutil.rmtree(staging)
    for half_written in Path(configs_dir).glob(_TEMPORARY + lock_path(configs_dir).name + "*"):
        half_written.unlink(missing_ok=True)  # only a run writes the lock, and runs take turns: none is writing it
    return finished


def _tree_file(relative: Any) -> bool:
    """Whether RELATIVE names a file a run may move or delete: the index and its stubs, a schema, a model, a
    vendored manifest file or a connector's streams file or their package's index, nothing else."""
    if relative == INDEX or relative in index_stubs.FILES or relative == STREAMS_INDEX:
        return True
    if isinstance(relative, str) and relative.startswith(STREAMS + "/"):
        module = Path(relative).stem
        return module.isidentifier() and relative in streams_paths(module)
    if not isinstance(relative, str) or relative.count("/") not in (1, 2):
        return False
    if relative.count("/") == 2:
        versioned = relative.split("/")[1]
        return versioned not in ("", ".", "..") and relative in manifest_paths(versioned)
    return relative in file_paths(Path(relative).stem)


def _finish(configs_dir: Path, staging: Path) -> None:
    try:
        _carry_out(configs_dir, staging)
    except OSError as error:
        raise CommitError.of(error, configs_dir, "the next run finishes the commit") from error


def _carry_out(configs_dir: Path, staging: Path) -> None:
    staged, tree = Tree.at_root(staging), Tree(configs_dir)
    journal_path = staging / JOURNAL
    try:
        journal = json.loads(journal_path.read_text(encoding="utf-8"))
        moves, removals, text = journal["moves"], journal["removals"], journal["lock"]
        if not (all(map(_tree_file, moves + removals)) and isinstance(text, str)):
            raise ValueError("it names files outside the tree's schemas, models and index")
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise LockError(f"{journal_path}: not the journal of a corvel run ({error}); remove {staging} to go on") from error
    # what the index imports is in place before the index, and the index before the lock that records it
    indexes = [relative for relative in moves if relative == INDEX or relative in index_stubs.FILES]
    for relative in [m for m in moves if m not in indexes] + indexes:
        source = staged.directory / relative
        if source.exists():  # not yet moved by the run that was stopped
            (configs_dir / relative).parent.mkdir(parents=True, exist_ok=True)  # a manifest's own directory
            os.replace(source, configs_dir / relative)
    _write_atomically(lock_path(configs_dir), text)
    for relative in removals:
        (configs_dir / relative).unlink(missing_ok=True)
        if relative.startswith(MANIFESTS + "/"):
            _remove_empty((configs_dir / relative).parent, tree.manifests)
        elif relative == STREAMS_INDEX:
            _remove_empty(tree.streams)
    shutil.rmtree(staging, ignore_errors=True)


def _remove_empty(*directories: Path) -> None:
    """Takes away each directory in turn while it is empty: a removed connector leaves no manifest folder."""
    for directory in directories:
        try:
            directory.rmdir()
        except OSError:
            return


def _write_atomically(path: Path, text: str) -> None:
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=_TEMPORARY + path.name)
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

"""A locked source's streams as the source itself tells them: ``corvel streams NAME --config FILE``.

For a source whose release gives no static stream schemas (a database's
tables are only known once it is reached), airbyte's discover is run at
the locked version through corvel's own front door (the tree's configuration
class, filled from the user's file, handed to ``corvel.get_source``), and
its catalog becomes the streams document (origin ``discovered``), written
with its record classes and locked as a run writes them. The configuration
is only handed to the connector: nothing of it is written into the tree.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import Any

from corvel import commit, stream_models, stream_schemas, upgrades
from corvel.errors import CorvelError
from corvel.lock import LockRecord, read_lock
from corvel.registry import KINDS
from corvel.registry_selection import suggestion
from corvel.tree import Tree
from corvel.turns import RunTurn


class DiscoveryError(CorvelError):
    """A source's streams could not be discovered; the message names the connector and what to do."""


def discover(tree: Tree, name: str, config_file: Path, waiting: Callable[[], None]) -> dict[str, Any]:
    """Discovers the streams of source NAME at the version TREE's lock holds, with the configuration in
    CONFIG_FILE, and writes, locks and commits its streams document and record classes in TREE, in the tree's
    turn (WAITING is called when another run has it); the document."""
    record = _locked_source(tree, name)
    document = stream_schemas.document(record, stream_schemas.DISCOVERED, _catalog_streams(tree, record, config_file))
    with RunTurn(tree.directory, waiting):  # the discovery is done: a run on the tree waits for the commit alone
        commit.recover(tree.directory)  # a run stopped while committing is finished first, as a run does
        if _locked_source(tree, name).entry != record.entry:
            raise DiscoveryError(f"{name} moved to another version in {tree.lock_path} while it was discovered; "
                                 f"run corvel streams {name} again")
        staging = commit.Staging(tree.directory)
        try:
            written = stream_models.write(staging.tree.directory, document, name)
            lock = read_lock(tree.directory)
            assert lock is not None  # _locked_source read it in this turn
            commit.commit_streams(staging, lock, {name: written}, is_project=tree.is_project)
        finally:
            staging.discard()
    return document


def _locked_source(tree: Tree, name: str) -> LockRecord:
    """The newest record of source NAME in TREE's lock; DiscoveryError when it holds no such source."""
    lock = read_lock(tree.directory)
    if lock is None:
        raise DiscoveryError(f"there is no {tree.lock_path}, so no locked version of {name} to discover; add it "
                             f"first: corvel add {name}")
    held = [record for record in lock.records if record.name == name]
    if not held:
        hint = suggestion(name, lock.names())
        raise DiscoveryError(f"{lock.path} does not hold {name}" + (f"; {hint}" if hint else f"; add it first: "
                                                                     f"corvel add {name}"))
    if held[-1].kind != KINDS[0]:
        raise DiscoveryError(f"{name} is a destination: only sources have streams to discover")
    return held[-1]


def _catalog_streams(tree: Tree, record: LockRecord, config_file: Path) -> dict[str, dict[str, Any]]:
    """The streams airbyte's discover gives for RECORD's source, configured by CONFIG_FILE through the tree's
    class."""
    from pydantic import ValidationError

    from corvel.configs import config_class, get_source

    values = upgrades.read_config(config_file)
    cls = config_class(record.name, tree=tree.directory if tree.is_project else tree.root)
    try:
        config = cls.model_validate(values)
    except ValidationError as error:  # pydantic's messages quote the values, secrets among them: only the count
        raise DiscoveryError(f"{config_file} is not a valid configuration of {record.label} "
                             f"({error.error_count()} problem(s)); corvel check-config {record.name} {config_file} "
                             "names them") from None
    try:
        catalog = get_source(config).discovered_catalog
    except CorvelError:
        raise
    except Exception as error:  # airbyte's failures, the connector's own among them: one line for the user
        told = (str(error).strip().splitlines() or [""])[0]
        raise DiscoveryError(f"{record.label}: airbyte's discover failed: {type(error).__name__}: {told}") from error
    streams = stream_schemas.from_catalog(catalog.model_dump(mode="json", exclude_none=True))
    if not streams:
        raise DiscoveryError(f"{record.label}: discover found no streams with this configuration")
    return streams

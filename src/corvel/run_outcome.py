"""What a run of corvel returns: a record per connector and how the run ended, for the command line to print
and report, or for a caller in Python to read."""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from enum import StrEnum
from pathlib import Path
from typing import Any

from corvel import upgrades


class Status(StrEnum):
    """What became of one connector."""

    WRITTEN = "written"
    UP_TO_DATE = "up to date"
    REMOVED = "removed"
    FAILED = "failed"
    LEFT_OUT = "left out"
    NOT_IN_REGISTRY = "not in the registry"
    PLANNED = "planned"  # in a dry run: its change is what the run would do


HELD = (Status.WRITTEN, Status.UP_TO_DATE)  # the statuses of a connector the tree holds after the run


class ManifestFate(StrEnum):
    """What became of a manifest the run fetched."""

    VENDORED = "vendored"
    FETCHED_AGAIN = "fetched again"
    NOT_VENDORED = "not vendored"


class How(StrEnum):
    """How a run ended."""

    GENERATED = "generated"
    UP_TO_DATE = "up to date"  # a locked tree that needed nothing
    NOTHING_GENERATED = "nothing generated"  # a tree without a lock that needed nothing
    STOPPED = "stopped"  # the generation raised
    DRY_RUN = "dry run"


@dataclass
class Record:
    """What became of one connector, as the summary and the report give it."""

    name: str
    version: str | None
    versioned_name: str | None
    status: Status
    reason: str = ""
    class_name: str | None = None
    model_path: str | None = None
    returncode: int | None = None
    from_cache: bool = False
    change: str | None = None  # for the tree: kept, added, upgraded, regenerated or removed
    previous_version: str | None = None  # the tag an upgraded connector had
    connector_kind: str | None = None  # how airbyte runs it: pypi, manifest or docker
    manifest: ManifestFate | None = None  # of a manifest fetched by the run
    manifest_error: str = ""  # why it is NOT_VENDORED

    @property
    def label(self) -> str:
        return f"{self.name} {self.version or ''}".strip()


@dataclass
class ConfigCheck:
    """A user's stored configuration checked against one version of its connector's class."""

    name: str
    file: str
    version: str | None  # None: the tree does not hold the connector
    against: str  # "locked", or "new" for the version a dry run would move to
    problems: list[str]


@dataclass
class Ending:
    """How a run ended: the tree's package directory, a record per connector, and ``how``."""

    directory: Path
    records: list[Record]
    how: How
    registry: str | None = None  # the registry read, None when the run needed none
    notes: list[str] = field(default_factory=list)  # what the summary says first
    # what changes for the connectors that move; None when the run compared nothing (it had nothing to do)
    previews: list[upgrades.Preview] | None = None
    checks: list[ConfigCheck] = field(default_factory=list)  # the configurations checked
    failure: str | None = None  # why the generation stopped (How.STOPPED)
    traceback: str | None = None  # where it stopped, for a maintainer

    def report(self) -> dict[str, Any]:
        """The members of the JSON report that the run fills."""
        parts: dict[str, Any] = {"registry": self.registry, "tree": str(self.directory), "traceback": self.traceback,
                                 "connectors": [asdict(record) for record in self.records]}
        if self.previews is not None:
            parts["upgrades"] = [preview.as_json() for preview in self.previews]
        return parts | {"config_checks": [asdict(check) for check in self.checks]}

"""What a run is asked to do, as the command line (or a caller in Python) settles it: one frozen object per
command, read by the run and never by argparse's namespace."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvel.tree import Tree


@dataclass(frozen=True)
class ConfigFile:
    """A user's stored configuration of connector NAME, read from FILE."""

    name: str
    config: dict[str, Any]
    file: str


@dataclass(frozen=True)
class Generation:
    """How the generator is run: warm, up to JOBS at once, with the model cache unless NO_CACHE; through the
    shell, one at a time and without the cache, with SPAWN. GENERATOR_PATH is the PATH its runs get."""

    generator_path: str | None
    jobs: int = 1
    spawn: bool = False
    cache_dir: Path | None = None  # None: the default cache directory
    no_cache: bool = False

    @property
    def caches(self) -> bool:
        """Whether models and manifests come from, and go to, the cache."""
        return not (self.no_cache or self.spawn)


@dataclass(frozen=True)
class RunOptions:
    """A run that brings TREE to its lock plus what is asked (add, remove, sync, upgrade, corvel-generate).

    NAMES are added (EVERY: the whole registry); UPGRADE names the locked
    connectors to move (empty: all of them; None: none); REMOVE those taken
    out; FROZEN writes the lock's connectors and reads no registry. MANIFESTS
    overrides the lock's choice of vendoring manifests (None: keep it);
    OWN_MANIFESTS are (path relative to PROJECT_DIR or URL, name or None).
    DRY_RUN writes nothing; CHECK_CONFIGS are checked against the classes.
    """

    tree: Tree
    registry: str
    generation: Generation
    project_dir: Path
    names: tuple[str, ...] = ()
    every: bool = False
    upgrade: tuple[str, ...] | None = None
    remove: tuple[str, ...] = ()
    frozen: bool = False
    manifests: bool | None = None
    own_manifests: tuple[tuple[str, str | None], ...] = ()
    dry_run: bool = False
    check_configs: tuple[ConfigFile, ...] = ()

"""Runs on one tree take turns: an flock on its directory, held for the whole run."""

from __future__ import annotations

import errno
import fcntl
import os
from collections.abc import Callable
from pathlib import Path
from typing import Self


class RunTurn:
    """A run's turn on a tree's directory: a second run waits for the first and then reads what it left."""

    def __init__(self, configs_dir: Path, on_wait: Callable[[], None]) -> None:
        self.configs_dir, self.on_wait = Path(configs_dir), on_wait
        self.descriptor: int | None = None

    def __enter__(self) -> Self:
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

    def __exit__(self, *exc_info: object) -> None:
        assert self.descriptor is not None, "entered"
        os.close(self.descriptor)  # ends the turn: the flock goes with the descriptor


def _same_directory(descriptor: int, path: Path) -> bool:
    try:
        return os.path.samestat(os.fstat(descriptor), os.stat(path))
    except FileNotFoundError:
        return False

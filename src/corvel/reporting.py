"""How a run tells what it is doing while it runs: progress and notices, through a reporter.

The command line's reporter draws progress bars and prints notices on the
terminal (``corvel.cli``); a run called from Python without one gets the
quiet reporter, which draws nothing and keeps the notices.
"""

from __future__ import annotations

from collections.abc import Generator
from contextlib import AbstractContextManager, contextmanager
from typing import Protocol


class Progress(Protocol):
    """One piece of work under way: what it is doing, how much there is, and each step done."""

    def describe(self, text: str) -> None: ...

    def restart(self, total: int, text: str) -> None: ...

    def advance(self) -> None: ...


class Reporter(Protocol):
    def notice(self, line: str) -> None:
        """A line the user should read while the run goes on (a wait, a fallback)."""
        ...

    def progress(self, description: str, total: int | None, *, timed: bool) -> AbstractContextManager[Progress]:
        """Work of TOTAL steps (None: not known yet); TIMED shows a spinner and the time it has taken."""
        ...


class _Unseen:
    def describe(self, text: str) -> None:
        pass

    def restart(self, total: int, text: str) -> None:
        pass

    def advance(self) -> None:
        pass


class QuietReporter:
    """Draws no progress; keeps the notices in ``notices``."""

    def __init__(self) -> None:
        self.notices: list[str] = []

    def notice(self, line: str) -> None:
        self.notices.append(line)

    @contextmanager
    def _unseen(self) -> Generator[Progress]:
        yield _Unseen()

    def progress(self, description: str, total: int | None, *, timed: bool) -> AbstractContextManager[Progress]:
        return self._unseen()

"""What the command line prints: progress while a run goes on, then its summary, tables and JSON report.

Both commands (``corvel`` and ``corvel-generate``) print through here, and
nothing below them prints: the run tells its progress to the reporter made
here and returns what it did (``corvel.run_outcome``).
"""

from __future__ import annotations

import json
from collections import Counter
from collections.abc import Generator
from contextlib import AbstractContextManager, contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from corvel import config_changes, registry
from corvel.plan import ADDED, KEPT, REGENERATED, REMOVED, UPGRADED
from corvel.reporting import Progress
from corvel.run_outcome import HELD, ConfigCheck, Ending, How, ManifestFate, Record, Status
from corvel.tree import LOCK_NAME

if TYPE_CHECKING:
    from rich.console import Console
    from rich.progress import Progress as Bars
    from rich.progress import TaskID

    from corvel.upgrades import Outdated

CHANGES_LISTED = 20  # more changes than this are counted, and listed with --verbose
PLAN_VERBS = {KEPT: "keep", ADDED: "add", REGENERATED: "generate again", REMOVED: "remove"}  # in a dry run's plan


def consoles(quiet: bool = False) -> tuple[Console, Console]:
    """The consoles of standard output (silent when QUIET) and standard error."""
    from rich.console import Console

    return (Console(highlight=False, soft_wrap=True, quiet=quiet),
            Console(stderr=True, highlight=False, soft_wrap=True))


def say(console: Console, line: str) -> None:
    console.print(line, markup=False)


class _Bar:
    def __init__(self, bars: Bars, task: TaskID) -> None:
        self._bars, self._task = bars, task

    def describe(self, text: str) -> None:
        self._bars.update(self._task, description=text)

    def restart(self, total: int, text: str) -> None:
        self._bars.update(self._task, total=total, completed=0, description=text)

    def advance(self) -> None:
        self._bars.advance(self._task)


class ConsoleReporter:
    """Progress bars on OUT, notices on ERR after the command's name."""

    def __init__(self, prog: str, out: Console, err: Console) -> None:
        self._prog, self._out, self._err = prog, out, err

    def notice(self, line: str) -> None:
        say(self._err, f"{self._prog}: {line}")

    def progress(self, description: str, total: int | None, *, timed: bool) -> AbstractContextManager[Progress]:
        return self._bars(description, total, timed)

    @contextmanager
    def _bars(self, description: str, total: int | None, timed: bool) -> Generator[Progress]:
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            ProgressColumn,
            SpinnerColumn,
            TextColumn,
            TimeElapsedColumn,
        )
        from rich.progress import Progress as Bars

        columns: list[ProgressColumn] = [TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn()]
        if timed:
            columns = [SpinnerColumn(), *columns, TimeElapsedColumn()]
        with Bars(*columns, console=self._out) as bars:
            yield _Bar(bars, bars.add_task(description, total=total))


def write_report(report: dict[str, Any], target: Path, stdout: TextIO) -> None:
    """The JSON report to TARGET (- for STDOUT); OSError when it cannot be written."""
    text = json.dumps(report, indent=1) + "\n"
    if target == Path("-"):
        stdout.write(text)
        stdout.flush()
    else:
        target.write_text(text, encoding="utf-8")


def print_table(out: Console, headers: tuple[str, ...], rows: list[tuple[str, ...]], *, boxed: bool = True) -> None:
    """ROWS under HEADERS; registry text is printed as it is, never read as markup."""
    from rich.table import Table
    from rich.text import Text

    table = Table(*headers) if boxed else Table(*headers, box=None, pad_edge=False)
    for row in rows:
        table.add_row(*map(Text, row))
    out.print(table)


def outdated(out: Console, rows: list[Outdated], hint: str, registry_named: str) -> int:
    """The locked connectors beside the current versions of the registry REGISTRY_NAMED, then HINT on how to see
    what changes."""
    table_rows: list[tuple[str, ...]] = []
    for row in rows:
        crossed = "; ".join(f"{c.version}" + (f" (upgrade by {c.deadline})" if c.deadline else "")
                            for c in row.breaking_changes)
        current = row.current_version if row.current_version is not None else "not in the registry"
        table_rows.append((row.name, row.connector_kind, row.locked_version,
                           current if row.moves or row.current_version is None else "(same)", row.streams or "-",
                           crossed))
    print_table(out, ("connector", "connector kind", "locked", "current", "streams", "breaking changes crossed"),
                table_rows, boxed=False)
    moving = sum(row.moves for row in rows)
    crossing = sum(bool(row.breaking_changes) for row in rows)
    say(out, f"{moving} of {len(rows)} locked connectors have a newer version in {registry_named}; {crossing} of "
             f"them cross a documented breaking change ({hint} shows what changes)")
    return 0


def summarise(out: Console, ending: Ending, verbose: bool) -> int:
    """Prints how the run ended; its exit status."""
    for note in ending.notes:
        say(out, note)
    for preview in ending.previews or []:
        for line in preview.lines():
            say(out, line)
    if counts := Counter(change.category for preview in ending.previews or [] for change in preview.config_changes):
        say(out, f"configuration changes of {len(ending.previews or [])} connector(s): "
                 + ", ".join(f"{counts[category]} {category}" for category in config_changes.CATEGORIES
                             if counts[category]))
    if ending.how == How.STOPPED:
        return 1
    read_from = f" from {registry.described(ending.registry)}" if ending.registry else ""
    status = _plan(out, ending, read_from) if ending.how == How.DRY_RUN else _outcome(out, ending, verbose, read_from)
    return checks(out, ending.checks) or status


def checks(out: Console, checked: list[ConfigCheck]) -> int:
    """Prints the configurations checked; 1 when any was rejected."""
    for check in checked:
        version = f"{check.name} {check.version}" if check.version else check.name
        verdict = f"{len(check.problems)} problem(s)" if check.problems else "valid"
        say(out, f"{check.file} against {version} ({check.against}): {verdict}")
        for problem in check.problems:
            say(out, f"  {problem}")
    return int(any(check.problems for check in checked))


def _plan(out: Console, ending: Ending, read_from: str) -> int:
    """A dry run's plan: what the run would do to each connector; nothing was written."""
    rows: list[tuple[str, ...]] = []
    for record in ending.records:
        if record.status != Status.PLANNED:
            what = f"{record.status}: {record.reason}" if record.reason else str(record.status)
        elif record.change == UPGRADED:
            what = f"upgrade from {record.previous_version} to {record.version}"
        else:
            what = PLAN_VERBS[str(record.change)]
        rows.append((record.label, what, record.class_name or ""))
    print_table(out, ("connector", "the run would", "class"), rows, boxed=False)
    say(out, f"Dry run{read_from}: nothing was written to {ending.directory}.")
    return 1 if any(r.status != Status.PLANNED for r in ending.records) else 0


def _outcome(out: Console, ending: Ending, verbose: bool, read_from: str) -> int:
    """How a run that wrote (or had nothing to write) ended, naming the registry it read (READ_FROM)."""
    if ending.how == How.GENERATED:
        return _summary(out, ending.directory, ending.records, True, verbose, read_from)
    if ending.how == How.UP_TO_DATE:
        held = sum(r.status == Status.UP_TO_DATE for r in ending.records)
        say(out, f"{ending.directory} is up to date: {held} connector models, as {LOCK_NAME} names them")
        noted = any(r.status != Status.UP_TO_DATE or r.manifest for r in ending.records)
        return _summary(out, ending.directory, ending.records, False, False, read_from) if noted else 0
    status = _summary(out, ending.directory, ending.records, False, False, read_from)
    return status if ending.records else 1


def _summary(out: Console, tree: Path, records: list[Record], generated: bool, verbose: bool,
             read_from: str) -> int:
    """Connectors not written first, each with its reason, then what changed in the tree; the rest as a count,
    or listed with verbose."""
    held = [r for r in records if r.status != Status.REMOVED]
    written = [r for r in held if r.status == Status.WRITTEN]
    failed = [r for r in held if r.status not in HELD or r.manifest_error]
    changed = [r for r in records if r not in failed
               and (r.change not in (None, KEPT) or r.manifest == ManifestFate.FETCHED_AGAIN)]
    rest = [r for r in records if r not in failed and r not in changed]
    if generated:
        say(out, f"{len(written)} of {len(held)} connector models written to {tree}{read_from}")
    listed = changed if verbose or len(changed) <= CHANGES_LISTED else []
    shown = failed + listed + (rest if verbose else [])
    if shown:
        print_table(out, ("connector", "result", "class"),
                    [(record.label, _result(record), record.class_name or "") for record in shown], boxed=False)
    unlisted = [r for r in changed + rest if r not in shown]
    if unlisted and generated:
        counts = Counter(r.change or str(r.status) for r in unlisted)
        say(out, f"{', '.join(f'{n} {change}' for change, n in counts.items())}; --verbose lists them")
    if cached := sum(r.from_cache for r in written):
        say(out, f"{cached} of the models written came from the cache")
    if not generated and not any(r.status == Status.UP_TO_DATE for r in records):
        say(out, f"Nothing was generated{read_from}; the tree was left as it was.")
    return 1 if failed else 0


def _result(record: Record) -> str:
    if record.status not in (*HELD, Status.REMOVED):
        return f"{record.status}: {record.reason}" if record.reason else str(record.status)
    if record.change == UPGRADED:
        result = f"upgraded from {record.previous_version} to {record.version}"
    else:
        result = record.change or str(record.status)
    if record.manifest_error:
        note = f"manifest not vendored: {record.manifest_error}"
        return note if record.change == KEPT else f"{result}; {note}"
    if record.manifest == ManifestFate.FETCHED_AGAIN:
        return "manifest fetched again" if record.change == KEPT else f"{result}; manifest fetched again"
    return result


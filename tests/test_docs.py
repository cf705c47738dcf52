"""The documentation's examples run as written: every shell, console and Python block of the README, the tutorial
and the how-to guides, in order, a page's blocks in one directory of its own, offline.

A block is run by its fence: `sh` runs in bash (stopping at the first failing command), `console` runs each
`$ ` line and finds the output shown below it, in order, in what the command printed (paths, times and progress
bars aside; a line `...` stands for lines left out), `python` runs in the project's environment. A block with a
title (```toml title="pyproject.toml") is a file written there. `<!-- skip: REASON -->` on the line above a block
skips it, with the reason. A `$ ` line ending in `# exits N` expects that exit status, every other command 0.

The project's environment is this test's: `uv run CMD` runs CMD with the project's `src/` importable, where a
user's `uv run` would have installed the project, so no example needs PyPI.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import jsonschema
import pytest
from conftest import run_process, run_python

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
# the tutorial starts from an empty directory; every other page from the shared project
TUTORIAL = ROOT / "docs" / "tutorial.md"
PAGES = [README, TUTORIAL, *sorted((ROOT / "docs" / "how-to").glob("*.md"))]
BIN = Path(sys.executable).parent
RUN_BLOCKS = ("sh", "console", "python")
# `uv run CMD` in the project's environment, which is this test's; the rest of uv is uv's
SHELL_PRELUDE = 'uv() { if [ "$1" = run ]; then shift; PYTHONPATH="$PWD/src" "$@"; else command uv "$@"; fi; }\n'
EXPECTED_STATUS = re.compile(r"#\s*exits (\d+)\s*$")
REPORT_SCHEMA = json.loads((ROOT / "docs" / "reference" / "report.schema.json").read_text(encoding="utf-8"))


@dataclass(frozen=True)
class Example:
    page: Path
    line: int
    language: str
    title: str | None
    text: str
    skip: str | None

    @property
    def id(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"


def page_examples(page: Path) -> list[Example]:
    """PAGE's blocks that run or write a file, in order."""
    found: list[Example] = []
    lines = page.read_text(encoding="utf-8").splitlines(keepends=True)
    opened: tuple[int, str, str | None, str | None] | None = None
    body = ""
    for number, line in enumerate(lines, 1):
        if opened is None and line.startswith("```"):
            info = line[3:].strip()
            title = re.search(r'title="([^"]+)"', info)
            skip = re.fullmatch(r"<!-- skip: (.+) -->\s*", lines[number - 2]) if number > 1 else None
            opened = (number, info.split(" ")[0], title[1] if title else None, skip[1] if skip else None)
            body = ""
        elif opened is not None and line.startswith("```"):
            number_opened, language, title, skip = opened
            if title or language in RUN_BLOCKS:
                found.append(Example(page, number_opened, language, title, body, skip))
            opened = None
        elif opened is not None:
            body += line
    return found


EXAMPLES = [example for page in PAGES for example in page_examples(page)]


def words(text: str) -> list[str]:
    """TEXT's words but paths, which the pages shorten, times and progress bars."""
    return [word for word in text.split()
            if "/" not in word and "━" not in word and not re.fullmatch(r"\d+(:\d\d)+|[\d.]+s", word)]


def shows(shown: list[str], printed: str) -> bool:
    """Whether every line SHOWN is among the lines PRINTED, in order (a shown `...` stands for any lines)."""
    remaining = iter(words(line) for line in printed.splitlines())
    return all(any(line == words(wanted) for line in remaining) for wanted in shown if wanted.strip() != "...")


def run_shell(script: str, cwd: Path, cache: Path) -> tuple[subprocess.CompletedProcess[str], Path]:
    """SCRIPT run by bash in CWD with this interpreter's tools first on PATH and the session's model cache; the
    process, and the directory it ended in (a `cd` carries over to the page's next block)."""
    handle, ending = tempfile.mkstemp()
    os.close(handle)
    environment = {**os.environ, "PATH": f"{BIN}{os.pathsep}{os.environ['PATH']}", "COLUMNS": "200",
                   "XDG_CACHE_HOME": str(cache)}
    try:
        done = run_process(["bash", "-e", "-c", f'{SHELL_PRELUDE}{script}\npwd > "{ending}"'], cwd=cwd,
                           env=environment, timeout=600)
        return done, Path(Path(ending).read_text().strip()) if done.returncode == 0 else cwd
    finally:
        os.unlink(ending)


@pytest.fixture(scope="session")
def cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The model cache of every example's runs: a connector generated once is taken from it after."""
    return tmp_path_factory.mktemp("cache")


@pytest.fixture(scope="session")
def shared_project(tmp_path_factory: pytest.TempPathFactory, cache: Path) -> Path:
    """The project every page but the tutorial starts from, made once: the tutorial's `uv init --lib myapp`, its
    table reading the bundled registry, and the connectors the pages use added."""
    root = tmp_path_factory.mktemp("docs") / "shared"
    root.mkdir()
    done, _ = run_shell("""
        uv init -q --lib --no-workspace myapp && cd myapp
        printf '\\n[tool.corvel]\\npackage = "myapp.connector_configs"\\nregistry = "bundled"\\n' >> pyproject.toml
        corvel add -q source-faker source-postgres destination-duckdb
        """, root, cache)
    assert done.returncode == 0, done.stdout + done.stderr
    return root / "myapp"


@pytest.fixture(scope="session")
def workspaces(shared_project: Path, tmp_path_factory: pytest.TempPathFactory) -> dict[Path, Path]:
    """Each page's working directory so far: an empty one for the tutorial, a copy of the shared project for the
    others."""
    made: dict[Path, Path] = {}
    for page in PAGES:
        start = tmp_path_factory.getbasetemp() / "docs-pages" / page.stem
        if page == TUTORIAL:
            start.mkdir(parents=True)
            made[page] = start
        else:
            made[page] = Path(shutil.copytree(shared_project, start / "myapp", symlinks=True))
    return made


def run_console(example: Example, cwd: Path, cache: Path) -> Path:
    for command in re.split(r"^\$ ", example.text, flags=re.MULTILINE)[1:]:
        line, *shown = command.splitlines()
        status = EXPECTED_STATUS.search(line)
        done, cwd = run_shell(line, cwd, cache)
        printed = done.stdout + done.stderr
        assert done.returncode == (int(status[1]) if status else 0), f"$ {line}\n{printed}"
        assert shows(shown, printed), f"$ {line}\nshown:\n" + "\n".join(shown) + f"\nprinted:\n{printed}"
    return cwd


@pytest.mark.parametrize("example", EXAMPLES, ids=[example.id for example in EXAMPLES])
def test_the_example_runs_as_written(example: Example, workspaces: dict[Path, Path], cache: Path) -> None:
    if example.skip:
        pytest.skip(example.skip)
    cwd = workspaces[example.page]
    if example.title:
        (cwd / example.title).parent.mkdir(parents=True, exist_ok=True)
        (cwd / example.title).write_text(example.text, encoding="utf-8")
    elif example.language == "sh":
        done, workspaces[example.page] = run_shell(example.text, cwd, cache)
        assert done.returncode == 0, done.stdout + done.stderr
    elif example.language == "console":
        workspaces[example.page] = run_console(example, cwd, cache)
    else:
        done = run_python(example.text, path_entry=cwd / "src", cwd=cwd, env={"XDG_CACHE_HOME": str(cache)})
        assert done.returncode == 0, done.stdout + done.stderr


INTRO = README.read_text(encoding="utf-8").split("\n## ")[0]


def intro_call(pattern: str) -> str:
    """The call the README's intro quotes in backticks, matching PATTERN."""
    found = re.search(f"`({pattern})`", INTRO)
    assert found, pattern
    return found[1]


@pytest.mark.parametrize("call, named", [
    # pydantic's lax mode takes the text "5432" for a port: only the missing members are named
    (intro_call(r"SourcePostgresConfig\(.*?\)"), ["database", "username"]),
    (intro_call(r"SourceFakerConfig\(count=.*?\)"), ["count"]),
])
def test_a_wrong_value_at_run_time_names_the_members_the_readme_says(
        shared_project: Path, call: str, named: list[str]) -> None:
    assert all(f"`{name}`" in INTRO for name in named)
    done = run_python(f"""
        from pydantic import ValidationError
        from myapp.connector_configs import SourceFakerConfig, SourcePostgresConfig
        try:
            {call}
        except ValidationError as error:
            print(sorted(".".join(map(str, e["loc"])) for e in error.errors()))
        """, path_entry=shared_project / "src", cwd=shared_project)
    assert done.stdout.strip() == str(named), done.stderr


@pytest.mark.parametrize("command, status", [
    ("corvel add source-fakr", 1),  # not in the registry: its record, the error and the exit status
    ("corvel outdated", 0),
    ("corvel upgrade --dry-run --check-config source-faker=CONFIG", 0),
])
def test_the_report_of_a_run_fits_the_published_schema(
        shared_project: Path, cache: Path, tmp_path: Path, command: str, status: int) -> None:
    configuration = tmp_path / "faker.json"
    configuration.write_text('{"count": 10}', encoding="utf-8")
    report = tmp_path / "report.json"
    done, _ = run_shell(f"{command.replace('CONFIG', str(configuration))} --report {report}", shared_project, cache)
    assert done.returncode == status, done.stdout + done.stderr
    jsonschema.Draft202012Validator(REPORT_SCHEMA).validate(json.loads(report.read_text(encoding="utf-8")))

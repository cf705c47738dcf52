"""The README says what happens: its first screen's commands and Python example, run as written in a new project."""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import run_process, run_python

from corvel.registry import BUNDLED_REGISTRY, REGISTRY_VARIABLE

README = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
INTRO = README.split("\n## Quick start\n")[0]
QUICK_START = README.split("\n## Quick start\n")[1].split("\n## ")[0]
BIN = Path(sys.executable).parent


def blocks(text: str, language: str) -> list[str]:
    """TEXT's fenced code blocks of LANGUAGE ("" for plain output), in order."""
    found: list[str] = []
    opened: str | None = None
    for line in text.splitlines(keepends=True):
        if not line.startswith("```"):
            if opened == language:
                found[-1] += line
        elif opened is None:
            opened = line[3:].strip()
            if opened == language:
                found.append("")
        else:
            opened = None
    return found


def commands(block: str) -> list[list[str]]:
    """The block's commands that run corvel, as argument lists (`uv run` and comments dropped)."""
    lines = (shlex.split(line, comments=True) for line in block.splitlines())
    found = [line[2:] if line[:2] == ["uv", "run"] else line for line in lines]
    return [line for line in found if line and line[0] == "corvel"]


def words(text: str) -> list[str]:
    """TEXT's words but paths, which the README shortens, and the progress bar's time."""
    return [word for word in text.split() if "/" not in word and not re.fullmatch(r"[\d:]+", word)]


@pytest.fixture(scope="module")
def project(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A `uv init --lib myapp` project with the README's [tool.corvel] table, nothing generated yet."""
    root = tmp_path_factory.mktemp("readme") / "myapp"
    (root / "src" / "myapp").mkdir(parents=True)
    (root / "src" / "myapp" / "__init__.py").write_text("")
    table, = blocks(QUICK_START, "toml")
    (root / "pyproject.toml").write_text('[project]\nname = "myapp"\nversion = "0.1.0"\n\n' + table)
    return root


def run_shell(project: Path, argv: list[str]) -> subprocess.CompletedProcess[str]:
    """ARGV run in PROJECT as a user's shell would, offline: the bundled registry through AIRBYTE_LOCAL_REGISTRY."""
    environment = {**os.environ, "COLUMNS": "200", "XDG_CACHE_HOME": str(project.parent / "cache"),
                   REGISTRY_VARIABLE: str(BUNDLED_REGISTRY)}
    return run_process([str(BIN / argv[0]), *argv[1:]], cwd=project, env=environment, timeout=600)


@pytest.fixture(scope="module")
def added(project: Path) -> Path:
    """The quick start's commands run: the offline `corvel add` whose output the README shows, then the add the
    README gives first (the bundled registry through AIRBYTE_LOCAL_REGISTRY, as the tests run offline)."""
    shown, = (block for block in blocks(QUICK_START, "") if block.startswith("$ corvel add"))
    prompt, *output = shown.splitlines()
    done = run_shell(project, shlex.split(prompt[2:]))
    assert done.returncode == 0, done.stdout + done.stderr
    assert [words(line) for line in output] == [words(line) for line in done.stdout.splitlines()]
    for argv in commands(blocks(QUICK_START, "sh")[1]):
        done = run_shell(project, argv)
        assert done.returncode == 0, done.stdout + done.stderr
    return project


def test_the_ci_gate_passes_a_package_as_locked_and_names_an_edited_model(added: Path) -> None:
    gate, = (argv for block in blocks(QUICK_START, "sh") for argv in commands(block) if argv[1:3] == ["sync", "--check"])
    assert run_shell(added, gate).returncode == 0
    shown, = (block for block in blocks(QUICK_START, "") if block.startswith("$ corvel sync --check"))
    edited = shown.splitlines()[1].split(": ")[1]
    model = added / "src" / "myapp" / "connector_configs" / edited
    original = model.read_bytes()
    model.write_bytes(original + b"\n# edited\n")
    try:
        done = run_shell(added, gate)
    finally:
        model.write_bytes(original)
    assert done.returncode == 1
    assert words(done.stdout + done.stderr) == words("\n".join(shown.splitlines()[1:]))


def test_the_python_example_reads_the_pinned_faker_into_duckdb(added: Path) -> None:
    example, = blocks(QUICK_START, "python")
    done = run_python(example, path_entry=added / "src", cwd=added)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines()[-1] == example.split("# ")[-1].strip()  # the count the README says it prints


@pytest.mark.parametrize("call, named", [
    # pydantic's lax mode takes the text "5432" for a port: only the missing members are named
    (re.search(r"`(SourcePostgresConfig\(.*?\))`", INTRO)[1], ["database", "username"]),
    (re.search(r"`(SourceFakerConfig\(count=.*?\))`", INTRO)[1], ["count"]),
])
def test_a_wrong_value_at_run_time_names_the_members_the_intro_says(added: Path, call: str, named: list[str]) -> None:
    assert all(f"`{name}`" in INTRO for name in named)
    done = run_python(f"""
        from pydantic import ValidationError
        from myapp.connector_configs import SourceFakerConfig, SourcePostgresConfig
        try:
            {call}
        except ValidationError as error:
            print(sorted(".".join(map(str, e["loc"])) for e in error.errors()))
        """, path_entry=added / "src", cwd=added)
    assert done.stdout.strip() == str(named), done.stderr

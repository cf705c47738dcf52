"""corvel's subcommands: what each does, each failure as one line, and the run called from Python."""

import json
import subprocess
import sys

import pytest
from conftest import entry

from corvel import cli, command, commit, generation
from corvel.generator_boundary import generator_path
from corvel.lock import LockError
from corvel.run_options import Generation, RunOptions
from corvel.run_outcome import How, Status
from corvel.tree import Tree
from corvel.tree_run import run

SCHEMA = {"type": "object", "required": ["host"], "properties": {
    "host": {"type": "string", "description": "Where it listens.\nAnd more."},
    "password": {"type": "string", "airbyte_secret": True, "default": "hunter2"},
    "mode": {"title": "Mode", "oneOf": [{"title": "Fast", "properties": {}}, {"title": "Safe", "properties": {}}]}}}
MOVED = {**SCHEMA, "properties": {**SCHEMA["properties"], "port": {"type": "integer"}}}


def registry_of(source_schema, tag="1.0"):
    return {"sources": [entry("airbyte/source-a", tag, source_schema)], "destinations": [entry("airbyte/destination-b", "0.1")]}


def corvel(capsys, *argv):
    status = command.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(autouse=True)
def wide(monkeypatch):
    monkeypatch.setenv("COLUMNS", "200")  # rich wraps tables at 80 columns when not on a terminal


@pytest.fixture
def locked(tmp_path, registry, capsys):
    """A tree under tmp_path/out holding source-a 1.0 and destination-b, added by corvel add."""
    registry(registry_of(SCHEMA))
    status, out, err = corvel(capsys, "add", "source-a", "destination-b", "--output-dir", tmp_path / "out")
    assert status == 0, out + err
    return tmp_path / "out"


def tree_files(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and "__pycache__" not in p.parts}


@pytest.mark.parametrize("argv, shown", [
    (["show", "source-a", "--output-dir", "{out}"],
     ["source-a 1.0: source, runs as docker; locked at 1.0", "Where it listens.", "Fast, Safe", "string"]),
    (["list", "dest"], ["1 of 2 connectors", "destination-b"]),
    (["outdated", "--output-dir", "{out}"], ["0 of 2 locked connectors have a newer version"]),
    (["sync", "--check", "--output-dir", "{out}"], ["agrees with its lock"]),
    (["sync", "--output-dir", "{out}"], ["is up to date: 2 connector models"]),
    (["check-config", "source-a", "{config}", "--output-dir", "{out}"], ["against source-a 1.0 (locked): valid"]),
])
def test_read_only_commands(capsys, locked, tmp_path, argv, shown):
    (tmp_path / "config.json").write_text(json.dumps({"host": "h"}))
    before = tree_files(locked)
    status, out, err = corvel(capsys, *(a.format(out=locked, config=tmp_path / "config.json") for a in argv))
    assert (status, err) == (0, "")
    assert all(text in out for text in shown), out
    assert "hunter2" not in out and "And more." not in out  # a secret's default, a description's rest
    assert tree_files(locked) == before


@pytest.mark.parametrize("argv, status, line", [
    (["ad", "source-a"], 2, "corvel: error: no command 'ad'; did you mean 'add'?"),
    (["add", "--output-dir", "{out}"], 2, "corvel add: error: add takes connector names, or a --manifest"),
    (["sync", "--frozen", "--check"], 2, "not allowed with argument"),
    (["show", "source-aa"], 1, "corvel: source-aa is not in the registry; did you mean source-a?"),
    (["check-config", "source-aa", "{config}", "--output-dir", "{out}"], 1, "does not hold source-aa; did you mean source-a?"),
    (["check-config", "source-a", "{out}/absent.json", "--output-dir", "{out}"], 1, "absent.json: cannot read it"),
    (["remove", "source-x", "--output-dir", "{out}"], 1, "corvel: not in the tree, so it cannot be removed or upgraded: source-x"),
    (["outdated", "--output-dir", "{out}/empty"], 1, "corvel: outdated compares a lock with the registry, and there is no"),
    (["sync", "--output-dir", "{out}/empty"], 1, "corvel.lock, so nothing to sync; add connectors first: corvel add NAME"),
    (["upgrade", "--output-dir", "{out}/empty"], 1, "corvel.lock, so nothing to upgrade"),
    (["list", "--registry", "{out}/absent.json"], 1, "absent.json: cannot read"),
])
def test_bad_input_ends_in_one_line(capsys, locked, tmp_path, argv, status, line):
    (tmp_path / "config.json").write_text("{}")
    found, out, err = corvel(capsys, *(a.format(out=locked, config=tmp_path / "config.json") for a in argv))
    assert found == status and line in err.splitlines()[-1]
    assert status == 2 or len(err.splitlines()) == 1


def test_a_mistyped_name_to_add_is_answered_with_the_closest(capsys, locked):
    status, out, _ = corvel(capsys, "add", "source-aa", "--output-dir", locked)
    assert status == 1 and "not in the registry: did you mean source-a?" in out


@pytest.mark.parametrize("asked, shown", [([], False), (["--verbose"], True), (["CORVEL_DEBUG=1"], True)])
def test_the_traceback_only_when_asked_for(capsys, monkeypatch, tmp_path, asked, shown):
    if asked == ["CORVEL_DEBUG=1"]:
        monkeypatch.setenv("CORVEL_DEBUG", "1")
        asked = []
    status, _, err = corvel(capsys, "outdated", "--output-dir", tmp_path, *asked)
    assert status == 1 and err.startswith("corvel: outdated compares a lock")
    assert ("Traceback (most recent call last)" in err) == shown


def test_sync_check_names_every_difference_and_passes_after_sync(capsys, locked):
    configs = locked / "connector_configs"
    (configs / "model" / "source_a__1_0.py").write_text("# edited\n", encoding="utf-8")
    (configs / "jsonschema" / "destination_b__0_1.json").unlink()
    (configs / "model" / "stray.py").write_text("")
    status, _, err = corvel(capsys, "sync", "--check", "--output-dir", locked)
    assert status == 1
    assert {"edited: model/source_a__1_0.py", "missing: jsonschema/destination_b__0_1.json",
            "locked, and the package lacks files of it: destination-b", "extra: model/stray.py"} <= set(err.splitlines())
    assert "differs from its lock in 4 place(s)" in err
    (configs / "model" / "stray.py").unlink()
    assert corvel(capsys, "sync", "--output-dir", locked)[0] == 0
    assert corvel(capsys, "sync", "--check", "--output-dir", locked)[0] == 0


def test_sync_check_names_a_lock_of_other_generator_settings(capsys, locked):
    lock_file = locked / "connector_configs" / "corvel.lock"
    lock_file.write_text(lock_file.read_text().replace(json.loads(lock_file.read_text())["generator_settings"], "0" * 64))
    status, _, err = corvel(capsys, "sync", "--check", "--output-dir", locked)
    assert status == 1 and "written with other generator settings than this corvel's: corvel.lock" in err


def test_upgrade_previews_then_moves_and_remove_takes_out(capsys, locked, registry, tmp_path):
    registry(registry_of(MOVED, "2.0"))
    lock_file = locked / "connector_configs" / "corvel.lock"
    before = lock_file.read_bytes()
    status, out, _ = corvel(capsys, "outdated", "--output-dir", locked)
    assert status == 0 and "1 of 2 locked connectors have a newer version" in out
    status, out, _ = corvel(capsys, "upgrade", "--dry-run", "--output-dir", locked)
    assert status == 0 and "upgrade from 1.0 to 2.0" in out and "port" in out and lock_file.read_bytes() == before
    status, out, _ = corvel(capsys, "upgrade", "source-a", "--output-dir", locked)
    assert status == 0 and "upgraded from 1.0 to 2.0" in out
    assert corvel(capsys, "remove", "destination-b", "--output-dir", locked)[0] == 0
    assert [c["versioned_name"] for c in json.loads(lock_file.read_text())["connectors"]] == ["source_a__2_0"]


def test_corvel_add_writes_what_corvel_generate_writes(capsys, tmp_path, registry):
    registry(registry_of(SCHEMA))
    assert cli.main(["source-a", "--output-dir", str(tmp_path / "old")]) == 0
    assert command.main(["add", "source-a", "--output-dir", str(tmp_path / "new")]) == 0
    assert tree_files(tmp_path / "old") == tree_files(tmp_path / "new")


def test_the_run_from_python_prints_nothing_and_returns_its_outcome(capfd, tmp_path, registry):
    location = registry(registry_of(SCHEMA))
    options = RunOptions(tree=Tree.at_root(tmp_path), registry=str(location),
                         generation=Generation(generator_path()), project_dir=tmp_path, names=("source-a",))
    ending = run(options)
    assert ending.how == How.GENERATED and [r.status for r in ending.records] == [Status.WRITTEN]
    assert ending.report()["connectors"][0]["status"] == "written"
    assert capfd.readouterr().out == ""


def test_read_only_commands_leave_airbyte_unimported(locked, tmp_path):
    (tmp_path / "config.json").write_text(json.dumps({"host": "h"}))
    tree = ["--output-dir", str(locked)]
    asked = [["list"], ["show", "source-a", *tree], ["outdated", *tree], ["sync", "--check", *tree], ["sync", *tree],
             ["check-config", "source-a", str(tmp_path / "config.json"), *tree]]
    code = ("import sys\nfrom corvel.command import main\n"
            f"statuses = [main(argv) for argv in {asked!r}]\n"
            "print(statuses, sorted(name for name in sys.modules if name.partition('.')[0] == 'airbyte'))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.splitlines()[-1] == "[0, 0, 0, 0, 0, 0] []"


def test_a_model_checked_once_is_not_imported_again_from_the_cache(capsys, tmp_path, registry, monkeypatch):
    registry(registry_of(SCHEMA))
    imported = []
    monkeypatch.setattr(generation, "import_problem", lambda model, check=generation.import_problem: imported.append(model) or check(model))
    for tree in ("first", "second"):
        assert corvel(capsys, "add", "source-a", "--output-dir", tmp_path / tree)[0] == 0
    assert len(imported) == 1


def test_corvel_generate_reports_any_corvel_failure_in_one_line(capsys, tmp_path, registry, monkeypatch):
    registry(registry_of(SCHEMA))

    def refused(*_, **__):
        raise LockError("corvel.lock: cannot be replaced")

    monkeypatch.setattr(commit, "commit_run", refused)
    status = cli.main(["source-a", "--output-dir", str(tmp_path)])
    assert status == 1 and capsys.readouterr().err == "corvel-generate: corvel.lock: cannot be replaced\n"


def test_add_a_manifest_of_your_own_by_the_name_given(capsys, tmp_path, monkeypatch):
    (tmp_path / "my_api.yaml").write_text("version: 6.0.0\ntype: DeclarativeSource\nspec:\n  type: Spec\n"
                                          "  connection_specification:\n    type: object\n"
                                          "    properties:\n      api_url: {type: string}\n")
    monkeypatch.chdir(tmp_path)
    status, out, err = corvel(capsys, "add", "--manifest", "my_api.yaml", "--name", "source-mine", "--output-dir", "out")
    assert status == 0, out + err
    lock = json.loads((tmp_path / "out" / "connector_configs" / "corvel.lock").read_text())
    assert [c["name"] for c in lock["connectors"]] == ["source-mine"]

"""The generated tree's lock: additive runs, upgrades, removals, frozen and
offline regeneration, damaged locks, runs at once and runs cut short."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from conftest import checker_crash, entry, mg, python_script_on_path, run_process
from test_cli_at_scale import FAKE_GENERATOR

import corvel
from corvel import cli, commit
from corvel.configs import forget_tree
from corvel.errors import CorvelError
from corvel.lock import LockRecord, lock_path, read_lock
from corvel.plan import ADDED, Planned
from corvel.tree import LOCK_NAME, file_paths

BUNDLED = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    monkeypatch.setenv("COLUMNS", "300")
    monkeypatch.setenv(cli.REGISTRY_VARIABLE, str(cli.BUNDLED_REGISTRY))
    saved = mg.CURRENT_DIR, mg._get_registry_url, mg._is_registry_disabled
    yield
    assert (mg.CURRENT_DIR, mg._get_registry_url, mg._is_registry_disabled) == saved
    forget_tree()


def run(capsys, tree, *argv):
    status = cli.main(["--output-dir", str(tree), *argv])
    out, err = capsys.readouterr()
    return status, out + err


def tree_files(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def locked(tree):
    return {(r.name, r.tag) for r in read_lock(tree / "connector_configs").records}


def test_runs_add_to_the_tree_and_remove_takes_only_what_the_lock_records(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker")[0] == 0
    assert run(capsys, tree, "destination-csv")[0] == 0
    assert locked(tree) == {("source-faker", "7.2.1"), ("destination-csv", "1.0.0")}
    for name in ("source-faker", "destination-csv"):
        assert corvel.config_class(name, tree=tree).__name__.endswith("Config")
    stray = tree / "connector_configs" / "model" / "mine.py"
    stray.write_text("# not the generator's")
    csv_files = {p: (tree / "connector_configs" / p).read_bytes() for p in file_paths("destination_csv__1_0_0")}

    status, out = run(capsys, tree, "--remove", "source-faker")
    assert status == 0 and "removed" in out
    assert locked(tree) == {("destination-csv", "1.0.0")} and stray.exists()
    assert not any((tree / "connector_configs" / p).exists() for p in file_paths("source_faker__7_2_1"))
    assert all((tree / "connector_configs" / p).read_bytes() == data for p, data in csv_files.items())
    assert "source_faker" not in (tree / "connector_configs" / "__init__.py").read_text()


def test_upgrade_moves_the_named_connector_only(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker", "source-file")[0] == 0
    moved = json.loads(json.dumps(BUNDLED))
    for item in moved["sources"]:
        item["dockerImageTag"] = "9.9.9"
    registry = tmp_path / "moved.json"
    registry.write_text(json.dumps(moved))
    assert run(capsys, tree, "--registry", str(registry))[0] == 0  # named nothing: stays locked
    status, out = run(capsys, tree, "--registry", str(registry), "source-postgres", "--upgrade", "source-faker")
    assert status == 0 and "upgraded from 7.2.1 to 9.9.9" in out and "source-postgres 9.9.9  added" in out
    assert locked(tree) == {("source-faker", "9.9.9"), ("source-file", "0.5.13"), ("source-postgres", "9.9.9")}
    assert not (tree / "connector_configs" / "model" / "source_faker__7_2_1.py").exists()


def test_frozen_regenerates_the_tree_from_the_lock_alone(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker", "source-file", "destination-csv")[0] == 0
    original = tree_files(tree)
    for n, unreachable in enumerate(["http://127.0.0.1:9/registry.json", str(tmp_path / "missing.json")]):
        copy = tmp_path / f"copy{n}" / "connector_configs"
        copy.mkdir(parents=True)
        (copy / LOCK_NAME).write_bytes(original["connector_configs/corvel.lock"])
        os.environ[cli.REGISTRY_VARIABLE] = unreachable
        status, out = run(capsys, copy.parent, "--frozen", "--no-cache")
        assert status == 0, out
        assert tree_files(copy.parent) == original


def test_a_run_with_nothing_to_do_imports_neither_airbyte_nor_the_module(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker", "destination-csv")[0] == 0
    code = f"""
import sys
from corvel import cli
status = cli.main(["--output-dir", {str(tree)!r}, "source-faker"])
print(status, "airbyte" in sys.modules, "corvel.model_generator" in sys.modules)
"""
    done = run_process([sys.executable, "-c", code], timeout=120)
    assert "is up to date" in done.stdout and done.stdout.split()[-3:] == ["0", "False", "False"]
    model = tree / "connector_configs" / "model" / "destination_csv__1_0_0.py"
    model.write_text("edited")
    status, out = run(capsys, tree)
    assert status == 0 and "destination-csv 1.0.0  regenerated" in out and model.read_text() != "edited"


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda lock: "{", "the lock is not JSON"),
        (lambda lock: json.dumps(dict(json.loads(lock), format=3)), "lock format version 3 is not one"),
        (lambda lock: lock.replace('"image_tag": "7.2.1"', '"image_tag": "7.0.0"'), "image_tag is '7.0.0', but"),
        (lambda lock: lock.replace('"jsonschema/source_faker', '"../../../outside/source_faker'), "its files must be"),
    ],
    ids=["not-json", "format", "contradiction", "foreign-file"],
)
def test_a_damaged_lock_is_named_and_nothing_is_written(capsys, tmp_path, damage, message):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker")[0] == 0
    lock = tree / "connector_configs" / LOCK_NAME
    lock.write_text(damage(lock.read_text()))
    before = tree_files(tree)
    for argv in ([], ["destination-csv"], ["--frozen"], ["--remove", "source-faker"]):
        status, out = run(capsys, tree, *argv)
        assert status == 1 and f"{lock}: " in out and message in out
        assert tree_files(tree) == before


def test_two_runs_at_once_both_land(tmp_path):
    tree = tmp_path / "tree"
    runs = [
        subprocess.Popen([sys.executable, "-m", "corvel.cli", "--jobs", "1", "--output-dir", str(tree), name],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for name in ("source-faker", "destination-csv")
    ]
    for process in runs:
        output = process.communicate(timeout=300)[0]
        assert process.returncode == 0 or checker_crash.only_the_checker_crashed(process.returncode, output), output
    assert locked(tree) == {("source-faker", "7.2.1"), ("destination-csv", "1.0.0")}
    index = (tree / "connector_configs" / "__init__.py").read_text()
    assert "SourceFakerConfig" in index and "DestinationCsvConfig" in index


def test_a_run_cut_short_leaves_the_previous_tree_or_is_finished_by_the_next(capsys, tmp_path, monkeypatch):
    tree = tmp_path / "tree"
    document = {"sources": [entry("airbyte/source-a"), entry("airbyte/source-slow", schema={
        "type": "object", "properties": {"sleep": {"type": "string"}}})], "destinations": []}
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document))
    python_script_on_path(monkeypatch, tmp_path / "bin", "datamodel-codegen", FAKE_GENERATOR)
    monkeypatch.setenv("GENERATOR_PIDS", str(tmp_path))
    monkeypatch.setenv("GENERATOR_LOG", str(tmp_path / "generator.log"))
    assert run(capsys, tree, "--registry", str(registry), "source-a")[0] == 0
    before = tree_files(tree)

    # killed while the generator runs: nothing of the run is in the tree
    process = subprocess.Popen([sys.executable, "-m", "corvel.cli", "--spawn", "--registry", str(registry),
                                "--output-dir", str(tree), "source-slow"], start_new_session=True)
    deadline = time.monotonic() + 120
    while not (started := [p for p in tmp_path.iterdir() if p.name.isdigit()]) and time.monotonic() < deadline:
        time.sleep(0.1)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    assert started, "the generator had not started: the kill tested nothing"
    assert {k: v for k, v in tree_files(tree).items() if ".corvel-run" not in k} == before
    status, out = run(capsys, tree)
    assert status == 0 and "is up to date" in out and tree_files(tree) == before  # the leftover is dropped

    # stopped once the commit was decided: the next run finishes it
    finish = commit._finish
    monkeypatch.setattr(commit, "_finish", lambda *a: (_ for _ in ()).throw(KeyboardInterrupt))
    assert run(capsys, tree, "--registry", str(registry), "--remove", "source-a")[0] == 130
    monkeypatch.setattr(commit, "_finish", finish)
    assert run(capsys, tree)[0] == 0
    assert locked(tree) == set() and not (tree / "connector_configs" / "model" / "source_a__1_0_0.py").exists()


def test_a_tree_without_a_lock_keeps_what_its_index_imported(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker", "destination-csv")[0] == 0
    (tree / "connector_configs" / LOCK_NAME).unlink()  # as written before there were locks
    index = tree / "connector_configs" / "__init__.py"
    text = index.read_text(encoding="utf-8")
    index.write_text(text + "from (\n", encoding="utf-8")  # what it imports cannot be told: nothing is written
    status, out = run(capsys, tree)
    assert status == 1 and "is not Python" in out and not (tree / "connector_configs" / LOCK_NAME).exists()
    index.write_text(text, encoding="utf-8")
    status, out = run(capsys, tree)
    assert status == 0, out
    assert locked(tree) == {("source-faker", "7.2.1"), ("destination-csv", "1.0.0")}


def test_a_journal_that_reaches_outside_the_tree_is_refused(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker")[0] == 0
    victim = tmp_path / "victim.txt"
    victim.write_text("mine")
    staging = tree / "connector_configs" / ".corvel-run"
    staging.mkdir()
    (staging / "commit.json").write_text(json.dumps({"moves": [], "removals": ["../../victim.txt"], "lock": "{}"}))
    status, out = run(capsys, tree)
    assert status == 1 and "not the journal of a corvel run" in out and victim.read_text() == "mine"


def test_an_output_dir_holding_files_corvel_did_not_write_is_refused(capsys, tmp_path):
    configs = tmp_path / "tree" / "connector_configs"
    configs.mkdir(parents=True)  # empty: written into
    assert run(capsys, tmp_path / "tree", "source-faker")[0] == 0
    (configs / "notes.py").write_text("mine")
    before = tree_files(tmp_path)
    status, out = run(capsys, tmp_path / "tree", "destination-csv")
    assert status == 1 and tree_files(tmp_path) == before
    assert out.splitlines() == [
        f"corvel-generate: {configs} (where the tree would be written) holds files corvel did not write (notes.py); "
        f"nothing was written: give --output-dir a directory of its own, not {tmp_path / 'tree'}, or move them out"]


def test_a_commit_that_cannot_write_a_file_is_named_in_one_line_and_finished_by_the_next_run(capsys, tmp_path):
    tree = tmp_path / "tree"
    assert run(capsys, tree, "source-faker")[0] == 0
    model = tree / "connector_configs" / "model" / "destination_csv__1_0_0.py"
    model.mkdir()  # in the way of the model the run adds
    for argv in (["destination-csv"], []):  # the run, then one that would finish it while the way is still blocked
        status, out = run(capsys, tree, *argv)
        assert status == 1 and out.splitlines()[-1] == (
            f"corvel-generate: cannot write {model} (Is a directory); the next run finishes the commit once it can "
            "be written")
    model.rmdir()
    status, out = run(capsys, tree)
    assert status == 0 and out.startswith(commit.FINISHED_NOTE) and model.is_file()
    assert locked(tree) == {("source-faker", "7.2.1"), ("destination-csv", "1.0.0")}


def test_a_commit_missing_a_model_the_run_wrote_is_refused_before_the_lock_is_written(tmp_path):
    staging = commit.Staging(tmp_path)
    record = LockRecord.of("sources", entry("airbyte/source-csv"))
    with pytest.raises(CorvelError, match="was not written"):
        commit.commit_run(staging, None, [Planned(record, ADDED)], {record.versioned}, set(), {})
    assert not lock_path(tmp_path).exists()

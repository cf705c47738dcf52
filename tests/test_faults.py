"""What a user is left with when the disk, the folders or the generator fail."""

import os
import types

import pytest
from conftest import entry, mg

DOCUMENT = {"sources": [entry("airbyte/source-a"), entry("airbyte/source-b")], "destinations": []}


def open_files():
    return set(os.listdir("/proc/self/fd"))


def test_failed_schema_write_closes_the_file(tree, registry):
    registry(DOCUMENT)
    target = tree / "connector_configs" / "jsonschema" / "source_a__1_0_0.json"
    target.symlink_to("/dev/full")
    before = open_files()
    with pytest.raises(OSError) as raised:
        mg.generate_jsonschema_files(["source-a", "source-b"])
    assert raised.value.errno == 28  # no space left on device
    assert open_files() == before
    assert not (tree / "connector_configs" / "jsonschema" / "source_b__1_0_0.json").exists()


def test_missing_index_folder_runs_nothing(tmp_path, rebind):
    runs = []
    rebind(CURRENT_DIR=str(tmp_path / "absent"),
           subprocess=types.SimpleNamespace(run=lambda *a, **k: runs.append(a)))
    with pytest.raises(FileNotFoundError):
        mg.generate_model_files(["a__1"])
    assert runs == []


def test_interrupt_during_a_run_keeps_what_was_written(tree, rebind):
    def run(command, **options):
        if "b__1" in command:
            raise KeyboardInterrupt
        return None

    rebind(subprocess=types.SimpleNamespace(run=run, CalledProcessError=ChildProcessError))
    before = open_files()
    with pytest.raises(KeyboardInterrupt):
        mg.generate_model_files(["a__1", "b__1", "c__1"])
    assert open_files() == before
    index = (tree / "connector_configs" / "__init__.py").read_text()
    assert index.endswith("import corvel.connector_configs.model.a__1 as A\n")


def test_registry_file_that_is_a_directory(tree, monkeypatch, tmp_path):
    monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", str(tmp_path))
    before = open_files()
    with pytest.raises(IsADirectoryError):
        mg.generate_jsonschema_files(["source-a"])
    assert open_files() == before


def test_ten_thousand_requested_names(tree, registry):
    registry(DOCUMENT)
    names = {f"source-{i}" for i in range(10_000)} | {"source-a"}
    assert mg.generate_jsonschema_files(names) == ["source_a__1_0_0"]

"""Record classes of a connector's streams: the module written from a streams document, locked and committed by a
run, checked by sync --check, shown by corvel show, and discovered with a configuration."""

import json
import subprocess
from datetime import date
from pathlib import Path

import pytest
from conftest import entry
from pydantic import ValidationError
from test_own_manifests import OWN_MANIFEST

from corvel import cli, command, stream_models
from corvel.lock import LockError, read_lock
from corvel.registry import BUNDLED_REGISTRY
from corvel.tree import Tree, model_apart

FAKER_VENV = Path(__file__).resolve().parents[1] / "build" / "connectors" / ".venv-source-faker"
FAKER_CONFIG = {"count": 5, "seed": 7, "parallelism": 1}


def faker_schemas():
    """The stream schemas source-faker's release ships, as installed for the tests."""
    found = sorted(FAKER_VENV.glob("lib/python3*/site-packages/source_faker/schemas"))
    if not found:
        pytest.skip(f"source-faker is not installed under {FAKER_VENV}; make connectors installs it")
    return {path.stem: json.loads(path.read_text(encoding="utf-8")) for path in found[0].glob("*.json")}


def faker_document():
    return {"connector": "source-faker", "version": "7.2.1", "origin": "package",
            "streams": {name: {"schema": schema, "primary_key": [["id"]]} for name, schema in faker_schemas().items()}}


def faker_records(tmp_path):
    """Records source-faker itself emits, by stream: the connector run as airbyte runs it, offline."""
    config, catalog = tmp_path / "config.json", tmp_path / "catalog.json"
    config.write_text(json.dumps(FAKER_CONFIG), encoding="utf-8")
    catalog.write_text(json.dumps({"streams": [
        {"stream": {"name": name, "json_schema": schema, "supported_sync_modes": ["full_refresh"]},
         "sync_mode": "full_refresh", "destination_sync_mode": "overwrite"} for name, schema in faker_schemas().items()
    ]}), encoding="utf-8")
    done = subprocess.run([str(FAKER_VENV / "bin" / "source-faker"), "read", "--config", str(config), "--catalog",
                           str(catalog)], capture_output=True, text=True, timeout=300, check=True)
    records: dict[str, list[dict]] = {}
    for line in done.stdout.splitlines():
        message = json.loads(line) if line.startswith("{") else {}
        if message.get("type") == "RECORD":
            records.setdefault(message["record"]["stream"], []).append(message["record"]["data"])
    return records


def written_module(directory, document, name="source-faker"):
    stream_models.write(directory, document, name)
    return model_apart(directory / "streams" / f"{name.replace('-', '_')}.py", "streams_test")


def test_faker_records_validate_against_their_classes(tmp_path):
    with written_module(tmp_path, faker_document()) as module:
        records = faker_records(tmp_path)
        assert sorted(records) == ["products", "purchases", "users"]
        assert module.Stream.__args__ == ("products", "purchases", "users")
        assert (module.CONNECTOR, module.VERSION) == ("source-faker", "7.2.1")
        for stream, rows in records.items():
            for row in rows:  # a formatted member is read into its value (datetime, date), which writes it back
                read = module.RECORDS[stream].model_validate(row).model_dump(by_alias=True, exclude_unset=True)
                assert {k: v.isoformat() if isinstance(v, date) else v for k, v in read.items()} == row
    written = (tmp_path / "streams" / "source_faker.json").read_text(encoding="utf-8")
    assert written == json.dumps(faker_document(), sort_keys=True, indent=2) + "\n"


@pytest.mark.parametrize(("streams", "classes"), [
    (["users", "pull_request", "Ad-Groups", "2fa codes", "%"],
     ["UsersRecord", "PullRequestRecord", "AdGroupsRecord", "Stream2faCodesRecord", "StreamRecord"]),
    (["pull request", "pullRequest", "pull_request"],  # numbered in sorted order
     ["PullRequestRecord", "PullRequest2Record", "PullRequest3Record"]),
])
def test_record_class_names(streams, classes):
    assert stream_models.record_classes(streams) == dict(sorted(zip(streams, classes)))


def test_members_keywords_and_extra_columns(tmp_path):
    """Members are optional unless required; keyword and pydantic names keep their record spelling; columns the
    schema does not name are kept; a nested class named as a record class leaves the record its name."""
    tricky = {"type": ["null", "object"], "required": ["id"], "additionalProperties": False, "properties": {
        "id": {"type": "integer"}, "class": {"type": "string"}, "model_config": {"type": ["null", "string"]},
        "schema": {"type": "string"}, "tricky_record": {"type": "object", "properties": {"x": {"type": "string"}}}}}
    document = {"connector": "source-tricky", "version": "1.0.0", "origin": "discovered", "streams": {
        "tricky": {"schema": tricky, "primary_key": []}, "bare": {"schema": {}, "primary_key": []}}}
    with written_module(tmp_path, document, "source-tricky") as module:
        row = {"id": 1, "class": "a", "model_config": None, "schema": "s", "tricky_record": {"x": "y"}, "new": 2}
        record = module.TrickyRecord.model_validate(row)
        assert record.model_dump(by_alias=True) == row
        assert module.BareRecord.model_validate({"any": 1}).model_dump() == {"any": 1}
        with pytest.raises(ValidationError, match="id"):
            module.TrickyRecord.model_validate({"class": "a"})


@pytest.mark.parametrize(("document", "message"), [
    ([], "not a JSON object"),
    ({"connector": "source-other", "version": "1", "origin": "package", "streams": {}}, "names connector"),
    ({"connector": "source-x", "version": "1", "origin": "guessed", "streams": {}}, "has origin"),
    ({"connector": "source-x", "version": "1", "origin": "package", "streams": {}}, "holds no streams"),
    ({"connector": "source-x", "version": "1", "origin": "package", "streams": {"s": {"schema": {}}}}, "primary_key"),
    ({"connector": "source-x", "version": "1", "origin": "package",
      "streams": {"s": {"schema": {"type": "object", "properties": {"p": {"type": "string", "pattern": "(?<x"}}},
                        "primary_key": []}}}, "do not import"),
])
def test_unusable_documents_are_refused(tmp_path, document, message):
    with pytest.raises(stream_models.StreamModelError, match=message):
        stream_models.write(tmp_path, document, "source-x")


def corvel(capsys, *argv):
    status = command.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out + err


def faker_entry(tag="7.2.1"):
    found = [e for e in json.loads(BUNDLED_REGISTRY.read_text(encoding="utf-8"))["sources"]
             if e["dockerRepository"] == "airbyte/source-faker"]
    return {**found[-1], "dockerImageTag": tag}


@pytest.fixture
def faker_tree(tmp_path, registry, capsys, no_network, monkeypatch):
    """A tree under tmp_path/out holding source-faker 7.2.1 (its schemas read from its installed release) and a
    docker source, added by corvel add."""
    monkeypatch.setenv("COLUMNS", "200")
    registry({"sources": [faker_entry(), entry("airbyte/source-a", "1.0")], "destinations": []})
    status, out = corvel(capsys, "add", "source-faker", "source-a", "--output-dir", tmp_path / "out")
    assert status == 0, out
    assert "source-a: no static stream schemas (corvel streams source-a --config FILE discovers them)" in out
    return Tree.at_root(tmp_path / "out")


def test_a_run_writes_locks_and_checks_the_record_classes(capsys, faker_tree):
    lock = read_lock(faker_tree.directory)
    other, faker = sorted(lock.records, key=lambda record: record.name)
    assert set(faker.streams_files) == {"streams/source_faker.json", "streams/source_faker.py"} and not other.streams_files
    assert json.loads((faker_tree.streams / "source_faker.json").read_text())["origin"] == "package"
    module = faker_tree.streams / "source_faker.py"
    written = module.read_bytes()
    module.write_text("# edited\n")
    (faker_tree.streams / "stray.py").write_text("")
    status, out = corvel(capsys, "sync", "--check", "--output-dir", faker_tree.root)
    assert status == 1 and {"edited: streams/source_faker.py", "extra: streams/stray.py"} <= set(out.splitlines())
    (faker_tree.streams / "stray.py").unlink()
    status, out = corvel(capsys, "sync", "--frozen", "--output-dir", faker_tree.root)
    assert status == 0 and module.read_bytes() == written  # from the stored document
    stored = faker_tree.streams / "source_faker.json"
    stored.write_text(stored.read_text().replace('"users"', '"customers"'))
    module.unlink()
    status, out = corvel(capsys, "sync", "--frozen", "--output-dir", faker_tree.root)
    assert status == 0 and module.read_bytes() == written  # read again from the release, as the lock records it
    status, out = corvel(capsys, "sync", "--check", "--output-dir", faker_tree.root)
    assert status == 0, out


def test_an_upgrade_whose_schemas_cannot_be_read_drops_the_stale_classes_and_succeeds(capsys, faker_tree, registry):
    registry({"sources": [faker_entry("7.2.2"), entry("airbyte/source-a", "1.0")], "destinations": []})
    status, out = corvel(capsys, "upgrade", "source-faker", "--output-dir", faker_tree.root)
    assert status == 0 and "source-faker: record classes not written: " in out and "PyPI cannot be reached" in out
    assert not read_lock(faker_tree.directory).record("source_faker__7_2_2").streams_files
    assert not faker_tree.streams.exists()
    status, out = corvel(capsys, "sync", "--check", "--output-dir", faker_tree.root)
    assert status == 0, out


@pytest.mark.parametrize("files", [
    {"streams/source_faker.json": "0" * 64},
    {"streams/source_other.json": "0" * 64, "streams/source_other.py": "0" * 64},
])
def test_a_lock_holds_both_streams_files_of_its_own_connector_or_none(faker_tree, files):
    lock_file = faker_tree.lock_path
    document = json.loads(lock_file.read_text())
    faker = next(c for c in document["connectors"] if c["name"] == "source-faker")
    faker["files"] = {p: h for p, h in faker["files"].items() if not p.startswith("streams/")} | files
    lock_file.write_text(json.dumps(document))
    with pytest.raises(LockError, match="if it has record classes"):
        read_lock(faker_tree.directory)


def test_show_says_how_to_discover_streams_the_tree_lacks(capsys, faker_tree):
    status, out = corvel(capsys, "show", "source-a", "--output-dir", faker_tree.root)
    assert status == 0 and "streams: none in the tree; corvel streams source-a --config FILE discovers them" in out


def test_streams_discovers_and_locks_a_source_with_its_configuration(capsys, faker_tree, tmp_path):
    config = tmp_path / "faker.yaml"
    config.write_text("count: 5\nseed: 4321\nparallelism: 1\n")
    status, out = corvel(capsys, "streams", "source-faker", "--config", config, "--output-dir", faker_tree.root)
    assert status == 0 and "3 stream(s) of source-faker 7.2.1 discovered and locked" in out, out
    document = json.loads((faker_tree.streams / "source_faker.json").read_text())
    assert document["origin"] == "discovered" and document["streams"]["users"]["primary_key"] == [["id"]]
    assert not any(b"4321" in path.read_bytes() for path in faker_tree.directory.rglob("*") if path.is_file())
    status, out = corvel(capsys, "sync", "--check", "--output-dir", faker_tree.root)
    assert status == 0, out
    status, out = corvel(capsys, "show", "source-faker", "--output-dir", faker_tree.root)
    assert all(line in out for line in ("streams (3, discovered at 7.2.1): products, purchases, users",
                                        "users (primary key id):", "address", "null|string (date-time)")), out


@pytest.mark.parametrize(("name", "config", "message"), [
    ("source-fakr", "count: 5\n", "does not hold source-fakr; did you mean source-faker?"),
    ("source-faker", "count: many\n", "is not a valid configuration of source-faker 7.2.1 (1 problem(s))"),
])
def test_streams_refuses_in_one_line(capsys, faker_tree, tmp_path, name, config, message):
    (tmp_path / "config.yaml").write_text(config)
    status, out = corvel(capsys, "streams", name, "--config", tmp_path / "config.yaml", "--output-dir", faker_tree.root)
    assert status == 1 and message in out and "Traceback" not in out, out


def test_an_edited_manifest_has_its_streams_read_again(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "pyproject.toml").write_text('[tool.corvel]\nown-manifests = [{path = "my_api.yaml", name = '
                                             '"source-mine"}]\n')
    document = Tree.at_root(tmp_path / "gen").streams / "source_mine.json"
    for stream in ("items", "goods"):  # the version stays 6.0.0: the manifest changed all the same
        (tmp_path / "my_api.yaml").write_text(OWN_MANIFEST.replace("name: items", f"name: {stream}"))
        assert cli.main(["--output-dir", "gen"]) == 0, capsys.readouterr()
        streams = json.loads(document.read_text())["streams"]
        assert list(streams) == [stream] and streams[stream]["primary_key"] == [["id"]]

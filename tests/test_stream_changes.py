"""Which streams and record members an upgrade breaks: between two streams documents, and through the dry run
and `corvel outdated`."""

import json
import re
import shutil
from pathlib import Path

import pytest
import yaml
from test_connector_kinds import manifest_entry, store  # noqa: F401 -- store: the manifest store's fixture

from corvel import cli
from corvel.stream_changes import changes, counted, stream_changes

# the streams documents of airbyte-source-sendgrid 0.5.0 and 1.0.0 as corvel reads them from the manifests of their
# PyPI releases (descriptions and titles left out); 0.5.0's messages stream ships no schema, so it is not known
SENDGRID = Path(__file__).parent / "data" / "streams"


def document(**streams):
    return {"connector": "source-test", "version": "1.0.0", "origin": "manifest",
            "streams": {name: {"schema": schema, "primary_key": key} for name, (schema, key) in streams.items()}}


def record(required=(), **members):
    return {"type": "object", "properties": members, **({"required": list(required)} if required else {})}


NULLABLE_INT = {"type": ["null", "integer"]}


@pytest.mark.parametrize(("old", "new", "lines"), [
    pytest.param(document(users=(record(age=NULLABLE_INT, address=record(city={"type": "string"}, zip={})), [])),
                 document(users=(record(address=record(zip={})), [])),
                 ["users.address.city removed", "users.age removed"], id="members removed, nested"),
    pytest.param(document(users=(record(age=NULLABLE_INT, tags={"type": "array", "items": {"type": "string"}}),
                                 [])),
                 document(users=(record(age={"type": ["string", "null"]},
                                        tags={"type": "array", "items": {"type": "string", "format": "date"}}),
                                 [])),
                 ["users.age: integer -> string", "users.tags[]: string -> string(date)"], id="retyped"),
    pytest.param(document(users=(record(age=NULLABLE_INT, name={"type": "string"}), [])),
                 document(users=(record(["name"], age={"type": "integer"}, name={"type": "string"}), [])),
                 ["users.age: no longer nullable", "users.name: now required"], id="made non-null"),
    pytest.param(document(users=(record(age=NULLABLE_INT, card=record(number={"type": "string"})), [])),
                 document(users=(record(age={"anyOf": [{"type": "null"}, {"type": "integer"}]}, extra={},
                                        card={"oneOf": [{"type": "null"}, record(number={"type": "string"})]}),
                                 [])),
                 [], id="same types written otherwise, a member added"),
])
def test_stream_changes(old, new, lines):
    assert stream_changes(old, new) == lines


def test_real_releases_name_dropped_streams_and_changed_keys():
    old, new = (json.loads((SENDGRID / f"source-sendgrid-{v}.json").read_text()) for v in ("0.5.0", "1.0.0"))
    assert stream_changes(old, new) == [
        "bounces primary key: [email] -> []",
        "stream contacts removed",
        "segments.contact_count removed",
        "segments.parent_list_id removed",
        "stream single_sends removed",
        "stream singlesend_stats added",
        "stream singlesends added",
        "spam_reports primary key: [email] -> []",
        "suppression_group_members primary key: [group_id] -> [group_id, email]",
        "templates.generation: no longer nullable",
        "templates.name: no longer nullable",
        "stream unsubscribe_groups removed",
    ]
    assert counted(changes(old, new)) == "5 removed, 2 made non-null, 3 key changed, 2 added"
    assert counted(changes(new, new)) == "no change"


def shop_manifest(streams):
    """A manifest-only connector's manifest whose streams (name -> record schema) are keyed by id; what a source
    needs to run is left out, as no stream is read."""
    return yaml.safe_dump({"version": "6.0.0", "type": "DeclarativeSource", "spec": {
        "type": "Spec", "connection_specification": {"type": "object", "properties": {}}}, "streams": [
        {"type": "DeclarativeStream", "name": name, "primary_key": ["id"],
         "schema_loader": {"type": "InlineSchemaLoader", "schema": schema}} for name, schema in streams.items()]})


@pytest.mark.parametrize(("stored", "published", "said", "column"), [
    pytest.param(True, True, ["  streams: 1 removed, 1 retyped", "    items.id: integer -> string",
                              "    stream orders removed"], "1 removed, 1 retyped", id="known at both versions"),
    pytest.param(True, False, ["  streams at 0.2.0 unknown: http"], None, id="new manifest not at hand"),
    pytest.param(False, True, [], None, id="unknown at the locked version: nothing fetched"),
])
def test_upgrades_name_the_streams_they_break(capsys, monkeypatch, tmp_path, store,  # noqa: F811
                                              stored, published, said, column):
    monkeypatch.setenv("COLUMNS", "300")
    old = {"items": record(id={"type": "integer"}), "orders": record(id={"type": "integer"})}
    store.publish("source-shop", "0.1.0", shop_manifest(old))
    if published:
        store.publish("source-shop", "0.2.0", shop_manifest({"items": record(id={"type": "string"})}))
    registry, report = tmp_path / "registry.json", tmp_path / "report.json"

    def corvel(tag, *argv):
        registry.write_text(json.dumps({"sources": [manifest_entry("source-shop", tag, shop_manifest(old))],
                                         "destinations": []}))
        status = cli.main(["--registry", str(registry), "--output-dir", str(tmp_path), "--report", str(report), *argv])
        out, err = capsys.readouterr()
        assert status == 0, out + err
        return out, json.loads(report.read_text())

    corvel("0.1.0", "source-shop")
    if not stored:  # a tree from before record classes: the locked version's streams are unknown
        shutil.rmtree(tmp_path / "connector_configs" / "streams")
    out, told = corvel("0.2.0", "--upgrade", "--dry-run")
    shown = out.splitlines()
    preview = [line for line in shown[shown.index("source-shop: 0.1.0 -> 0.2.0") + 1:]
               if line.startswith(("  streams", "    "))]
    assert len(preview) == len(said) and all(map(str.startswith, preview, said)), out
    assert told["upgrades"][0]["stream_changes"] == ([line.strip() for line in said[1:]] if column else None)
    out, told = corvel("0.2.0", "--outdated")
    assert told["outdated"][0]["streams"] == column
    assert re.search(rf"0\.1\.0 +0\.2\.0 +{re.escape(column or '-')}", out), out
    assert ("/source-shop/0.2.0/manifest.yaml" in store.requests) == stored

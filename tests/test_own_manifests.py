"""A declarative manifest of the user's own: run as it is through SourceManifestConfig, or typed by
corvel-generate --manifest, vendored, locked by its hash and read into DuckDB offline."""

import json
import shutil

import airbyte
import pytest
from test_connector_kinds import CONFIGURED_DECLARATIVE, Server, tree_files

import corvel
from corvel import cli
from corvel.configs import forget_tree
from corvel.connectors import SourceManifestConfig
from corvel.own_manifests import InvalidConfigError, ManifestError

OWN_MANIFEST = """\
version: 6.0.0
type: DeclarativeSource
check:
  type: CheckStream
  stream_names: [items]
streams:
  - type: DeclarativeStream
    name: items
    primary_key: [id]
    schema_loader:
      type: InlineSchemaLoader
      schema:
        type: object
        properties:
          id: {type: integer}
          name: {type: string}
    retriever:
      type: SimpleRetriever
      requester:
        type: HttpRequester
        url_base: "{{ config['api_url'] }}"
        path: /items
        http_method: GET
      record_selector:
        type: RecordSelector
        extractor:
          type: DpathExtractor
          field_path: [data]
spec:
  type: Spec
  connection_specification:
    type: object
    required: [api_url]
    properties:
      api_url: {type: string}
      api_key: {type: string, airbyte_secret: true}
      page_size: {type: integer}
"""
ROWS = [{"id": n, "name": f"item {n}"} for n in range(5)]
needs_configured = pytest.mark.skipif(not CONFIGURED_DECLARATIVE, reason="this airbyte reads no manifest that needs "
                                                                         "its configuration")


@pytest.fixture
def api(monkeypatch, no_network):
    """The manifest's HTTP API on 127.0.0.1; no other connection can be made."""
    server = Server()
    server.routes["/api/items"] = json.dumps({"data": ROWS}).encode()
    yield server
    server.close()


@pytest.fixture(autouse=True)
def project(tmp_path, monkeypatch):
    """A project directory holding my_api.yaml, the working directory of the test."""
    monkeypatch.setenv("COLUMNS", "300")
    monkeypatch.delenv("AIRBYTE_ENABLE_UNSAFE_CODE", raising=False)
    monkeypatch.setenv(cli.REGISTRY_VARIABLE, str(cli.BUNDLED_REGISTRY))  # airbyte reads its registry on every run
    monkeypatch.chdir(tmp_path)
    (tmp_path / "my_api.yaml").write_text(OWN_MANIFEST, encoding="utf-8")
    yield tmp_path
    forget_tree()


def generate(capsys, *argv):
    status = cli.main(["--output-dir", "gen", *argv])
    captured = capsys.readouterr()
    return status, captured.out + captured.err


@pytest.mark.reads_through_airbyte
@needs_configured
def test_a_manifest_goes_from_file_to_typed_class_to_rows_in_duckdb_offline(capsys, project, api, monkeypatch):
    status, out = generate(capsys, "--manifest", "my_api.yaml")
    assert status == 0, out
    configs = project / "gen" / "connector_configs"
    (record,) = json.loads((configs / "corvel.lock").read_text())["connectors"]
    assert record["registry_entry"]["corvelOwnManifest"]["source"] == "my_api.yaml"
    assert (configs / "manifests" / "source_my_api__6_0_0" / "manifest.yaml").read_text() == OWN_MANIFEST

    cls = corvel.config_class("source-my-api", tree=project / "gen")
    with pytest.raises(ValueError, match="page_size") as refused:
        cls(api_url=api.url + "/api", api_key="hunter2", page_size="many")
    assert "hunter2" not in str(refused.value)
    config = cls(api_url=api.url + "/api", api_key="hunter2")
    assert "hunter2" not in repr(config)

    (project / "my_api.yaml").unlink()  # the vendored copy runs, with no store and no registry
    monkeypatch.setenv("AIRBYTE_OFFLINE_MODE", "1")
    source = corvel.get_source(config, streams="*")
    items = source.read(cache=airbyte.caches.DuckDBCache(db_path=project / "read.duckdb"))["items"].to_pandas()
    assert sorted(items["id"]) == [row["id"] for row in ROWS]


def test_an_edited_manifest_is_named_and_generated_again_and_frozen_needs_only_the_lock(capsys, project):
    (project / "pyproject.toml").write_text('[tool.corvel]\nown-manifests = [{path = "my_api.yaml", name = '
                                            '"source-mine"}]\n', encoding="utf-8")
    assert generate(capsys)[0] == 0
    (project / "my_api.yaml").write_text(OWN_MANIFEST + "      region: {type: string}\n", encoding="utf-8")
    status, out = generate(capsys)
    assert status == 0 and "source-mine: my_api.yaml changed since it was locked" in out
    configs = project / "gen" / "connector_configs"
    assert "region" in (configs / "model" / "source_mine__6_0_0.py").read_text()
    assert "region" in (configs / "manifests" / "source_mine__6_0_0" / "manifest.yaml").read_text()
    assert "is up to date" in generate(capsys)[1]

    copy = project / "copy" / "connector_configs"
    shutil.copytree(configs / "manifests", copy / "manifests")
    shutil.copy(configs / "corvel.lock", copy)
    (project / "my_api.yaml").unlink()
    assert cli.main(["--frozen", "--output-dir", str(copy.parent)]) == 0, capsys.readouterr()
    assert tree_files(copy) == tree_files(configs)


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("spec: [unclosed\n", "not a YAML manifest"),
        ("- a\n- list\n", "not a YAML manifest: its root is list"),
        (OWN_MANIFEST.partition("spec:")[0], "the manifest has no spec.connection_specification"),
        (OWN_MANIFEST.replace("    type: object\n", "    type: array\n"),
         "its spec.connection_specification is not an object schema"),
    ],
    ids=["not-yaml", "not-a-mapping", "no-spec", "not-an-object"],
)
def test_a_bad_manifest_is_named_and_nothing_written(capsys, project, text, reason):
    (project / "bad.yaml").write_text(text, encoding="utf-8")
    status, out = generate(capsys, "--manifest", "my_api.yaml", "--manifest", "bad.yaml")
    assert status == 1 and f"bad.yaml: {reason}" in out
    assert not (project / "gen" / "connector_configs").exists()


@needs_configured
@pytest.mark.parametrize("form", ["path", "url", "mapping"])
def test_a_source_manifest_config_runs_its_manifest(project, api, form):
    import yaml

    api.routes["/my_api.yaml"] = OWN_MANIFEST.encode()
    manifest = {"path": project / "my_api.yaml", "url": api.url + "/my_api.yaml",
                "mapping": yaml.safe_load(OWN_MANIFEST)}[form]
    source = corvel.get_source(SourceManifestConfig(name="source-my-api", manifest=manifest,
                                                    config={"api_url": api.url + "/api"}), streams="*")
    got = list(source.get_records("items"))  # a dataset read once
    assert [record["id"] for record in got] == [row["id"] for row in ROWS]


def test_a_source_manifest_config_is_judged_before_anything_runs(project, monkeypatch):
    import yaml

    monkeypatch.setattr(airbyte, "get_source", lambda *args, **kwargs: pytest.fail("airbyte was asked to run it"))
    config = SourceManifestConfig(name="source-my-api", manifest="my_api.yaml",
                                  config={"api_key": "hunter2", "page_size": "hunter2"})
    assert "hunter2" not in repr(config) and "'page_size': 'hunter2'" not in str(config)
    with pytest.raises(InvalidConfigError) as refused:
        corvel.get_source(config)
    assert "'api_url'" in str(refused.value) and "page_size: must be of type integer" in str(refused.value)
    assert "hunter2" not in str(refused.value)

    broken = yaml.safe_load(OWN_MANIFEST.replace("page_size: {type: integer}", "page_size: {type: strnig}"))
    with pytest.raises(ManifestError, match="not a valid JSON Schema") as refused:
        corvel.get_source(config.model_copy(update={"manifest": broken}))
    assert "hunter2" not in str(refused.value)

    (project / "components.py").write_text("raise SystemExit('ran')\n", encoding="utf-8")
    with pytest.raises(ManifestError, match="AIRBYTE_ENABLE_UNSAFE_CODE=true"):
        corvel.get_source(config.model_copy(update={"config": {"api_url": "http://127.0.0.1:9"}}))


def test_two_manifests_of_one_name_are_refused_before_anything_is_written(capsys, project):
    (project / "other").mkdir()
    shutil.copy(project / "my_api.yaml", project / "other" / "my_api.yaml")
    status, out = generate(capsys, "--manifest", "my_api.yaml", "--manifest", "other/my_api.yaml")
    assert status == 1 and "source-my-api is the name of my_api.yaml too" in out
    assert not (project / "gen" / "connector_configs").exists()

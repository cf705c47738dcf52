"""Every kind of connector runs at the version its class came from: manifests
vendored in the tree and run offline, Docker images at the locked tag, PyPI
packages at the locked version."""

import gc
import hashlib
import http.server
import io
import json
import os
import re
import shutil
import sys
import threading
import warnings
import zipfile
from pathlib import Path

import airbyte
import airbyte._executors.util as docker_util
from airbyte._executors.declarative import DeclarativeExecutor
import pytest
import yaml
from conftest import entry, python_script_on_path, run_process, run_python

import corvel
from corvel import cli, manifests
from corvel.commit import STAGING
from corvel.lock import connector_kind, read_lock
from corvel.configs import forget_tree

# airbyte 0.33 (the oldest supported) builds a declarative source without the connector's configuration, which the
# airbyte-cdk of today needs to discover or read most manifests; their spec it gives all the same
CONFIGURED_DECLARATIVE = hasattr(DeclarativeExecutor, "_config_from_args")
CONNECTORS_DIR = Path(os.environ.get("AIRBYTE_INSTALL_DIR") or Path(__file__).parents[1] / "build" / "connectors")
# a connector that is manifest-only today, from its last PyPI release (tools/connectors/source-exchange-rates.txt)
EXCHANGE_RATES_MANIFEST = next(CONNECTORS_DIR.glob(".venv-source-exchange-rates/lib/python*/site-packages/"
                                                   "source_exchange_rates/manifest.yaml"), None)

API_MANIFEST = """\
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
          origin: {type: string}
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
    transformations:
      - type: CustomTransformation
        class_name: source_declarative_manifest.components.AddOrigin
spec:
  type: Spec
  connection_specification:
    type: object
    required: [api_url]
    properties:
      api_url: {type: string}
"""
API_COMPONENTS = """\
from dataclasses import dataclass

from airbyte_cdk.sources.declarative.transformations import RecordTransformation


@dataclass
class AddOrigin(RecordTransformation):
    def transform(self, record, config=None, stream_state=None, stream_slice=None):
        record["origin"] = "components.py"
"""


def zipped(name, text):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr(name, text)
    return buffer.getvalue()


class Server:
    """A real HTTP server on 127.0.0.1: ROUTES maps a path to a body; other paths answer 404, and paths in SLOW
    answer only when the test ends."""

    def __init__(self):
        self.routes, self.slow, self.requests = {}, set(), []
        self.release = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            disable_nagle_algorithm = True

            def do_GET(self):
                server.requests.append(self.path.partition("?")[0])
                if self.path in server.slow:
                    server.release.wait(30)
                body = server.routes.get(self.path.partition("?")[0])
                self.send_response(404 if body is None else 200)
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def publish(self, name, version, manifest, components=None):
        """Serves a connector's files as the manifest store lays them out (components both zipped and plain,
        as the releases of airbyte ask for them)."""
        self.routes[f"/{name}/{version}/manifest.yaml"] = manifest if isinstance(manifest, bytes) else manifest.encode()
        if components is not None:
            self.routes[f"/{name}/{version}/components.zip"] = zipped("components.py", components)
            self.routes[f"/{name}/{version}/components.py"] = components.encode()

    def close(self):
        self.release.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture
def store(monkeypatch, no_network):
    """The manifest store, served on 127.0.0.1; no other connection can be made (airbyte's public store among them)."""
    server = Server()
    monkeypatch.setenv(manifests.URL_VARIABLE, server.url + "/{name}/{version}/manifest.yaml")
    yield server
    server.close()


@pytest.fixture(autouse=True)
def clean(monkeypatch):
    monkeypatch.setenv("COLUMNS", "300")
    monkeypatch.delenv("AIRBYTE_ENABLE_UNSAFE_CODE", raising=False)
    monkeypatch.setenv(cli.REGISTRY_VARIABLE, str(cli.BUNDLED_REGISTRY))  # airbyte reads its registry on every run
    yield
    forget_tree()
    for name in ("components", "source_declarative_manifest.components"):  # the CDK registers custom components here
        sys.modules.pop(name, None)
    gc.collect()  # connectors run in this process leave sockets and files to their objects: none outlives the test


def manifest_entry(name, tag, manifest_text, **extra):
    spec = yaml.safe_load(manifest_text)["spec"]["connection_specification"]
    return entry(f"airbyte/{name}", tag, spec, language="manifest-only", tags=["language:manifest-only"], **extra)


def generate(capsys, tmp_path, document, *argv):
    path = tmp_path / "registry.json"
    path.write_text(json.dumps(document), encoding="utf-8")
    status = cli.main(["--registry", str(path), "--output-dir", str(tmp_path / "tree"), *argv])
    out, err = capsys.readouterr()
    return status, out + err


def frozen(capsys, tree):
    status = cli.main(["--frozen", "--output-dir", str(tree)])
    out, err = capsys.readouterr()
    return status, out + err


def said(out, label, result):
    """Whether the summary gives RESULT for the connector LABEL."""
    return re.search(rf"^{re.escape(label)} +{re.escape(result)}", out, re.MULTILINE) is not None


def tree_files(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


@pytest.mark.parametrize(
    ("extra", "kind"),
    [
        ({"language": "manifest-only"}, "manifest"),
        ({"tags": ["language:manifest-only"]}, "manifest"),
        ({"language": "python", "remoteRegistries": {"pypi": {"enabled": True, "packageName": "airbyte-source-x"}}}, "pypi"),
        ({"tags": ["language:python"], "remoteRegistries": {"pypi": {"enabled": True, "packageName": "airbyte-source-x"}}}, "pypi"),
        ({"language": "python", "remoteRegistries": {"pypi": {"enabled": False, "packageName": "airbyte-source-x"}}}, "docker"),
        ({"remoteRegistries": {"pypi": {"enabled": True, "packageName": "airbyte-source-x"}}}, "docker"),
        ({"language": "java"}, "docker"),
        ({"language": "rust", "tags": ["language:manifest-only"]}, "manifest"),  # airbyte reads the tag then
        ({}, "docker"),
    ],
)
def test_the_kind_is_read_as_airbyte_reads_it(extra, kind):
    assert connector_kind(entry("airbyte/source-x", **extra)) == kind


@pytest.mark.skipif(EXCHANGE_RATES_MANIFEST is None, reason="make connectors installs source-exchange-rates")
def test_manifests_are_vendored_checked_and_regenerated_offline(capsys, tmp_path, store):
    real = EXCHANGE_RATES_MANIFEST.read_bytes()
    store.publish("source-exchange-rates", "1.3.11", real)
    store.publish("source-api", "0.1.0", API_MANIFEST, API_COMPONENTS)
    docker = entry("airbyte/destination-java", "2.0.0", language="java")
    document = {"sources": [manifest_entry("source-exchange-rates", "1.3.11", real.decode()),
                            manifest_entry("source-api", "0.1.0", API_MANIFEST)],
                "destinations": [docker]}
    status, out = generate(capsys, tmp_path, document, "source-exchange-rates", "source-api", "destination-java")
    assert status == 0, out
    configs = tmp_path / "tree" / "connector_configs"
    vendored = configs / "manifests" / "source_exchange_rates__1_3_11" / "manifest.yaml"
    components = configs / "manifests" / "source_api__0_1_0" / "components.py"
    assert vendored.read_bytes() == real and components.read_text() == API_COMPONENTS
    assert not (configs / "manifests" / "source_exchange_rates__1_3_11" / "components.py").exists()
    lock = json.loads((configs / "corvel.lock").read_text())
    assert lock["format"] == 2
    records = {r["name"]: r for r in lock["connectors"]}
    assert {n: r["connector_kind"] for n, r in records.items()} == {
        "source-exchange-rates": "manifest", "source-api": "manifest", "destination-java": "docker"}
    assert records["source-exchange-rates"]["files"]["manifests/source_exchange_rates__1_3_11/manifest.yaml"] == \
        hashlib.sha256(real).hexdigest()
    assert "manifests/source_api__0_1_0/components.py" in records["source-api"]["files"]

    # a manifest edited or gone is fetched again (here from the content cache: the store is not asked) and named
    asked = len(store.requests)
    vendored.write_text("edited: true\n")
    components.unlink()
    status, out = cli.main(["--output-dir", str(tmp_path / "tree")]), capsys.readouterr().out
    assert status == 0 and said(out, "source-exchange-rates 1.3.11", "manifest fetched again")
    assert said(out, "source-api 0.1.0", "manifest fetched again") and len(store.requests) == asked
    assert vendored.read_bytes() == real and components.read_text() == API_COMPONENTS

    # the lock and the manifests alone give the same tree with the store and the registry gone
    store.close()
    copy = tmp_path / "copy" / "connector_configs"
    shutil.copytree(configs / "manifests", copy / "manifests")
    shutil.copy(configs / "corvel.lock", copy)
    status, out = frozen(capsys, copy.parent)
    assert status == 0, out
    assert tree_files(copy) == tree_files(configs)

    # a manifest missing there is named as an error while the store cannot be reached
    shutil.rmtree(copy / "manifests" / "source_api__0_1_0")
    status = cli.main(["--frozen", "--no-cache", "--output-dir", str(copy.parent)])
    out = capsys.readouterr().out
    assert status == 1 and said(out, "source-api 0.1.0", "manifest not vendored: http://127.0.0.1:")
    assert "the store cannot be reached" in out

    status, out = generate(capsys, tmp_path, document, "--remove", "source-api", "source-exchange-rates")
    assert status == 0 and not (configs / "manifests").exists()


@pytest.mark.parametrize(
    ("served", "reason"),
    [
        (None, "the store has no manifest for source-api 0.1.0 (HTTP 404)"),
        ("slow", "no answer within 0.2 s (ReadTimeout)"),
        ("just: [an, unclosed", "not a YAML manifest"),
        ("- a list\n- not a mapping\n", "not a YAML manifest: a sequence, not a mapping"),
        ("a: !!python/object/apply:os.system [true]\n", "tags a safe loader refuses"),
    ],
    ids=["404", "slow", "not-yaml", "not-a-mapping", "unsafe"],
)
def test_a_manifest_that_cannot_be_fetched_is_named_and_the_class_still_generated(capsys, tmp_path, store, monkeypatch,
                                                                                   served, reason):
    if served == "slow":
        monkeypatch.setattr(manifests, "FETCH_TIMEOUT", 0.2)
        store.slow.add("/source-api/0.1.0/manifest.yaml")
        store.publish("source-api", "0.1.0", API_MANIFEST)
    elif served is not None:
        store.publish("source-api", "0.1.0", served)
    document = {"sources": [manifest_entry("source-api", "0.1.0", API_MANIFEST)], "destinations": []}
    status, out = generate(capsys, tmp_path, document, "source-api")
    assert status == 1 and said(out, "source-api 0.1.0", "added; manifest not vendored: ") and reason in out
    configs = tmp_path / "tree" / "connector_configs"
    assert (configs / "model" / "source_api__0_1_0.py").exists() and not (configs / "manifests").exists()
    assert not (configs / STAGING).exists()
    (record,) = read_lock(configs).records
    assert record.connector_kind == "manifest" and not record.manifest_files


def test_what_was_generated_is_committed_before_the_store_answers(capsys, tmp_path, store, monkeypatch):
    monkeypatch.setattr(manifests, "FETCH_TIMEOUT", 10)  # a run that awaited the store first would time out
    store.publish("source-api", "0.1.0", API_MANIFEST)
    store.slow.add("/source-api/0.1.0/manifest.yaml")  # answered once the tree's lock is written
    configs = tmp_path / "tree" / "connector_configs"

    def release_once_committed():
        while not (configs / "corvel.lock").exists() and not store.release.wait(0.02):
            pass
        store.release.set()

    watcher = threading.Thread(target=release_once_committed)
    watcher.start()
    document = {"sources": [manifest_entry("source-api", "0.1.0", API_MANIFEST)], "destinations": []}
    try:
        status, out = generate(capsys, tmp_path, document, "source-api")
    finally:
        store.release.set()
        watcher.join()
    assert status == 0 and said(out, "source-api 0.1.0", "added  "), out
    (record,) = read_lock(configs).records
    assert list(record.manifest_files) == ["manifests/source_api__0_1_0/manifest.yaml"]
    assert not (configs / STAGING).exists()


@pytest.mark.parametrize("offline", [False, True])
def test_the_store_is_asked_during_airbytes_import_only_when_allowed_and_at_airbytes_urls(tmp_path, store, offline):
    """A new process asks the store as soon as airbyte's offline switch is loaded, at the store URLs an earlier run
    remembered; answers from URLs airbyte no longer uses are dropped, and a switched-off registry asks nothing."""
    store.publish("source-api", "0.1.0", API_MANIFEST, API_COMPONENTS)
    installed = manifests.AirbyteStore.installed()
    stale = manifests.AirbyteStore(installed.manifest_url, installed.components_url.rpartition("/")[0] + "/old.zip")
    manifests.remember_store(tmp_path / "cache", stale)
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps({"sources": [manifest_entry("source-api", "0.1.0", API_MANIFEST)],
                                    "destinations": []}), encoding="utf-8")
    done = run_process([sys.executable, "-m", "corvel.cli", "--registry", str(registry), "--output-dir",
                        str(tmp_path / "tree"), "--cache-dir", str(tmp_path / "cache"), "source-api"],
                       env={**os.environ, "AIRBYTE_OFFLINE_MODE": "1" if offline else ""})
    if offline:
        assert done.returncode != 0 and "switched off" in done.stderr and store.requests == []
        return
    assert done.returncode == 0, done.stderr
    assert "/source-api/0.1.0/old.zip" in store.requests  # asked before airbyte was imported, then dropped
    components = tmp_path / "tree" / "connector_configs" / "manifests" / "source_api__0_1_0" / "components.py"
    assert components.read_text() == API_COMPONENTS
    assert manifests.remembered_store(tmp_path / "cache") == installed


def test_a_format_1_lock_is_read_and_upgraded_by_the_next_write(capsys, tmp_path, store):
    store.publish("source-api", "0.1.0", API_MANIFEST)
    document = {"sources": [manifest_entry("source-api", "0.1.0", API_MANIFEST)], "destinations": []}
    assert generate(capsys, tmp_path, document, "source-api")[0] == 0
    configs = tmp_path / "tree" / "connector_configs"
    lock = json.loads((configs / "corvel.lock").read_text())
    for record in lock["connectors"]:
        del record["connector_kind"]
        record["files"] = {p: h for p, h in record["files"].items() if not p.startswith("manifests/")}
    (configs / "corvel.lock").write_text(json.dumps(dict(lock, format=1)))
    shutil.rmtree(configs / "manifests")
    assert read_lock(configs).records[0].connector_kind == "manifest"
    status = cli.main(["--output-dir", str(tmp_path / "tree")])
    assert status == 0 and "manifest fetched again" not in capsys.readouterr().out  # vendored, not fetched again
    upgraded = json.loads((configs / "corvel.lock").read_text())
    assert upgraded["format"] == 2 and "manifests/source_api__0_1_0/manifest.yaml" in upgraded["connectors"][0]["files"]


@pytest.mark.reads_through_airbyte
@pytest.mark.skipif(EXCHANGE_RATES_MANIFEST is None, reason="make connectors installs source-exchange-rates")
def test_a_manifest_only_connector_runs_its_vendored_manifest_offline(capsys, tmp_path, store):
    real = EXCHANGE_RATES_MANIFEST.read_text()
    store.publish("source-exchange-rates", "1.3.11", real)
    document = {"sources": [manifest_entry("source-exchange-rates", "1.3.11", real)], "destinations": []}
    assert generate(capsys, tmp_path, document, "source-exchange-rates")[0] == 0
    store.close()
    code = f"""
        import json, warnings, corvel
        warnings.simplefilter("error", corvel.ConnectorSpecWarning)
        cls = corvel.config_class("source-exchange-rates", tree={str(tmp_path / "tree")!r})
        source = corvel.get_source(cls(start_date="2024-01-02", access_key="key"))
        streams = rejected = None
        if {CONFIGURED_DECLARATIVE}:
            streams = source.get_available_streams()
            try:
                corvel.get_source(cls.model_construct(start_date="2024/01/02", access_key="key")).check()
            except Exception as error:
                rejected = str(getattr(error, "context", {{}}).get("failure_reason"))
        print(json.dumps([source.config_spec, streams, type(source.executor).__name__, rejected]))
    """
    done = run_python(code, cwd=tmp_path, env={"AIRBYTE_OFFLINE_MODE": "1"})
    assert done.returncode == 0, done.stderr
    spec, streams, executor, rejected = json.loads(done.stdout.splitlines()[-1])
    assert spec == yaml.safe_load(real)["spec"]["connection_specification"]
    assert executor == "DeclarativeExecutor"
    if CONFIGURED_DECLARATIVE:
        assert streams == ["exchange_rates"] and "'2024/01/02' does not match" in rejected
    assert not list(tmp_path.glob(".venv-*"))  # airbyte's offline fallback installs the old PyPI release here


@pytest.mark.reads_through_airbyte
@pytest.mark.skipif(not CONFIGURED_DECLARATIVE, reason="this airbyte reads no manifest that needs its configuration")
@pytest.mark.parametrize("vendoring", ["--manifests", "--no-manifests"])  # run from the tree, or from the store
def test_a_manifest_with_custom_components_reads_into_duckdb(capsys, tmp_path, store, monkeypatch, vendoring):
    store.publish("source-api", "0.1.0", API_MANIFEST, API_COMPONENTS)
    rows = [{"id": n, "name": f"item {n}"} for n in range(7)]
    store.routes["/api/items"] = json.dumps({"data": rows}).encode()
    # the class comes from a spec with one member more than the manifest's: the connector reports the manifest's
    spec_entry = manifest_entry("source-api", "0.1.0", API_MANIFEST)
    spec_entry["spec"]["connectionSpecification"]["properties"]["page_size"] = {"type": "integer"}
    assert generate(capsys, tmp_path, {"sources": [spec_entry], "destinations": []}, vendoring, "source-api")[0] == 0
    monkeypatch.chdir(tmp_path)
    config = corvel.config_class("source-api", tree=tmp_path / "tree")(api_url=store.url + "/api")
    with pytest.warns(corvel.ConnectorSpecWarning, match="(?s)spec could not be compared .*AIRBYTE_ENABLE_UNSAFE_CODE"):
        refused = corvel.get_source(config)  # as airbyte leaves it, the refusal comes at the first use
    with pytest.raises(Exception, match="AIRBYTE_ENABLE_UNSAFE_CODE"):
        refused.get_available_streams()
    monkeypatch.setenv("AIRBYTE_ENABLE_UNSAFE_CODE", "true")
    with pytest.warns(corvel.ConnectorSpecWarning, match=r"source-api 0\.1\.0 reports") as caught:
        source = corvel.get_source(config, streams="*")
    assert "6.0.0" not in str(caught[0].message)  # the airbyte-cdk version the manifest gives is not the connector's
    cache = airbyte.caches.DuckDBCache(db_path=tmp_path / "read.duckdb")
    items = source.read(cache=cache)["items"].to_pandas()
    assert len(items) == 7 and set(items["origin"]) == {"components.py"}


@pytest.mark.parametrize("offline", [True, False], ids=["offline switch on", "store unreachable"])
def test_a_manifest_neither_vendored_nor_fetchable_is_named_before_airbyte_runs_anything(capsys, tmp_path, store,
                                                                                       offline):
    document = {"sources": [manifest_entry("source-api", "0.1.0", API_MANIFEST)], "destinations": []}
    assert generate(capsys, tmp_path, document, "--no-manifests", "source-api")[0] == 0
    store.close()
    # airbyte's way here installs the PyPI package of the name, unpinned: the network guard fails the test then
    done = run_python(f"""
        from pathlib import Path
        import corvel
        config = corvel.config_class("source-api", tree={str(tmp_path / "tree")!r})(api_url="http://127.0.0.1:1")
        try:
            corvel.get_source(config, install_root=Path({str(tmp_path)!r}))
        except corvel.CorvelError as error:
            print(error)
        """, cwd=tmp_path, env={"AIRBYTE_OFFLINE_MODE": "1" if offline else "0"})
    assert done.returncode == 0, done.stderr
    said = done.stdout.splitlines()[-1]
    assert said.startswith("source-api 0.1.0 is a manifest-only connector and it is not vendored in ")
    assert "set manifests = true in [tool.corvel]" in said
    assert ("turn the offline switch off" in said) is offline and ("cannot be reached" in said) is not offline
    assert not list(tmp_path.glob(".venv-*"))


DOCKER = """#!{python}
import json, sys
with open(LOG, "a") as log:
    log.write(json.dumps(sys.argv[1:]) + "\\n")
print(json.dumps(dict(type="SPEC", spec=dict(connectionSpecification=dict(type="object", properties=dict())))))
"""


@pytest.mark.parametrize("kind", ["source", "destination"])
@pytest.mark.parametrize("own", [None, "airbyte/mine:9"], ids=["locked", "caller's image"])
def test_a_docker_connector_runs_the_locked_image(capsys, tmp_path, monkeypatch, kind, own):
    name = f"{kind}-java"
    docker_entry = entry(f"airbyte/{name}", "2.3.4", language="java")
    document = {"sources": [docker_entry] if kind == "source" else [],
                "destinations": [docker_entry] if kind == "destination" else []}
    assert generate(capsys, tmp_path, document, name)[0] == 0
    # a docker that says what it was asked and answers spec with a spec other than the locked one; under the
    # sanitizer run it starts without the sanitizer runtime, as a connector would
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    python_script_on_path(monkeypatch, tmp_path / "bin", "docker", DOCKER.replace("LOG", repr(str(tmp_path / "docker.log"))))
    monkeypatch.setattr(docker_util, "DEFAULT_PROJECT_DIR", tmp_path)  # where airbyte makes the image's mount folder
    config = corvel.config_class(name, tree=tmp_path / "tree")(path="p")
    factory = corvel.get_source if kind == "source" else corvel.get_destination
    with pytest.warns(corvel.ConnectorSpecWarning, match=rf"{name} {'2.3.4' if own is None else '.version unknown.'} reports"):
        connector = factory(config, **({} if own is None else {"docker_image": own}))
    image = own or "airbyte/" + name + ":2.3.4"
    assert connector.executor.executable[-1] == image
    (asked,) = [json.loads(line) for line in (tmp_path / "docker.log").read_text().splitlines()]
    assert asked[0] == "run" and image in asked and asked[-1] == "spec"


def test_without_docker_the_spec_is_left_to_the_first_use(capsys, tmp_path, monkeypatch):
    document = {"sources": [entry("airbyte/source-java", "2.3.4", language="java")], "destinations": []}
    assert generate(capsys, tmp_path, document, "source-java")[0] == 0
    monkeypatch.setenv("PATH", str(tmp_path / "nothing"))
    monkeypatch.setattr(docker_util, "DEFAULT_PROJECT_DIR", tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", corvel.ConnectorSpecWarning)
        source = corvel.get_source(corvel.config_class("source-java", tree=tmp_path / "tree")(path="p"))
    assert source.executor.executable[-1] == "airbyte/source-java:2.3.4"

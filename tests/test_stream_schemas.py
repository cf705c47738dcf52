"""Stream schemas read from real manifests and releases: a manifest's streams as the airbyte-cdk itself
discovers them, a Python connector's release found installed, served by a PyPI on 127.0.0.1 or cached, and
a discovered catalog, all in the one shape the streams document holds."""

import hashlib
import http.server
import io
import json
import logging
import os
import threading
import zipfile
from pathlib import Path

import pytest
import yaml
from airbyte_cdk.sources.declarative.concurrent_declarative_source import ConcurrentDeclarativeSource
from conftest import entry

from corvel.lock import LockRecord
from corvel.stream_schemas import (
    PYPI_VARIABLE,
    StreamSourceError,
    document_for,
    from_catalog,
    from_manifest,
    read_manifest,
)
from corvel.tree import Tree, manifest_paths

DATA = Path(__file__).parent / "data" / "streams"
CONNECTORS_DIR = Path(os.environ.get("AIRBYTE_INSTALL_DIR") or Path(__file__).parents[1] / "build" / "connectors")
FAKER_SITE = next(CONNECTORS_DIR.glob(".venv-source-faker/lib/python*/site-packages"))
EXCHANGE_RATES = next(CONNECTORS_DIR.glob(".venv-source-exchange-rates/lib/python*/site-packages/"
                                          "source_exchange_rates/manifest.yaml"))
# real releases of source-pokeapi: 0.2.0 names no schema (its schemas/ file is found by the stream's name),
# 0.2.15 refers to its top-level schemas: section
POKEAPI_OLD, POKEAPI = DATA / "airbyte_source_pokeapi-0.2.0-py3-none-any.whl", \
    DATA / "airbyte_source_pokeapi-0.2.15-py3-none-any.whl"
FAKER_STREAMS = ["products", "purchases", "users"]


def wheel_manifest(wheel):
    return yaml.safe_load(zipfile.ZipFile(wheel).read("source_pokeapi/manifest.yaml"))


def python_record(package, version):
    return LockRecord.of("sources", entry(f"airbyte/{package.removeprefix('airbyte-')}", version, language="python",
                                          remoteRegistries={"pypi": {"enabled": True, "packageName": package}}))


@pytest.mark.parametrize("manifest, config", [
    (yaml.safe_load(EXCHANGE_RATES.read_bytes()), {"access_key": "k", "start_date": "2024-01-01"}),
    (wheel_manifest(POKEAPI), {"pokemon_name": "ditto"}),
], ids=["exchange-rates-1.3.11", "pokeapi-0.2.15"])
def test_manifest_streams_are_those_the_cdk_discovers(manifest, config):
    catalog = ConcurrentDeclarativeSource(source_config=manifest, config=config).discover(logging.getLogger(), config)
    assert from_manifest(manifest) == {
        stream.name: {"schema": stream.json_schema, "primary_key": stream.source_defined_primary_key or []}
        for stream in catalog.streams}


STREAM = {"type": "DeclarativeStream", "retriever": {
    "type": "SimpleRetriever", "requester": {"type": "HttpRequester", "url_base": "https://example.com"},
    "record_selector": {"type": "RecordSelector", "extractor": {"type": "DpathExtractor", "field_path": []}}}}


def test_manifest_names_from_parameters_and_streams_left_out():
    manifest = {
        "version": "6.0.0",
        "definitions": {"base": STREAM},
        "schemas": {"users": {"type": "object", "properties": {"id": {"$ref": "#/definitions/id"}}}},
        "streams": [
            {"$ref": "#/definitions/base", "$parameters": {"name": "users"}, "primary_key": [["account", "id"]],
             "schema_loader": {"type": "InlineSchemaLoader", "schema": {"$ref": "#/schemas/users"}}},
            {"$ref": "#/definitions/base", "name": "{{ parameters['name'] }}", "$parameters": {"name": "orders"},
             "primary_key": ["order", "line"], "schema_loader": {"type": "InlineSchemaLoader"}},
            {"$ref": "#/definitions/base", "name": "{{ config['table'] }}",
             "schema_loader": {"type": "InlineSchemaLoader"}},
            {"$ref": "#/definitions/base", "name": "no_file"},
            {"$ref": "#/definitions/base", "name": "dynamic", "schema_loader": {"type": "DynamicSchemaLoader"}},
        ],
        "dynamic_streams": [{"type": "DynamicDeclarativeStream"}],
    }
    manifest["definitions"]["id"] = {"type": "integer"}
    found = read_manifest(manifest)
    assert found.streams == {
        "users": {"schema": {"type": "object", "properties": {"id": {"type": "integer"}}},
                  "primary_key": [["account", "id"]]},
        "orders": {"schema": {}, "primary_key": [["order"], ["line"]]}}
    assert sorted(found.left_out) == ["dynamic", "no_file", "streams[2]"] and found.dynamic == 1


@pytest.mark.parametrize("files, expected", [
    ({"source_x/schemas/a.json": {"properties": {"b": {"$ref": "shared/b.json"}}},
      "source_x/schemas/shared/b.json": {"type": "string"}}, {"properties": {"b": {"type": "string"}}}),
    ({"source_x/schemas/a.json": {"properties": {"b": {"$ref": "b.json#/definitions/n", "title": "B"}}},
      "source_x/schemas/shared/b.json": {"definitions": {"n": {"type": "number"}}}},
     {"properties": {"b": {"type": "number", "title": "B"}}}),
    ({"source_x/schemas/a.json": {"definitions": {"node": {"properties": {"next": {"$ref": "#/definitions/node"}}}},
                                  "properties": {"head": {"$ref": "#/definitions/node"}}}},
     {"definitions": {"node": {"properties": {"next": {"properties": {"next": {}}}}}},
      "properties": {"head": {"properties": {"next": {}}}}}),
], ids=["shared-folder", "bare-name-in-shared", "recursive"])
def test_package_schemas_have_their_references_inlined(files, expected):
    package_files = {path: json.dumps(schema).encode() for path, schema in files.items()}
    manifest = {"streams": [{**STREAM, "name": "a"}]}
    assert from_manifest(manifest, package_files)["a"]["schema"] == expected


class PyPI:
    """PyPI's JSON API and its files on 127.0.0.1: releases added as (package, version, wheel bytes)."""

    def __init__(self):
        self.routes, self.asked, self.status = {}, [], 200
        pypi = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                pypi.asked.append(self.path)
                body = pypi.routes.get(self.path)
                self.send_response(pypi.status if body is not None else 404)
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def add(self, package, version, wheel, mirror=False):
        """The release of PACKAGE at VERSION with the wheel WHEEL; a MIRROR lists it only on the package's page,
        with the wheel's URL relative to it."""
        filename = f"{package.replace('-', '_')}-{version}-py3-none-any.whl"
        self.routes[f"/files/{filename}"] = wheel
        files = [
            {"packagetype": "sdist", "filename": f"{package}-{version}.tar.gz", "url": f"{self.url}/nothing"},
            {"packagetype": "bdist_wheel", "filename": filename,
             "url": f"../../files/{filename}" if mirror else f"{self.url}/files/{filename}",
             "digests": {"sha256": hashlib.sha256(wheel).hexdigest()}}]
        if mirror:
            self.routes[f"/pypi/{package}/json"] = json.dumps({"releases": {version: files}}).encode()
        else:
            self.routes[f"/pypi/{package}/{version}/json"] = json.dumps({"urls": files}).encode()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture
def pypi(monkeypatch, tmp_path, no_network):
    """A PyPI on 127.0.0.1, and an install directory without the connectors."""
    server = PyPI()
    monkeypatch.setenv(PYPI_VARIABLE, server.url + "/pypi")
    monkeypatch.setenv("AIRBYTE_INSTALL_DIR", str(tmp_path / "installed"))
    yield server
    server.close()


def faker_wheel(with_schemas=True):
    """source-faker 7.2.1's wheel, made from the files of its installed release."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for path in sorted((FAKER_SITE / "source_faker").rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and (with_schemas or "schemas" not in path.parts):
                archive.write(path, path.relative_to(FAKER_SITE).as_posix())
    return buffer.getvalue()


FAKER = python_record("airbyte-source-faker", "7.2.1")


def vendor(tree, record, manifest):
    """MANIFEST vendored in the tree at TREE as the record's."""
    vendored = tree / manifest_paths(record.versioned)[0]
    vendored.parent.mkdir(parents=True)
    vendored.write_bytes(manifest)


def streams_of(document):
    return {name: stream["primary_key"] for name, stream in document["streams"].items()}


@pytest.mark.parametrize("package, version, wheel, expected", [
    ("airbyte-source-faker", "7.2.1", faker_wheel, {name: [] for name in FAKER_STREAMS}),
    ("airbyte-source-pokeapi", "0.2.0", POKEAPI_OLD.read_bytes, {"pokemon": [["id"]]}),
    ("airbyte-source-pokeapi", "0.2.15", POKEAPI.read_bytes, {"pokemon": [["id"]]}),
], ids=["faker-schema-files", "pokeapi-manifest-and-schema-file", "pokeapi-manifest"])
@pytest.mark.parametrize("mirror", [False, True], ids=["pypi", "mirror"])
def test_release_read_from_pypi_then_from_the_cache(pypi, tmp_path, package, version, wheel, expected, mirror):
    pypi.add(package, version, wheel(), mirror)
    record = python_record(package, version)
    first = document_for(record, Tree(tmp_path / "tree"), tmp_path / "cache")
    assert first["origin"] == "package" and (first["connector"], first["version"]) == (record.name, version)
    assert streams_of(first) == expected and all(s["schema"]["properties"] for s in first["streams"].values())
    pypi.routes.clear()
    assert document_for(record, Tree(tmp_path / "tree"), tmp_path / "cache") == first


def test_installed_release_and_vendored_manifest_are_read_offline(tmp_path, monkeypatch, no_network):
    monkeypatch.setenv(PYPI_VARIABLE, "http://127.0.0.1:9/pypi")  # nothing listens there
    monkeypatch.setenv("AIRBYTE_INSTALL_DIR", str(CONNECTORS_DIR))
    faker = document_for(FAKER, Tree(tmp_path), None)
    assert faker["origin"] == "package" and sorted(faker["streams"]) == FAKER_STREAMS
    record = LockRecord.of("sources", entry("airbyte/source-exchange-rates", "1.3.11", language="manifest-only"))
    vendor(tmp_path, record, EXCHANGE_RATES.read_bytes())
    rates = document_for(record, Tree(tmp_path), None)
    assert rates["origin"] == "manifest" and list(rates["streams"]) == ["exchange_rates"]


@pytest.mark.parametrize("record, wheel, install_dir", [
    (LockRecord.of("sources", entry("airbyte/source-java", "1.0.0", language="java")), None, None),
    (FAKER, lambda: faker_wheel(with_schemas=False), None),
    (FAKER, None, None),  # PyPI has no such release
    # the connector's venv holds 7.2.1, which is not the release locked
    (python_record("airbyte-source-faker", "6.2.21"), None, CONNECTORS_DIR),
], ids=["docker-only", "release-without-schemas", "no-release", "installed-at-another-version"])
def test_no_static_schema_gives_none(pypi, tmp_path, monkeypatch, record, wheel, install_dir):
    if wheel is not None:
        pypi.add("airbyte-source-faker", "7.2.1", wheel())
    if install_dir is not None:
        monkeypatch.setenv("AIRBYTE_INSTALL_DIR", str(install_dir))
    assert document_for(record, Tree(tmp_path), tmp_path / "cache") is None


@pytest.mark.parametrize("fault, named", [
    (lambda pypi, env, tree: env.setenv(PYPI_VARIABLE, "http://127.0.0.1:9/pypi"),
     r"http://127\.0\.0\.1:9/pypi/airbyte-source-faker/7\.2\.1/json: PyPI cannot be reached"),
    (lambda pypi, env, tree: setattr(pypi, "status", 503),
     r"127\.0\.0\.1:\d+/pypi/airbyte-source-faker/7\.2\.1/json: PyPI answered HTTP 503"),
    (lambda pypi, env, tree: pypi.routes.update({p: b + b"\0" for p, b in pypi.routes.items() if p.endswith(".whl")}),
     r"/files/airbyte_source_faker-7\.2\.1-py3-none-any\.whl: the wheel's sha256"),
    (lambda pypi, env, tree: vendor(tree, FAKER, b"streams:\n  - $ref: '#/definitions/missing'\n"),
     r"manifest\.yaml: its references cannot be resolved"),
], ids=["unreachable", "server-error", "tampered-wheel", "unresolvable-manifest"])
def test_a_source_that_cannot_be_read_is_a_stream_source_error(pypi, tmp_path, monkeypatch, fault, named):
    pypi.add("airbyte-source-faker", "7.2.1", faker_wheel())
    fault(pypi, monkeypatch, tmp_path)
    with pytest.raises(StreamSourceError, match=named):
        document_for(FAKER, Tree(tmp_path), tmp_path / "cache")


def test_catalog_streams_in_the_document_shape():
    catalog = {"streams": [
        {"name": "users", "json_schema": {"definitions": {"id": {"type": "integer"}},
                                          "properties": {"id": {"$ref": "#/definitions/id"}}},
         "source_defined_primary_key": [["id"], ["org", "id"]], "supported_sync_modes": ["full_refresh"]},
        {"name": "events", "json_schema": {"properties": {"at": {"$ref": "#/definitions/missing"}}},
         "supported_sync_modes": ["full_refresh"]}]}
    assert from_catalog(catalog) == {
        "users": {"schema": {"definitions": {"id": {"type": "integer"}}, "properties": {"id": {"type": "integer"}}},
                  "primary_key": [["id"], ["org", "id"]]},
        "events": {"schema": {"properties": {"at": {"$ref": "#/definitions/missing"}}}, "primary_key": []}}

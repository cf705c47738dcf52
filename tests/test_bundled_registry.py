"""Every schema of the bundled registry turns into a working pydantic model."""

import importlib.util
import json
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from pydantic import ValidationError

from corvel.cli import BUNDLED_REGISTRY, DEFAULT_CONNECTORS

DOCUMENT = json.loads(BUNDLED_REGISTRY.read_text(encoding="utf-8"))
ENTRIES = {e["dockerRepository"].replace("airbyte/", ""): e for e in DOCUMENT["sources"] + DOCUMENT["destinations"]}
GENERATOR = shutil.which("datamodel-codegen") or shutil.which("datamodel-codegen", path=sysconfig.get_path("scripts"))

# one configuration the model must accept and one it must refuse, per connector
EXAMPLES = {
    "source-file": (
        {"dataset_name": "epidemiology", "format": "csv", "url": "https://example.com/e.csv", "provider": {"storage": "HTTPS"}},
        {"dataset_name": "epidemiology", "format": "csv", "url": "https://example.com/e.csv", "provider": {"storage": "FTP"}},
    ),
    "source-postgres": (
        {"host": "db", "port": 5432, "database": "shop", "username": "airbyte", "ssl_mode": {"mode": "verify-full", "ca_certificate": "pem"},
         "replication_method": {"method": "CDC", "replication_slot": "slot", "publication": "pub"}, "tunnel_method": {"tunnel_method": "NO_TUNNEL"}},
        {"host": "db", "port": 5432, "database": "shop", "username": "airbyte", "ssl_mode": {"mode": "verify-full"}},
    ),
    "source-faker": ({"count": 50, "seed": 7}, {"count": "many"}),
    "source-github": (
        {"credentials": {"option_title": "PAT Credentials", "personal_access_token": "ghp"}, "repositories": ["airbytehq/airbyte"]},
        {"credentials": {"option_title": "PAT Credentials", "personal_access_token": "ghp"}, "repositories": ["not a repository"]},
    ),
    "destination-sftp-json": (
        {"host": "sftp", "username": "u", "password": "p", "destination_path": "/json_data"},
        {"host": "sftp", "username": "u", "password": "p", "destination_path": "/json_data", "port": "twenty-two"},
    ),
    "destination-csv": ({"destination_path": "/local", "delimiter_type": {"delimiter": "\\u003b"}}, {"destination_path": "/local", "delimiter_type": {"delimiter": ";"}}),
    "destination-duckdb": ({"destination_path": "/local/destination.duckdb"}, {"motherduck_api_key": "k"}),
}


def exported(name, schema):
    """The schema as the generator module exports it: retitled, connector_name added, const as enum."""

    def rewrite(node):
        if isinstance(node, dict):
            return {("enum" if k == "const" else k): [rewrite(v)] if k == "const" else rewrite(v) for k, v in node.items()}
        return [rewrite(v) for v in node] if isinstance(node, list) else node

    schema = {**schema, "title": f"{name}-config"}
    schema["properties"] = {**schema["properties"], "connector_name": {
        "type": "string", "title": name, "enum": [name], "default": name,
        "description": "the name of the connector - source or destination"}}
    return rewrite(schema)


def const_values(node):
    if isinstance(node, dict):
        yield from ([node["const"]] if "const" in node else [])
        for value in node.values():
            yield from const_values(value)
    elif isinstance(node, list):
        for value in node:
            yield from const_values(value)


def test_registry_offers_the_defaults_and_an_example_for_every_connector():
    assert set(DEFAULT_CONNECTORS) <= set(ENTRIES) and set(EXAMPLES) == set(ENTRIES)
    for entry in ENTRIES.values():
        assert entry["dockerImageTag"] and entry["spec"]["connectionSpecification"]["properties"]
        # the generator rewrites const members textually: a value holding "," or "|" would break it
        assert all(not isinstance(v, str) or not set(v) & {",", "|"} for v in const_values(entry))


@pytest.mark.skipif(GENERATOR is None, reason="datamodel-codegen is not installed")
@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_schema_generates_a_model_that_validates(name, tmp_path):
    stem = name.replace("-", "_")
    source, target = tmp_path / f"{stem}.json", tmp_path / f"{stem}.py"
    source.write_text(json.dumps(exported(name, ENTRIES[name]["spec"]["connectionSpecification"]), indent=2))
    subprocess.run(
        [GENERATOR, "--enum-field-as-literal", "all", "--input", str(source), "--input-file-type", "jsonschema",
         "--output", str(target), "--output-model-type", "pydantic_v2.BaseModel", "--use-title-as-name",
         "--disable-timestamp", "--target-python-version", "3.11"],
        check=True, capture_output=True, timeout=300,
    )
    module_name = f"bundled_model_{stem}"
    spec = importlib.util.spec_from_file_location(module_name, target)
    module = importlib.util.module_from_spec(spec)
    sys.modules[module_name] = module
    try:
        spec.loader.exec_module(module)
        # the title name-config names the class: source-file-config gives SourceFileConfig
        model = getattr(module, "".join(part.capitalize() for part in name.split("-")) + "Config")
        good, bad = EXAMPLES[name]
        assert model.model_validate(good).connector_name.root == name
        with pytest.raises(ValidationError):
            model.model_validate(bad)
        with pytest.raises(ValidationError):
            model.model_validate({**good, "connector_name": "source-other"})
    finally:
        del sys.modules[module_name]

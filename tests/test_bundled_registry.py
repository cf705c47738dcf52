"""Every connector of the bundled registry gets a class, through corvel's own
generation, that takes its good example and refuses its bad one."""

import json

import pytest
from conftest import holds
from pydantic import ValidationError

import corvel
from corvel import cli
from corvel.cli import DEFAULT_CONNECTORS
from corvel.registry import BUNDLED, BUNDLED_REGISTRY
from corvel.configs import forget_tree

DOCUMENT = json.loads(BUNDLED_REGISTRY.read_text(encoding="utf-8"))
ENTRIES = {e["dockerRepository"].replace("airbyte/", ""): e for e in DOCUMENT["sources"] + DOCUMENT["destinations"]}

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


@pytest.fixture(scope="module")
def bundled_tree(tmp_path_factory):
    """The bundled registry's connectors, generated as corvel-generate does (corvel's generator settings)."""
    tree = tmp_path_factory.mktemp("bundled")
    assert cli.main(["--registry", BUNDLED, "--output-dir", str(tree), "--all"]) == 0
    yield tree
    forget_tree()


@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_each_connector_gets_a_class_that_validates_its_examples(bundled_tree, name):
    model = corvel.config_class(name, tree=bundled_tree)
    good, bad = EXAMPLES[name]
    configuration = model.model_validate(good)
    assert configuration.connector_name == name and holds(corvel.to_airbyte_config(configuration), good)
    with pytest.raises(ValidationError):
        model.model_validate(bad)
    with pytest.raises(ValidationError):
        model.model_validate({**good, "connector_name": "source-other"})

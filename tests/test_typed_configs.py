"""Generated configurations drive real connectors: the class of a connector,
the dict its connector expects, and a sync through airbyte."""

import datetime
import json
import warnings
import os
import secrets
import sys
from pathlib import Path

import airbyte
import jsonschema
import pytest
from conftest import entry, run_python
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis_jsonschema import from_schema
from pydantic import ValidationError

import corvel
from corvel import cli
from corvel.configs import forget_tree, import_tree
from corvel.model_behaviour import is_secret

sys.path.append(str(Path(__file__).parents[1] / "bench"))
import make_registry  # noqa: E402

BUNDLED = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))
# where the project's set-up installed the pinned connectors (make connectors)
CONNECTORS_DIR = Path(os.environ.get("AIRBYTE_INSTALL_DIR") or Path(__file__).parents[1] / "build" / "connectors")


def registry_entries(document):
    return {e["dockerRepository"].replace("airbyte/", ""): e for e in document["sources"] + document["destinations"]}


def generate(tmp_path, document, names, *extra):
    path = tmp_path / "registry.json"
    path.write_text(json.dumps(document), encoding="utf-8")
    status = cli.main(["--registry", str(path), "--output-dir", str(tmp_path / "tree"), *extra, *names])
    assert status == 0
    return tmp_path / "tree"


def with_secret_member(document, name, member):
    """DOCUMENT with a string member MEMBER marked secret added to connector NAME's open schema."""
    document = json.loads(json.dumps(document))
    schema = registry_entries(document)[name]["spec"]["connectionSpecification"]
    assert schema.get("additionalProperties") is not False
    schema["properties"][member] = {"type": "string", "airbyte_secret": True}
    return document


@pytest.fixture
def faker_tree(tmp_path):
    # the connector takes members its schema leaves open: one marked secret carries a SecretString
    tree = generate(tmp_path, with_secret_member(BUNDLED, "source-faker", "api_token"), ["source-faker"])
    yield tree
    forget_tree()


def test_typed_configuration_syncs_source_faker(faker_tree, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # airbyte writes its local files under the working directory
    # the connector's own interpreter runs none of our code: under the
    # sanitizer run it starts without the sanitizer runtime
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    monkeypatch.setenv(cli.REGISTRY_VARIABLE, str(cli.BUNDLED_REGISTRY))  # airbyte finds the PyPI package there
    version = registry_entries(BUNDLED)["source-faker"]["dockerImageTag"]
    token = airbyte.secrets.SecretString("tok-faker-secret")
    config = corvel.config_class("source-faker", tree=faker_tree)(count=37, seed=5, parallelism=1, api_token=token)
    assert "tok-faker-secret" not in repr(config) + str(config)
    assert corvel.to_airbyte_config(config)["api_token"] == "tok-faker-secret"
    arguments = dict(version=version, install_root=CONNECTORS_DIR, install_if_missing=False, streams=["users"])
    # the class was generated from a spec with api_token added: the connector's own differs, said once
    with pytest.warns(corvel.ConnectorSpecWarning, match=rf"source-faker {version} reports .* SourceFakerConfig .*corvel.lock"):
        corvel.get_source(config, **arguments)
    with warnings.catch_warnings():
        warnings.simplefilter("error", corvel.ConnectorSpecWarning)
        source = corvel.get_source(config, **arguments)
    source.check()
    caches = (
        corvel.connector_configs.DestinationDuckDB(db_path=str(tmp_path / "typed.duckdb")),
        airbyte.new_local_cache("typed_local", cache_dir=tmp_path / "local"),
    )
    for cache in caches:
        assert len(source.read(cache=cache)["users"].to_pandas()) == 37


def test_connector_lock_installs_the_registry_version():
    lock = (Path(__file__).parents[1] / "tools" / "connectors" / "source-faker.txt").read_text(encoding="utf-8")
    assert f"airbyte-source-faker=={registry_entries(BUNDLED)['source-faker']['dockerImageTag']}\n" in lock


@pytest.mark.parametrize("call", [corvel.to_airbyte_config, corvel.get_source, corvel.get_destination])
def test_anything_but_a_generated_configuration_is_refused(call):
    with pytest.raises(TypeError, match="expected a generated connector configuration"):
        call({"count": 3})


def test_a_configuration_goes_to_its_own_kind(faker_tree):
    config = corvel.config_class("source-faker", tree=faker_tree)()
    with pytest.raises(TypeError, match="configures source-faker; use corvel.get_source"):
        corvel.get_destination(config)


# -- which class: installed index or --output-dir tree, later versions, names bound twice

FINDER = """
import json, sys, corvel
from corvel import cli
status = cli.main(["--registry", sys.argv[1], *sys.argv[2:], "source-x", "destination-databricks"])
tree = sys.argv[3] if len(sys.argv) > 3 else None
found = {}
for name in ("source-x", "destination-databricks"):
    cls = corvel.config_class(name, tree=tree)
    found[name] = [cls.__module__, cls.__name__]
databricks = corvel.config_class("destination-databricks", tree=tree)
databricks.model_validate({"host": "h"})
try:
    corvel.config_class("source-nope", tree=tree)
except LookupError as error:
    found["missing"] = str(error)
# one class costs its own module alone; the index runs when a name it binds is asked for
found["loaded"] = sorted(m.rpartition(".")[2] for m in sys.modules if m.startswith("corvel.connector_configs.model."))
from corvel.connector_configs import SourceXConfig
found["bound"] = SourceXConfig.__module__
print(json.dumps([status, found]))
"""


@pytest.mark.parametrize("output_dir", [False, True], ids=["installed", "output-dir"])
def test_config_class_finds_the_class_the_index_binds_last(tmp_path, package_copy, output_dir):
    schema = {"type": "object", "required": ["host"], "properties": {"host": {"type": "string"}}}
    document = {
        "sources": [entry("airbyte/source-x", "1.0"), entry("airbyte/source-x", "2.0")],
        "destinations": [entry("airbyte/destination-databricks", "3.1", schema)],
    }
    path = tmp_path / "registry.json"
    path.write_text(json.dumps(document), encoding="utf-8")
    arguments = ["--output-dir", str(tmp_path / "out")] if output_dir else []
    code = FINDER.replace("sys.argv[1]", repr(str(path))).replace("sys.argv[2:]", repr(arguments))
    code = code.replace("sys.argv[3] if len(sys.argv) > 3 else None", repr(str(tmp_path / "out")) if output_dir else "None")
    done = run_python(code, path_entry=package_copy)
    assert done.returncode == 0, done.stderr
    status, found = json.loads(done.stdout.splitlines()[-1])
    assert status == 0
    assert found["source-x"] == ["corvel.connector_configs.model.source_x__2_0", "SourceXConfig"]
    assert found["destination-databricks"] == ["corvel.connector_configs.model.destination_databricks__3_1", "DestinationDatabricksConfig"]
    command = f"corvel-generate --output-dir {tmp_path / 'out'} source-nope" if output_dir else "corvel-generate source-nope"
    assert "'source-nope' has not been generated" in found["missing"] and found["missing"].endswith(command)
    assert found["loaded"] == ["destination_databricks__3_1", "source_x__2_0"]
    assert found["bound"] == "corvel.connector_configs.model.source_x__2_0"


# -- round trip: what the connector's own schema accepts comes out of to_airbyte_config intact

FORMATS = jsonschema.Draft7Validator.FORMAT_CHECKER


def drawable(schema, tokens):
    """The schema the instances are drawn from (date-times in the spellings in
    use, each secret string a token of its own, appended to TOKENS); those
    SCHEMA rejects are discarded. Objects stay as open as the schema leaves
    them, so instances carry members their classes do not declare."""
    if isinstance(schema, list):
        return [drawable(item, tokens) for item in schema]
    if not isinstance(schema, dict):
        return schema
    if is_secret(schema) and schema.get("type", "string") == "string" and not {"enum", "const"} & set(schema):
        tokens.append(f"tok{secrets.token_hex(8)}")
        return {"type": "string", "enum": [tokens[-1]]}
    result = {key: drawable(value, tokens) for key, value in schema.items()}
    properties = schema.get("properties")
    if isinstance(properties, dict):  # secrets always drawn, so that every instance has some to hide
        secret = [key for key, value in properties.items() if is_secret(value)]
        result["required"] = list(dict.fromkeys([*schema.get("required", []), *secret]))
    if result.get("format") == "date-time":
        result["format"] = DATE_TIME_TEXT
    return result


# Connector schemas pair "date-time" with a pattern for one spelling of it;
# drawing the spellings in use keeps the pattern from rejecting nearly all.
DATE_TIME_TEXT = "date-time-text"
DATE_TIME_SPELLINGS = st.tuples(
    st.datetimes(datetime.datetime(1970, 1, 1), datetime.datetime(2100, 1, 1)),
    st.sampled_from(["%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S.{ms}Z", "%Y-%m-%dT%H:%M:%S.%fZ", "%Y-%m-%dT%H:%M:%S+02:00"]),
).map(lambda pair: pair[0].strftime(pair[1]).replace("{ms}", f"{pair[0].microsecond // 1000:03d}"))


def instant(text):
    try:
        return datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None


def holds(sent, given):
    """SENT holds every member of GIVEN, at every depth, with an equal JSON value."""
    if isinstance(given, dict):
        return isinstance(sent, dict) and all(key in sent and holds(sent[key], value) for key, value in given.items())
    if isinstance(given, list):
        return isinstance(sent, list) and len(sent) == len(given) and all(map(holds, sent, given))
    if isinstance(given, bool) or isinstance(sent, bool):
        return sent is given
    if isinstance(given, str) and sent != given and instant(given) is not None:
        return instant(sent) == instant(given)  # the same date and time, spelled as the class writes it
    return sent == given


# the shapes that broke a plain model_dump(): a renamed field, a closed
# object (connector_name), an option of a oneOf, a date, a const
NAMED_CASES = {"sources": [entry("airbyte/source-named-cases", "1.0", {
    "type": "object", "additionalProperties": False, "required": ["schema", "mode"],
    "properties": {
        "schema": {"type": "string"},
        "start": {"type": "string", "format": "date"},
        "mode": {"oneOf": [
            {"type": "object", "required": ["kind"], "properties": {"kind": {"const": "full"}}},
            {"type": "object", "required": ["kind", "cursor"], "properties": {"kind": {"const": "incremental"}, "cursor": {"type": "string"}}},
        ]},
        "level": {"const": "strict"},
    },
})], "destinations": []}
GENERATED_REGISTRY = make_registry.build_registry(manifests=False)  # no manifest store to vendor from
GENERATED = registry_entries(GENERATED_REGISTRY)
HAND_WRITTEN_REGISTRY = {kind: BUNDLED[kind] + NAMED_CASES[kind] for kind in ("sources", "destinations")}
HAND_WRITTEN = registry_entries(HAND_WRITTEN_REGISTRY)
ROUND_TRIP = {**HAND_WRITTEN, **GENERATED}


@pytest.fixture(scope="module")
def round_trip_tree(tmp_path_factory):
    """tree(name): the tree holding NAME's model; each registry is generated at its first use."""
    trees = {}

    def tree(name):
        document = GENERATED_REGISTRY if name in GENERATED else HAND_WRITTEN_REGISTRY
        if id(document) not in trees:
            trees[id(document)] = generate(tmp_path_factory.mktemp("round-trip"), document, list(registry_entries(document)))
        return trees[id(document)]

    yield tree
    forget_tree()


@pytest.mark.parametrize(
    "name", [pytest.param(name, marks=pytest.mark.registry_scale) if name in GENERATED else name for name in ROUND_TRIP]
)
def test_round_trip_through_the_connector_schema(round_trip_tree, name):
    # hundreds of generated connectors share their shapes: one instance each
    examples = 1 if name in GENERATED else 25
    schema = ROUND_TRIP[name]["spec"]["connectionSpecification"]
    model = corvel.config_class(name, tree=round_trip_tree(name))
    validator = jsonschema.Draft7Validator(schema, format_checker=FORMATS)
    tokens = []
    drawn = drawable(schema, tokens)

    @settings(max_examples=examples, derandomize=True, database=None, deadline=None, suppress_health_check=list(HealthCheck))
    @given(from_schema(drawn, custom_formats={DATE_TIME_TEXT: DATE_TIME_SPELLINGS}))
    def round_trip(given):
        assume(validator.is_valid(given))
        configuration = model.model_validate(given)
        sent = corvel.to_airbyte_config(configuration)
        assert validator.is_valid(sent), next(validator.iter_errors(sent)).message
        assert holds(sent, given), (given, sent)  # the secrets too: the connector gets the plain values
        # a member missing shows the whole input in its error: the secrets of its siblings stay masked
        required = [key for key in schema.get("required", []) if key in given]
        broken = {key: value for key, value in given.items() if key != required[0]} if required else {**given, "connector_name": 0}
        with pytest.raises(ValidationError) as error:
            model.model_validate(broken)
        shown = repr(configuration) + str(configuration) + str(error.value) + repr(error.value.errors()) + error.value.json()
        assert not [token for token in tokens if token in shown]

    round_trip()


@pytest.mark.runs_installer
def test_demo_without_pypi_skips_only_the_sync(tmp_path):
    nowhere = "http://127.0.0.1:9/simple"  # nothing listens there
    environment = {
        "AIRBYTE_INSTALL_DIR": str(tmp_path / "no-connectors"),
        "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}",  # airbyte installs with pip (or uv)
        "PIP_CONFIG_FILE": os.devnull, "PIP_FIND_LINKS": "", "PIP_INDEX_URL": nowhere, "PIP_RETRIES": "0",
        "UV_INDEX_URL": nowhere, "UV_NO_CACHE": "1",
    }
    done = run_python("import sys, corvel.demo; sys.exit(corvel.demo.main())", cwd=tmp_path, env=environment)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    skipped = [line for line in done.stdout.splitlines() if "could not be installed from PyPI" in line]
    assert len(skipped) == 1 and skipped[0].endswith("the sync is skipped.")

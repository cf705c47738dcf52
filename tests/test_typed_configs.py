"""Generated configurations drive real connectors: the class of a connector,
the dict its connector expects, and a sync through airbyte."""

import datetime
import json
import os
import secrets
import string
import sys
import typing
import warnings
from pathlib import Path
from typing import Annotated
from unittest import mock

import airbyte
import jsonschema
import pytest
from conftest import REAL_REGISTRY, entry, holds, require_input, run_python
from hypothesis import HealthCheck, Phase, assume, given, settings
from hypothesis import strategies as st
from hypothesis_jsonschema import from_schema
from pydantic import BaseModel, RootModel, SecretStr, TypeAdapter, ValidationError
from pydantic_settings import BaseSettings, SettingsConfigDict

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


@pytest.mark.reads_through_airbyte
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


def test_the_index_before_any_generation_says_what_to_run(tmp_path, package_copy):
    (package_copy / "corvel" / "connector_configs" / "__init__.py").unlink(missing_ok=True)
    (tmp_path / "registry.json").write_text(json.dumps({"sources": [entry("airbyte/source-x")], "destinations": []}))
    done = run_python(
        f"""
        try:
            from corvel.connector_configs import SourceXConfig
        except ImportError as error:
            said = str(error)
        from corvel import cli
        assert cli.main(["--registry", {str(tmp_path / "registry.json")!r}, "source-x"]) == 0
        from corvel.connector_configs import SourceXConfig  # generated since, in this interpreter
        print("SAID", said, SourceXConfig.__name__)
        """,
        path_entry=package_copy,
    )
    assert done.returncode == 0, done.stderr
    (said,) = [line for line in done.stdout.splitlines() if line.startswith("SAID ")]
    assert "cannot import name 'SourceXConfig'" in said and "corvel-generate <connector>" in said
    assert said.endswith(" SourceXConfig")


# -- round trip: what the connector's own schema accepts comes out of to_airbyte_config intact

FORMATS = jsonschema.Draft7Validator.FORMAT_CHECKER


def spelled(schema):
    """SCHEMA with its formats checked as the classes check them: a member's pattern is the spelling the
    connector asks for (a date as DD-MM-YYYY), and its format is left unchecked."""
    if isinstance(schema, list):
        return [spelled(item) for item in schema]
    if not isinstance(schema, dict):
        return schema
    ruled = isinstance(schema.get("pattern"), str) and schema.get("format") != "password"  # a secret stays one
    return {key: spelled(value) for key, value in schema.items() if not (ruled and key == "format")}


def drawable(schema, tokens, formats):
    """The schema the instances are drawn from (date-times in the spellings in
    use, each secret string a token of its own, appended to TOKENS: drawn from
    its pattern where it has one, through a format added to FORMATS); those
    SCHEMA rejects are discarded. Objects stay as open as the schema leaves
    them, so instances carry members their classes do not declare."""
    if isinstance(schema, list):
        return [drawable(item, tokens, formats) for item in schema]
    if not isinstance(schema, dict):
        return schema
    if is_secret(schema) and schema.get("type", "string") == "string" and not {"enum", "const"} & set(schema):
        if "pattern" not in schema:
            tokens.append(f"tok{secrets.token_hex(8)}")
            return {"type": "string", "enum": [tokens[-1]]}
        formats[f"secret-{len(formats)}"] = st.from_regex(schema["pattern"], fullmatch=True, alphabet=TOKEN_TEXT).filter(
            lambda token: len(token) >= 12).map(lambda token: tokens.append(token) or token)  # long: found only where shown
        return {"type": "string", "format": f"secret-{len(formats) - 1}"}
    # examples are not drawn from: some connectors give a bare value, which the drawing refuses
    result = {key: drawable(value, tokens, formats) for key, value in schema.items()
              if key != "examples" or isinstance(value, dict)}  # a member named so stays
    properties = schema.get("properties")
    if isinstance(properties, dict):  # secrets always drawn, so that every instance has some to hide
        secret = [key for key, value in properties.items() if is_secret(value)]
        result["required"] = list(dict.fromkeys([*schema.get("required", []), *secret]))
    if result.get("format") == "date-time":
        result["format"] = DATE_TIME_TEXT
    return result


# Date-times are drawn in the spellings connectors use (a pattern, where a
# member has one, is drawn from instead).
DATE_TIME_TEXT = "date-time-text"
TOKEN_TEXT = string.ascii_letters + string.digits + "_-"
DATE_TIME_SPELLINGS = st.tuples(
    st.datetimes(datetime.datetime(1970, 1, 1), datetime.datetime(2100, 1, 1)),
    st.sampled_from(["%Y-%m-%dT%H:%M:%SZ", "%Y-%m-%dT%H:%M:%S.{ms}Z", "%Y-%m-%dT%H:%M:%S.%fZ", "%Y-%m-%dT%H:%M:%S+02:00"]),
).map(lambda pair: pair[0].strftime(pair[1]).replace("{ms}", f"{pair[0].microsecond // 1000:03d}"))


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
HAND_WRITTEN_REGISTRY = {kind: BUNDLED[kind] + NAMED_CASES[kind] for kind in ("sources", "destinations")}
REGISTRIES = {
    "hand-written": HAND_WRITTEN_REGISTRY,
    "generated": make_registry.build_registry(manifests=False),  # no manifest store to vendor from
    "2023": json.loads(REAL_REGISTRY.read_text(encoding="utf-8")) if REAL_REGISTRY.is_file() else None,
}
def generatable(document):
    """The connectors of DOCUMENT the generator writes (an entry whose schema has no properties is left out)."""
    return {name: e for name, e in registry_entries(document).items()
            if isinstance(e["spec"]["connectionSpecification"].get("properties"), dict)}


def round_trip_cases():
    cases = []
    for registry, document in REGISTRIES.items():
        if document is None:
            cases.append(pytest.param(registry, None, id=registry))  # fails in CI, skips elsewhere
            continue
        for name in generatable(document):
            # hundreds of connectors share their shapes: the sanitizer run leaves them out
            marks = [] if registry == "hand-written" else [pytest.mark.registry_scale]
            cases.append(pytest.param(registry, name, id=f"{registry}:{name}", marks=marks))
    return cases


@pytest.fixture(scope="module")
def round_trip_tree(tmp_path_factory):
    """tree(registry): the tree of a registry's connectors, generated at its first use."""
    trees = {}

    def tree(registry):
        if registry not in trees:
            document = REGISTRIES[registry]
            trees[registry] = generate(tmp_path_factory.mktemp("round-trip"), document, list(generatable(document)))
        return trees[registry]

    yield tree
    forget_tree()


@pytest.mark.parametrize("registry, name", round_trip_cases())
def test_round_trip_through_the_connector_schema(round_trip_tree, registry, name):
    if REGISTRIES[registry] is None:
        require_input(REAL_REGISTRY)
    # hundreds of connectors share their shapes: one instance each, a failure reported as drawn
    examples, phases = (25, list(Phase)) if registry == "hand-written" else (1, [Phase.generate])
    schema = registry_entries(REGISTRIES[registry])[name]["spec"]["connectionSpecification"]
    model = corvel.config_class(name, tree=round_trip_tree(registry))
    validator = jsonschema.Draft7Validator(spelled(schema), format_checker=FORMATS)
    tokens, formats = [], {DATE_TIME_TEXT: DATE_TIME_SPELLINGS}
    drawn = drawable(spelled(schema), tokens, formats)

    @settings(max_examples=examples, phases=phases, derandomize=True, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(from_schema(drawn, custom_formats=formats))
    def round_trip(given):
        assume(validator.is_valid(given))
        configuration = model.model_validate(given)
        sent = corvel.to_airbyte_config(configuration)
        assert validator.is_valid(sent), next(validator.iter_errors(sent)).message
        assert holds(sent, given), (given, sent)  # the secrets too: the connector gets the plain values
        names = {info.alias or field: field for field, info in model.model_fields.items()}
        read = {key: getattr(configuration, names.get(key, key)) for key, value in given.items()
                if not isinstance(value, (dict, list))}
        assert [key for key, value in read.items() if not reads_as(value, given[key])] == [], (given, read)
        # a member missing shows the whole input in its error: the secrets of its siblings stay masked, however
        # the class is validated, and no dump shows them
        properties = schema.get("properties", {})
        required = [key for key in schema.get("required", []) if key in given and not is_secret(properties.get(key))]
        broken = {key: value for key, value in given.items() if key != required[0]} if required else {**given, "connector_name": 0}
        shown = {"repr and dumps": repr(configuration) + str(configuration) + repr(configuration.model_dump())
                 + configuration.model_dump_json()}
        for way, validate in WAYS_OF_VALIDATING.items():
            with pytest.raises(ValidationError) as error:
                validate(model, broken)
            shown[way] = str(error.value) + repr(error.value.errors()) + error.value.json()
        assert {way: found for way, text in shown.items() if (found := [token for token in tokens if token in text])} == {}

    round_trip()
    assert misjudged_defaults(model, schema) == []


def as_member(model, data):
    class Job(BaseModel):
        source: model

    return Job.model_validate({"source": data})


def from_settings(model, data):
    class Settings(BaseSettings):  # the usual way a service reads its configuration from the environment
        model_config = SettingsConfigDict(env_prefix="corvel_job_")
        source: model

    with mock.patch.dict(os.environ, {"CORVEL_JOB_SOURCE": json.dumps(data)}):
        return Settings()


WAYS_OF_VALIDATING = {
    "constructor": lambda model, data: model(**data),
    "model_validate": lambda model, data: model.model_validate(data),
    "model_validate_json": lambda model, data: model.model_validate_json(json.dumps(data)),
    "TypeAdapter.validate_python": lambda model, data: TypeAdapter(model).validate_python(data),
    "TypeAdapter.validate_json": lambda model, data: TypeAdapter(model).validate_json(json.dumps(data)),
    "member of a BaseModel": as_member,
    "member of a BaseSettings": from_settings,
}


def reads_as(value, given):
    """Whether a member's VALUE is the JSON scalar GIVEN for it (a formatted string its text as given)."""
    if isinstance(value, SecretStr):  # a "password" format: read through get_secret_value()
        value = value.get_secret_value()
    return value == given and isinstance(value, bool) == isinstance(given, bool)


def misjudged_defaults(model, schema):
    """The members of MODEL's classes whose schema default the class keeps though it is unusable, or drops
    though it is usable: usable is valid under the member's own node (formats unchecked, as the connector
    validates) and under the member's annotation. A member the class requires has no default to judge."""
    validator = jsonschema.validators.validator_for(schema)(schema)
    wrong = []
    for cls, node in classes_and_nodes(model, schema).items():
        if node is None:
            wrong.append(f"{cls.__name__}: no node of the schema names its members")
            continue
        for field, info in cls.model_fields.items():
            member = node["properties"].get(info.alias or field)
            if not isinstance(member, dict) or member.get("default") is None or info.is_required():
                continue
            default = member["default"]
            usable = validator.evolve(schema=member).is_valid(default) and accepts(info, default)
            if usable != (info.default is not None):
                wrong.append(f"{cls.__name__}.{field}: default {default!r} {'dropped' if usable else 'kept'}")
    return wrong


def accepts(info, value):
    try:
        TypeAdapter(Annotated[(info.annotation, *info.metadata)] if info.metadata else info.annotation).validate_python(value)
    except ValidationError:
        return False
    return True


def classes_and_nodes(model, schema):
    """{class: node} for MODEL and the classes its members are made of: the node a member's annotation
    stands for, or the option of it, whose properties name the class's members (None where none does)."""
    found = {}

    def walk(annotation, node):
        if isinstance(annotation, type) and issubclass(annotation, RootModel):
            walk(annotation.model_fields["root"].annotation, node)
        elif isinstance(annotation, type) and issubclass(annotation, BaseModel):
            if annotation in found:
                return
            names = {info.alias or field for field, info in annotation.model_fields.items()} - {"connector_name"}
            candidates = [node, *node.get("oneOf", []), *node.get("anyOf", [])]  # the registries use no $ref
            found[annotation] = next((c for c in candidates if set(c.get("properties", {})) == names), None)
            for field, info in annotation.model_fields.items():
                walk(info.annotation, (found[annotation] or {}).get("properties", {}).get(info.alias or field, {}))
        elif typing.get_origin(annotation) is list:
            walk(typing.get_args(annotation)[0], node.get("items") if isinstance(node.get("items"), dict) else {})
        else:  # a union's members are its options, in order (option classes of one shape tell apart no other way)
            members = [inner for inner in typing.get_args(annotation) if inner is not type(None)]
            options = node.get("oneOf") or node.get("anyOf") or []
            for inner, option in zip(members, options) if len(options) == len(members) else ((m, node) for m in members):
                walk(inner, option)

    walk(model, schema)
    return found


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

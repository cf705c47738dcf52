"""What the generated classes do once corvel has loaded them: open objects
keep their members (and warn of those they do not declare), defaults their
member rejects are no defaults, secrets are masked wherever a configuration
is shown, formatted strings are sent as written, errors name members by
their path."""

import json
import re
import shutil

import pytest
from conftest import entry, holds, run_python
from pydantic import ValidationError

import corvel
from corvel import cli
from corvel.configs import forget_tree
from corvel.model_behaviour import MASK, ModelBehaviourWarning

OPTIONS = [
    {"type": "object", "required": ["method", "slot"], "properties": {"method": {"const": "CDC"}, "slot": {"type": "string"}}},
    {"type": "object", "required": ["method"], "properties": {"method": {"const": "Standard"}}},
]
REQUIRED_ONLY = [
    {"type": "object", "required": ["auth_type", "token"], "properties": {"auth_type": {"const": "oauth"}, "token": {"type": "string"}}},
    {"type": "object", "required": ["auth_type", "key"], "properties": {"auth_type": {"const": "key"}, "key": {"type": "string"}}},
]
REGIONS = [
    {"type": "object", "properties": {"url_base": {"type": "string", "const": "https://eu.example.com"}}},
    {"type": "object", "properties": {"url_base": {"type": "string", "const": "https://example.com"}}},
]
# the defaults connectors give members that reject them (source-postgres,
# source-s3 and source-sftp-bulk, destination-qdrant, source-tiktok-marketing,
# source-survey-sparrow), each with a value the member accepts, and whether the
# class refuses the default when it is given: survey-sparrow's (an option's
# schema) fits both options, which pydantic's union takes and oneOf does not
BROKEN_DEFAULTS = {
    "replication_method": ({"type": "object", "default": "CDC", "oneOf": OPTIONS}, {"method": "Standard"}, True),
    "delivery_method": ({"type": "object", "default": "use_records_transfer", "oneOf": OPTIONS}, {"method": "CDC", "slot": "s"}, True),
    "auth_method": ({"default": "api_key_auth", "oneOf": OPTIONS}, {"method": "Standard"}, True),
    "credentials": ({"type": "object", "default": {}, "oneOf": REQUIRED_ONLY}, {"auth_type": "key", "key": "k"}, True),
    "workers": ({"type": "integer", "minimum": 1, "default": 0}, 4, True),
    "region": ({"type": "object", "default": REGIONS[1], "oneOf": REGIONS}, {"url_base": "https://example.com"}, False),
}
SECRETS = {
    "host": {"type": "string"},
    "password": {"type": "string", "description": "named so, but not marked: shown"},
    "nested": {"type": "object", "properties": {"api_key": {"type": "string", "airbyte_secret": True}}},
    "keys": {"type": "array", "items": {"type": "string", "airbyte_secret": True}},
    "tunnel": {"oneOf": [
        {"type": "object", "required": ["kind"], "properties": {"kind": {"const": "none"}}},
        {"type": "object", "required": ["kind", "ssh_key"], "properties": {"kind": {"const": "key"}, "ssh_key": {"type": "string", "writeOnly": True}}},
    ]},
    "pin": {"type": "string", "format": "password"},
    "maybe": {"anyOf": [{"type": "string", "airbyte_secret": True}, {"type": "null"}]},
    # destination-gcs: a required, titled oneOf of one option, written as a root model of the option's class
    "storage": {"type": "object", "required": ["credential"], "properties": {"credential": {
        "title": "Authentication", "type": "object", "oneOf": [{"title": "HMAC Key", "required": ["kind", "access_id", "secret"], "properties": {
            "kind": {"type": "string", "enum": ["HMAC_KEY"], "default": "HMAC_KEY"},
            "access_id": {"type": "string", "airbyte_secret": True}, "secret": {"type": "string", "airbyte_secret": True},
        }}],
    }}},
}
EXTRAS = {
    "closed": {"type": "object", "additionalProperties": False, "properties": {"a": {"type": "string"}}},
    "typed": {"type": "object", "additionalProperties": {"type": "integer"}, "properties": {"a": {"type": "string"}}},
    "open": {"type": "object", "properties": {"a": {"type": "string"}}},
}
TUNNELS = [
    {"type": "object", "required": ["tunnel_method"], "properties": {"tunnel_method": {"const": "NO_TUNNEL"}}},
    {"type": "object", "required": ["tunnel_method", "tunnel_host", "ssh_key"], "properties": {
        "tunnel_method": {"const": "SSH_KEY_AUTH"}, "tunnel_host": {"type": "string"},
        "ssh_key": {"type": "string", "airbyte_secret": True}}},
]
SSL_MODES = [{"type": "object", "required": ["mode"], "properties": {"mode": {"const": mode}}}
             for mode in ("disable", "prefer", "require")]
FORMATS = {
    "url": {"type": "string", "format": "uri"},
    "day": {"type": "string", "format": "date"},
    "at": {"type": "string", "format": "date-time"},
    "mail": {"type": "string", "format": "email"},
    "spelled": {"type": "string", "format": "date", "pattern": "^[0-9]{2}-[0-9]{2}-[0-9]{4}$"},  # the pattern rules
    "count": {"type": "integer", "default": 1000},
    "maybe": {"type": ["integer", "null"], "default": 5},
    "ssl_mode": {"type": "object", "oneOf": SSL_MODES},
    "tunnel": {"type": "object", "oneOf": TUNNELS},
    "free": {"type": "object", "additionalProperties": True, "properties": {"a": {"type": "string"}}},
}
DOCUMENT = {
    "sources": [
        entry("airbyte/source-formats", "1.0", {"type": "object", "properties": FORMATS}),
        entry("airbyte/source-defaults", "1.0", {"type": "object", "properties": {k: s for k, (s, *_) in BROKEN_DEFAULTS.items()}}),
        entry("airbyte/source-secrets", "1.0", {"type": "object", "required": ["host"], "properties": SECRETS}),
        entry("airbyte/source-extras", "1.0", {"type": "object", "properties": EXTRAS}),
    ],
    "destinations": [],
}


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("behaviour")
    (root / "registry.json").write_text(json.dumps(DOCUMENT), encoding="utf-8")
    assert cli.main(["--registry", str(root / "registry.json"), "--output-dir", str(root / "tree"), "--all"]) == 0
    yield root / "tree"
    forget_tree()


@pytest.mark.parametrize("member", BROKEN_DEFAULTS)
def test_a_default_its_member_rejects_leaves_the_member_unset(tree, member):
    model = corvel.config_class("source-defaults", tree=tree)
    schema, accepted, refused_when_given = BROKEN_DEFAULTS[member]
    assert member not in corvel.to_airbyte_config(model())
    assert corvel.to_airbyte_config(model(**{member: accepted}))[member] == accepted
    if refused_when_given:
        with pytest.raises(ValidationError, match=member):
            model(**{member: schema["default"]})


def test_open_objects_keep_their_members_and_closed_ones_name_the_stranger(tree):
    model = corvel.config_class("source-extras", tree=tree)
    given = {"open": {"a": "x", "b": {"deep": [1]}}, "typed": {"a": "x", "n": 3}, "top": True}
    assert corvel.to_airbyte_config(model(**given)) == given
    with pytest.raises(ValidationError, match=r"closed\.stranger\s+Extra inputs are not permitted"):
        model(closed={"a": "x", "stranger": 1})
    with pytest.raises(ValidationError, match=r"typed\.n\s+Input should be a valid integer"):
        model(typed={"n": "three"})


def test_secrets_are_masked_wherever_a_configuration_is_shown(tree):
    from airbyte.secrets import SecretString

    model = corvel.config_class("source-secrets", tree=tree)
    given = {
        "host": "db", "password": "shown-password", "nested": {"api_key": "tok-nested"}, "keys": ["tok-item1", "tok-item2"],
        "tunnel": {"kind": "key", "ssh_key": SecretString("tok-ssh")}, "pin": "secret_reference::PIN", "maybe": "tok-maybe",
        "storage": {"credential": {"kind": "HMAC_KEY", "access_id": "tok-access", "secret": "tok-hmac"}},
    }
    configuration = model(**given)
    shown = repr(configuration) + str(configuration) + repr(configuration.nested) + repr(configuration.tunnel)
    dumped = configuration.model_dump()  # as pydantic dumps a SecretStr: a Secret in python, its mask in JSON
    shown += repr(dumped) + configuration.model_dump_json() + json.dumps(configuration.model_dump(mode="json"))
    assert dumped["nested"]["api_key"].get_secret_value() == "tok-nested"
    assert corvel.to_airbyte_config(model(**dumped)) == corvel.to_airbyte_config(configuration)  # a dump validates back
    shown += str(configuration.storage.credential)
    with pytest.raises(ValidationError) as error:
        model(**{**given, "host": None})  # the error shows the siblings around the host
    with pytest.raises(ValidationError) as missing:
        model.model_validate_json(json_data=json.dumps({key: value for key, value in given.items() if key != "host"}))
    for failure in (error.value, missing.value):
        shown += str(failure) + repr(failure.errors()) + failure.json()
        assert failure.__context__ is None  # the unmasked error is not kept behind it
    assert "shown-password" in shown and MASK in shown
    assert re.findall(r"tok-\w+|secret_reference::PIN", shown) == []
    sent = corvel.to_airbyte_config(configuration)
    assert sent == given and type(sent["tunnel"]["ssh_key"]) is str  # the plain values reach the connector
    assert configuration.tunnel.ssh_key == "tok-ssh"  # and reading a member gives its value


def test_classes_without_their_schema_show_none_of_their_values(tree, tmp_path):
    damaged = tmp_path / "tree"
    shutil.copytree(tree, damaged)
    for schema in (damaged / "connector_configs" / "jsonschema").glob("source_secrets__*.json"):
        schema.write_text("{", encoding="utf-8")
    with pytest.warns(ModelBehaviourWarning, match=r"source_secrets__1_0: .*SourceSecretsConfig.* could not be paired"):
        model = corvel.config_class("source-secrets", tree=damaged)
    configuration = model(host="db-host", tunnel={"kind": "key", "ssh_key": "tok-ssh"}, keys=["tok-item"])
    with pytest.raises(ValidationError) as missing:  # the error shows the whole input
        model(nested={"api_key": "tok-nested"})
    shown = repr(configuration) + str(configuration.tunnel) + str(missing.value) + missing.value.json()
    assert "kind='key'" in shown  # a value the schema fixes
    assert not [value for value in ("tok-", "db-host") if value in shown]


def test_the_installed_index_gives_the_same_behaviour(tmp_path, package_copy):
    (tmp_path / "registry.json").write_text(json.dumps(DOCUMENT), encoding="utf-8")
    done = run_python(
        f"""
        from corvel import cli
        assert cli.main(["--registry", {str(tmp_path / "registry.json")!r}, "source-secrets"]) == 0
        from corvel.connector_configs import SourceSecretsConfig
        print(repr(SourceSecretsConfig(host="h", nested={{"api_key": "tok-index"}})))
        """,
        path_entry=package_copy,
    )
    assert done.returncode == 0, done.stderr
    assert "tok-index" not in done.stdout and MASK in done.stdout


def test_formatted_strings_are_sent_and_read_as_written(tree):
    model = corvel.config_class("source-formats", tree=tree)
    given = {"url": "http://127.0.0.1:8765", "day": "2021-01-01", "at": "2021-01-01T00:00:00.5+02:00",
             "mail": "a@example.com", "spelled": "01-02-2023"}
    configuration = model(**given)
    assert corvel.to_airbyte_config(configuration) == {**given, "count": 1000, "maybe": 5}
    assert {key: getattr(configuration, key) for key in given} == given
    assert {key: configuration.model_dump()[key] for key in given} == given
    assert {key: model.model_fields[key].annotation for key in ("url", "count", "maybe")} == {
        "url": str | None, "count": int, "maybe": int | None}  # a default typed without None unless null is allowed


@pytest.mark.parametrize("member, value, message", [
    ("url", "not a url", "an absolute URI"),
    ("day", "01-02-2023", "a date, YYYY-MM-DD"),
    ("at", "2021-01-01T00:00:00", "with its offset"),
    ("mail", "nobody", "an email address"),
    ("spelled", "2023-02-01", "String should match pattern"),
])
def test_a_text_of_another_format_is_refused_naming_the_member(tree, member, value, message):
    with pytest.raises(ValidationError, match=rf"(?s)\n{member}\n  [^\n]*{message}"):
        corvel.config_class("source-formats", tree=tree)(**{member: value})


def test_undeclared_members_warn_naming_the_closest_and_are_sent(tree):
    model = corvel.config_class("source-formats", tree=tree)
    given = {"cont": 3, "tunnel": {"tunnel_method": "NO_TUNNEL", "tunel_host": "h"}, "free": {"b": 1}}
    with pytest.warns(corvel.UndeclaredMemberWarning) as warned:
        configuration = model(**given)
    assert [str(warning.message).split(";")[0] for warning in warned] == [
        "SourceFormatsConfig: cont is not a member its schema declares (closest: count)",
        "SourceFormatsConfig: tunnel.tunel_host is not a member its schema declares (closest: tunnel_method)",
        "SourceFormatsConfig: free.b is not a member its schema declares (closest: a)",
    ]  # an object that says it takes any member is still one whose members can be misspelt
    assert {warning.filename for warning in warned} == {__file__}
    assert holds(corvel.to_airbyte_config(configuration), given)


@pytest.mark.parametrize("given, told", [
    ({"ssl_mode": {"mode": "requir"}},
     ["ssl_mode: fits none of its 3 options; closest: 'require' (mode: Input should be 'require')"]),
    ({"ssl_mode": "prefer"},
     ["ssl_mode: fits none of its 3 options; closest: 'prefer' (Input should be an object)"]),
    ({"tunnel": {"tunnel_method": "SSH_KEY_AUTH", "tunnel_host": 7, "ssh_key": "tok-key"}},
     ["tunnel.tunnel_host: Input should be a valid string"]),  # the option its discriminator chose
    ({"tunnel": {"tunnel_host": "h", "ssh_key": "tok-key"}, "count": "many"},
     ["count: Input should be a valid integer, unable to parse string as an integer",
      "tunnel: fits none of its 2 options; closest: 'NO_TUNNEL' (tunnel_method: Field required)"]),
])
def test_errors_name_members_by_their_path_and_the_closest_option(tree, given, told):
    model = corvel.config_class("source-formats", tree=tree)
    for validate in (lambda: model(**given), lambda: model.model_validate_json(json.dumps(given))):
        with pytest.raises(ValidationError) as error:
            validate()
        assert [f"{'.'.join(map(str, e['loc']))}: {e['msg']}" for e in error.value.errors()] == told
        assert "tok-" not in str(error.value) + error.value.json()

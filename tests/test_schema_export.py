"""Schema files: the scan, the edits, the text and the const rewrite."""

import json
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from conftest import entry, mg

PATTERN = re.compile(r'("const":)([^,|\n]*)(,{0,1})')
REPLACEMENT = r'"enum": [\2]\3'
CONNECTOR_NAME = {
    "type": "string", "title": "source-x", "enum": ["source-x"], "default": "source-x",
    "description": "the name of the connector - source or destination",
}


def schema_file(tree, name_w_version):
    return (tree / "connector_configs" / "jsonschema" / f"{name_w_version}.json").read_text(encoding="utf8")


def export(tree, registry, schema):
    """The file text the module writes for one connector with `schema`."""
    registry({"sources": [entry("airbyte/source-x", "1", schema=schema)], "destinations": []})
    assert mg.generate_jsonschema_files(["source-x"]) == ["source_x__1"]
    return schema_file(tree, "source_x__1")


def rewrite(text, rebind, tree, registry):
    """The rewrite applied to an arbitrary serialised text."""
    rebind(json=types.SimpleNamespace(load=json.load, dumps=lambda value, indent: text))
    return export(tree, registry, {"properties": {}})


def pairs(text):
    """Parses keeping duplicate keys, as lists of pairs."""
    return json.loads(text, object_pairs_hook=lambda items: items)


# --- text shape -----------------------------------------------------------

def test_worked_example_byte_for_byte(tree, registry):
    text = export(tree, registry, {"type": "object", "properties": {"path": {"type": "string", "const": "text"}}})
    expected_head = '{\n  "type": "object",\n  "properties": {\n    "path": {\n      "type": "string",\n      "enum": [ "text"]\n    },\n    "connector_name": {\n'
    assert text.startswith(expected_head)
    assert text.endswith('\n  },\n  "title": "source-x-config"\n}')
    assert json.loads(text)["properties"]["connector_name"] == CONNECTOR_NAME


def test_values_are_serialised_as_the_host_does(tree, registry):
    values = {"f": [2.0, 0.0001, 1e16, 1e-05, 1.5e300, -0.0], "big": 2**80, "neg": -7,
              "text": "café ☃ \U0001F600 \x00\x7f\t\"\\/", "flags": [True, False, None], "e": [], "o": {}}
    text = export(tree, registry, {"properties": {}, "examples": values})
    assert text.isascii()
    assert "\\ud83d\\ude00" in text and "\\u00e9" in text and "\\u0000" in text and "\\u007f" in text
    assert '"e": [],' in text and '"o": {}' in text and "1e+16" in text and str(2**80) in text
    assert json.loads(text)["examples"] == values


# --- the rewrite ----------------------------------------------------------

@pytest.mark.parametrize("member, rewritten", [
    ('"const": "string"', '"enum": [ "string"]'),
    ('"const": 3,', '"enum": [ 3],'),
    ('"const": true', '"enum": [ true]'),
    ('"const": null,', '"enum": [ null],'),
    ('"const": "",', '"enum": [ ""],'),
    ('"const": [],', '"enum": [ []],'),
    ('"const": -1.5e-07,', '"enum": [ -1.5e-07],'),
    ('"const": "caf\\u00e9"', '"enum": [ "caf\\u00e9"]'),
])
def test_one_line_consts(member, rewritten, rebind, tree, registry):
    comma = member.endswith(",")
    text = '{\n  "a": {\n    ' + member + ("\n    \"b\": 1" if comma else "") + "\n  }\n}"
    result = rewrite(text, rebind, tree, registry)
    assert result == text.replace(member, rewritten)
    assert result == PATTERN.sub(REPLACEMENT, text)


def test_consts_that_hold_commas_bars_and_containers_stay_whole(tree, registry):
    options = [
        {"title": "a", "properties": {"kind": {"type": "string", "const": "a,b|c"}}},
        {"title": "b", "properties": {"kind": {"const": [1, {"x": "y,z"}], "enum": [[1, {"x": "y,z"}]]}}},
        {"title": "c", "properties": {"kind": {"const": {"nested": {"const": 1}}, "default": 0}}},
    ]
    text = export(tree, registry, {"properties": {"mode": {"oneOf": options}}})
    oneof = dict(dict(dict(pairs(text))["properties"])["mode"])["oneOf"]
    kinds = [dict(dict(option)["properties"])["kind"] for option in oneof]
    assert kinds[0] == [("type", "string"), ("enum", ["a,b|c"])]
    # const and enum side by side give two enum members at their places
    assert kinds[1] == [("enum", [[1, [("x", "y,z")]]]), ("enum", [[1, [("x", "y,z")]]])]
    # a const value is wrapped as serialised: nothing inside it is rewritten
    assert kinds[2] == [("enum", [[("nested", [("const", 1)])]]), ("default", 0)]
    assert re.search(r'"enum": \[ \{\n +"nested": \{\n +"const": 1\n +\}\n +\}\],\n', text)


def test_properties_and_definitions_named_const_are_names(tree, registry):
    schema = {
        "properties": {
            "const": {"type": "string", "const": "x"},
            "properties": {"type": "object", "properties": {"const": {"const": 1}}},
        },
        "patternProperties": {"const": {"type": "integer"}},
        "definitions": {"const": {"const": True}},
        "$defs": {"const": {"type": "null"}},
        "examples": [{"const": 2}],
    }
    parsed = json.loads(export(tree, registry, schema))
    assert parsed["properties"]["const"] == {"type": "string", "enum": ["x"]}
    assert parsed["properties"]["properties"]["properties"]["const"] == {"enum": [1]}
    assert parsed["patternProperties"] == {"const": {"type": "integer"}}
    assert parsed["definitions"] == {"const": {"enum": [True]}}
    assert parsed["$defs"] == {"const": {"type": "null"}}
    assert parsed["examples"] == [{"enum": [2]}]


def test_quoted_const_inside_strings_and_keys_is_left_alone(tree, registry):
    schema = {"properties": {"a": {"description": 'write "const": 1, then', 'x"const': 5}}}
    parsed = json.loads(export(tree, registry, schema))
    assert parsed["properties"]["a"] == {"description": 'write "const": 1, then', 'x"const': 5}


def test_text_that_is_not_json_goes_to_the_plain_substitution(rebind, tree, registry):
    text = '{"const": 1, "const": 2'  # unbalanced
    assert rewrite(text, rebind, tree, registry) == PATTERN.sub(REPLACEMENT, text)


# Texts that look like the rewrite's pattern once serialised: quotes and
# backslashes around const, brackets, the excluded characters, escapes.
ADVERSARIAL_TEXT = ["a,b", "|", "const", '"const":', ",", "é", "\\", '\\"const\\":', '"const": 1,', 'a"const',
                    '"const"', "\\u0063onst", "const\n", "\u2028", '\U0001F600"const"', "]", "[{", "}", '\\"', "\t:"]
json_text = st.text(alphabet=st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=8)
json_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False),
    json_text, st.sampled_from(ADVERSARIAL_TEXT),
)
json_keys = st.sampled_from(["const", "enum", "properties", "patternProperties", "definitions", "$defs", "x", "items",
                             'q"const']) | st.sampled_from(ADVERSARIAL_TEXT) | json_text
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(json_keys, inner, max_size=4),
    max_leaves=12,
)


def expected_rewrite(value, role="schema"):
    """What the rewrite must mean, on the parsed value."""
    if isinstance(value, list):
        return [expected_rewrite(item, "schema") for item in value]
    if not isinstance(value, dict):
        return value
    result = []
    for key, item in value.items():
        if role == "schema" and key == "const":
            result.append(("enum", [item]))
        else:
            child = "map" if role == "schema" and key in ("properties", "patternProperties", "definitions", "$defs") \
                and isinstance(item, dict) else "schema"
            result.append((key, expected_rewrite(item, child)))
    return result


def as_pairs(value):
    if isinstance(value, list) and value and all(isinstance(i, tuple) for i in value):
        return [(k, as_pairs(v)) for k, v in value]
    if isinstance(value, list):
        return [as_pairs(i) for i in value]
    if isinstance(value, dict):
        return [(k, as_pairs(v)) for k, v in value.items()]
    return value


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=json_values)
def test_rewrite_invariants(value, rebind, tree, registry):
    schema = {"properties": {}, "x": value}
    text = json.dumps(schema, indent=2)
    result = rewrite(text, rebind, tree, registry)
    # well-formed, and every const keyword now a one-element enum holding the value
    assert pairs(result) == as_pairs(expected_rewrite(json.loads(text)))
    # where the plain substitution is well-formed and rewrote the same
    # members (it also rewrites keys ending in a quoted const, and properties
    # named const), it agrees
    plain = PATTERN.sub(REPLACEMENT, text)
    try:
        json.loads(plain)
    except ValueError:
        return
    if result.count('"enum":') == plain.count('"enum":'):
        assert result == plain


# --- the scan -------------------------------------------------------------

def scan_registry():
    return {
        "sources": [entry("airbyte/source-file", "1.2.3"), entry("airbyte/source-x", ""),
                    entry("other-org/source-y", "2.0"), entry("airbyte/source-file", "1.2.3"),
                    entry("airbyte/source-n", 2), entry("airbyte/source-z", "dev:latest +b@c")],
        "destinations": [entry("airbyte/destination-csv", ...), entry("airbyte/airbyte/destination-a", None),
                         entry("airbyte/destination-f", 0)],
    }


def test_scan_order_names_and_versions(tree, registry):
    registry(scan_registry())
    names = ["destination-csv", "source-file", "source-file", "source-x", "other-org/source-y", "source-n",
             "source-z", "destination-a", "destination-f", "airbyte/source-file", "nothing"]
    assert mg.generate_jsonschema_files(names) == [
        "source_file__1_2_3", "source_x__", "other_org_source_y__2_0", "source_file__1_2_3", "source_n__2",
        "source_z__dev_latest_+b@c", "destination_csv__", "destination_a__", "destination_f__"]
    assert mg.generate_jsonschema_files([]) == []


@pytest.mark.parametrize("names, expected", [
    (("source-file",), ["source_file__1_2_3", "source_file__1_2_3"]),
    ({"destination-csv"}, ["destination_csv__"]),
    ({"source-x": 1}, ["source_x__"]),
    ("source-file,destination-csv", ["source_file__1_2_3", "source_file__1_2_3", "destination_csv__"]),
    ("source-", []),
])
def test_membership_is_the_collections_own(tree, registry, names, expected):
    registry(scan_registry())
    assert mg.generate_jsonschema_files(names) == [n for n in expected]


# --- the edits ------------------------------------------------------------

def test_title_and_connector_name_edits(tree, registry):
    schema = {"title": "Old", "type": "object", "properties": {"connector_name": 1, "b": {}}, "z": 1}
    text = export(tree, registry, schema)
    parsed = pairs(text)
    assert [k for k, _ in parsed] == ["title", "type", "properties", "z"]
    assert dict(parsed)["title"] == "source-x-config"
    properties = dict(parsed)["properties"]
    assert [k for k, _ in properties] == ["connector_name", "b"]
    assert [k for k, _ in properties[0][1]] == list(CONNECTOR_NAME)
    assert '"enum": [\n        "source-x"\n      ],' in text


def test_edits_are_made_on_the_loaded_document(tree, rebind, registry):
    document = {"sources": [entry("airbyte/source-x")], "destinations": []}
    rebind(json=types.SimpleNamespace(load=lambda f: document, dumps=json.dumps))
    registry({})
    mg.generate_jsonschema_files(["source-x"])
    assert document["sources"][0]["spec"]["connectionSpecification"]["title"] == "source-x-config"


# --- failures -------------------------------------------------------------

@pytest.mark.parametrize("document, error, written", [
    ([], AttributeError, []),
    ({"sources": [entry("airbyte/source-x")]}, TypeError, ["source_x__1_0_0.json"]),
    ({"sources": None, "destinations": []}, TypeError, []),
    ({"sources": [{"dockerImageTag": "1"}], "destinations": []}, KeyError, []),
    ({"sources": [{"dockerRepository": "airbyte/source-x"}], "destinations": []}, AttributeError, []),
    ({"sources": [{"dockerRepository": "airbyte/source-x", "spec": {}}], "destinations": []}, TypeError, []),
    ({"sources": [{"dockerRepository": "airbyte/source-x", "spec": {"connectionSpecification": {}}}]},
     KeyError, []),
])
def test_failure_rows(tree, registry, document, error, written):
    registry(document)
    with pytest.raises(error):
        mg.generate_jsonschema_files(["source-x"])
    assert sorted(p.name for p in (tree / "connector_configs" / "jsonschema").iterdir()) == written


def test_missing_folder_and_failed_write(tree, registry, rebind, tmp_path):
    registry({"sources": [entry("airbyte/source-x")], "destinations": []})
    rebind(CURRENT_DIR=str(tmp_path / "nowhere"))
    with pytest.raises(FileNotFoundError):
        mg.generate_jsonschema_files(["source-x"])

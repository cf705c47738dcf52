"""Upgrades that say what breaks: --outdated, --dry-run and --check-config on a tree of real connectors of the
2023 registry, against a newer registry that moves them the way their real releases did."""

import copy
import json
import shutil
from pathlib import Path

import pytest

import corvel
from corvel import cli
from corvel.config_changes import (ADDED_OPTIONAL, ADDED_REQUIRED, DEFAULT_CHANGED, MADE_REQUIRED, NEWLY_SECRET,
                                   OPTION_ADDED, OPTION_REMOVED, REMOVED, RETYPED, VALUE_REMOVED, Change,
                                   schema_changes)
from corvel.upgrades import (ConfigFileError, Preview, compare_names, names_of, read_config, undeclared,
                             version_key)

REGISTRY_2023 = Path(__file__).resolve().parents[2] / "shared" / "registries" / "oss-2023-06.json"
if not REGISTRY_2023.exists():
    REGISTRY_2023 = Path("/work/shared/registries/oss-2023-06.json")
CONNECTORS = ("source-faker", "source-github", "source-airtable", "source-postgres")
CURRENT_REGISTRY = Path(corvel.__file__).parent / "data" / "registry.json"  # today's versions of some of them
SECRET = "ghp-very-secret-token-1234"

pytestmark = pytest.mark.skipif(not REGISTRY_2023.exists(), reason="the 2023 registry is not at hand")


def _source(document, name):
    return next(e for e in document["sources"] if e["dockerRepository"] == f"airbyte/{name}")


def _breaking(*versions):
    return {"breakingChanges": {v: {"message": message, "upgradeDeadline": deadline,
                                    "migrationDocumentationUrl": f"https://docs.airbyte.com/migrate/{v}"}
                                for v, message, deadline in versions}}


def newer_registry(document):
    """The 2023 registry with four sources moved as their later releases moved them."""
    newer = copy.deepcopy(document)
    faker = _source(newer, "source-faker")
    candidate = copy.deepcopy(faker)
    faker["dockerImageTag"] = "4.0.0"
    members = faker["spec"]["connectionSpecification"]["properties"]
    del members["records_per_sync"]
    members["always_updated"] = {"type": "boolean", "default": True, "title": "Always Updated"}
    members["count"]["default"] = 500
    candidate["dockerImageTag"] = "5.0.0-rc.1"
    faker["releases"] = _breaking(("3.0.0", "Records are now sorted by updated_at.", "2023-08-01"),
                                  ("4.0.0", "records_per_sync is gone.", "2023-10-01"),
                                  ("2.0.0", "Already crossed before the lock.", None))
    faker["releases"]["releaseCandidates"] = {"5.0.0-rc.1": candidate}

    github = _source(newer, "source-github")
    github["dockerImageTag"] = "1.0.0"
    spec = github["spec"]["connectionSpecification"]
    del spec["properties"]["repository"]
    spec["properties"]["repositories"] = {"type": "array", "items": {"type": "string"}, "title": "Repositories"}
    spec["required"] = ["start_date", "repositories"]
    spec["properties"]["page_size_for_large_streams"]["type"] = "string"
    pat = spec["properties"]["credentials"]["oneOf"][1]
    pat["properties"]["option_title"]["const"] = "Personal Access Token"  # the option renamed
    github["releases"] = _breaking(("1.0.0", "repository is now repositories, a list.", "2023-11-15"))

    airtable = _source(newer, "source-airtable")
    airtable["dockerImageTag"] = "4.0.0"
    api_key = airtable["spec"]["connectionSpecification"]["properties"]["credentials"]["oneOf"][1]
    api_key["title"], api_key["properties"]["auth_method"]["const"] = "Personal Access Token", "api_key"
    airtable["releases"] = _breaking(("4.0.0", "Users should refresh the source schema and reset affected streams "
                                               "after upgrading", "2023-12-01"))

    postgres = _source(newer, "source-postgres")
    postgres["dockerImageTag"] = "3.0.0"
    spec = postgres["spec"]["connectionSpecification"]
    spec["required"].append("schemas")
    spec["properties"]["jdbc_url_params"]["airbyte_secret"] = True
    cdc = spec["properties"]["replication_method"]["oneOf"][1]["properties"]
    cdc["lsn_commit_behaviour"]["enum"] = ["After loading Data in the destination"]
    return newer


@pytest.fixture(scope="module")
def registries(tmp_path_factory):
    document = json.loads(REGISTRY_2023.read_text(encoding="utf-8"))
    directory = tmp_path_factory.mktemp("registries")
    old, new = directory / "old.json", directory / "new.json"
    old.write_text(json.dumps(document), encoding="utf-8")
    new.write_text(json.dumps(newer_registry(document)), encoding="utf-8")
    return old, new


@pytest.fixture(scope="module")
def locked_tree(registries, tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("COLUMNS", "300")
        assert cli.main(["--output-dir", str(root), "--registry", str(registries[0]), *CONNECTORS]) == 0
    return root


@pytest.fixture(autouse=True)
def wide(monkeypatch):
    monkeypatch.setenv("COLUMNS", "300")


def tree_files(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def run(capsys, root, registry, *argv):
    status = cli.main(["--output-dir", str(root), "--registry", str(registry), *argv])
    out, err = capsys.readouterr()
    return status, out + err


@pytest.mark.parametrize("old, new, expected", [
    ({"properties": {"a": {"type": "string"}}}, {"properties": {}}, [Change("a", REMOVED)]),
    ({"properties": {}}, {"properties": {"a": {}}, "required": ["a"]}, [Change("a", ADDED_REQUIRED)]),
    ({"properties": {"a": {"type": "integer"}}}, {"properties": {"a": {"type": ["integer", "null"]}}},
     [Change("a", RETYPED, "integer -> integer|null")]),
    ({"properties": {"a": {"enum": ["x", "y"]}}}, {"properties": {"a": {"enum": ["y", "z"]}}},
     [Change("a", VALUE_REMOVED, '"x"')]),
    ({"properties": {"p": {"airbyte_secret": True, "default": "old"}}},
     {"properties": {"p": {"airbyte_secret": True, "default": "new"}}}, [Change("p", DEFAULT_CHANGED, "*** -> ***")]),
    ({"properties": {"l": {"type": "array", "items": {"properties": {"k": {}}}}}},
     {"properties": {"l": {"type": "array", "items": {"properties": {"k": {}}, "required": ["k"]}}}},
     [Change("l[].k", MADE_REQUIRED)]),
    ({"properties": {"o": {"oneOf": [{"title": "A", "properties": {}}, {"title": "B"}]}}},
     {"properties": {"o": {"oneOf": [{"title": "B"}, {"title": "C", "properties": {"x": {}}}]}}},
     [Change("o[A]", OPTION_REMOVED), Change("o[C]", OPTION_ADDED)]),
], ids=["removed", "added required", "retyped", "enum value", "secret default", "array items", "options"])
def test_schema_changes(old, new, expected):
    assert schema_changes(old, new) == expected


@pytest.mark.parametrize("low, high", [("1.9.0", "1.10.0"), ("1.0.0-rc.1", "1.0.0"), ("0.4.2", "1.0.0"),
                                       ("2.0", "2.0.1")])
def test_versions_compare_as_versions(low, high):
    assert version_key(low) < version_key(high)


def test_outdated_names_versions_kinds_and_breaking_changes(capsys, registries, locked_tree, tmp_path):
    before = tree_files(locked_tree)
    report = tmp_path / "report.json"
    status, output = run(capsys, locked_tree, registries[1], "--outdated", "--report", str(report))
    assert status == 0, output
    assert tree_files(locked_tree) == before
    rows = {row["name"]: row for row in json.loads(report.read_text())["outdated"]}
    assert {n: (r["locked_version"], r["current_version"], r["connector_kind"]) for n, r in rows.items()} == {
        "source-faker": ("2.0.3", "4.0.0", "docker"), "source-github": ("0.4.2", "1.0.0", "docker"),
        "source-airtable": ("2.0.3", "4.0.0", "docker"), "source-postgres": ("2.0.2", "3.0.0", "docker")}
    assert [c["version"] for c in rows["source-faker"]["breaking_changes"]] == ["3.0.0", "4.0.0"]
    assert rows["source-airtable"]["breaking_changes"][0]["deadline"] == "2023-12-01"
    assert "5.0.0-rc.1" not in output and "upgrade by 2023-11-15" in output


def test_dry_run_names_every_change_and_writes_nothing(capsys, registries, locked_tree, tmp_path):
    before = tree_files(locked_tree)
    report = tmp_path / "report.json"
    status, output = run(capsys, locked_tree, registries[1], "--upgrade", "--dry-run", "--report", str(report))
    assert status == 0, output
    assert tree_files(locked_tree) == before
    assert not list(locked_tree.rglob(".corvel-run"))
    assert "upgrade from 2.0.3 to 4.0.0" in output and "5.0.0" not in output.replace("4.0.0", "")
    changes = {(u["name"], c["path"], c["category"]) for u in json.loads(report.read_text())["upgrades"]
               for c in u["config_changes"]}
    assert changes >= {
        ("source-faker", "records_per_sync", REMOVED), ("source-faker", "always_updated", ADDED_OPTIONAL),
        ("source-faker", "count", DEFAULT_CHANGED),
        ("source-github", "repository", REMOVED), ("source-github", "repositories", ADDED_REQUIRED),
        ("source-github", "page_size_for_large_streams", RETYPED),
        ("source-github", "credentials[PAT Credentials]", OPTION_REMOVED),
        ("source-github", "credentials[Personal Access Token]", OPTION_ADDED),
        ("source-postgres", "schemas", MADE_REQUIRED), ("source-postgres", "jdbc_url_params", NEWLY_SECRET),
        ("source-postgres", "replication_method[CDC].lsn_commit_behaviour", VALUE_REMOVED)}
    assert "breaking change 4.0.0: Users should refresh the source schema" in output
    assert "migration guide: https://docs.airbyte.com/migrate/1.0.0" in output
    assert "class APIKey renamed to PersonalAccessToken" in output  # the option's class takes its title


def test_check_config_before_and_after_without_showing_secrets(capsys, registries, locked_tree, tmp_path):
    config = tmp_path / "github.yaml"
    config.write_text(f"start_date: '2023-01-01T00:00:00Z'\nrepository: airbytehq/airbyte\n"
                      f"credentials:\n  option_title: PAT Credentials\n  personal_access_token: {SECRET}\n")
    before = tree_files(locked_tree)
    status, output = run(capsys, locked_tree, registries[1], "--upgrade", "source-github", "--dry-run",
                         "--check-config", f"source-github={config}")
    assert status == 1, output
    assert tree_files(locked_tree) == before
    assert "against source-github 0.4.2 (locked): valid" in output
    assert "against source-github 1.0.0 (new)" in output and "repositories:" in output
    assert "repository: not a member of source-github 1.0.0; did you mean repositories?" in output
    assert SECRET not in output
    status, output = run(capsys, locked_tree, registries[0], "--check-config", f"source-github={config}")
    assert status == 0 and SECRET not in output, output

    upgraded, report = tmp_path / "upgraded", tmp_path / "report.json"
    shutil.copytree(locked_tree, upgraded)
    status, output = run(capsys, upgraded, registries[1], "--upgrade", "source-github", "--report", str(report),
                         "--check-config", f"source-github={config}")
    assert status == 1 and SECRET not in output, output
    assert output.index("repository: removed") < output.index("upgraded from 0.4.2 to 1.0.0")
    recorded = json.loads(report.read_text())
    assert [u["name"] for u in recorded["upgrades"]] == ["source-github"]
    assert [(c["version"], c["against"]) for c in recorded["config_checks"]] == [("1.0.0", "locked")]


@pytest.mark.parametrize("name, text", [("config.yaml", f"token: {SECRET}\n  bad: [\n"),
                                        ("config.json", f'{{"token": "{SECRET}",}}'),
                                        ("config.yml", f"- {SECRET}\n")])
def test_unreadable_configuration_is_named_without_its_text(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ConfigFileError) as raised:
        read_config(path)
    assert str(path) in str(raised.value) and SECRET not in str(raised.value)


OPTIONS = {"properties": {"o": {"oneOf": [
    {"properties": {"m": {"const": "x"}, "k": {}}},
    {"properties": {"m": {"enum": ["y"]}, "j": {}}, "additionalProperties": False}]}}}


@pytest.mark.parametrize("schema, config, expected, removed", [
    ({"properties": {"port": {}}}, {"prot": 1, "port": 1}, [("prot", "port")], ()),
    ({"properties": {"count": {}}}, {"records_per_sync": 1}, [("records_per_sync", None)], ()),
    ({"properties": {"a": {"properties": {"b": {}}}}}, {"a": {"b": 1, "c": 1}}, [("a.c", None)], ()),
    (OPTIONS, {"o": {"m": "y", "k": 1}}, [("o[y].k", None)], ()),
    (OPTIONS, {"o": {"k": 1, "q": 1}}, [("o[x].q", None)], ()),
    ({"properties": {"l": {"items": {"properties": {"k": {}}}}}}, {"l": [{"k": 1}, {"x": 1}]}, [("l[1].x", None)],
     ()),
    ({"properties": {"a": {}}, "additionalProperties": True}, {"b": {"c": 1}}, [], ()),
    ({"properties": {"a": {}}, "additionalProperties": {"properties": {"c": {}}}}, {"b": {"d": 1}}, [("b.d", None)],
     ()),
    ({"properties": {"a": {}}, "patternProperties": {"^x_": {}}}, {"x_1": 1}, [], ()),
    ({"properties": {"a": {"type": "object"}}}, {"a": {"anything": 1}}, [], ()),
    ({"properties": {"a": {}}, "additionalProperties": True}, {"gone": 1, "b": 1}, [("gone", None)], ("gone",)),
    ({"properties": {"a": {}}, "allOf": [{"properties": {"b": {}}}]}, {"b": 1, "c": 1}, [("c", None)], ()),
], ids=["misspelt", "removed", "nested", "option by discriminator", "option by members", "array items", "open",
        "open to a schema", "pattern", "free-form", "removed from an open object", "all of"])
def test_undeclared_members(schema, config, expected, removed):
    assert undeclared(schema, config, removed) == expected


@pytest.mark.parametrize("old, new, renamed, removed, added", [
    ("class A(M):\n    m: Literal['x']\n    k: int\n", "class B(M):\n    m: Literal['x'] | None\n    k: int\n",
     {"A": "B"}, [], []),
    ("class A(M):\n    m: Literal['x']\n", "class B(M):\n    m: Literal['y']\n", {}, ["A"], ["B"]),
    ("class A(M):\n    k: int\n", "class B(M):\n    k: int\nclass C(M):\n    k: str\n", {}, ["A"], ["B", "C"]),
    ("class A(M):\n    pass\n", "class B(M):\n    pass\n", {}, ["A"], ["B"]),
], ids=["same shape", "other discriminator", "two of one shape", "empty"])
def test_a_class_is_renamed_only_when_it_is_the_same_thing(tmp_path, old, new, renamed, removed, added):
    (tmp_path / "old.py").write_text(old)
    (tmp_path / "new.py").write_text(new)
    found = Preview("source-x", "1.0.0", "2.0.0", [], [])
    compare_names(found, names_of(tmp_path / "old.py"), tmp_path / "new.py")
    assert (found.names_renamed, found.names_removed, found.names_added) == (renamed, removed, added)


def test_real_upgrade_to_current_versions(capsys, locked_tree, tmp_path):
    postgres, faker, report = tmp_path / "postgres.yaml", tmp_path / "faker.json", tmp_path / "report.json"
    postgres.write_text("host: db\nprot: 5432\nport: 5432\ndatabase: app\nusername: u\n"
                        "replication_method: {method: CDC, replication_slot: s, publication: p, any: 1}\n"
                        "tunnel_method: {tunnel_method: NO_TUNNEL, tunnel_usr: u}\n")
    faker.write_text('{"count": 10, "records_per_sync": 5}')
    status, output = run(capsys, locked_tree, CURRENT_REGISTRY, "--upgrade", "source-postgres", "source-faker",
                         "--dry-run", "--report", str(report), "--check-config", f"source-postgres={postgres}",
                         "--check-config", f"source-faker={faker}")
    assert status == 1, output
    moved = {u["name"]: u for u in json.loads(report.read_text())["upgrades"]}["source-postgres"]
    assert moved["names_renamed"] == {"Standard": "ScanChangesWithUserDefinedCursor"}
    assert "LogicalReplicationCDC" in moved["names_removed"]
    assert {"DetectChangesWithXminSystemColumn", "ReadChangesUsingWriteAheadLogCDC"} <= set(moved["names_added"])
    assert "class Standard renamed to ScanChangesWithUserDefinedCursor" in output
    checks = {(c["name"], c["against"]): c for c in json.loads(report.read_text())["config_checks"]}
    assert checks[("source-faker", "locked")]["problems"] == []
    faker_new = checks[("source-faker", "new")]
    assert [p.split(";")[0] for p in faker_new["problems"]] == [
        f"records_per_sync: not a member of source-faker {faker_new['version']}"]  # its schema is open
    postgres_new = checks[("source-postgres", "new")]
    current = f"source-postgres {postgres_new['version']}"
    assert [p.split(";")[0] for p in postgres_new["problems"]] == [
        f"prot: not a member of {current}", f"tunnel_method[NO_TUNNEL].tunnel_usr: not a member of {current}"]
    assert f"prot: not a member of {current}; did you mean port?" in output  # the CDC option is open: any stays

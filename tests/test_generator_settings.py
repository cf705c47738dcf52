"""corvel's own generator settings: what every run corvel starts writes, whatever the user's project says,
the mends of its last pass, connectors whose module does not import, and trees from other settings."""

import json

import pytest
from conftest import entry, mg

from corvel import cli
from corvel.lock import read_lock
from corvel.tree import LOCK_NAME
from corvel.configs import forget_tree, import_tree
from corvel.generator_settings.formatter import mend


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    monkeypatch.setenv("COLUMNS", "300")
    monkeypatch.setenv(cli.REGISTRY_VARIABLE, str(cli.BUNDLED_REGISTRY))
    saved = mg.CURRENT_DIR, mg.subprocess
    yield
    assert (mg.CURRENT_DIR, mg.subprocess) == saved
    forget_tree()


def run(capsys, tree, *argv):
    status = cli.main(["--output-dir", str(tree), *argv])
    out, err = capsys.readouterr()
    return status, out + err


def models(tree):
    return {p.name: p.read_bytes() for p in sorted((tree / "connector_configs" / "model").glob("*.py"))}


@pytest.mark.parametrize("mode", [[], ["--spawn"], ["--jobs", "2", "--no-cache"]])
def test_a_generator_table_in_the_users_project_changes_nothing(capsys, tmp_path, monkeypatch, mode):
    monkeypatch.chdir(tmp_path)
    assert run(capsys, tmp_path / "plain", "source-faker", "source-postgres")[0] == 0
    project = tmp_path / "project"
    project.mkdir()
    (project / "pyproject.toml").write_text(
        '[tool.datamodel-codegen]\nuse-annotated = true\nformatters = ["black"]\nsnake-case-field = true\n'
        'class-name = "Changed"\n', encoding="utf-8")
    monkeypatch.chdir(project)
    assert run(capsys, tmp_path / "user", *mode, "source-faker", "source-postgres")[0] == 0
    assert models(tmp_path / "user") == models(tmp_path / "plain")


@pytest.mark.parametrize(
    "code, mended",
    [
        ("    port: int = Field(\n        ...,\n        pattern='^[0-9]+$',\n        ge=1,\n    )\n",
         "    port: int = Field(\n        ...,\n        ge=1,\n    )\n"),
        ("    port: int = Field(..., pattern='^[0-9]+$', ge=1)\n", "    port: int = Field(..., ge=1)\n"),
        ("    size: str = Field(..., examples=33554432)\n", "    size: str = Field(..., examples=[33554432])\n"),
        # a text member keeps its pattern and its text default
        ("    name: str = Field(default='a', pattern='^a$')\n", "    name: str = Field(default='a', pattern='^a$')\n"),
        # a default that may be no value of the member keeps None in its type: None, an object's, one out of bounds
        ("    start: str = Field(\n        default=None,\n    )\n", "    start: str | None = Field(\n        default=None,\n    )\n"),
        ("    day: Literal[\n        'a', 'b'\n    ] = None\n", "    day: Literal[\n        'a', 'b'\n    ] | None = None\n"),
        ("    mode: (\n        A | B\n    ) = Field(default='csv')\n", "    mode: (\n        A | B | None\n    ) = Field(default='csv')\n"),
        ("    workers: int = Field(default=0, ge=1)\n", "    workers: int | None = Field(default=0, ge=1)\n"),
        ("    seed: int = Field(default=-1, ge=-1)\n", "    seed: int = Field(default=-1, ge=-1)\n"),
        ("    items: list[A] = Field(default=[])\n", "    items: list[A] = Field(default=[])\n"),
    ],
)
def test_the_last_pass_mends_what_pydantic_or_checkers_refuse(code, mended):
    classes = "class A(BaseModel):\n    pass\n\n\nclass B(BaseModel):\n    pass\n\n\nclass C(BaseModel):\n"
    assert mend(classes + code) == classes + mended


def test_a_module_that_does_not_import_is_failed_and_kept_out_of_index_and_lock(capsys, tmp_path, registry):
    # a repetition no regex engine takes: pydantic refuses the class
    refused = {"type": "object", "properties": {"code": {"type": "string", "pattern": "a{2,1}"}}}
    registry({"sources": [entry("airbyte/source-good", "1.0"), entry("airbyte/source-refused", "2.0", refused)],
              "destinations": []})
    status, out = run(capsys, tmp_path, "source-good", "source-refused", "--report", str(tmp_path / "report.json"))
    reasons = {r["name"]: r["reason"] for r in json.loads((tmp_path / "report.json").read_text())["connectors"]}
    assert status == 1 and "does not import" in reasons["source-refused"] and "repeat" in reasons["source-refused"]
    index = import_tree(tmp_path)
    assert hasattr(index, "SourceGoodConfig") and not hasattr(index, "SourceRefusedConfig")
    assert {r.name for r in read_lock(tmp_path / "connector_configs").records} == {"source-good"}
    assert list(models(tmp_path)) == ["source_good__1_0.py"]


def test_a_lock_from_other_settings_is_regenerated_and_refused_by_frozen(capsys, tmp_path):
    assert run(capsys, tmp_path, "source-faker", "destination-csv")[0] == 0
    lock_file = tmp_path / "connector_configs" / LOCK_NAME
    current = lock_file.read_text(encoding="utf-8")
    older = json.loads(current)
    del older["generator_settings"]  # as an earlier corvel wrote it
    lock_file.write_text(json.dumps(older), encoding="utf-8")
    before = lock_file.read_bytes()

    status, out = run(capsys, tmp_path, "--frozen")
    assert status == 1 and "other generator settings" in out and lock_file.read_bytes() == before

    status, out = run(capsys, tmp_path, "--verbose")
    assert status == 0 and "other generator settings" in out and out.count("regenerated") >= 2
    assert lock_file.read_text(encoding="utf-8") == current
    assert run(capsys, tmp_path, "--frozen")[0] == 0

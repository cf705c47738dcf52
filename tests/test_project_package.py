"""The classes in a package of the project's own: the [tool.corvel] table, a src/ or flat layout, imports in a new
interpreter, the type checkers, the locked versions get_source asks for, a clone reproduced offline, and manifests
when the project wants them."""

import json
import os
import shutil
import socket
import subprocess
import sys
import threading
from pathlib import Path

import airbyte
import pytest
from conftest import entry, run_python
from test_connector_kinds import API_MANIFEST, manifest_entry, store  # noqa: F401 - store is a fixture
from test_type_checkers import mypy_errors, pyright_errors

import corvel
from corvel import cli, manifests
from corvel.lock import read_lock
from corvel.configs import forget_tree

BUNDLED = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))
UV = shutil.which("uv", path=str(Path(sys.executable).parent)) or shutil.which("uv")


def bundled(name):
    return next(e for kind in BUNDLED.values() for e in kind if e["dockerRepository"] == f"airbyte/{name}")


def make_project(directory: Path, layout: str, table: str = 'package = "myapp.connector_configs"') -> Path:
    """A project as uv makes it (a src/ layout with --lib, a flat one with its package beside pyproject.toml),
    with a [tool.corvel] table."""
    directory.mkdir()
    kind = "--lib" if layout == "src" else "--app"
    uv_environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # not the sanitizer run's runtime
    subprocess.run([UV, "init", "-q", kind, "--name", "myapp", "--no-workspace", "--vcs", "none", str(directory)],
                   check=True, capture_output=True, env=uv_environment)
    if layout == "flat":
        (directory / "myapp").mkdir()
        (directory / "myapp" / "__init__.py").write_text("", encoding="utf-8")
    with open(directory / "pyproject.toml", "a", encoding="utf-8") as file:
        file.write(f"\n[tool.corvel]\n{table}\n")
    (directory / "scripts").mkdir()
    return directory


def generate(monkeypatch, capsys, where: Path, *argv) -> tuple[int, str]:
    monkeypatch.chdir(where)
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out + err


def files(root: Path) -> dict[str, bytes]:
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and "__pycache__" not in p.parts}


class Captured(Exception):
    """airbyte.get_source as asked, before anything runs."""


@pytest.fixture
def asked(monkeypatch):
    def capture(name, **kwargs):
        raise Captured(name, kwargs)

    monkeypatch.setattr(airbyte, "get_source", capture)
    monkeypatch.setattr(airbyte, "get_destination", capture)

    def ask(config):
        with pytest.raises(Captured) as caught:
            corvel.get_source(config)
        return caught.value.args[1]

    yield ask
    forget_tree()


class CountingStore:
    """A TCP port on 127.0.0.1 that takes each connection and closes it unanswered: a store that cannot be
    reached, which counts how often it was tried."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}/{{name}}/{{version}}/manifest.yaml"
        self.connections = 0
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:  # closed: the test is over
                return
            self.connections += 1
            connection.close()

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept(): closing alone would not
        self.listener.close()
        self.thread.join()


@pytest.fixture
def unreachable_store(monkeypatch):
    counting = CountingStore()
    monkeypatch.setenv(manifests.URL_VARIABLE, counting.url)
    yield counting
    counting.close()


@pytest.mark.parametrize("layout", ["src", "flat"])
def test_the_package_is_written_where_its_top_level_package_is_and_imports_without_corvel(
        tmp_path, monkeypatch, capsys, layout):
    project = make_project(tmp_path / "proj", layout)
    status, out = generate(monkeypatch, capsys, project / "scripts", "source-faker", "source-postgres")
    assert status == 0, out
    source_root = project / "src" if layout == "src" else project
    package = source_root / "myapp" / "connector_configs"
    assert {"__init__.py", "__init__.pyi", "corvel.lock", "model/source_postgres__3_6_22.py",
            "jsonschema/source_faker__7_2_1.json"} <= set(files(package))
    done = run_python("""
        import sys
        from myapp.connector_configs import SourcePostgresConfig
        loaded = sorted(n for n in sys.modules if n.startswith("myapp.connector_configs.model."))
        try:
            SourcePostgresConfig(host="db", port=5432, database="d", password="hunter2")
        except ValueError as error:
            shown = str(error)
        config = SourcePostgresConfig(host="db", port=5432, database="d", username="u", password="hunter2")
        import myapp.connector_configs.model.source_faker__7_2_1 as faker
        import json, corvel
        same = corvel.config_class("source-postgres", tree=PACKAGE) is SourcePostgresConfig
        print(json.dumps([repr(config), shown, config.password, config.port + 1, loaded,
                          faker.SourceFakerConfig().count, same]))
    """.replace("PACKAGE", repr(str(package))), path_entry=source_root, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    shown_repr, error, password, port, loaded, count, same = json.loads(done.stdout.splitlines()[-1])
    assert "hunter2" not in shown_repr + error and "**********" in shown_repr
    assert error.startswith("1 validation error for SourcePostgresConfig\nusername")
    assert (password, port, count, same) == ("hunter2", 5433, 1000, True)
    assert loaded == ["myapp.connector_configs.model.source_postgres__3_6_22"]  # the index imports at first use


@pytest.mark.type_checkers
@pytest.mark.parametrize("errors_of", [pyright_errors, mypy_errors], ids=["pyright", "mypy"])
def test_checkers_type_the_project_package_with_no_configuration(tmp_path, monkeypatch, capsys, errors_of):
    project = make_project(tmp_path / "proj", "src")
    assert generate(monkeypatch, capsys, project, "source-faker", "source-postgres")[0] == 0
    # the project's own venv, as uv sync makes it: this interpreter's packages, and the project installed editable
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "venv")], check=True)
    site = next((tmp_path / "venv" / "lib").glob("python*/site-packages"))
    (site / "installed.pth").write_text(f"{Path(airbyte.__file__).parents[1]}\n{project / 'src'}\n", encoding="utf-8")
    script = project / "user.py"
    script.write_text(
        "from myapp.connector_configs import SourceFakerConfig, SourcePostgres, SourcePostgresConfig\n"
        "reveal_type(SourceFakerConfig(count=10))\n"
        "SourcePostgresConfig(host='h', port=5432, database='d', username='u', ssl_mode=SourcePostgres.Disable(mode='disable'))\n"
        "SourceFakerConfig(count='many')  # wrong\n"
        "SourcePostgresConfig(host='h', port=5432, database='d')  # wrong\n",
        encoding="utf-8")
    found = errors_of(tmp_path, [script])
    assert sorted(line for _, line, _ in found) == [4, 5], found
    shown = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", str(tmp_path / "venv/bin/python"),
                            "--cache-dir", str(tmp_path / "cache"), str(script)], capture_output=True, text=True)
    assert 'Revealed type is "myapp.connector_configs.SourceFakerConfig"' in shown.stdout


def test_get_source_asks_for_the_locked_version_of_every_kind(tmp_path, monkeypatch, capsys, store, asked):
    store.publish("source-api", "0.1.0", API_MANIFEST)
    document = {"sources": [bundled("source-faker"), bundled("source-postgres"),
                            manifest_entry("source-api", "0.1.0", API_MANIFEST)], "destinations": []}
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document), encoding="utf-8")
    project = make_project(tmp_path / "proj", "src", f'package = "myapp.connector_configs"\nregistry = "{registry}"')
    monkeypatch.delenv("AIRBYTE_LOCAL_REGISTRY")  # it would win over the table's registry
    assert generate(monkeypatch, capsys, project, "--all")[0] == 0
    package = project / "src" / "myapp" / "connector_configs"
    faker = corvel.config_class("source-faker", tree=package)(count=3)
    assert asked(faker)["pip_url"] == "airbyte-source-faker==7.2.1"
    postgres = corvel.config_class("source-postgres", tree=package)(host="h", port=1, database="d", username="u")
    assert asked(postgres)["docker_image"] == "airbyte/source-postgres:3.6.22"
    api = corvel.config_class("source-api", tree=package)(api_url="http://127.0.0.1:1")
    assert asked(api)["source_manifest"] == package / "manifests" / "source_api__0_1_0" / "manifest.yaml"
    # two trees of the generator module's layout, both loaded as corvel.connector_configs: the second leaves the
    # first one's classes with their lock
    for tree, name in (("gen-a", "source-faker"), ("gen-b", "source-postgres")):
        assert generate(monkeypatch, capsys, project, "--output-dir", str(tmp_path / tree), name)[0] == 0
    faker = corvel.config_class("source-faker", tree=tmp_path / "gen-a")(count=3)
    corvel.config_class("source-postgres", tree=tmp_path / "gen-b")
    assert asked(faker)["pip_url"] == "airbyte-source-faker==7.2.1"


def test_a_clone_reproduces_the_package_offline_with_frozen(tmp_path, monkeypatch, capsys, store, unreachable_store):
    store.publish("source-api", "0.1.0", API_MANIFEST)
    document = {"sources": [bundled("source-faker"), manifest_entry("source-api", "0.1.0", API_MANIFEST)],
                "destinations": []}
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document), encoding="utf-8")
    project = make_project(tmp_path / "proj", "src")
    monkeypatch.setenv(manifests.URL_VARIABLE, store.url + "/{name}/{version}/manifest.yaml")
    assert generate(monkeypatch, capsys, project, "--registry", str(registry), "--all")[0] == 0
    clone = tmp_path / "clone"
    shutil.copytree(project, clone, ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.setenv(manifests.URL_VARIABLE, unreachable_store.url)
    status, out = generate(monkeypatch, capsys, clone / "scripts", "--frozen")
    assert status == 0 and "is up to date" in out, out
    # the models alone are enough to lose: the lock and the vendored manifest write them again, offline
    shutil.rmtree(clone / "src" / "myapp" / "connector_configs" / "model")
    assert generate(monkeypatch, capsys, clone / "scripts", "--frozen")[0] == 0
    assert files(clone / "src") == files(project / "src") and unreachable_store.connections == 0


@pytest.mark.parametrize("wanted", [False, True], ids=["classes only", "manifests wanted"])
def test_an_unreachable_store_costs_one_attempt_or_none(tmp_path, monkeypatch, capsys, unreachable_store, asked,
                                                        wanted):
    names = ["source-a", "source-b", "source-c"]
    document = {"sources": [manifest_entry(n, "0.1.0", API_MANIFEST) for n in names], "destinations": []}
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document), encoding="utf-8")
    table = f'package = "myapp.connector_configs"\nregistry = "{registry}"\nmanifests = {str(wanted).lower()}'
    project = make_project(tmp_path / "proj", "src", table)
    monkeypatch.delenv("AIRBYTE_LOCAL_REGISTRY")  # it would win over the table's registry
    status, out = generate(monkeypatch, capsys, project, "--all", "--jobs", "1")
    lock = read_lock(project / "src" / "myapp" / "connector_configs")
    assert lock.vendor_manifests is wanted and all(not r.manifest_files for r in lock.records)
    if wanted:
        assert status == 1 and out.count("manifest not vendored") == 3 and unreachable_store.connections == 1
        url = unreachable_store.url.format(name="source-a", version="0.1.0")  # whole, on a line of its own
        assert f"\nmanifests not vendored: {url}: the store cannot be reached (ConnectionError); to go on without " \
               "them, set manifests = false in [tool.corvel] (or pass --no-manifests), or set CORVEL_MANIFEST_URL" in out
    else:
        assert status == 0 and unreachable_store.connections == 0, out
        api = corvel.config_class("source-a", tree=project / "src" / "myapp" / "connector_configs")
        with pytest.raises(corvel.CorvelError, match=r"source-a 0\.1\.0 is .* set manifests = true in \[tool\.corvel\]"):
            asked(api(api_url="http://127.0.0.1:1"))  # the manifest is had from the store, or airbyte is not asked


@pytest.mark.parametrize(
    ("table", "reason"),
    [
        ('package = "myapp.connector_configs"\nregistery = "x"', "has no setting 'registery'"),
        ("manifests = 'no'", "manifests must be a bool"),
        ('package = "otherapp.connector_configs"', "create the package otherapp first"),
        ('package = "myapp.connector-configs"', "is not a Python package name"),
    ],
)
def test_a_table_that_cannot_be_used_is_named_and_nothing_written(tmp_path, monkeypatch, capsys, table, reason):
    project = make_project(tmp_path / "proj", "src", table)
    before = files(project)
    status, out = generate(monkeypatch, capsys, project / "scripts", "source-faker")
    assert status == 1 and reason in out and files(project) == before


@pytest.mark.parametrize(
    ("package", "user_file"),
    [("myapp.connector_configs", "connector_configs/__init__.py"), ("myapp", "__init__.py")],
    ids=["a package of the user's", "the project's top-level package"],
)
def test_a_package_holding_files_corvel_did_not_write_is_refused_before_anything(tmp_path, monkeypatch, capsys,
                                                                                  package, user_file):
    project = make_project(tmp_path / "proj", "src", f'package = "{package}"')
    mine = project / "src" / "myapp" / user_file
    mine.parent.mkdir(exist_ok=True)
    mine.write_text("def mine():\n    return 1\n", encoding="utf-8")
    before = files(project)
    # a registry that cannot be read: the refusal comes first
    status, out = generate(monkeypatch, capsys, project, "--registry", str(tmp_path / "absent.json"), "source-faker")
    assert status == 1 and files(project) == before
    (line,) = out.splitlines()
    assert line.startswith(f"corvel-generate: {mine.parent} (") and "holds files corvel did not write (__init__.py" \
        in line and line.endswith(", or move them out")


@pytest.mark.parametrize("name", ["corvell", "corvle", "covel"])
def test_a_table_one_edit_from_corvel_stops_the_run(tmp_path, monkeypatch, capsys, name):
    (tmp_path / "src" / "myapp").mkdir(parents=True)
    pyproject = tmp_path / "pyproject.toml"
    pyproject.write_text(f'[tool.{name}]\npackage = "myapp.connector_configs"\n', encoding="utf-8")
    status, out = generate(monkeypatch, capsys, tmp_path, "source-faker")
    assert status == 1 and out.splitlines() == [
        f"corvel-generate: {pyproject}: [tool.{name}] is not a table corvel reads; name it [tool.corvel]"]

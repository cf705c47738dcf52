"""Typed streams at the front door: checkers and get_source refuse a stream the connector does not have, and a
real read of source-faker comes back as its record classes."""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import airbyte
import pytest
from conftest import INSTALLED_PACKAGE
from test_type_checkers import mypy_errors, pyright_errors

import corvel
from corvel import cli, command, stream_models
from corvel.configs import UnknownStream, forget_tree
from corvel.project import package_tree
from corvel.tree import Tree, model_apart, streams_paths

CONNECTORS_DIR = Path(os.environ.get("AIRBYTE_INSTALL_DIR") or Path(__file__).parents[1] / "build" / "connectors")


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    """source-faker generated, with the record classes its installed release gives, into the installed tree of a
    venv's corvel (--output-dir) and into a project's package that the venv sees; the venv sees this interpreter's
    packages behind them."""
    root = tmp_path_factory.mktemp("streams")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")], check=True)
    site = Path(sysconfig.get_paths(vars={"base": str(root / "venv")})["purelib"])
    project = root / "project"
    (project / "src" / "myapp").mkdir(parents=True)
    (project / "src" / "myapp" / "__init__.py").write_text("", encoding="utf-8")
    (project / "pyproject.toml").write_text('[project]\nname = "myapp"\nversion = "0.1.0"\n\n[tool.corvel]\n'
                                            'package = "myapp.connector_configs"\n', encoding="utf-8")
    (site / "installed.pth").write_text(f"{sysconfig.get_paths()['purelib']}\n{project / 'src'}\n", encoding="utf-8")
    shutil.copytree(INSTALLED_PACKAGE, site / "corvel", ignore=shutil.ignore_patterns("__pycache__", "connector_configs"))
    assert cli.main(["--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(site / "corvel"), "source-faker"]) == 0
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(project)
        assert command.main(["add", "source-faker", "--registry", "bundled"]) == 0
    return root, Tree.at_root(site / "corvel"), package_tree("myapp.connector_configs", project)


# -- checkers: a misspelt stream, a record member of the wrong type, correct use

USER_SCRIPT = '''\
from collections.abc import Iterator
from typing import Any, assert_type

import airbyte
import corvel
from corvel.connector_configs import SourceFakerConfig
from corvel.connector_configs.streams.source_faker import UsersRecord
from myapp.connector_configs import SourceFakerConfig as ProjectFakerConfig
from myapp.connector_configs.streams.source_faker import UsersRecord as ProjectUsersRecord

config, project_config = SourceFakerConfig(count=10), ProjectFakerConfig(seed=1)
assert_type(corvel.get_source(config, streams=["users", "purchases"], install_if_missing=False), airbyte.Source)
corvel.get_source(config, streams="*")
corvel.get_source(corvel.config_class("source-faker")(count=1), streams=("products",))
corvel.get_source(project_config, streams=["users"], version="1.0.0")
corvel.get_source(project_config)


def read(result: airbyte.ReadResult, rows: list[dict[str, Any]]) -> None:
    assert_type(corvel.records(result, UsersRecord), Iterator[UsersRecord])
    assert_type(next(corvel.records(result["users"], ProjectUsersRecord)), ProjectUsersRecord)
    for user in corvel.records(rows, UsersRecord):
        print((user.id or 0) + 1, (user.age or 0) + 1, user.address.city if user.address else "")
        print(user.id + "1")  # wrong: a record member read as its type


corvel.get_source(config, streams=["usres"])  # wrong: a misspelt stream
corvel.get_source(project_config, streams=["users", "purchase"])  # wrong: a misspelt stream
corvel.get_source(corvel.config_class("source-faker")(), streams="users")  # wrong: one name, not a list of them
corvel.get_source(config, "users")  # wrong: a positional argument
UsersRecord(id="one")  # wrong: a record member's type
'''


@pytest.mark.type_checkers
@pytest.mark.parametrize("errors_of", [pyright_errors, mypy_errors], ids=["pyright", "mypy"])
def test_checkers_know_the_streams_and_their_records(trees, errors_of):
    root, installed, own = trees
    script = root / "user.py"
    script.write_text(USER_SCRIPT, encoding="utf-8")
    errors = errors_of(root, [script, installed.directory, own.directory])
    assert [e for e in errors if e[0] != str(script)] == []  # the trees: their stubs and streams modules
    wrong = [n for n, line in enumerate(USER_SCRIPT.split("\n"), 1) if "# wrong:" in line]
    # pyright names a call no overload takes, and the argument that fails the first one, on the same line
    assert sorted({line for _, line, _ in errors}) == wrong, "\n".join(f"{line}: {message}" for _, line, message in errors)


# -- at run time: get_source refuses a stream the connector does not have, before airbyte runs anything


class Asked(Exception):
    """airbyte's get_source as corvel called it."""


@pytest.fixture
def airbyte_asked(monkeypatch):
    def capture(name, **kwargs):
        raise Asked(name, kwargs)

    monkeypatch.setattr(airbyte, "get_source", capture)
    yield
    forget_tree()


@pytest.mark.parametrize("layout", ["installed", "project"])
@pytest.mark.parametrize("streams, refused", [
    (["usres"], "source-faker has no stream 'usres' (its streams: products, purchases, users); did you mean 'users'?"),
    ("purchase", ("source-faker has no stream 'purchase' (its streams: products, purchases, users); did you mean "
                  "'purchases'?")),
    (["users", "orders"], "source-faker has no stream 'orders' (its streams: products, purchases, users)"),
    (["users", "products"], None),
    ("*", None),
    (None, None),
])
def test_get_source_refuses_a_stream_the_connector_does_not_have(trees, airbyte_asked, layout, streams, refused):
    _, installed, own = trees
    tree = installed.root if layout == "installed" else own.directory
    config = corvel.config_class("source-faker", tree=tree)(count=1)
    with pytest.raises(UnknownStream if refused else Asked) as raised:
        corvel.get_source(config, streams=streams)
    assert str(raised.value) == refused if refused else raised.value.args[1]["streams"] == streams


def test_a_connector_without_a_streams_document_is_left_to_airbyte(tmp_path, airbyte_asked):
    assert cli.main(["--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(tmp_path), "source-faker"]) == 0
    shutil.rmtree(Tree.at_root(tmp_path).streams)  # a tree from before record classes
    config = corvel.config_class("source-faker", tree=tmp_path)()
    with pytest.raises(Asked):
        corvel.get_source(config, streams=["usres"])


# -- records read typed from a real read


def streams_module(tree: Tree):
    """TREE's source-faker streams module, imported under a name of its own for the rest of the run."""
    path = tree.directory / streams_paths("source-faker")[1]
    spec = importlib.util.spec_from_file_location(f"streams_{abs(hash(path))}", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # pydantic resolves the annotations through it, and records names it
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def faker_read(trees, tmp_path_factory):
    """37 users and their products of the pinned source-faker read into DuckDB through the installed tree's class, and that tree's
    streams module."""
    _, installed, _ = trees
    where = tmp_path_factory.mktemp("read")
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(where)  # airbyte writes its local files under the working directory
        # the connector's own interpreter runs none of our code: under the sanitizer run it starts without the
        # sanitizer runtime
        patch.delenv("LD_PRELOAD", raising=False)
        patch.setenv(cli.REGISTRY_VARIABLE, str(cli.BUNDLED_REGISTRY))
        try:
            config = corvel.config_class("source-faker", tree=installed.root)(count=37, seed=5, parallelism=1)
            source = corvel.get_source(config, streams=["users", "products"], install_root=CONNECTORS_DIR,
                                       install_if_missing=False)
            yield source.read(cache=airbyte.caches.DuckDBCache(db_path=where / "faker.duckdb")), streams_module(installed)
        finally:
            forget_tree()


@pytest.mark.reads_through_airbyte
def test_a_real_read_comes_back_as_its_record_class(faker_read):
    result, streams = faker_read
    for source in (result, result["users"], [dict(row) for row in result["users"]]):
        users = list(corvel.records(source, streams.UsersRecord))
        assert len(users) == 37 and all(type(user) is streams.UsersRecord for user in users)
        assert all(user.address.city for user in users)
        assert not [key for key in users[0].model_extra if key.startswith("_airbyte_")]
    assert all(product.year for product in corvel.records(result, streams.ProductsRecord))


@pytest.mark.parametrize("edit, reason", [
    (lambda row: row.update(age="secret-age"), "age: Input should be a valid integer, unable to parse string"),
    (lambda row: row["address"].update(city=5), "address.city: Input should be a valid string"),
])
@pytest.mark.reads_through_airbyte
def test_a_record_that_does_not_fit_is_named_not_dropped(faker_read, edit, reason):
    result, streams = faker_read
    rows = [dict(row) for row in result["users"]]
    edit(rows[4])
    read = []
    with pytest.raises(corvel.RecordMismatch) as raised:
        read.extend(corvel.records(rows, streams.UsersRecord))
    assert len(read) == 4
    said = str(raised.value)
    assert said.startswith(f"source-faker {streams.VERSION}, stream users: record 4 does not fit UsersRecord: {reason}")
    assert "secret-age" not in said


@pytest.mark.reads_through_airbyte
def test_records_of_a_stream_not_read_or_of_no_streams_module_are_refused(faker_read):
    result, streams = faker_read
    with pytest.raises(corvel.CorvelError, match=r"^the read holds no stream 'purchases' of source-faker \(it holds: "
                                                 r"users, products\); read it: get_source\(config, "
                                                 r"streams=\[\.\.\., 'purchases'\]\)$"):
        corvel.records(result, streams.PurchasesRecord)
    with pytest.raises(TypeError, match="expected a record class of a generated streams module"):
        corvel.records([], streams.Address)


def test_a_cached_column_is_read_into_the_member_it_stores(tmp_path):
    # airbyte's caches store a column in lower case: "Year" comes back as "year"
    document = {"connector": "source-faker", "version": "7.2.1", "origin": "package", "streams": {"products": {
        "schema": {"type": "object", "properties": {"Year": {"type": "integer"}}}, "primary_key": []}}}
    stream_models.write(tmp_path, document, "source-faker")
    with model_apart(tmp_path / streams_paths("source-faker")[1], "cached_columns") as module:
        [product] = corvel.records([{"year": 2020}], module.ProductsRecord)
    assert product.model_dump(by_alias=True, exclude_unset=True) == {"Year": 2020}

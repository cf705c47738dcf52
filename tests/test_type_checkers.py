"""Type checkers see what a user of real connectors sees: the generated
package, installed as corvel.connector_configs, checks clean, and a user's
script gets no error for a valid call and exactly one for each wrong one."""

import json
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import corvel
from corvel import cli, index_stubs, project
from corvel.configs import forget_tree
from corvel.tree import index_bindings
from conftest import INSTALLED_PACKAGE, REAL_REGISTRY, require_input, run_python

# varied shapes: oneOf options (ssl, tunnels, formats, loading methods), enums, a number, secrets, aliases,
# a single-option oneOf, formatted strings (uri, date, date-time), and destination-databricks, whose class names the
# index binds to airbyte's cache too
CONNECTORS = ["source-faker", "source-postgres", "source-s3", "source-github", "source-stripe", "source-mailersend",
              "source-hubspot", "source-tplcentral", "source-bing-ads", "destination-postgres", "destination-bigquery", "destination-s3", "destination-duckdb",
              "destination-gcs", "destination-snowflake", "destination-databricks"]

GUIDE = (Path(__file__).resolve().parents[1] / "docs" / "how-to" / "installed-tree.md").read_text(encoding="utf-8")
GUIDE_EXAMPLE = GUIDE.split("\n## Typed configurations from the installed tree\n")[1].split("```python\n")[1].split("```")[0]
# The guide's example, then more: each line marked "wrong" must give exactly one error, every other line none.
USER_SCRIPT = GUIDE_EXAMPLE + '''
from typing import Any, assert_type

import airbyte
import corvel
from airbyte.caches.databricks import DatabricksConfig
from pydantic import BaseModel
from corvel.connector_configs import (
    DestinationDatabricksConfig,
    DestinationDuckdbConfig,
    DestinationPostgresConfig,
    SourceGithub,
    SourcePostgres,
    SourcePostgresConfig,
    SourceS3,
    SourceS3Config,
)
from corvel.connector_configs.model.destination_databricks__0_3_1 import DestinationDatabricksConfig as DatabricksConnector
from corvel.connector_configs.model.source_faker__2_0_3 import SourceFakerConfig as FakerConfig

print(f"seed {config.seed:>4}", (config.parallelism or 1) * 2)
assert_type(corvel.to_airbyte_config(config), dict[str, Any])
faker_model: type[FakerConfig] = SourceFakerConfig  # the index's class: the model's, with its streams for checkers
assert_type(source, airbyte.Source)
assert_type(corvel.get_destination(DestinationDuckdbConfig(destination_path="/tmp/x.duckdb", schema="main")), airbyte.Destination)
assert_type(corvel.config_class("destination-databricks"), type[DatabricksConnector])
assert_type(corvel.config_class("source-faker", tree="/tmp/tree"), type[BaseModel])
assert_type(DestinationDatabricksConfig, type[DatabricksConfig])  # bound last by the index: the cache's

postgres = SourcePostgresConfig(
    host="db", port=5432, database="app", username="reader", ssl=True, schemas=["public", "sales"],
    ssl_mode=SourcePostgres.VerifyCa(mode="verify-ca", ca_certificate="-----BEGIN CERTIFICATE-----"),
    replication_method=SourcePostgres.LogicalReplicationCDC(method="CDC", replication_slot="s", publication="p"),
    tunnel_method=SourcePostgres.SSHKeyAuthentication(
        tunnel_method="SSH_KEY_AUTH", tunnel_host="bastion", tunnel_port=22, tunnel_user="u", ssh_key="k"),
)
print(f"{postgres.host}:{postgres.port + 1}", postgres.database.upper(), postgres.ssl is True)
if isinstance(postgres.replication_method, SourcePostgres.LogicalReplicationCDC):
    print((postgres.replication_method.initial_waiting_seconds or 0) + 1)
s3 = SourceS3Config(dataset="d", path_pattern="**", format=SourceS3.CSV(delimiter=";"), provider=SourceS3.S3AmazonWebServices(bucket="b"))
corvel.config_class("source-github")(
    credentials=SourceGithub.PersonalAccessToken(personal_access_token="t"), start_date="2021-01-01T00:00:00Z", repository="a/b")
corvel.config_class("source-stripe")(account_id="acct_1", client_secret="s", start_date="2021-01-01T00:00:00Z")
corvel.config_class("source-mailersend")(api_token="t", domain_id="d", start_date=123131321.5)
corvel.config_class("destination-bigquery")(project_id="p", dataset_location="EU", dataset_id="d", transformation_priority="batch")
DestinationPostgresConfig(host="db", port=5432, database="d", schema="public", username="u")
# formatted strings are the texts written; a member with a default is its value
corvel.config_class("source-tplcentral")(url_base="https://127.0.0.1:8765", client_id="c", client_secret="s",
                                         start_date="2021-01-01T00:00:00Z").url_base.endswith("/")
corvel.config_class("source-bing-ads")(developer_token="t", client_id="c", refresh_token="r", reports_start_date="2021-01-01")
print(config.records_per_slice + config.parallelism, postgres.ssl_mode is None)

SourceFakerConfig(count="many")  # wrong: a member's type
SourcePostgresConfig(host="db", prot=5432, port=1, database="app", username="reader")  # wrong: a misspelled member
SourcePostgresConfig(host="db", port=5432, database="app")  # wrong: a required member missing
SourcePostgresConfig(host="db", port=5432, database="app", username="r", ssl_mode=SourcePostgres.Standard(method="Standard"))  # wrong: an option of another member
SourceS3Config(dataset="d", path_pattern="**", provider=SourceS3.S3AmazonWebServices(bucket=1))  # wrong: a nested member's type
SourcePostgres.VerifyCa(mode="verify-full", ca_certificate="c")  # wrong: a const
corvel.config_class("destination-bigquery")(project_id="p", dataset_location="Mars", dataset_id="d")  # wrong: an enum
print(postgres.port + "1")  # wrong: a member read as its value
corvel.to_airbyte_config({"count": 1})  # wrong: not a configuration
'''


@pytest.fixture(scope="module")
def checked_site(tmp_path_factory):
    """A venv whose site-packages holds a copy of the installed corvel with the connectors generated into it, and
    sees this interpreter's packages (airbyte, pydantic, airbyte-stubs) behind it: what a user's checker sees."""
    require_input(REAL_REGISTRY)
    root = tmp_path_factory.mktemp("checked")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")], check=True)
    site = Path(sysconfig.get_paths(vars={"base": str(root / "venv")})["purelib"])
    (site / "installed.pth").write_text(sysconfig.get_paths()["purelib"] + "\n", encoding="utf-8")
    shutil.copytree(INSTALLED_PACKAGE, site / "corvel", ignore=shutil.ignore_patterns("__pycache__", "connector_configs"))
    assert cli.main(["--registry", str(REAL_REGISTRY), "--output-dir", str(site / "corvel"), *CONNECTORS]) == 0
    (root / "user.py").write_text(USER_SCRIPT, encoding="utf-8")
    return root, site


def pyright_errors(root: Path, paths: list[Path]) -> list[tuple[str, int, str]]:
    config = {"include": [str(p) for p in paths], "venvPath": str(root), "venv": "venv", "typeCheckingMode": "standard"}
    (root / "pyrightconfig.json").write_text(json.dumps(config), encoding="utf-8")
    done = subprocess.run([str(Path(sys.executable).parent / "basedpyright"), "--outputjson", "-p", str(root)],
                          capture_output=True, text=True, cwd=root, timeout=600)
    report = json.loads(done.stdout)
    return [(d["file"], d["range"]["start"]["line"] + 1, d["message"])
            for d in report["generalDiagnostics"] if d["severity"] == "error"]


def mypy_errors(root: Path, paths: list[Path]) -> list[tuple[str, int, str]]:
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", str(root / "venv" / "bin" / "python"),
         "--cache-dir", str(root / "mypy-cache"), "--show-absolute-path", "--no-error-summary", *map(str, paths)],
        capture_output=True, text=True, cwd=root, timeout=600)
    assert done.returncode in (0, 1), done.stderr
    found = [re.match(r"^(.+?):(\d+): error: (.*)$", line) for line in done.stdout.splitlines()]
    return [(m[1], int(m[2]), m[3]) for m in found if m]


@pytest.mark.type_checkers
@pytest.mark.parametrize("errors_of", [pyright_errors, mypy_errors], ids=["pyright", "mypy"])
def test_checkers_see_typed_configurations(checked_site, errors_of):
    root, site = checked_site
    script = root / "user.py"
    errors = errors_of(root, [script, site / "corvel" / "connector_configs"])
    assert [e for e in errors if e[0] != str(script)] == []  # the generated package: models, index and its stubs
    wrong = [n for n, line in enumerate(USER_SCRIPT.split("\n"), 1) if "# wrong:" in line]
    assert sorted(line for _, line, _ in errors) == wrong, "\n".join(f"{line}: {message}" for _, line, message in errors)


# -- members are their values, and repr() shows them

POSTGRES = {"host": "db", "port": 5432, "database": "app", "username": "reader"}


@pytest.mark.parametrize("name, given, member, value", [
    ("source-faker", {"count": 100}, "count", 100),
    ("source-postgres", POSTGRES, "host", "db"),
    ("source-postgres", {**POSTGRES, "ssl": True}, "ssl", True),
    ("source-mailersend", {"api_token": "t", "domain_id": "d", "start_date": 123131321.5}, "start_date", 123131321.5),
    ("destination-bigquery", {"project_id": "p", "dataset_location": "EU", "dataset_id": "d"}, "dataset_location", "EU"),
    ("source-postgres", {**POSTGRES, "ssl_mode": {"mode": "verify-ca", "ca_certificate": "c"}}, "ssl_mode", "VerifyCa"),
])
def test_members_read_back_as_the_values_given(checked_site, name, given, member, value):
    _, site = checked_site
    try:
        config = corvel.config_class(name, tree=site / "corvel").model_validate(given)
        read = getattr(config, member)
        if isinstance(given[member], dict):  # a nested object is its class, its members their values
            assert type(read).__name__ == value and {key: getattr(read, key) for key in given[member]} == given[member]
        else:
            assert read == value and type(read) is type(value)
        assert f"{member}={read!r}" in repr(config)
    finally:
        forget_tree()


def test_stubs_bind_what_the_index_binds_last(tmp_path):
    index = textwrap.dedent("""\
        from corvel.connector_configs.model.source_x__1_0 import SourceXConfig
        import corvel.connector_configs.model.source_x__1_0 as SourceX
        from corvel.connector_configs.model.source_x__2_0 import SourceXConfig
        import corvel.connector_configs.model.source_x__2_0 as SourceX
        from corvel.connector_configs.model.source_failed__1_0 import SourceFailedConfig
        from corvel.connector_configs.model.destination_databricks__3_1 import DestinationDatabricksConfig
        from airbyte._processors.sql.databricks import DatabricksConfig as DestinationDatabricksConfig
    """)
    connectors = {"source_x__1_0": "source-x", "source_x__2_0": "source-x",
                  "destination_databricks__3_1": "destination-databricks"}
    index_file = tmp_path / "__init__.py"
    index_file.write_text(index, encoding="utf-8")
    bindings = index_bindings(index_file, is_project=False)
    stub = index_stubs.index_stub(bindings, connectors).splitlines()
    assert [line for line in stub if line.startswith(("from corvel", "import", "from airbyte", "class"))] == [
        "from corvel.connector_configs.model.source_x__2_0 import SourceXConfig as _SourceXConfig",
        "class SourceXConfig(_SourceXConfig):",
        "import corvel.connector_configs.model.source_x__2_0 as SourceX",
        "from airbyte._processors.sql.databricks import DatabricksConfig as DestinationDatabricksConfig",
    ]
    assert stub[-5:] == ["__all__ = [", "    'SourceXConfig',", "    'SourceX',", "    'DestinationDatabricksConfig',", "]"]
    overloads = index_stubs.config_classes_stub(bindings, connectors)
    assert "Literal['source-x'], tree: None = None) -> type[SourceXConfig]" in overloads
    assert "Literal['destination-databricks'], tree: None = None) -> type[destination_databricks__3_1.DestinationDatabricksConfig]" in overloads
    assert "source_failed" not in overloads and "source_x__1_0" not in overloads
    # a project's stub binds the same, relative to its package
    index_file.write_text(project.index_text(project.from_module_index(bindings)), encoding="utf-8")
    relative = index_stubs.index_stub(index_bindings(index_file, is_project=True), connectors).splitlines()
    assert [line for line in relative if line.startswith("from .")] == [
        "from .model.source_x__2_0 import SourceXConfig as _SourceXConfig", "from .model import source_x__2_0 as SourceX"]


def test_importing_corvel_loads_neither_airbyte_nor_pydantic(package_copy):
    (package_copy / "corvel" / "connector_configs" / "__init__.py").write_text("LOADED = True\n", encoding="utf-8")
    done = run_python("""
        import sys, corvel
        heavy = [name for name in ("airbyte", "pydantic") if name in sys.modules]
        print(heavy, corvel.connector_configs.LOADED)
    """, path_entry=package_copy)
    assert done.stdout.splitlines() == ["[] True"], done.stderr


def test_a_plain_run_puts_back_stubs_that_differ_from_the_index(tmp_path, capsys):
    arguments = ["--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(tmp_path), "source-faker"]
    assert cli.main(arguments) == 0
    configs_dir = tmp_path / "connector_configs"
    written = {name: (configs_dir / name).read_bytes() for name in index_stubs.FILES}
    (configs_dir / index_stubs.INDEX_STUB).unlink()  # as in a tree from before the stubs
    (configs_dir / index_stubs.CONFIG_CLASS_STUB).write_text("", encoding="utf-8")
    assert cli.main(arguments) == 0
    assert {name: (configs_dir / name).read_bytes() for name in index_stubs.FILES} == written
    assert cli.main(arguments) == 0 and "is up to date" in capsys.readouterr().out

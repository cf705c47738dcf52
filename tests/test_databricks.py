"""The Databricks cache that corvel serves to airbyte, and the finder serving it."""

import importlib
import importlib.util
import sys

import pytest
import sqlalchemy
from conftest import run_python
from pydantic import ValidationError
from sqlalchemy.engine import make_url

import corvel

FIELDS = {
    "server_hostname": "adb-1234567890123456.7.azuredatabricks.net",
    "http_path": "/sql/1.0/warehouses/abc123",
    "access_token": "dapi-token",
    "catalog": "main",
}
DIALECT_INSTALLED = importlib.util.find_spec("databricks") is not None and (
    importlib.util.find_spec("databricks.sqlalchemy") is not None
)


def test_airbyte_imports_both_modules_through_the_finder():
    processor = importlib.import_module("airbyte._processors.sql.databricks")
    caches = importlib.import_module("airbyte.caches.databricks")
    from airbyte.caches.base import CacheBase
    from airbyte.shared.sql_processor import SqlConfig, SqlProcessorBase

    assert caches.DatabricksConfig is processor.DatabricksConfig
    assert issubclass(caches.DatabricksCache, processor.DatabricksConfig)
    assert issubclass(caches.DatabricksCache, CacheBase) and issubclass(processor.DatabricksConfig, SqlConfig)
    assert issubclass(caches.DatabricksCache._sql_processor_class, SqlProcessorBase)
    assert caches.__all__ == ["DatabricksCache", "DatabricksConfig"]


def test_importing_corvel_stays_light_and_installs_one_finder():
    result = run_python(
        """
        import sys, importlib, corvel
        importlib.reload(corvel)
        print(sum(type(f).__name__ == "DatabricksModuleFinder" for f in sys.meta_path))
        print(sorted(m for m in ("airbyte", "pydantic", "sqlalchemy", "requests", "rich") if m in sys.modules))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["1", "[]"]


def test_finder_serves_only_its_two_names_and_steps_aside_for_airbytes_own():
    found = {}
    finder = corvel.DatabricksModuleFinder(lookup=lambda name, path: found.get(name))
    spec = finder.find_spec("airbyte.caches.databricks", ["/airbyte/caches"])
    assert spec.name == "airbyte.caches.databricks" and spec.loader.implementation == "corvel._databricks.cache"
    assert finder.find_spec("airbyte.caches.postgres", ["/airbyte/caches"]) is None
    assert finder.find_spec("airbyte.caches.databricks", None) is None
    found["airbyte.caches.databricks"] = object()  # airbyte ships one of its own
    assert finder.find_spec("airbyte.caches.databricks", ["/airbyte/caches"]) is None
    assert finder.find_spec("airbyte._processors.sql.databricks", ["/airbyte/_processors/sql"]) is not None


def test_default_lookup_finds_airbytes_real_modules():
    import airbyte.caches

    finder = corvel.DatabricksModuleFinder(served={"airbyte.caches.postgres": "corvel._databricks.cache"})
    assert finder.find_spec("airbyte.caches.postgres", airbyte.caches.__path__) is None
    assert corvel.DatabricksModuleFinder().find_spec("airbyte.caches.databricks", airbyte.caches.__path__) is not None


def test_config_validates_and_hides_the_token():
    from airbyte.caches.databricks import DatabricksConfig

    config = DatabricksConfig(**FIELDS)
    assert config.schema_name == "airbyte_raw" and config.get_database_name() == "main"
    assert "dapi-token" not in repr(config)
    for wrong in ({"server_hostname": "https://adb-1.azuredatabricks.net/"}, {"http_path": "sql/1.0/warehouses/x"},
                  {"catalog": ""}, {"access_token": None}):
        with pytest.raises(ValidationError):
            DatabricksConfig(**{**FIELDS, **wrong})
    with pytest.raises(ValidationError, match="access_token"):
        DatabricksConfig(**{k: v for k, v in FIELDS.items() if k != "access_token"})


def test_url_escapes_every_part_and_loads_no_dialect():
    from airbyte.caches.databricks import DatabricksConfig

    token = "dapi:p@ss/w%rd+?#&= x"
    config = DatabricksConfig(**{**FIELDS, "access_token": token, "http_path": "/sql/1.0/warehouses/a&b=c", "schema_name": "raw data"})
    url = config.get_sql_alchemy_url()
    assert str(url).startswith("databricks://token:") and token not in str(url) and token not in repr(url)
    parsed = make_url(str(url))
    assert (parsed.drivername, parsed.username, parsed.password, parsed.host) == ("databricks", "token", token, FIELDS["server_hostname"])
    assert dict(parsed.query) == {"http_path": "/sql/1.0/warehouses/a&b=c", "catalog": "main", "schema": "raw data"}
    assert not any(name == "databricks" or name.startswith("databricks.") for name in sys.modules)


@pytest.mark.skipif(DIALECT_INSTALLED, reason="databricks-sqlalchemy is installed")
def test_without_the_dialect_creating_an_engine_says_what_to_install():
    from airbyte.caches.databricks import DatabricksCache, DatabricksConfig

    with pytest.raises(ModuleNotFoundError, match=r"corvel\[databricks\]"):
        DatabricksConfig(**FIELDS).get_sql_engine()
    # the cache validates its fields first, then connects to make sure the schema exists
    with pytest.raises(ValidationError):
        DatabricksCache(**{**FIELDS, "server_hostname": "adb 1"})
    with pytest.raises(ModuleNotFoundError, match=r"corvel\[databricks\]"):
        DatabricksCache(**FIELDS)


def test_processor_speaks_databricks_sql():
    from airbyte._processors.sql.databricks import DatabricksSqlProcessor, DatabricksTypeConverter

    converter = DatabricksTypeConverter()
    spelled = {kind: str(converter.to_sql_type({"type": kind})) for kind in ("string", "object", "array", "integer", "boolean")}
    assert spelled == {"string": "STRING", "object": "STRING", "array": "STRING", "integer": "BIGINT", "boolean": "BOOLEAN"}
    assert str(converter.to_sql_type({"type": "string", "format": "time"})) == "STRING"
    bind = converter.to_sql_type({"type": "object"}).bind_processor(None)
    assert bind({"a": [1]}) == '{"a": [1]}' and bind("text") == "text" and bind(None) is None
    assert DatabricksSqlProcessor._quote_identifier(None, "we`ird") == "`we``ird`"
    assert isinstance(converter.to_sql_type({"type": "number"}), sqlalchemy.types.DECIMAL)

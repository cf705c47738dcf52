"""Databricks configuration and SQL processor for airbyte caches.

Usage:

```python
import airbyte as ab
from airbyte._processors.sql.databricks import DatabricksConfig

config = DatabricksConfig(
    server_hostname="dbc-a1b2c3d4-e5f6.cloud.databricks.com",
    http_path="/sql/1.0/warehouses/1234567890abcdef",
    access_token=ab.get_secret("DATABRICKS_TOKEN"),
    catalog="main",
    schema_name="airbyte_raw",
)
```
"""

from __future__ import annotations

import json
import re
from typing import Any

import sqlalchemy
import sqlalchemy.exc
from airbyte._writers.jsonl import JsonlWriter
from airbyte.secrets.base import SecretString
from airbyte.shared.sql_processor import SqlConfig, SqlProcessorBase
from airbyte.types import SQLTypeConverter
from pydantic import Field, field_validator
from sqlalchemy.engine import URL, Engine

_HOST_NAME = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?")

INSTALL_HINT = (
    "The Databricks cache needs the SQLAlchemy dialect of databricks-sqlalchemy: "
    "pip install 'corvel[databricks]'"
)


class DatabricksConfig(SqlConfig):
    """Connection to a Databricks SQL warehouse or cluster, authenticated by a token."""

    server_hostname: str = Field(
        description="Host name of the workspace, without scheme or path, "
        "e.g. dbc-a1b2c3d4-e5f6.cloud.databricks.com.",
    )
    http_path: str = Field(
        description="HTTP path of the SQL warehouse or cluster, e.g. /sql/1.0/warehouses/1234567890abcdef.",
    )
    access_token: SecretString = Field(description="Personal access token or service principal token.")
    catalog: str = Field(min_length=1, description="Unity Catalog catalog to write to, e.g. main.")

    @field_validator("server_hostname")
    @classmethod
    def _bare_host_name(cls, value: str) -> str:
        if not _HOST_NAME.fullmatch(value):
            raise ValueError(
                "give the bare host name of the workspace (e.g. dbc-a1b2c3d4-e5f6.cloud.databricks.com), "
                "without https:// or a path"
            )
        return value

    @field_validator("http_path")
    @classmethod
    def _absolute_http_path(cls, value: str) -> str:
        if not value.startswith("/") or any(c.isspace() for c in value):
            raise ValueError("the HTTP path starts with / (e.g. /sql/1.0/warehouses/1234567890abcdef)")
        return value

    def get_sql_alchemy_url(self) -> SecretString:
        """Return the URL of the Databricks dialect, every part escaped."""
        url = URL.create(
            "databricks",
            username="token",
            password=str(self.access_token),
            host=self.server_hostname,
            query={"http_path": self.http_path, "catalog": self.catalog, "schema": self.schema_name},
        )
        return SecretString(url.render_as_string(hide_password=False))

    def get_database_name(self) -> str:
        """Return the catalog, Databricks' counterpart of a database."""
        return self.catalog

    def get_sql_engine(self) -> Engine:
        """Return the cached engine; creating it loads the Databricks dialect."""
        try:
            return super().get_sql_engine()
        except sqlalchemy.exc.NoSuchModuleError as error:
            raise ModuleNotFoundError(INSTALL_HINT, name="databricks.sqlalchemy") from error


class DatabricksString(sqlalchemy.types.UserDefinedType):
    """Databricks' STRING column; objects and arrays are stored as JSON text."""

    cache_ok = True

    def get_col_spec(self, **kw: Any) -> str:
        return "STRING"

    def bind_processor(self, dialect: Any):
        def process(value: Any) -> Any:
            if isinstance(value, (dict, list)):
                return json.dumps(value)
            return value

        return process


class DatabricksTypeConverter(SQLTypeConverter):
    """Maps airbyte types onto Databricks SQL types.

    Databricks has no JSON or TIME column type and no unbounded VARCHAR, so
    strings, times and nested data all become STRING.
    """

    @classmethod
    def get_string_type(cls) -> sqlalchemy.types.TypeEngine:
        return DatabricksString()

    @classmethod
    def get_json_type(cls) -> sqlalchemy.types.TypeEngine:
        return DatabricksString()

    def to_sql_type(self, json_schema_property_def: dict[str, str | dict | list]) -> sqlalchemy.types.TypeEngine:
        sql_type = super().to_sql_type(json_schema_property_def)
        if isinstance(sql_type, (sqlalchemy.types.JSON, sqlalchemy.types.TIME, sqlalchemy.types.VARCHAR)):
            return DatabricksString()
        return sql_type


class DatabricksSqlProcessor(SqlProcessorBase):
    """Writes airbyte streams into a Databricks schema.

    Records are staged as JSONL files and inserted as values.
    """

    supports_merge_insert = False
    file_writer_class = JsonlWriter
    type_converter_class = DatabricksTypeConverter
    # the configuration it is made with; airbyte's base holds it as a read-only SqlConfig property
    sql_config: DatabricksConfig  # pyright: ignore[reportIncompatibleMethodOverride]

    def _quote_identifier(self, identifier: str) -> str:
        """Databricks quotes identifiers with backticks; a backtick inside is doubled."""
        return "`" + identifier.replace("`", "``") + "`"


__all__ = [
    "DatabricksConfig",
    "DatabricksSqlProcessor",
    "DatabricksTypeConverter",
]

"""A Databricks implementation of the airbyte cache.

Usage:

```python
import airbyte as ab
from airbyte.caches.databricks import DatabricksCache

cache = DatabricksCache(
    server_hostname="dbc-a1b2c3d4-e5f6.cloud.databricks.com",
    http_path="/sql/1.0/warehouses/1234567890abcdef",
    access_token=ab.get_secret("DATABRICKS_TOKEN"),
    catalog="main",
    schema_name="airbyte_raw",
)
```

Creating the cache connects to the warehouse (it makes sure the schema
exists), which needs the dialect from ``pip install 'corvel[databricks]'``.
"""

from __future__ import annotations

from typing import ClassVar

from airbyte.caches.base import CacheBase
from airbyte.shared.sql_processor import SqlProcessorBase

from corvel._databricks.processor import DatabricksConfig, DatabricksSqlProcessor


class DatabricksCache(DatabricksConfig, CacheBase):
    """Configuration for the Databricks cache."""

    _sql_processor_class: ClassVar[type[SqlProcessorBase]] = DatabricksSqlProcessor


__all__ = [
    "DatabricksCache",
    "DatabricksConfig",
]
